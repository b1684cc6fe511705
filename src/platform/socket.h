// IPv4 TCP client sockets.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

// A dotted IPv4 address is used as it is; a name is looked up (IPv4 only) and its first
// address taken. Raises "Unable to resolve host '" + host + "'".
in_addr resolveIPv4(const std::string& host);

// A non-blocking, close-on-exec IPv4 TCP socket.
class TcpSocket {
 public:
  // Raises "Unable to create socket" or "Unable to set socket blocking".
  static TcpSocket create();

  // Connects and waits until the connection stands or timeout passes; then turns on
  // keepalive. Raises "Unable to connect socket" (refused, unreachable, timed out, or
  // already connected).
  void connect(in_addr address, std::uint16_t port, std::chrono::milliseconds timeout);

  enum class SendStatus { sent, broken, timedOut };
  // Writes every byte, waiting for room while the peer is slow but at most `stall` without
  // progress. Never raises SIGPIPE.
  SendStatus sendAll(std::string_view bytes, std::chrono::milliseconds stall);

  enum class RecvStatus { data, wouldBlock, closed, failed };
  struct Received {
    RecvStatus status;
    std::size_t count;
  };
  // One read that never waits; EINTR is retried.
  Received receive(std::span<char> buffer);

  // Ends both directions; a thread blocked on this socket wakes up. The handle stays open.
  void shutdownBoth();
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

 private:
  explicit TcpSocket(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};
