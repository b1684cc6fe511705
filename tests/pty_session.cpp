#include "pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// argv and envp for execve, built before fork so the child only makes system calls.
struct ExecArgs {
  std::vector<std::string> storage;
  std::vector<char*> argv;
  std::vector<char*> envp;

  ExecArgs(const std::string& path, const std::vector<std::string>& args,
           const std::vector<std::string>& extraEnv) {
    storage.push_back(path);
    storage.insert(storage.end(), args.begin(), args.end());
    const std::size_t argCount = storage.size();
    // An extra entry replaces an inherited one of the same name.
    const auto overridden = [&](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('=') + 1);
      for (const std::string& extra : extraEnv) {
        if (std::string_view(extra).substr(0, extra.find('=') + 1) == name) return true;
      }
      return false;
    };
    for (char** e = environ; *e != nullptr; ++e) {
      if (!overridden(*e)) storage.emplace_back(*e);
    }
    storage.insert(storage.end(), extraEnv.begin(), extraEnv.end());
    for (std::size_t i = 0; i < storage.size(); ++i)
      (i < argCount ? argv : envp).push_back(storage[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

// In the child, between fork and exec: signals as a freshly started program has them,
// and no core file from a child that a test makes crash.
void prepareChild() {
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGQUIT, SIGCHLD}) ::signal(sig, SIG_DFL);
}

ChildEnd endOf(int status) {
  ChildEnd end;
  if (WIFEXITED(status)) {
    end.exited = true;
    end.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
  }
  return end;
}

// Polls for the child's end until deadline, calling `between` while it runs.
template <typename Between>
std::optional<ChildEnd> reapBy(pid_t pid, Clock::time_point deadline, Between between) {
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return endOf(status);
    if (done < 0 && errno != EINTR) return ChildEnd{};
    if (Clock::now() >= deadline) return std::nullopt;
    between();
  }
}

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

milliseconds leftUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
  return std::max(left, milliseconds(0));
}

}  // namespace

std::unique_ptr<PtySession> PtySession::start(const std::string& path,
                                              const std::vector<std::string>& args,
                                              const std::string& workingDir,
                                              const std::vector<std::string>& extraEnv) {
  std::unique_ptr<PtySession> session(new PtySession());
  PtySession& s = *session;
  s.master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.master_ < 0) fail("posix_openpt");
  if (::grantpt(s.master_) != 0) fail("grantpt");
  if (::unlockpt(s.master_) != 0) fail("unlockpt");
  char slaveName[128];
  if (::ptsname_r(s.master_, slaveName, sizeof slaveName) != 0) fail("ptsname_r");
  s.slave_ = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s.slave_ < 0) fail(std::string("open ") + slaveName);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  ::ioctl(s.slave_, TIOCSWINSZ, &size);
  if (::tcgetattr(s.slave_, &s.initial_) != 0) fail("tcgetattr");
  if (::fcntl(s.master_, F_SETFL, ::fcntl(s.master_, F_GETFL) | O_NONBLOCK) != 0) fail("fcntl");

  ExecArgs exec(path, args, extraEnv);
  // The child reports a failed exec through this pipe; a successful one closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) fail("pipe2");

  s.pid_ = ::fork();
  if (s.pid_ < 0) {
    ::close(report[0]);
    ::close(report[1]);
    fail("fork");
  }
  if (s.pid_ == 0) {
    ::close(report[0]);
    prepareChild();
    int err = 0;
    if (::setsid() < 0 || ::ioctl(s.slave_, TIOCSCTTY, 0) != 0 || ::dup2(s.slave_, 0) < 0 ||
        ::dup2(s.slave_, 1) < 0 || ::dup2(s.slave_, 2) < 0 ||
        (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)) {
      err = errno;
    } else {
      ::execve(path.c_str(), exec.argv.data(), exec.envp.data());
      err = errno;
    }
    ssize_t ignored = ::write(report[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int childErr = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &childErr, sizeof childErr);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof childErr)) {
    errno = childErr;
    fail("starting " + path);  // the destructor reaps the child
  }
  return session;
}

