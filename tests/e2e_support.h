// Shared pieces of the end-to-end tests: scratch directories, the local server as a child
// process, and the client binary on a pseudo-terminal with the steps every test repeats.
//
// Every wait has a generous limit that only guards against a hang: the sanitizer builds
// run on a shared, busy machine, and nothing here measures time.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pty_session.h"
#include "scratch_dir.h"

namespace e2e {

inline constexpr std::chrono::milliseconds kWait{20000};

// Why the test process could not get a network of its own (usually: not root), or empty.
// The test entry fills it before any test runs.
std::string& privateNetworkProblem();

// Base of every test that uses the network: skipped, with the reason, outside a private
// network, so that nothing listens on or connects to the machine's own loopback. A
// fixture's SetUp calls this first and returns when IsSkipped().
class IsolatedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!privateNetworkProblem().empty()) GTEST_SKIP() << privateNetworkProblem();
  }
};

// kq7com-server as a child process, listening on 127.0.0.1:9002 with files served from
// filesDir and its log written to logFile. Raises when it does not come up.
class ServerProcess {
 public:
  ServerProcess(const std::filesystem::path& filesDir, const std::filesystem::path& logFile);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Sends sig and waits for the end; the exit status, or nullopt when it ended otherwise.
  std::optional<int> stop(int sig);
  std::string log() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path logFile_;
};

// The client binary on a pty of its own, working in dir.
std::unique_ptr<PtySession> startClient(const std::filesystem::path& dir);

// Waits for text after the previous match; on failure says what was seen last.
::testing::AssertionResult shows(PtySession& s, std::string_view text,
                                 std::chrono::milliseconds timeout = kWait);
// Waits for the greeting, types the screen name and waits for the command hint.
::testing::AssertionResult logOn(PtySession& s, const std::string& name);
// "@connect", then host at the address prompt; waits until the attempt is under way.
::testing::AssertionResult connectTo(PtySession& s, const std::string& host = "127.0.0.1");
// Types a line and Enter.
void type(PtySession& s, std::string_view line);
// "@quit": the client must say goodbye, end with status 0 and leave the terminal as it
// found it.
::testing::AssertionResult quitsCleanly(PtySession& s);
// The child ended by sig (not by an exit) and left the terminal as it found it.
::testing::AssertionResult endedBySignalAndRestored(PtySession& s, int sig);

std::size_t countOf(std::string_view haystack, std::string_view needle);
// The last bytes of a long output, for failure messages.
std::string tail(std::string_view output, std::size_t bytes = 1500);
// Every entry below dir, as paths relative to it, sorted.
std::vector<std::string> listTree(const std::filesystem::path& dir);
// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS"); nullopt when it cannot be read.
std::optional<long> memoryKiB(pid_t pid, std::string_view field);

}  // namespace e2e
