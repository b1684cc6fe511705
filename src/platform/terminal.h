// The keyboard and the screen.
//
// Keys come from the controlling terminal (/dev/tty), not from standard input, so
// redirecting standard input changes nothing; text goes to standard output.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

class KeyboardInput {
 public:
  virtual ~KeyboardInput() = default;
  // Waits for the next key byte, at most `timeout` (negative: no limit); nullopt when the
  // time passed with no key. Raises std::runtime_error with a text for the user when no
  // key can be read any more (the terminal is gone). Input worker only.
  virtual std::optional<unsigned char> readKey(std::chrono::milliseconds timeout) = 0;
};

class TextOutput {
 public:
  virtual ~TextOutput() = default;
  // Writes every byte, looping over partial writes. Raises nothing: a screen that cannot
  // be written to loses the text. Callers serialise calls (ConsoleOutput does).
  virtual void write(std::string_view bytes) = 0;
  // Writes text and a line end as write() would write them joined.
  virtual void writeLine(std::string_view text);
};

// The controlling terminal in raw mode for the life of the object: no line editing, no
// echo, no signal or flow-control keys (Ctrl+C arrives as 3), Enter arrives as 13, output
// processing kept so "\n" starts a new line. Keys typed ahead, before open(), went through
// the terminal's line editing; their line ends arrive as 13 too. The saved settings come
// back when the object dies, at exit(), and on SIGTERM, SIGHUP, SIGINT and crash signals.
class RawTerminal : public KeyboardInput {
 public:
  // Raises std::runtime_error("No terminal to read keys from: " + reason).
  static std::unique_ptr<RawTerminal> open();
  // A function for the handler of those signals to call after the terminal is restored,
  // before the process ends: it may make async-signal-safe calls only. Main thread, before
  // open().
  static void setSignalCleanup(void (*cleanup)() noexcept);
  ~RawTerminal() override;
  std::optional<unsigned char> readKey(std::chrono::milliseconds timeout) override;

 private:
  RawTerminal() = default;
  std::size_t typedAhead_ = 0;  // key bytes still to read that were typed before open()
};

// Standard output.
class StandardOutput : public TextOutput {
 public:
  void write(std::string_view bytes) override;
  // One system call for the text and its line end.
  void writeLine(std::string_view text) override;
};
