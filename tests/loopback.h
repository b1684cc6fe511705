// Pieces shared by the test peers that stand in for a server or a client on 127.0.0.1:
// listening, accepting and connecting, and the strict reading of the messages such a
// peer receives. Every wait has a deadline; running out of time raises.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string_view>

#include "message.h"
#include "message_stream.h"
#include "platform/unique_fd.h"

namespace loopback {

using Deadline = std::chrono::steady_clock::time_point;

// 127.0.0.1:port.
sockaddr_in address(std::uint16_t port);

// A blocking socket listening on 127.0.0.1:port; port 0 lets the system pick one (see
// portOf). Addresses are reusable at once, so tests may follow each other on a fixed
// port. Raises std::runtime_error naming the call that failed.
UniqueFd listen(std::uint16_t port = 0, int backlog = 8);

// The local port of a socket.
std::uint16_t portOf(int fd);

// Waits until fd shows one of `events`; false when the deadline passed first. Raises
// std::runtime_error when the wait itself fails.
bool waitFor(int fd, short events, Deadline deadline);

// The next connection on a listening socket, taken with accept4's flags. Raises
// std::runtime_error when none comes before the deadline or the accept fails.
UniqueFd acceptBefore(int listener, Deadline deadline, int flags);

// Reassembles the messages in the bytes read from a peer that must send nothing else.
class MessageReader {
 public:
  // Adds bytes as read, in pieces of any size. False when they held anything but
  // messages (a malformed message, or bytes between messages); the messages around such
  // bytes are still kept.
  bool feed(std::string_view bytes);
  bool empty() const { return ready_.empty(); }
  // The oldest message not yet taken. Only when !empty().
  message take();
  // Forgets everything, for a new connection.
  void reset();

  // One read from fd (blocking or not), waiting for bytes until the deadline: the count
  // read, or 0 when the peer ended the connection, in order or with a reset. Raises
  // std::runtime_error when nothing came in time, the read failed, or the bytes held
  // anything but messages.
  std::size_t readFrom(int fd, Deadline deadline);
  // The next whole message from fd. Raises as readFrom does, and when the connection
  // ends first.
  message receiveFrom(int fd, Deadline deadline);

 private:
  MessageStream stream_;
  message record_;
  std::deque<message> ready_;
};

}  // namespace loopback
