// The kq7com-server program itself: options, exit statuses, the start-up log line and
// the signals that stop it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/accounts.h"
#include "server_test_support.h"

extern char** environ;

namespace {

using testsupport::logonMessage;
using testsupport::request;
using testsupport::WireClient;

// The program under test with its three standard streams on pipes.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& args, const std::string& input = "") {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {KQ7_SERVER_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int error =
        ::posix_spawn(&pid_, KQ7_SERVER_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    out_.reset(out[0]);
    err_.reset(err[0]);
    if (error != 0) {
      ::close(in[1]);
      throw std::runtime_error("cannot start " + std::string(KQ7_SERVER_BINARY));
    }
    // Small enough for the pipe: the write cannot block.
    [[maybe_unused]] const ssize_t written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
  }

  ~ServerProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Reads standard error until it holds text; raises when it does not in time.
  void awaitError(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + testsupport::kWait;
    while (error_.find(text) == std::string::npos) {
      if (!readFrom(err_, error_, deadline)) {
        throw std::runtime_error("no '" + text + "' in: " + error_);
      }
    }
  }

  // The port of the "listening on 127.0.0.1:PORT" line.
  std::uint16_t listeningPort() {
    const std::string prefix = "listening on 127.0.0.1:";
    awaitError(prefix);
    const std::size_t at = error_.find(prefix) + prefix.size();
    const auto deadline = std::chrono::steady_clock::now() + testsupport::kWait;
    while (error_.find('\n', at) == std::string::npos) {
      if (!readFrom(err_, error_, deadline)) throw std::runtime_error("no port in: " + error_);
    }
    return static_cast<std::uint16_t>(std::stoi(error_.substr(at)));
  }

  // Waits for the exit, collecting both outputs; the exit status, or -1 for a signal.
  int wait() {
    const auto deadline = std::chrono::steady_clock::now() + testsupport::kWait;
    while (readFrom(out_, output_, deadline) || readFrom(err_, error_, deadline)) {
    }
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no exit");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void signal(int number) { ::kill(pid_, number); }
  const std::string& output() const { return output_; }
  const std::string& error() const { return error_; }

 private:
  // One read into text; false at end of file.
  static bool readFrom(const UniqueFd& fd, std::string& text,
                       std::chrono::steady_clock::time_point deadline) {
    if (!fd) return false;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("timed out; so far: " + text);
      pollfd p{fd.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      text.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  UniqueFd out_;
  UniqueFd err_;
  std::string output_;
  std::string error_;
};

TEST(ServerProgram, HelpExplainsEveryOptionAndTheBuiltInAccounts) {
  ServerProcess help({"--help"});
  ASSERT_EQ(help.wait(), 0);
  for (const char* option : {"--listen ADDR", "--port N", "--files DIR", "--accounts FILE",
                             "--hash-password NAME [PASSWORD]", "--help"}) {
    EXPECT_NE(help.output().find(option), std::string::npos) << option;
  }
  for (const DemoLogin& login : kDemoLogins) {
    const std::string line = "  " + std::string(login.name) + " / " + std::string(login.password);
    EXPECT_NE(help.output().find(line + "\n"), std::string::npos) << line;
  }
}

TEST(ServerProgram, BadStartsExitWithAReason) {
  ScratchDir dir;
  const std::string badAccounts = dir.write("accounts.txt", "# ok\nbroken\n").string();
  const std::string missingDir = (dir.path() / "missing").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string error;
  };
  const Case kCases[] = {
      {{"--port", "70000"}, 2, "kq7com-server: invalid port '70000': expected 0 to 65535\n"},
      {{"--port", "-1"}, 2, "kq7com-server: invalid port '-1': expected 0 to 65535\n"},
      {{"--port"}, 2, "kq7com-server: missing value after --port\n"},
      {{"--verbose"}, 2, "kq7com-server: unknown option '--verbose'\n"},
      {{"--hash-password"},
       2,
       "kq7com-server: --hash-password takes a name and, optionally, a password\n"},
      {{"--accounts", badAccounts},
       1,
       "kq7com-server: " + badAccounts + ", line 2: expected name:salt:hash"},
      {{"--files", missingDir, "--port", "0"},
       1,
       "kq7com-server: Unable to open files directory '" + missingDir +
           "': No such file or directory\n"},
      {{"--listen", "300.1.2.3", "--port", "0"},
       1,
       "kq7com-server: Unable to listen on 300.1.2.3:0: not a dotted IPv4 address\n"},
  };
  for (const Case& c : kCases) {
    ServerProcess process(c.args);
    EXPECT_EQ(process.wait(), c.status) << c.args[0];
    EXPECT_EQ(process.error().substr(0, c.error.size()), c.error) << c.args[0];
  }
}

TEST(ServerProgram, ServesUntilInterruptedOrTerminatedThenExitsCleanly) {
  ScratchDir dir;
  for (int number : {SIGINT, SIGTERM}) {
    ServerProcess server({"--port", "0", "--files", dir.path().string()});
    WireClient client(server.listeningPort());
    client.send(logonMessage("zed"));
    EXPECT_EQ(client.receive().getMsg(), "Welcome to the local KQ7Com server, zed");
    server.awaitError("zed logged on");

    server.signal(number);
    EXPECT_EQ(server.wait(), 0) << strsignal(number);
    client.expectClosed();
    EXPECT_NE(server.error().find("stopping: closing 1 connections\nstopped\n"), std::string::npos)
        << server.error();
  }
}

TEST(ServerProgram, HashedPasswordLinesWorkAsAnAccountsFile) {
  ScratchDir dir;
  ServerProcess fromArgument({"--hash-password", "zed", "secret words"});
  ASSERT_EQ(fromArgument.wait(), 0);
  ServerProcess fromInput({"--hash-password", "yan"}, "from stdin\r\n");
  ASSERT_EQ(fromInput.wait(), 0);

  const std::string file =
      dir.write("accounts.txt", fromArgument.output() + fromInput.output()).string();
  const Accounts accounts = Accounts::load(file);
  EXPECT_NE(accounts.verify("zed", "secret words"), nullptr);
  EXPECT_NE(accounts.verify("yan", "from stdin"), nullptr);

  ServerProcess server({"--port", "0", "--files", dir.path().string(), "--accounts", file});
  WireClient client(server.listeningPort());
  struct Case {
    const char* user;
    const char* password;
    const char* reply;
  };
  const Case kCases[] = {
      {"zed", "secret words", "Login successful"},
      {"yan", "from stdin", "Login successful"},
      {"demo", "demo", "Login failed"},  // the file replaces the built-in accounts
  };
  for (const Case& c : kCases) {
    message login = request(msgCommand, "KQ7_LOGIN");
    login.setValue("username", c.user);
    login.setValue("password", c.password);
    client.send(login);
    EXPECT_EQ(client.receive().getMsg(), c.reply) << c.user;
  }
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait(), 0);
}

}  // namespace
