#include "loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace loopback {

namespace {

[[noreturn]] void fail(const std::string& call) {
  throw std::runtime_error(call + ": " + std::strerror(errno));
}

}  // namespace

sockaddr_in address(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

UniqueFd listen(std::uint16_t port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket");
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in local = address(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    fail("bind to 127.0.0.1:" + std::to_string(port));
  }
  if (::listen(fd.get(), backlog) != 0) fail("listen");
  return fd;
}

std::uint16_t portOf(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) fail("getsockname");
  return ntohs(local.sin_port);
}

bool waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) fail("poll");
  }
}

UniqueFd acceptBefore(int listener, Deadline deadline, int flags) {
  if (!waitFor(listener, POLLIN, deadline)) throw std::runtime_error("no connection came");
  UniqueFd connection(::accept4(listener, nullptr, nullptr, flags));
  if (!connection) fail("accept");
  return connection;
}

bool MessageReader::feed(std::string_view bytes) {
  bool onlyMessages = true;
  while (!bytes.empty()) {
    const MessageStream::Step step = stream_.next(bytes, record_);
    bytes.remove_prefix(step.used);
    if (step.outcome == MessageStream::Outcome::complete) ready_.push_back(record_);
    if (step.outcome == MessageStream::Outcome::dropped ||
        (step.outcome == MessageStream::Outcome::skipped && step.newRun)) {
      onlyMessages = false;
    }
  }
  return onlyMessages;
}

message MessageReader::take() {
  message next = std::move(ready_.front());
  ready_.pop_front();
  return next;
}

void MessageReader::reset() {
  stream_.reset();
  ready_.clear();
}

std::size_t MessageReader::readFrom(int fd, Deadline deadline) {
  char buffer[65536];
  for (;;) {
    if (!waitFor(fd, POLLIN, deadline)) throw std::runtime_error("no data came in time");
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0 && errno == ECONNRESET) return 0;
    if (got < 0) fail("recv");
    if (!feed(std::string_view(buffer, static_cast<std::size_t>(got)))) {
      throw std::runtime_error("the peer sent bytes that are not a message");
    }
    return static_cast<std::size_t>(got);
  }
}

message MessageReader::receiveFrom(int fd, Deadline deadline) {
  while (empty()) {
    if (readFrom(fd, deadline) == 0) throw std::runtime_error("the peer ended the connection");
  }
  return take();
}

}  // namespace loopback
