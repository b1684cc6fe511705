// The one process-wide client state and the table of front-end callbacks.
//
// Threads: the main thread fills the state before the workers start; then the input
// worker and the network worker share it. Flags are atomics; texts and lists that one
// worker replaces while the other reads are held in Shared<>, so a reader sees the old
// value or the new one, never a mix. Fields marked "input worker only" or "network worker
// only" are touched by that thread alone once the workers run.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message.h"
#include "message_stream.h"

class ServerLink;

// A value replaced whole by one thread while another reads it.
template <typename T>
class Shared {
 public:
  Shared() = default;
  explicit Shared(T value) : value_(std::move(value)) {}
  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

// The front end's callbacks. Filled once before the workers start, never changed after;
// callers do not test whether a hook is set. A hook may raise; its caller says what then.
struct FrontEndHooks {
  // Shows text as one line. Any thread.
  std::function<void(std::string_view text)> showMessage;
  // Shows what the user might type next. Input worker.
  std::function<void(std::string_view text)> showHint;
  // Keeps the newest user list. Network worker.
  std::function<void(std::vector<std::string> names)> setUserList;
  // After every file message, written or not. Network worker.
  std::function<void()> fileReceived;
  // Once per connection, right after "Connected!". Network worker.
  std::function<void()> connected;
  // The six resource totals in the order influence, food, minerals, energy, research
  // points, power. Network worker.
  std::function<void(const std::string& influence, const std::string& food,
                     const std::string& minerals, const std::string& energy,
                     const std::string& researchPoints, const std::string& power)>
      showResources;
};

struct ClientState {
  ClientState();
  ~ClientState();
  ClientState(const ClientState&) = delete;
  ClientState& operator=(const ClientState&) = delete;

  // The refresh predicate of the program entry. Set before the workers start; called on
  // the network worker.
  std::function<bool()> refreshDue;
  std::atomic<bool> debugMode{false};
  // Set when the game login is confirmed; never cleared.
  std::atomic<bool> gameLoggedIn{false};
  // Set by "@exit"/"@quit" (or a fatal input failure); never cleared.
  std::atomic<bool> quitRequested{false};
  // The process's exit status once the workers have ended: 1 after the keyboard failed.
  std::atomic<int> exitStatus{0};
  // Written by the input worker; every message built on either worker carries it.
  Shared<std::string> screenName;
  // Input worker only.
  std::string gameUserName;
  // The prompt the next typed line answers, or empty. Input worker only: the network
  // worker's refresh line never reads or writes it.
  std::string pendingInput;
  // Set once before the workers start.
  std::string guiName;
  // Written by the network worker, read by the input worker.
  Shared<std::vector<std::string>> userList;
  FrontEndHooks hooks;

  // The link to the server; made before the front end starts, never replaced.
  std::unique_ptr<ServerLink> tcpSocket;

  // Network worker only: the record every received message is parsed into, the stream
  // that carries a message cut by a read over to the next, the result of the last read,
  // and whether "Connected!" was shown for the current connection.
  message inbound;
  MessageStream partialData;
  std::vector<char> receiveBuffer;
  std::int64_t bytesRead = 0;
  bool connectedShown = false;
  // The last receive step filled the whole buffer, so more is most likely waiting: the
  // next step reads at once instead of asking the system first.
  bool readFilledBuffer = false;
};
