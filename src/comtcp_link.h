// The server link: the one TCP connection to the server, connecting and logging on, and
// every message the client sends.
//
// The link can be connected again after a failed connect or a lost connection; each new
// connection gets a fresh socket underneath. While a connection stands, another connect
// fails, as does everything after close().
//
// Threads: connect() and close() run on the input worker; receive() and waitReadable()
// on the network worker; send() on either (whole messages never mix on the wire).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "comshared.h"
#include "comvars.h"
#include "message.h"
#include "utc_time.h"

struct ReadResult {
  enum class Kind {
    data,     // `count` bytes arrived
    nothing,  // no data yet, or no connection to read from
    closed,   // the server ended the connection in order (a read of 0 bytes)
    lost,     // the connection broke (reset, keepalive timeout, a failed send)
  };
  Kind kind = Kind::nothing;
  std::size_t count = 0;
};

enum class SendResult {
  sent,          // every byte was handed to the system
  notConnected,  // no connection stands; nothing was written
  failed,        // the connection broke or stalled during the write; it is now lost
};

class ServerLink {
 public:
  virtual ~ServerLink() = default;

  // True from creation until close(): the handle is open, whether or not a connection
  // stands.
  virtual bool alive() const = 0;
  // True while a connection stands.
  virtual bool connected() const = 0;
  // Resolves host (a dotted IPv4 address is used as it is) and connects, waiting until
  // the connection stands. Raises "Unable to resolve host '" + host + "'" or
  // "Unable to connect socket" (also while a connection stands or after close()).
  virtual void connect(const std::string& host) = 0;
  // Writes all of bytes as one unit.
  virtual SendResult send(std::string_view bytes) = 0;
  // One read that never waits. closed and lost come once per connection; after them
  // the link is not connected until the next connect().
  virtual ReadResult receive(std::span<char> buffer) = 0;
  // Waits until a read may find something, wake() is called, or timeout passes; a
  // negative timeout waits without limit.
  virtual void waitReadable(std::chrono::milliseconds timeout) = 0;
  // Ends a waitReadable() in progress (or the next one) at once. Any thread.
  virtual void wake() = 0;
  // Closes the handle; alive() is false from then on. Closing twice does nothing more.
  virtual void close() = 0;
};

// The POSIX link: IPv4 TCP, non-blocking, close-on-exec, keepalive on, port fixed at
// construction. Its connect() pauses kConnectPause before it resolves the host. Raises "Unable to
// create socket" or "Unable to set socket blocking" when the first socket cannot be made.
std::unique_ptr<ServerLink> makeTcpServerLink(std::uint16_t port);

// Makes the link and the inbound record. Raises as makeTcpServerLink does.
void initNetwork(ClientState& state, std::uint16_t port);

bool socketAlive(const ClientState& state);

// Stamps m with "_msgTime" and "_msgVersion" and writes it. A message that cannot go
// out is reported with "Not connected: message not sent"; nothing is raised.
void sendMessage(ClientState& state, message& m);
void sendNewMessage(ClientState& state, msgType type, std::string msg);
void sendNewMessage(ClientState& state, msgType type, std::string msg, std::string key,
                    std::string value);
void sendNewMessage(ClientState& state, msgType type, std::string msg, std::string key1,
                    std::string value1, std::string key2, std::string value2);

// Shows "Attempting Connection to " + host, connects and sends "INFO_LOGON". Raises as
// ServerLink::connect does; then nothing is sent.
void connectAndLogon(ClientState& state, const std::string& host);
