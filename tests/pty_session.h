// Runs a program on a pseudo-terminal of its own, for end-to-end tests: the test types
// keys, reads what the program shows, looks at the terminal settings it leaves, sends it
// signals and collects its exit status.
//
// Everything that waits takes a time limit; the destructor kills a child still running,
// so a test that fails half-way never leaves a process behind or hangs.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a child ended: an exit code, or the signal that ended it.
struct ChildEnd {
  bool exited = false;
  int code = -1;   // when exited
  int signal = 0;  // when not exited
};

class PtySession {
 public:
  // Starts path with args (without argv[0]) in a new session whose controlling terminal,
  // standard input, output and error are the slave side of a fresh pty (80x24). A
  // non-empty workingDir is entered first; extraEnv entries ("NAME=value") are added to
  // the environment. Raises std::runtime_error when the pty or the child cannot be made.
  static std::unique_ptr<PtySession> start(const std::string& path,
                                           const std::vector<std::string>& args = {},
                                           const std::string& workingDir = "",
                                           const std::vector<std::string>& extraEnv = {});
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Types bytes at the terminal.
  void send(std::string_view bytes);
  // Waits until text shows up in the output after the end of the previous match; true
  // when it did within timeout. The output read while waiting is kept either way.
  bool expect(std::string_view text, std::chrono::milliseconds timeout);
  // Reads what the child wrote meanwhile, waiting at most `wait` for the first bytes. A
  // test that works elsewhere for a while calls it so that a child writing a lot never
  // stalls on a full terminal.
  void pump(std::chrono::milliseconds wait) { readAvailable(wait); }
  // Everything the child wrote so far, as the terminal passed it on (so "\n" arrives as
  // "\r\n" while output processing is on).
  const std::string& output() const { return output_; }
  // The terminal settings as they are now. The helper keeps a slave descriptor open, so
  // they can be read also after the child has ended.
  termios settings() const;
  // The settings the terminal had when the child started.
  const termios& initialSettings() const { return initial_; }
  // Sends sig to the child.
  void signal(int sig);
  // Waits for the child to end, reading its output meanwhile; nullopt when it is still
  // running after timeout.
  std::optional<ChildEnd> waitExit(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  PtySession() = default;
  // Reads what is there now, waiting at most `wait` for the first bytes.
  void readAvailable(std::chrono::milliseconds wait);

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  std::optional<ChildEnd> end_;
  termios initial_{};
  std::string output_;
  std::size_t matchedUpTo_ = 0;
};

// Runs path with args in a new session with no controlling terminal: standard input from
// /dev/null, standard output and error captured together. Kills it after timeout.
struct DetachedRun {
  std::optional<ChildEnd> end;  // nullopt: killed after the timeout
  std::string output;
};
DetachedRun runWithoutTerminal(const std::string& path, const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout);

// Waits for the child pid to end until deadline, and kills it then. How it ended;
// nullopt when it had to be killed.
std::optional<ChildEnd> reapOrKill(pid_t pid, std::chrono::steady_clock::time_point deadline);

// True when both hold the same modes and control characters.
bool sameSettings(const termios& a, const termios& b);
