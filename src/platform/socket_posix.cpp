#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "platform/socket.h"

namespace {

// Waits for events on fd for at most `timeout`, retrying after signals with the time left.
// Returns the revents seen, or 0 when the time ran out.
short waitFor(int fd, short events, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) return entry.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

void setOption(int fd, int level, int name, int value) {
  // Keepalive tuning is a refinement; a kernel that refuses it still gives a working socket.
  ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

in_addr resolveIPv4(const std::string& host) {
  in_addr address{};
  if (host.find('\0') == std::string::npos) {
    if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (!host.empty() && ::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
      address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
      return address;
    }
  }
  throw std::runtime_error("Unable to resolve host '" + host + "'");
}

TcpSocket TcpSocket::create() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) throw std::runtime_error("Unable to create socket");
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    throw std::runtime_error("Unable to set socket blocking");
  }
  return TcpSocket(std::move(fd));
}

void TcpSocket::connect(in_addr address, std::uint16_t port, std::chrono::milliseconds timeout) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr = address;
  const auto fail = [] { throw std::runtime_error("Unable to connect socket"); };
  int result = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
  if (result != 0 && errno != EINPROGRESS && errno != EINTR) fail();
  if (result != 0) {
    const short seen = waitFor(fd_.get(), POLLOUT, timeout);
    if (seen == 0) fail();
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) fail();
  }
  // A link that died silently is noticed in the end; a chat line is small and wants no delay.
  setOption(fd_.get(), SOL_SOCKET, SO_KEEPALIVE, 1);
  setOption(fd_.get(), IPPROTO_TCP, TCP_KEEPIDLE, 60);
  setOption(fd_.get(), IPPROTO_TCP, TCP_KEEPINTVL, 10);
  setOption(fd_.get(), IPPROTO_TCP, TCP_KEEPCNT, 6);
  setOption(fd_.get(), IPPROTO_TCP, TCP_NODELAY, 1);
}

TcpSocket::SendStatus TcpSocket::sendAll(std::string_view bytes, std::chrono::milliseconds stall) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return SendStatus::broken;
    const short seen = waitFor(fd_.get(), POLLOUT, stall);
    if (seen == 0) return SendStatus::timedOut;
    if ((seen & POLLOUT) == 0) return SendStatus::broken;
  }
  return SendStatus::sent;
}

TcpSocket::Received TcpSocket::receive(std::span<char> buffer) {
  while (true) {
    const ssize_t count = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
    if (count > 0) return {RecvStatus::data, static_cast<std::size_t>(count)};
    if (count == 0) return {RecvStatus::closed, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {RecvStatus::wouldBlock, 0};
    return {RecvStatus::failed, 0};
  }
}

void TcpSocket::shutdownBoth() {
  ::shutdown(fd_.get(), SHUT_RDWR);
}
