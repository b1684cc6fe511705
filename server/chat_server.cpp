#include "server/chat_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// epoll keys of the two descriptors that are not connections; connections count from 1.
constexpr std::uint64_t kListenerKey = ~std::uint64_t{0};
constexpr std::uint64_t kWakeupKey = kListenerKey - 1;

constexpr std::size_t kReadBufferBytes = 64 * 1024;
// Reads per readiness report: enough to keep a busy client moving, little enough that it
// does not hold the loop up for everyone else.
constexpr int kReadsPerEvent = 4;
constexpr int kAcceptsPerEvent = 64;
constexpr int kEventsPerWait = 256;
// A file is sent from the disk this much at a time.
constexpr std::size_t kFileWindowBytes = 64 * 1024;

[[noreturn]] void throwSystemError(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

std::string peerText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string mebibytes(std::size_t bytes) {
  return std::to_string(bytes >> 20) + " MiB";
}

}  // namespace

std::uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

ChatServer::ChatServer(ServerSettings settings)
    : settings_(std::move(settings)),
      room_(std::move(settings_.room)),
      readBuffer_(kReadBufferBytes) {
  const std::string where = settings_.address + ":" + std::to_string(settings_.port);
  const auto fail = [&](int error) { throwSystemError("Unable to listen on " + where, error); };

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(settings_.port);
  if (::inet_pton(AF_INET, settings_.address.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("Unable to listen on " + where + ": not a dotted IPv4 address");
  }

  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener_) fail(errno);
  // A restarted server gets its port back while old connections linger in TIME_WAIT.
  const int on = 1;
  if (::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) fail(errno);
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail(errno);
  }
  if (::listen(listener_.get(), SOMAXCONN) != 0) fail(errno);
  socklen_t length = sizeof address;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail(errno);
  }
  port_ = ntohs(address.sin_port);

  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) throwSystemError("Unable to create the event loop", errno);
  wakeup_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeup_) throwSystemError("Unable to create the event loop", errno);
  for (const auto& [fd, key] :
       {std::pair{listener_.get(), kListenerKey}, std::pair{wakeup_.get(), kWakeupKey}}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
      throwSystemError("Unable to create the event loop", errno);
    }
  }
  spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

ChatServer::~ChatServer() = default;

void ChatServer::log(std::string_view line) const {
  room_.settings().log(line);
}

void ChatServer::stop() noexcept {
  const std::uint64_t one = 1;
  // eventfd counts; a failed write can only mean the counter is already far from zero.
  [[maybe_unused]] const ssize_t written = ::write(wakeup_.get(), &one, sizeof one);
}

void ChatServer::run() {
  log("listening on " + settings_.address + ":" + std::to_string(port_));
  std::array<epoll_event, kEventsPerWait> events;
  bool stopping = false;
  while (!stopping) {
    const int count = ::epoll_wait(epoll_.get(), events.data(), kEventsPerWait, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwSystemError("The event loop failed", errno);
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t key = events[i].data.u64;
      const std::uint32_t ready = events[i].events;
      if (key == kWakeupKey) {
        stopping = true;
      } else if (key == kListenerKey) {
        acceptConnections();
      } else if (const auto it = connections_.find(key); it != connections_.end()) {
        Connection& c = *it->second;
        if (ready & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(c);
        if (!c.closing && (ready & EPOLLOUT)) flush(c);
      }
      // A connection closed here may still have an event later in this batch; the lookup
      // above skips it.
      closeDropped();
    }
    // Telling the others that someone left queues more output, which may drop more.
    while (!pendingFlush_.empty() || !dropped_.empty()) {
      flushPending();
      closeDropped();
    }
  }
  log("stopping: closing " + std::to_string(connections_.size()) + " connections");
  connections_.clear();
  listener_.reset();
}

void ChatServer::acceptConnections() {
  for (int i = 0; i < kAcceptsPerEvent; ++i) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    UniqueFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error == EMFILE || error == ENFILE) {
        refuseOneConnection();
        return;
      }
      log(std::string("accepting a connection failed: ") + std::strerror(error));
      return;
    }
    // Chat lines are small and should leave at once.
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    const ConnectionId id = nextId_++;
    auto c = std::make_unique<Connection>(settings_.inputLimit);
    c->id = id;
    c->fd = std::move(fd);
    c->peer = peerText(address);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, c->fd.get(), &event) != 0) {
      log("connection from " + c->peer + " refused: " + std::strerror(errno));
      continue;
    }
    log("connection " + std::to_string(id) + " from " + c->peer);
    room_.connect(id);
    connections_.emplace(id, std::move(c));
  }
}

