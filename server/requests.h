// What each message from a client causes: the chat room of the local server.
//
// ChatRoom knows the connections by number, which of them have logged on under which
// screen name, and which are logged into a game account. handle() takes one complete
// message from a connection and answers with the wire bytes to send and to whom; it never
// touches a socket, so the whole protocol can be exercised without a network.
//
// Every message the room sends has time -1, "_msgTime" and "_msgVersion", and comes from
// the server's name, except relayed chat, which comes from the speaker's screen name.
//
// Threads: one room belongs to one thread (the event loop); nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "message.h"
#include "message_stream.h"
#include "platform/unique_fd.h"
#include "server/accounts.h"

using ConnectionId = std::uint64_t;

inline constexpr std::string_view kServerVersion = "1.0";
// Room for the header and the other pairs of a file message, so that the whole message
// stays within what a client accepts.
inline constexpr std::size_t kFileMessageHeadroom = 4096;
inline constexpr std::size_t kMaxFileBytes = kMaxMessageBytes - kFileMessageHeadroom;
// A screen name becomes the sender field of relayed chat, so it is kept short and plain.
inline constexpr std::size_t kMaxScreenNameBytes = 64;

// Resources grow by these amounts a minute from the server's start.
inline constexpr Resources kGrowthPerMinute{1, 12, 8, 6, 3, 2};

// Writes one line of the server's log; the line has no line end.
using LogLine = std::function<void(std::string_view)>;
// Milliseconds since 1970-01-01 00:00 UTC.
using Clock = std::function<std::int64_t()>;

struct RoomSettings {
  std::string serverName = "server";
  // Only regular files directly in this directory can be downloaded.
  std::filesystem::path filesDir = ".";
  Accounts accounts = Accounts::demo();
  std::size_t maxFileBytes = kMaxFileBytes;
  Clock clock;  // the system clock when empty
  LogLine log;  // standard error when empty
};

// One message on its way to one connection. A broadcast shares one buffer among all its
// deliveries.
struct Delivery {
  Delivery() = default;
  Delivery(ConnectionId to_, std::shared_ptr<const std::string> bytes_,
           std::shared_ptr<const UniqueFd> file_ = nullptr, std::size_t fileBytes_ = 0)
      : to(to_), bytes(std::move(bytes_)), file(std::move(file_)), fileBytes(fileBytes_) {}

  ConnectionId to = 0;
  // The wire bytes; for a file, all of the message up to the file's own bytes.
  std::shared_ptr<const std::string> bytes;
  // A file's bytes, fileBytes of them from offset 0 of this descriptor, follow `bytes` on
  // the wire. They stay on the disk until the connection takes them, so a large download
  // neither holds the loop up nor sits in memory. Set for every file, an empty one too.
  std::shared_ptr<const UniqueFd> file;
  std::size_t fileBytes = 0;

  // A "RECEIVE_FILE" message, which may be far larger than the rest.
  bool isFile() const { return file != nullptr; }
  // Every byte on the wire: bytes then wireSize() - bytes->size() bytes of the file.
  std::size_t wireSize() const { return bytes->size() + fileBytes; }
};

// The whole wire form of d, the file's bytes read in. Raises std::runtime_error when the
// file cannot be read whole. For tests and tools; the server streams instead.
std::string wholeWireBytes(const Delivery& d);

class ChatRoom {
 public:
  // Opens the files directory and notes the start time. Raises std::runtime_error
  // "Unable to open files directory '" + dir + "': " + the system's reason.
  explicit ChatRoom(RoomSettings settings);
  // Sessions point into the accounts held here, so the room stays where it was made.
  ChatRoom(const ChatRoom&) = delete;
  ChatRoom& operator=(const ChatRoom&) = delete;

  // A new connection, not logged on. REQUIRES: id is not connected.
  void connect(ConnectionId id);
  // The replies to one complete message from a connected id, in sending order.
  std::vector<Delivery> handle(ConnectionId id, const message& m);
  // Forgets id; when it had logged on, the others are told that it left.
  std::vector<Delivery> disconnect(ConnectionId id);

  std::size_t usersLoggedOn() const { return logonOrder_.size(); }
  const RoomSettings& settings() const { return settings_; }

 private:
  struct Session {
    ConnectionId id = 0;
    std::string screenName;  // empty until logged on
    const Account* account = nullptr;
  };

  Session* find(ConnectionId id);
  std::int64_t now() const;
  std::int64_t secondsUp() const;
  // Sets the "_msgTime" and "_msgVersion" every message from the server carries.
  void stamp(message& m) const;
  // A reply from the server, stamped and serialized.
  std::shared_ptr<const std::string> wire(message& m) const;
  std::shared_ptr<const std::string> serverText(msgType type, std::string text,
                                                bool refreshUserList = false) const;
  void toLoggedOn(std::vector<Delivery>& out, const std::shared_ptr<const std::string>& bytes,
                  ConnectionId except = 0) const;
  void log(std::string_view line) const;

  std::vector<Delivery> logon(Session& session, const message& m);
  std::vector<Delivery> chat(Session& session, const message& m);
  std::vector<Delivery> command(Session& session, const message& m);
  std::shared_ptr<const std::string> userList() const;
  std::shared_ptr<const std::string> serverInfo() const;
  Delivery download(ConnectionId to, std::string_view name) const;
  std::shared_ptr<const std::string> login(Session& session, const message& m);
  std::shared_ptr<const std::string> resources(const Session& session) const;
  std::shared_ptr<const std::string> topFive() const;

  RoomSettings settings_;
  UniqueFd filesDir_;
  std::int64_t startMillis_ = 0;
  std::unordered_map<ConnectionId, Session> sessions_;
  std::vector<ConnectionId> logonOrder_;
};

// Bytes of client text made safe for one log line: control characters become '?', and
// text past `limit` bytes is cut with "...".
std::string printable(std::string_view text, std::size_t limit = 80);

// A resource total after `seconds` of growth from `start`.
Resources resourcesAfter(const Resources& start, std::int64_t seconds);
