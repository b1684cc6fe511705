#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef KQ7COM_BINARY
#error "KQ7COM_BINARY must name the client binary"
#endif
#ifndef KQ7_SERVER_BINARY
#error "KQ7_SERVER_BINARY must name the server binary"
#endif

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

}  // namespace

std::string& privateNetworkProblem() {
  static std::string problem;
  return problem;
}

ServerProcess::ServerProcess(const std::filesystem::path& filesDir,
                             const std::filesystem::path& logFile)
    : logFile_(logFile) {
  std::vector<std::string> args = {KQ7_SERVER_BINARY, "--files", filesDir.string()};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int failed =
      ::posix_spawn(&pid_, KQ7_SERVER_BINARY, &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + std::string(KQ7_SERVER_BINARY));

  // The first log line says the socket is listening.
  const auto deadline = Clock::now() + kWait;
  while (log().find("listening on 127.0.0.1:9002") == std::string::npos) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("the server ended at start: " + log());
    }
    if (Clock::now() >= deadline) throw std::runtime_error("the server did not start: " + log());
    std::this_thread::sleep_for(10ms);
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) stop(SIGKILL);
}

std::optional<int> ServerProcess::stop(int sig) {
  if (pid_ <= 0) return std::nullopt;
  ::kill(pid_, sig);
  const std::optional<ChildEnd> end = reapOrKill(pid_, Clock::now() + kWait);
  pid_ = -1;
  if (!end || !end->exited) return std::nullopt;
  return end->code;
}

std::string ServerProcess::log() const {
  return readFile(logFile_).value_or("");
}

std::unique_ptr<PtySession> startClient(const std::filesystem::path& dir) {
  return PtySession::start(KQ7COM_BINARY, {}, dir.string());
}

::testing::AssertionResult shows(PtySession& s, std::string_view text,
                                 std::chrono::milliseconds timeout) {
  if (s.expect(text, timeout)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "never showed \"" << text << "\"; the end of the output:\n"
         << tail(s.output());
}

::testing::AssertionResult logOn(PtySession& s, const std::string& name) {
  // Raw mode is on before the greeting is written, so keys typed after it arrive whole.
  if (auto greeted = shows(s, "Enter Your Screen Name:"); !greeted) return greeted;
  type(s, name);
  return shows(s, "Hint: try @connect");
}

::testing::AssertionResult connectTo(PtySession& s, const std::string& host) {
  type(s, "@connect");
  if (auto asked = shows(s, "Type the IP address of the server: "); !asked) return asked;
  type(s, host);
  return shows(s, "Attempting Connection to " + host);
}

void type(PtySession& s, std::string_view line) {
  s.send(line);
  s.send("\r");
}

::testing::AssertionResult quitsCleanly(PtySession& s) {
  type(s, "@quit");
  if (auto closed = shows(s, "Connection Closed"); !closed) return closed;
  const std::optional<ChildEnd> end = s.waitExit(kWait);
  if (!end) return ::testing::AssertionFailure() << "still running after @quit";
  if (!end->exited || end->code != 0) {
    return ::testing::AssertionFailure() << "ended with " << (end->exited ? "status " : "signal ")
                                         << (end->exited ? end->code : end->signal) << "; output:\n"
                                         << tail(s.output());
  }
  if (!sameSettings(s.settings(), s.initialSettings())) {
    return ::testing::AssertionFailure() << "the terminal settings were not restored";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult endedBySignalAndRestored(PtySession& s, int sig) {
  const std::optional<ChildEnd> end = s.waitExit(kWait);
  if (!end) return ::testing::AssertionFailure() << "still running after signal " << sig;
  if (end->exited) {
    return ::testing::AssertionFailure()
           << "exited with status " << end->code << " instead of ending by signal " << sig;
  }
  if (end->signal != sig) {
    return ::testing::AssertionFailure() << "ended by signal " << end->signal << ", not " << sig;
  }
  if (!sameSettings(s.settings(), s.initialSettings())) {
    return ::testing::AssertionFailure() << "the terminal settings were not restored";
  }
  return ::testing::AssertionSuccess();
}

std::size_t countOf(std::string_view haystack, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::string tail(std::string_view output, std::size_t bytes) {
  if (output.size() <= bytes) return std::string(output);
  return "..." + std::string(output.substr(output.size() - bytes));
}

std::vector<std::string> listTree(const std::filesystem::path& dir) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    entries.push_back(entry.path().lexically_relative(dir).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::optional<long> memoryKiB(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return std::nullopt;
}

}  // namespace e2e
