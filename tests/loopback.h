// Pieces shared by the test peers that stand in for a server or a client on 127.0.0.1:
// a listening socket, and the strict reading of the messages such a peer receives.
#pragma once

#include <cstdint>
#include <deque>
#include <string_view>

#include "message.h"
#include "message_stream.h"
#include "platform/unique_fd.h"

namespace loopback {

// A blocking socket listening on 127.0.0.1:port; port 0 lets the system pick one (see
// portOf). Addresses are reusable at once, so tests may follow each other on a fixed
// port. Raises std::runtime_error naming the call that failed.
UniqueFd listen(std::uint16_t port = 0, int backlog = 8);

// The local port of a socket.
std::uint16_t portOf(int fd);

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

 private:
  MessageStream stream_;
  message record_;
  std::deque<message> ready_;
};

}  // namespace loopback