PtySession::~PtySession() {
  if (pid_ > 0 && !end_) killAndReap(pid_);
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

void PtySession::send(std::string_view bytes) {
  const auto deadline = Clock::now() + milliseconds(2000);
  while (!bytes.empty()) {
    ssize_t done = ::write(master_, bytes.data(), bytes.size());
    if (done > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(done));
    } else if (done < 0 && errno != EINTR && errno != EAGAIN) {
      fail("writing to the pty");
    } else if (Clock::now() >= deadline) {
      throw std::runtime_error("writing to the pty: the child reads nothing");
    } else {
      // The input queue is full: let the child read, and keep its output flowing.
      readAvailable(milliseconds(10));
    }
  }
}

void PtySession::readAvailable(milliseconds wait) {
  pollfd p{master_, POLLIN, 0};
  int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
  if (ready <= 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got > 0) {
      output_.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return;  // EAGAIN: all read for now
  }
}

bool PtySession::expect(std::string_view text, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::size_t at = output_.find(text, matchedUpTo_);
    if (at != std::string::npos) {
      matchedUpTo_ = at + text.size();
      return true;
    }
    if (Clock::now() >= deadline) return false;
    readAvailable(std::min(leftUntil(deadline), milliseconds(50)));
  }
}

termios PtySession::settings() const {
  termios now{};
  if (::tcgetattr(slave_, &now) != 0) fail("tcgetattr");
  return now;
}

void PtySession::signal(int sig) {
  if (pid_ > 0 && !end_) ::kill(pid_, sig);
}

std::optional<ChildEnd> PtySession::waitExit(milliseconds timeout) {
  if (end_) return end_;
  end_ = reapBy(pid_, Clock::now() + timeout, [this] { readAvailable(milliseconds(10)); });
  // Whatever the child wrote before it ended is still in the pty.
  if (end_) readAvailable(milliseconds(0));
  return end_;
}

DetachedRun runWithoutTerminal(const std::string& path, const std::vector<std::string>& args,
                               milliseconds timeout) {
  ExecArgs exec(path, args, {});
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe2");
  pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    prepareChild();
    int devNull = ::open("/dev/null", O_RDONLY);
    if (::setsid() >= 0 && devNull >= 0 && ::dup2(devNull, 0) >= 0 && ::dup2(out[1], 1) >= 0 &&
        ::dup2(out[1], 2) >= 0)
      ::execve(path.c_str(), exec.argv.data(), exec.envp.data());
    ::_exit(127);
  }
  ::close(out[1]);

  DetachedRun run;
  const auto deadline = Clock::now() + timeout;
  bool open = true;
  auto readSome = [&](milliseconds wait) {
    if (!open) {
      std::this_thread::sleep_for(std::min(wait, milliseconds(10)));
      return;
    }
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return;
    char buffer[4096];
    ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got > 0) {
      run.output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      open = false;
    }
  };
  run.end =
      reapBy(pid, deadline, [&] { readSome(std::min(leftUntil(deadline), milliseconds(20))); });
  if (!run.end) {
    killAndReap(pid);
  } else {
    // The pipe holds the rest; its end comes once the child (and anything it left) is gone.
    while (open && Clock::now() < deadline) readSome(milliseconds(20));
  }
  ::close(out[0]);
  return run;
}

std::optional<ChildEnd> reapOrKill(pid_t pid, Clock::time_point deadline) {
  std::optional<ChildEnd> end =
      reapBy(pid, deadline, [] { std::this_thread::sleep_for(milliseconds(10)); });
  if (!end) killAndReap(pid);
  return end;
}

bool sameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::equal(std::begin(a.c_cc), std::end(a.c_cc), b.c_cc);
}
