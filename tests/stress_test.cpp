// The client's two real workers under load, in one process: a server thread floods chat
// lines while a scripted keyboard types lines and the resource refresh keeps firing on a
// fast clock. Nothing may be lost, doubled, reordered or torn on either side, and the run
// is meant to be clean under ThreadSanitizer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comgui_none.h"
#include "comtcp_link.h"
#include "comvars.h"
#include "loopback.h"
#include "message.h"
#include "platform/unique_fd.h"
#include "refresh.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kFloodLines = 10000;
constexpr int kTypedLines = 1000;
// Only guards against a hang; a sanitizer build on a busy machine is far quicker.
constexpr auto kHangGuard = 150s;
constexpr std::size_t kSendPiece = 1500;

std::string floodText(int i) {
  // Varying lengths, so reads end at every kind of place within a message.
  return "line " + std::to_string(i) + " " + std::string(static_cast<std::size_t>(i % 97), '~');
}

std::string typedText(int i) {
  // Printable bytes, format directives and multi-byte characters; no key the line reader
  // treats specially (Enter, backspace, Escape).
  std::string line = "typed " + std::to_string(i) + " %s%n|" + "\xc3\xa9\xe6\xbc\xa2";
  line += std::string(static_cast<std::size_t>((i * 37) % 300), static_cast<char>('a' + i % 26));
  return line;
}

// The screen: every unit the client writes, in order.
class CapturedScreen : public TextOutput {
 public:
  void write(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    units_.emplace_back(bytes);
    if (bytes == "[flood] " + floodText(kFloodLines - 1) + "\n") lastFloodShown_ = true;
  }
  bool lastFloodShown() const {
    std::lock_guard lock(mutex_);
    return lastFloodShown_;
  }
  std::vector<std::string> units() const {
    std::lock_guard lock(mutex_);
    return units_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> units_;
  bool lastFloodShown_ = false;
};

// Types a fixed script, then waits for `ready` before typing the rest (or gives up
// waiting after the hang guard, so that a broken client still ends and is reported).
class ScriptedKeyboard : public KeyboardInput {
 public:
  ScriptedKeyboard(std::string first, std::function<bool()> ready, std::string rest)
      : first_(std::move(first)), ready_(std::move(ready)), rest_(std::move(rest)) {}

  std::optional<unsigned char> readKey(std::chrono::milliseconds timeout) override {
    if (at_ < first_.size()) return static_cast<unsigned char>(first_[at_++]);
    const auto until = timeout.count() < 0 ? Clock::time_point::max() : Clock::now() + timeout;
    while (!released_) {
      released_ = ready_() || Clock::now() >= giveUpAt_;
      if (released_) break;
      if (Clock::now() >= until) return std::nullopt;
      std::this_thread::sleep_for(5ms);
    }
    if (restAt_ < rest_.size()) return static_cast<unsigned char>(rest_[restAt_++]);
    throw std::runtime_error("the keyboard script has ended");
  }

 private:
  std::string first_;
  std::function<bool()> ready_;
  std::string rest_;
  std::size_t at_ = 0;
  std::size_t restAt_ = 0;
  bool released_ = false;
  const Clock::time_point giveUpAt_ = Clock::now() + kHangGuard;
};

// One connection on an ephemeral loopback port: takes the logon, confirms a game login,
// floods chat lines and records everything the client sends, until the client leaves.
class FloodServer {
 public:
  std::uint16_t port() const { return port_; }
  int chatsReceived() const { return chatCount_; }

  // Server thread. Results are read after it has been joined.
  void run() {
    const auto deadline = Clock::now() + kHangGuard;
    try {
      serve(deadline);
    } catch (const std::exception& failure) {
      problems.push_back(failure.what());
    }
  }

  std::vector<message> logons;
  std::vector<message> chats;
  int userInfoRequests = 0;
  std::vector<std::string> otherCommands;
  std::vector<std::string> problems;

 private:
  static message fromServer(msgType type, std::string text) {
    return message(-1, "server", std::move(text), type);
  }