void ChatServer::refuseOneConnection() {
  // Out of descriptors: free the spare one to accept the waiting connection and close it
  // at once, so that the listener does not stay ready for ever.
  spare_.reset();
  UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  fd.reset();
  spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  log("refused a connection: too many open files");
}

void ChatServer::readFrom(Connection& c) {
  for (int i = 0; i < kReadsPerEvent && !c.closing; ++i) {
    const ssize_t n = ::recv(c.fd.get(), readBuffer_.data(), readBuffer_.size(), 0);
    if (n > 0) {
      takeInput(c, std::string_view(readBuffer_.data(), static_cast<std::size_t>(n)));
      if (static_cast<std::size_t>(n) < readBuffer_.size()) return;
    } else if (n == 0) {
      drop(c, "closed by the client");
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return;
    } else {
      drop(c, std::string("receive failed: ") + std::strerror(errno));
    }
  }
}

void ChatServer::takeInput(Connection& c, std::string_view bytes) {
  // Only for the rare log lines; most input is well-formed.
  const auto who = [&c] { return "connection " + std::to_string(c.id) + ": "; };
  while (!bytes.empty() && !c.closing) {
    const MessageStream::Step step = c.stream.next(bytes, c.record);
    switch (step.outcome) {
      case MessageStream::Outcome::complete:
        deliver(room_.handle(c.id, c.record));
        break;
      case MessageStream::Outcome::incomplete:
        break;
      case MessageStream::Outcome::skipped:
        if (step.newRun) log(who() + "skipped input that is not a message");
        break;
      case MessageStream::Outcome::dropped:
        log(who() + "dropped a message: " + printable(step.error));
        break;
    }
    bytes.remove_prefix(step.used);
  }
}

void ChatServer::deliver(std::vector<Delivery> deliveries) {
  for (Delivery& d : deliveries) {
    const auto it = connections_.find(d.to);
    if (it != connections_.end() && !it->second->closing) enqueue(*it->second, std::move(d));
  }
}

void ChatServer::enqueue(Connection& c, Delivery&& d) {
  const std::size_t size = d.wireSize();
  if (size == 0) return;
  c.queuedBytes += size;
  if (d.isFile()) c.fileSizes.insert(size);
  c.output.push_back(std::move(d));
  // Written once the whole batch of events is handled, together with whatever else the
  // batch queues for this connection.
  if (!c.flushPending && !c.watchingWrites) {
    c.flushPending = true;
    pendingFlush_.push_back(c.id);
  }

  // One file may be on its way besides the limit; a client that asks for more files than
  // it reads is treated like one that stops reading.
  const std::size_t largestFile = c.fileSizes.empty() ? 0 : *c.fileSizes.rbegin();
  const std::size_t waiting = c.queuedBytes - std::min(c.queuedBytes, largestFile);
  if (waiting > settings_.outputLimit) {
    drop(c, "more than " + mebibytes(settings_.outputLimit) +
                " waiting to be sent: the client is not reading");
  }
}

void ChatServer::flushPending() {
  // flush() only sends and drops; nothing it calls queues output, so the list does not
  // grow while it is walked, and clearing it keeps its capacity for the next batch.
  for (const ConnectionId id : pendingFlush_) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    Connection& c = *it->second;
    c.flushPending = false;
    if (!c.closing) flush(c);
  }
  pendingFlush_.clear();
}

