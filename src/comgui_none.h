// The console front end: the hooks that show text, the line reader, and the start and
// end of the two workers.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "comshared.h"
#include "platform/terminal.h"

inline constexpr std::string_view kConsoleGuiName = "Generic Windows (Console)";
inline constexpr std::string_view kWelcomeText = "Welcome to KQ7Com\r\n\r\nEnter Your Screen Name:";

// Every write of the client goes through here, one unit (one hook call, one echoed key,
// one line end) per call; units of the two workers never interleave. Any thread.
class ConsoleOutput {
 public:
  explicit ConsoleOutput(TextOutput& sink) : sink_(sink) {}
  void write(std::string_view unit);
  // The text and a line end, as one unit.
  void writeLine(std::string_view text);

 private:
  std::mutex mutex_;
  TextOutput& sink_;
};

enum class Echo {
  plain,   // every key is written back as typed
  masked,  // one "*" per character (passwords)
};

// Reads one line key by key, without its Enter (13). Backspace (8 or 127) removes the
// last UTF-8 character and erases the cells it took; keys that send escape sequences
// (arrows, Home, End, Delete, Page and function keys) are swallowed whole; a lone Escape is
// the character 27. A line holds at most kMaxLineBytes: keys past that are neither kept
// nor echoed, and the bell (7) is written once instead. Raises what keys.readKey raises.
// Input worker only.
std::string readLine(KeyboardInput& keys, ConsoleOutput& out, std::string_view prompt, Echo echo);

// Fills the six hooks with the console implementations writing to out.
void installConsoleHooks(ClientState& state, ConsoleOutput& out);

// Sets the front end's part of the state, greets the user, runs the input worker and the
// network worker, and returns when both have ended. Raises "Thread error: failed to start".
void initFrontEnd(ClientState& state, std::function<bool()> refreshDue, KeyboardInput& keys,
                  ConsoleOutput& out);

// The worker loops; each returns once quitRequested is set. A failure inside one pass is
// shown as "Error: " + its text and the loop goes on, except a keyboard that can no longer
// be read, which ends the client.
void inputWorker(ClientState& state, KeyboardInput& keys, ConsoleOutput& out);
void networkWorker(ClientState& state);