  void serve(Clock::time_point deadline) {
    const UniqueFd connection = loopback::acceptBefore(
        listener_.get(), Clock::now() + std::chrono::seconds(60), SOCK_CLOEXEC | SOCK_NONBLOCK);

    std::string outgoing;
    std::size_t sentUpTo = 0;
    bool flooded = false;
    loopback::MessageReader reader;
    char buffer[65536];
    while (Clock::now() < deadline) {
      pollfd p{connection.get(),
               static_cast<short>(POLLIN | (sentUpTo < outgoing.size() ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, 100) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
      if (p.revents & POLLOUT) {
        // Small sends make many small reads: many passes of the network worker, and
        // messages cut at many places.
        const ssize_t sent =
            ::send(connection.get(), outgoing.data() + sentUpTo,
                   std::min<std::size_t>(kSendPiece, outgoing.size() - sentUpTo), MSG_NOSIGNAL);
        if (sent > 0) sentUpTo += static_cast<std::size_t>(sent);
      }
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) {
        if (sentUpTo < outgoing.size())
          problems.push_back("the client left before the flood ended");
        return;
      }
      if (!reader.feed(std::string_view(buffer, static_cast<std::size_t>(got)))) {
        problems.push_back("the client sent bytes that are not a message");
      }
      while (!reader.empty()) {
        note(reader.take());
        if (!flooded && !logons.empty()) {
          // The game login stands from here, so the refresh timer runs during the flood.
          message login = fromServer(msgInfo, "Login successful");
          login.setValue("Clue", "LOGGED_IN");
          outgoing += login.serialize();
          for (int i = 0; i < kFloodLines; ++i) {
            outgoing += message(-1, "flood", floodText(i), msgChat).serialize();
          }
          flooded = true;
        }
      }
    }
    problems.push_back("timed out");
  }

  void note(const message& m) {
    if (m.type == msgInfo && m.getMsg() == "INFO_LOGON") {
      logons.push_back(m);
    } else if (m.type == msgChat) {
      chats.push_back(m);
      ++chatCount_;
    } else if (m.type == msgCommand && m.getMsg() == "KQ7_SEND_USER_INFO") {
      ++userInfoRequests;
    } else {
      otherCommands.push_back(std::to_string(m.type) + " " + m.getMsg());
    }
  }

  UniqueFd listener_ = loopback::listen(0, 1);
  std::uint16_t port_ = loopback::portOf(listener_.get());
  std::atomic<int> chatCount_{0};
};

TEST(Stress, FloodWhileTypingWithTheRefreshFiring) {
  FloodServer server;
  std::thread serverThread([&server] { server.run(); });

  CapturedScreen screen;
  ConsoleOutput out(screen);
  ClientState state;
  initNetwork(state, server.port());

  std::string script = "stress\r@connect\r127.0.0.1\r";
  std::vector<std::string> typed;
  for (int i = 0; i < kTypedLines; ++i) {
    typed.push_back(typedText(i));
    script += typed.back() + "\r";
  }
  // "@quit" only once everything has crossed in both directions.
  ScriptedKeyboard keys(
      script, [&] { return screen.lastFloodShown() && server.chatsReceived() == kTypedLines; },
      "@quit\r");

  // The clock seam: every reading is half the refresh interval later, so the real
  // refresh predicate fires on every second pass of the network worker.
  std::int64_t fakeNow = 0;
  std::int64_t lastRefresh = 0;
  int refreshesFired = 0;
  const std::function<std::int64_t()> clock = [&] { return fakeNow += kRefreshIntervalMs / 2 + 1; };
  initFrontEnd(
      state,
      [&] {
        const bool due = refreshDue(state.gameLoggedIn, lastRefresh, clock);
        refreshesFired += due ? 1 : 0;
        return due;
      },
      keys, out);
  state.tcpSocket->close();
  serverThread.join();

  EXPECT_EQ(state.exitStatus, 0);
  EXPECT_TRUE(server.problems.empty()) << server.problems.front();

  // Every flooded line shown exactly once, in order, as a whole unit.
  const std::vector<std::string> units = screen.units();
  std::vector<std::string> flood;
  int notSent = 0;
  for (const std::string& unit : units) {
    if (unit.rfind("[flood] ", 0) == 0) flood.push_back(unit);
    if (unit == "Not connected: message not sent\n") ++notSent;
    EXPECT_EQ(unit.find("Error"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("Invalid Data Chunk"), std::string::npos) << unit;
  }
  ASSERT_EQ(flood.size(), static_cast<std::size_t>(kFloodLines));
  for (int i = 0; i < kFloodLines; ++i) {
    ASSERT_EQ(flood[static_cast<std::size_t>(i)], "[flood] " + floodText(i) + "\n") << "line " << i;
  }

  // Every typed line reached the server exactly once, whole and in order.
  ASSERT_EQ(server.logons.size(), 1u);
  ASSERT_EQ(server.chats.size(), typed.size());
  for (std::size_t i = 0; i < typed.size(); ++i) {
    ASSERT_EQ(server.chats[i].getMsg(), typed[i]) << "typed line " << i;
    ASSERT_EQ(server.chats[i].from, "stress");
  }
  EXPECT_TRUE(server.otherCommands.empty()) << server.otherCommands.front();

  // The refresh fired, and each request either reached the server or was reported
  // (one that met the connection closing at "@quit"); the login confirmation asked once.
  EXPECT_GT(refreshesFired, 0);
  EXPECT_TRUE(state.gameLoggedIn);
  EXPECT_EQ(server.userInfoRequests + notSent, 1 + refreshesFired);
}

}  // namespace