void ChatServer::sent(Connection& c, std::size_t n) {
  c.queuedBytes -= n;
  while (n > 0) {
    const Delivery& front = c.output.front();
    const std::size_t take = std::min(n, front.wireSize() - c.sentOfFront);
    c.sentOfFront += take;
    n -= take;
    if (c.sentOfFront == front.wireSize()) {
      if (front.isFile()) c.fileSizes.erase(c.fileSizes.find(front.wireSize()));
      c.output.pop_front();
      c.sentOfFront = 0;
      c.fileWindow.clear();
      c.fileWindowStart = 0;
    }
  }
}

bool ChatServer::sendFile(Connection& c) {
  const Delivery& front = c.output.front();
  const std::size_t done = c.sentOfFront - front.bytes->size();
  if (done == c.fileWindowStart + c.fileWindow.size()) {
    // Read the next window. A plain read and send measured faster here than sendfile(),
    // whose page references slow the receiving side down on loopback.
    const std::size_t want = std::min(kFileWindowBytes, front.fileBytes - done);
    c.fileWindow.resize(want);
    ssize_t got = -1;
    do {
      got = ::pread(front.file->get(), c.fileWindow.data(), want, static_cast<off_t>(done));
    } while (got < 0 && errno == EINTR);
    // The message's length is on the wire already: a file that shrank or cannot be read
    // leaves the stream out of step, so the connection ends.
    if (got <= 0) {
      drop(c, got == 0 ? std::string("the file shrank while being sent")
                       : std::string("reading a file failed: ") + std::strerror(errno));
      return false;
    }
    c.fileWindow.resize(static_cast<std::size_t>(got));
    c.fileWindowStart = done;
  }
  const std::string_view rest = std::string_view(c.fileWindow).substr(done - c.fileWindowStart);
  const ssize_t n = ::send(c.fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
  if (n > 0) {
    sent(c, static_cast<std::size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  drop(c, std::string("send failed: ") + std::strerror(errno));
  return false;
}

void ChatServer::flush(Connection& c) {
  constexpr std::size_t kGather = 64;
  while (!c.output.empty()) {
    const Delivery& front = c.output.front();
    if (front.fileBytes > 0 && c.sentOfFront >= front.bytes->size()) {
      const std::size_t before = c.queuedBytes;
      if (!sendFile(c)) return;
      if (c.queuedBytes == before) break;  // the socket is full
      continue;
    }
    // The bytes in memory at the head of the queue, up to and including the head of the
    // next file, leave in one call.
    std::array<iovec, kGather> parts{};
    std::size_t count = 0;
    for (auto it = c.output.begin(); it != c.output.end() && count < kGather; ++it) {
      const std::size_t skip = it == c.output.begin() ? c.sentOfFront : 0;
      const std::string& bytes = *it->bytes;
      if (skip < bytes.size()) {
        parts[count++] = {const_cast<char*>(bytes.data()) + skip, bytes.size() - skip};
      }
      if (it->fileBytes > 0) break;
    }
    msghdr header{};
    header.msg_iov = parts.data();
    header.msg_iovlen = count;
    const ssize_t n = ::sendmsg(c.fd.get(), &header, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      drop(c, std::string("send failed: ") + std::strerror(errno));
      return;
    }
    sent(c, static_cast<std::size_t>(n));
  }
  watchWrites(c, !c.output.empty());
}

void ChatServer::watchWrites(Connection& c, bool on) {
  if (c.watchingWrites == on) return;
  epoll_event event{};
  event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  event.data.u64 = c.id;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &event) != 0) {
    drop(c, std::string("unable to watch the connection: ") + std::strerror(errno));
    return;
  }
  c.watchingWrites = on;
}

void ChatServer::drop(Connection& c, const std::string& reason) {
  if (c.closing) return;
  c.closing = true;
  c.dropReason = reason;
  dropped_.push_back(c.id);
}

void ChatServer::closeDropped() {
  // Telling the others that someone left may drop further connections; go on until done.
  while (!dropped_.empty()) {
    const ConnectionId id = dropped_.back();
    dropped_.pop_back();
    const auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    log("connection " + std::to_string(id) + " closed: " + it->second->dropReason);
    // Closing the descriptor also takes it out of the epoll set.
    connections_.erase(it);
    deliver(room_.disconnect(id));
  }
}
