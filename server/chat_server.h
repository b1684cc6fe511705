// The local server's event loop: one thread, one epoll set, non-blocking sockets.
//
// The loop accepts connections, cuts each connection's input into messages with its own
// MessageStream, hands every complete message to the ChatRoom, and queues the replies on
// the receiving connections. A connection's queue is written out as the socket takes it,
// so a client that reads slowly delays only itself; one that stops reading is dropped once
// its queue holds more than outputLimit bytes besides the largest file it is receiving.
//
// Threads: run() and everything it calls belong to the thread that calls run(). stop()
// may be called from any thread and from a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "message.h"
#include "message_stream.h"
#include "platform/unique_fd.h"
#include "server/requests.h"

inline constexpr std::uint16_t kDefaultPort = 9002;

struct ServerSettings {
  // Dotted IPv4 address to listen on; 0.0.0.0 means every interface.
  std::string address = "127.0.0.1";
  // 0 lets the system choose; port() tells which.
  std::uint16_t port = kDefaultPort;
  // Bytes waiting for one client, besides the largest file being sent to it, before that
  // client is dropped.
  std::size_t outputLimit = std::size_t{64} << 20;
  // Largest message taken from a client; clients send only short lines.
  std::size_t inputLimit = std::size_t{1} << 20;
  // Handed to the room; ChatServer keeps no copy.
  RoomSettings room;
};

class ChatServer {
 public:
  // Opens the files directory, then binds and listens. Raises std::runtime_error with
  // "Unable to listen on " + address + ":" + port + ": " + the system's reason, or as
  // ChatRoom's constructor does.
  explicit ChatServer(ServerSettings settings);
  ~ChatServer();
  ChatServer(const ChatServer&) = delete;
  ChatServer& operator=(const ChatServer&) = delete;

  // The port listened on, also when the system chose it.
  std::uint16_t port() const { return port_; }

  // Logs "listening on ADDRESS:PORT", then serves until stop(); closes every connection
  // and the listening socket before it returns. Raises std::runtime_error when the system
  // fails the loop itself. REQUIRES: called once.
  void run();
  // Makes run() return soon. Safe from any thread and from a signal handler.
  void stop() noexcept;

 private:
  struct Connection {
    ConnectionId id = 0;
    UniqueFd fd;
    std::string peer;
    MessageStream stream;
    message record;
    // Every entry's `to` is this connection's id.
    std::deque<Delivery> output;
    std::size_t sentOfFront = 0;
    std::size_t queuedBytes = 0;  // not yet sent, over the whole queue
    std::multiset<std::size_t> fileSizes;
    bool watchingWrites = false;
    bool flushPending = false;
    // Bytes of the front delivery's file read but not all sent yet, from fileWindowStart on.
    std::string fileWindow;
    std::size_t fileWindowStart = 0;
    bool closing = false;
    std::string dropReason;

    explicit Connection(std::size_t inputLimit) : stream(inputLimit) {}
  };

  void log(std::string_view line) const;
  void acceptConnections();
  void refuseOneConnection();
  void readFrom(Connection& c);
  void takeInput(Connection& c, std::string_view bytes);
  void deliver(std::vector<Delivery> deliveries);
  void enqueue(Connection& c, Delivery&& d);
  // Writes what c's queue holds as far as the socket takes it: queued messages gathered
  // into one call, a file straight from the disk.
  void flush(Connection& c);
  // Sends more of the front delivery's file, read from the disk a window at a time; false
  // when the connection is dropped.
  bool sendFile(Connection& c);
  // Counts n bytes of c's queue as sent.
  void sent(Connection& c, std::size_t n);
  // Flushes every connection that got output since the last call: the replies of a whole
  // batch of events leave together, as few calls per connection as the queue allows.
  void flushPending();
  void watchWrites(Connection& c, bool on);
  // Marks c to be closed once the current event is handled, for the reason given.
  void drop(Connection& c, const std::string& reason);
  void closeDropped();

  ServerSettings settings_;
  ChatRoom room_;
  UniqueFd listener_;
  UniqueFd epoll_;
  UniqueFd wakeup_;
  // Held back so that a connection can still be accepted and closed when descriptors run out.
  UniqueFd spare_;
  std::uint16_t port_ = 0;
  ConnectionId nextId_ = 1;
  std::unordered_map<ConnectionId, std::unique_ptr<Connection>> connections_;
  std::vector<ConnectionId> dropped_;
  std::vector<ConnectionId> pendingFlush_;
  std::vector<char> readBuffer_;
};

// Raises the soft limit on open descriptors to the hard limit and returns the new soft
// limit, so that a thousand connections fit.
std::uint64_t raiseDescriptorLimit();
