#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/terminal.h"

namespace {

// The settings to put back, kept where a signal handler can reach them. There is at most
// one RawTerminal in the process, so this is its state; `rawActive` is raised only after
// `savedSettings` and `ttyFd` are complete and lowered before they go stale.
termios savedSettings;
int ttyFd = -1;
std::atomic<bool> rawActive{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads rawActive");
void (*signalCleanup)() noexcept = nullptr;

constexpr int kRestoringSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGSEGV,
                                     SIGBUS,  SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kSignalCount = sizeof(kRestoringSignals) / sizeof(kRestoringSignals[0]);
struct sigaction previousActions[kSignalCount];
bool handlerInstalled[kSignalCount];

std::string errnoText(int err) {
  return std::strerror(err);
}

[[noreturn]] void noTerminal(const std::string& reason) {
  throw std::runtime_error("No terminal to read keys from: " + reason);
}

// Only async-signal-safe calls from here on: the terminal gets its settings back, then
// the signal is delivered again under the disposition it had before we took it over (the
// default, unless something like a sanitizer was there first), once this handler returns.
void restoreOnSignal(int sig) {
  int savedErrno = errno;
  if (rawActive.load()) ::tcsetattr(ttyFd, TCSANOW, &savedSettings);
  if (signalCleanup != nullptr) signalCleanup();
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (kRestoringSignals[i] == sig) {
      ::sigaction(sig, &previousActions[i], nullptr);
      break;
    }
  }
  ::raise(sig);
  errno = savedErrno;
}

void restoreAtExit() {
  if (rawActive.exchange(false)) ::tcsetattr(ttyFd, TCSANOW, &savedSettings);
}

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = restoreOnSignal;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    int sig = kRestoringSignals[i];
    handlerInstalled[i] = false;
    if (::sigaction(sig, nullptr, &previousActions[i]) != 0) continue;
    // A signal the process was told to ignore (nohup) stays ignored.
    if (!(previousActions[i].sa_flags & SA_SIGINFO) && previousActions[i].sa_handler == SIG_IGN)
      continue;
    handlerInstalled[i] = ::sigaction(sig, &action, nullptr) == 0;
  }
}

void removeSignalHandlers() {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (handlerInstalled[i]) ::sigaction(kRestoringSignals[i], &previousActions[i], nullptr);
    handlerInstalled[i] = false;
  }
}

bool sameRawFlags(const termios& wanted, const termios& actual) {
  constexpr tcflag_t kInput = ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | INPCK | PARMRK;
  constexpr tcflag_t kLocal = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
  return (wanted.c_iflag & kInput) == (actual.c_iflag & kInput) &&
         (wanted.c_lflag & kLocal) == (actual.c_lflag & kLocal) &&
         (wanted.c_oflag & OPOST) == (actual.c_oflag & OPOST) &&
         actual.c_cc[VMIN] == wanted.c_cc[VMIN] && actual.c_cc[VTIME] == wanted.c_cc[VTIME];
}

}  // namespace

std::unique_ptr<RawTerminal> RawTerminal::open() {
  if (rawActive.load()) noTerminal("it is already in use by this program");
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) noTerminal(errnoText(errno));
  if (!::isatty(fd)) {
    ::close(fd);
    noTerminal("/dev/tty is not a terminal");
  }
  termios original{};
  if (::tcgetattr(fd, &original) != 0) {
    int err = errno;
    ::close(fd);
    noTerminal(errnoText(err));
  }

  termios raw = original;
  raw.c_iflag &= ~tcflag_t{ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | INPCK | PARMRK};
  raw.c_lflag &= ~tcflag_t{ICANON | ECHO | ECHONL | ISIG | IEXTEN};
  raw.c_cflag = (raw.c_cflag & ~tcflag_t{CSIZE | PARENB}) | CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  savedSettings = original;
  ttyFd = fd;
  rawActive.store(true);
  installSignalHandlers();
  static const bool atExitRegistered = std::atexit(restoreAtExit) == 0;
  (void)atExitRegistered;

  // tcsetattr reports success when any one change took, so read the result back.
  termios applied{};
  errno = 0;
  bool ok = ::tcsetattr(fd, TCSANOW, &raw) == 0 && ::tcgetattr(fd, &applied) == 0 &&
            sameRawFlags(raw, applied);
  if (!ok) {
    int err = errno;
    ::tcsetattr(fd, TCSANOW, &original);
    rawActive.store(false);
    removeSignalHandlers();
    ::close(fd);
    ttyFd = -1;
    noTerminal("cannot switch it to raw mode" + (err != 0 ? ": " + errnoText(err) : ""));
  }
  // Keys typed before now went through the line editing of the old settings, which gave
  // Enter as a line feed; they are handed out with Enter as 13, as typed.
  int typedAhead = 0;
  if (!(original.c_lflag & ICANON) || ::ioctl(fd, FIONREAD, &typedAhead) != 0) typedAhead = 0;
  auto terminal = std::unique_ptr<RawTerminal>(new RawTerminal());
  terminal->typedAhead_ = static_cast<std::size_t>(std::max(typedAhead, 0));
  return terminal;
}

void RawTerminal::setSignalCleanup(void (*cleanup)() noexcept) {
  signalCleanup = cleanup;
}

RawTerminal::~RawTerminal() {
  if (rawActive.exchange(false)) ::tcsetattr(ttyFd, TCSANOW, &savedSettings);
  removeSignalHandlers();
  ::close(ttyFd);
  ttyFd = -1;
}

std::optional<unsigned char> RawTerminal::readKey(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeout.count() < 0;
  const auto deadline = Clock::now() + (unlimited ? std::chrono::milliseconds(0) : timeout);
  for (;;) {
    int waitMs = -1;
    if (!unlimited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{ttyFd, POLLIN, 0};
    int ready = ::poll(&p, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("The terminal can no longer be read: " + errnoText(errno));
    }
    if (ready == 0) return std::nullopt;
    // A hang-up shows as POLLHUP; the read below then reports it.
    unsigned char key = 0;
    ssize_t got = ::read(ttyFd, &key, 1);
    if (got == 1) {
      if (typedAhead_ > 0) {
        --typedAhead_;
        if (key == '\n') return static_cast<unsigned char>('\r');
      }
      return key;
    }
    if (got == 0) throw std::runtime_error("The terminal can no longer be read: it was closed");
    if (errno == EINTR || errno == EAGAIN) continue;
    throw std::runtime_error("The terminal can no longer be read: " + errnoText(errno));
  }
}

void TextOutput::writeLine(std::string_view text) {
  std::string unit;
  unit.reserve(text.size() + 1);
  unit.append(text);
  unit.push_back('\n');
  write(unit);
}

void StandardOutput::writeLine(std::string_view text) {
  // The text and its line end joined, for one write(): on a terminal that measured far
  // cheaper in the kernel than writev() of the two parts. Each thread keeps its buffer for
  // the next line, unless a very long line made it large.
  constexpr std::size_t kKeptBytes = 64 * 1024;
  thread_local std::string unit;
  unit.assign(text);
  unit.push_back('\n');
  write(unit);
  if (unit.capacity() > kKeptBytes) std::string().swap(unit);
}

void StandardOutput::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t done = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (done > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(done));
      continue;
    }
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard output was left non-blocking by whoever owns it: wait until it drains.
      pollfd p{STDOUT_FILENO, POLLOUT, 0};
      int ready = ::poll(&p, 1, -1);
      if (ready < 0 && errno != EINTR) return;
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return;
      continue;
    }
    // Nowhere to write to any more; the text is lost, as the contract allows.
    return;
  }
}
