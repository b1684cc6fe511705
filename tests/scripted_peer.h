// A server played by the test itself, to misbehave on cue: it listens on 127.0.0.1 (port
// 9002 by default, inside the test's own network namespace), takes the client's
// connection and logon, and then sends exactly the bytes, in exactly the pieces, that the
// test asks for, or ends the connection rudely.
//
// One connection at a time; accepting a new one drops the old. Every wait is bounded and
// raises std::runtime_error when it runs out, so a test never hangs on a silent client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "loopback.h"
#include "message.h"
#include "platform/unique_fd.h"

class ScriptedPeer {
 public:
  // Listens at once. whileBlocked runs whenever a send has to wait for the client to read;
  // a test passes something that keeps the client's terminal output flowing, so the
  // client is never stuck writing its screen while the peer waits for it.
  explicit ScriptedPeer(std::uint16_t port = 9002, std::function<void()> whileBlocked = {});

  // Waits for the next connection and for its first message, which must be the logon;
  // returns it. Raises when no connection or no logon comes.
  message acceptLogon(std::chrono::milliseconds timeout);
  // The next whole message from the client.
  message receive(std::chrono::milliseconds timeout);

  // Writes all of bytes, as few sends as the system allows.
  void send(std::string_view bytes);
  // Writes bytes in sends of `piece` bytes each, pausing between them so that the client
  // tends to see each piece in a read of its own.
  void sendInPieces(std::string_view bytes, std::size_t piece, std::chrono::microseconds pause);
  // Ends the connection with a reset: unread and unsent data are thrown away.
  void reset();
  // Ends the connection in order.
  void close();

  // Wire bytes of a message from the server's side.
  static std::string chat(std::string_view from, std::string_view text);
  static std::string info(std::string_view text);
  static std::string file(std::string_view name, std::string_view data);
  static std::string userList(const std::vector<std::string>& names);

 private:
  UniqueFd listener_;
  UniqueFd connection_;
  std::function<void()> whileBlocked_;
  loopback::MessageReader reader_;
};
