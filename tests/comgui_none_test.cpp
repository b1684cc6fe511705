#include "comgui_none.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comvars.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Marks a point in a key script where no key comes for a while.
constexpr int kPause = -1;

// Hands out scripted key bytes. A pause answers "no key yet" to a wait with a time
// limit; an unlimited wait must never reach one, since a terminal would just go on
// waiting. Running out of keys raises, as a terminal that went away does.
class ScriptedKeys : public KeyboardInput {
 public:
  explicit ScriptedKeys(std::vector<int> script) : script_(script.begin(), script.end()) {}
  explicit ScriptedKeys(std::string_view bytes) : script_(bytes.begin(), bytes.end()) {
    for (int& k : script_) k = static_cast<unsigned char>(k);
  }

  std::optional<unsigned char> readKey(std::chrono::milliseconds timeout) override {
    if (script_.empty()) throw std::runtime_error("keys exhausted");
    int next = script_.front();
    script_.pop_front();
    if (next == kPause) {
      if (timeout.count() < 0) ADD_FAILURE() << "an unlimited wait reached a pause";
      return std::nullopt;
    }
    return static_cast<unsigned char>(next);
  }

  std::size_t left() const { return script_.size(); }

 private:
  std::deque<int> script_;
};

// Keeps every write as its own entry, so unit boundaries can be checked.
class CapturedOutput : public TextOutput {
 public:
  void write(std::string_view bytes) override { units.emplace_back(bytes); }
  std::string all() const {
    std::string joined;
    for (const std::string& u : units) joined += u;
    return joined;
  }
  std::vector<std::string> units;
};

std::vector<int> keysOf(std::initializer_list<std::string_view> parts) {
  std::vector<int> keys;
  for (std::string_view part : parts)
    for (char c : part) keys.push_back(static_cast<unsigned char>(c));
  return keys;
}

std::vector<int> withPause(std::string_view before, std::string_view after) {
  std::vector<int> keys = keysOf({before});
  keys.push_back(kPause);
  std::vector<int> rest = keysOf({after});
  keys.insert(keys.end(), rest.begin(), rest.end());
  return keys;
}

struct LineCase {
  const char* name;
  std::vector<int> keys;
  std::string line;
  std::vector<std::string> echo;  // one entry per unit written
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) {
  return os << c.name;
}

const LineCase kPlainCases[] = {
    {"backspace removes the last key", keysOf({"abc\bd\r"}), "abd", {"a", "b", "c", "\b \b", "d"}},
    {"delete key is a backspace too", keysOf({"ab\x7f\r"}), "a", {"a", "b", "\b \b"}},
    {"enter alone", keysOf({"\r"}), "", {}},
    {"backspace on empty line",
     keysOf({"\b\x7f"
             "a\r"}),
     "a",
     {"\b", "\b", "a"}},
    {"two-byte character erased whole",
     keysOf({"x\xC3\xA9\b\r"}),
     "x",
     {"x", "\xC3", "\xA9", "\b \b"}},
    {"three-byte character erased whole",
     keysOf({"\xE2\x82\xAC\b\r"}),
     "",
     {"\xE2", "\x82", "\xAC", "\b \b"}},
    {"four-byte character erased whole",
     keysOf({"a\xF0\x90\x8D\x88\b\r"}),
     "a",
     {"a", "\xF0", "\x90", "\x8D", "\x88", "\b \b"}},
    {"wide character takes two cells",
     keysOf({"\xE4\xB8\xAD\b\r"}),
     "",
     {"\xE4", "\xB8", "\xAD", "\b \b\b \b"}},
    {"wide emoji takes two cells",
     keysOf({"\xF0\x9F\x98\x80\b\r"}),
     "",
     {"\xF0", "\x9F", "\x98", "\x80", "\b \b\b \b"}},
    {"combining mark takes no cell", keysOf({"e\xCC\x81\b\r"}), "e", {"e", "\xCC", "\x81"}},
    {"only the last of several characters goes",
     keysOf({"\xC3\xA9\xC3\xA9\b\r"}),
     "\xC3\xA9",
     {"\xC3", "\xA9", "\xC3", "\xA9", "\b \b"}},
    {"stray continuation byte is one character",
     keysOf({"a\xA9\xA9\b\r"}),
     "a\xA9",
     {"a", "\xA9", "\xA9", "\b \b"}},
    {"continuation beyond a complete character is stray",
     keysOf({"\xC3\xA9\xA9\b\r"}),
     "\xC3\xA9",
     {"\xC3", "\xA9", "\xA9", "\b \b"}},
    {"unfinished character erased whole",
     keysOf({"a\xE2\x82\b\r"}),
     "a",
     {"a", "\xE2", "\x82", "\b \b"}},
    {"control key echoed raw takes no cell", keysOf({"a\x03\b\r"}), "a", {"a", "\x03"}},
    {"ctrl+c is stored",
     keysOf({"a\x03"
             "b\r"}),
     "a\x03"
     "b",
     {"a", "\x03", "b"}},
    {"percent is plain text", keysOf({"%s%%d\r"}), "%s%%d", {"%", "s", "%", "%", "d"}},
    {"bytes 128-255 echoed unchanged",
     keysOf({"\x80\xFF\xC0\r"}),
     "\x80\xFF\xC0",
     {"\x80", "\xFF", "\xC0"}},
    {"tab and line feed are ordinary", keysOf({"\t\n\r"}), "\t\n", {"\t", "\n"}},
    {"arrow keys swallowed",
     keysOf({"ab\x1b[D\x1b[C\x1b[A\x1b[B"
             "c\r"}),
     "abc",
     {"a", "b", "c"}},
    {"home end and delete swallowed",
     keysOf({"a\x1b[H\x1b[F\x1b[3~\x1b[1;5D"
             "b\r"}),
     "ab",
     {"a", "b"}},
    {"page keys and f5 swallowed", keysOf({"\x1b[5~\x1b[6~\x1b[15~\x1b[24~x\r"}), "x", {"x"}},
    {"f1 to f4 and application arrows swallowed",
     keysOf({"\x1bOP\x1bOS\x1bOA"
             "a\r"}),
     "a",
     {"a"}},
    {"lone escape is a character",
     withPause("a\x1b", "b\r"),
     "a\x1b"
     "b",
     {"a", "\x1b", "b"}},
    {"escape before a letter keeps both", keysOf({"\x1bx\r"}), "\x1bx", {"\x1b", "x"}},
    {"escape before enter ends the line", keysOf({"a\x1b\r"}), "a\x1b", {"a", "\x1b"}},
    {"escape before backspace", keysOf({"a\x1b\x7f\r"}), "a", {"a", "\x1b"}},
    {"escape escape then a sequence", keysOf({"\x1b\x1b[Dz\r"}), "\x1bz", {"\x1b", "z"}},
    {"enter inside a sequence still ends the line", keysOf({"a\x1b[1\r"}), "a", {"a"}},
    {"sequence cut short by a pause", withPause("\x1b[1;", "q\r"), "q", {"q"}},
    {"escape O then enter", keysOf({"\x1bO\r"}), "", {}},
};

class PlainLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PlainLine, StoresAndEchoes) {
  const LineCase& c = GetParam();
  ScriptedKeys keys(c.keys);
  CapturedOutput captured;
  ConsoleOutput out(captured);
  EXPECT_EQ(readLine(keys, out, "", Echo::plain), c.line);
  EXPECT_THAT(captured.units, ElementsAreArray(c.echo));
  EXPECT_EQ(keys.left(), 0u) << "keys after Enter must be left for the next line";
}

INSTANTIATE_TEST_SUITE_P(Keys, PlainLine, ::testing::ValuesIn(kPlainCases),
                         [](const auto& testCase) {
                           std::string name;
                           for (char ch : std::string(testCase.param.name))
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST(ReadLine, CsiSwallowingIsBounded) {
  // A sequence that never ends must not eat the rest of the input.
  std::string keys = "\x1b[" + std::string(200, '1') + "\r";
  ScriptedKeys scripted(keys);
  CapturedOutput captured;
  ConsoleOutput out(captured);
  std::string line = readLine(scripted, out, "", Echo::plain);
  EXPECT_FALSE(line.empty());
  EXPECT_LT(line.size(), 200u);
  EXPECT_EQ(line.find_first_not_of('1'), std::string::npos);
}

TEST(ReadLine, AFullLineRefusesKeysWithOneBell) {
  const std::string full(kMaxLineBytes, 'x');
  ScriptedKeys keys(full + "abc\r");
  CapturedOutput captured;
  ConsoleOutput out(captured);
  EXPECT_EQ(readLine(keys, out, "", Echo::plain), full);
  EXPECT_EQ(captured.all(), full + "\a");
  // Room made by a backspace takes one key; the next is refused with the bell again.
  captured.units.clear();
  ScriptedKeys more(full.substr(3) + "def" + "\b" + "yz\r");
  EXPECT_EQ(readLine(more, out, "", Echo::plain), full.substr(3) + "dey");
  EXPECT_EQ(captured.all(), full.substr(3) + "def\b \by\a");
}

TEST(ReadLine, StopsAtEnterAndLeavesTheRest) {
  ScriptedKeys keys(std::string_view("one\rtwo\r"));
  CapturedOutput captured;
  ConsoleOutput out(captured);
  EXPECT_EQ(readLine(keys, out, "", Echo::plain), "one");
  EXPECT_EQ(readLine(keys, out, "", Echo::plain), "two");
}

TEST(ReadLine, WritesThePromptFirst) {
  ScriptedKeys keys(std::string_view("a\r"));
  CapturedOutput captured;
  ConsoleOutput out(captured);
  EXPECT_EQ(readLine(keys, out, "Password: ", Echo::plain), "a");
  EXPECT_THAT(captured.units, ElementsAre("Password: ", "a"));
}

TEST(ReadLine, PassesOnAKeyboardFailure) {
  ScriptedKeys keys(std::string_view("ab"));
  CapturedOutput captured;
  ConsoleOutput out(captured);
  EXPECT_THROW(readLine(keys, out, "", Echo::plain), std::runtime_error);
}

TEST(ReadLine, MaskedEchoesOneStarPerCharacter) {
  struct Case {
    std::string keys;
    std::string line;
    std::string screen;
  };
  const Case kCases[] = {
      {"pw\r", "pw", "**"},
      {"p\xC3\xA9\xE4\xB8\xAD\r", "p\xC3\xA9\xE4\xB8\xAD", "***"},
      {"a\xE4\xB8\xAD\b\r", "a", "**\b \b"},
      {"\xF0\x9F\x98\x80\b\b\r", "", "*\b \b\b"},
      {"a\x03\b\r", "a", "**\b \b"},
      {"a\xA9\xA9\r", "a\xA9\xA9", "***"},
  };
  for (const Case& c : kCases) {
    ScriptedKeys keys(c.keys);
    CapturedOutput captured;
    ConsoleOutput out(captured);
    EXPECT_EQ(readLine(keys, out, "", Echo::masked), c.line) << c.keys;
    EXPECT_EQ(captured.all(), c.screen) << c.keys;
  }
}

class Hooks : public ::testing::Test {
 protected:
  Hooks() { installConsoleHooks(state, out); }
  ClientState state;
  CapturedOutput captured;
  ConsoleOutput out{captured};
};

TEST_F(Hooks, ShowMessageWritesTheLineAsOneUnit) {
  state.hooks.showMessage("100% sure %s\r\nnext");
  state.hooks.showMessage("");
  EXPECT_THAT(captured.units, ElementsAre("100% sure %s\r\nnext\n", "\n"));
}

TEST_F(Hooks, ShowHintWritesOneUnit) {
  state.hooks.showHint("@connect");
  EXPECT_THAT(captured.units, ElementsAre("\nHint: try @connect\n"));
}

TEST_F(Hooks, ShowResourcesOnlyWhenSomethingChanged) {
  struct Call {
    std::array<std::string, 6> values;
    const char* written;  // nullptr: nothing
  };
  const Call kCalls[] = {
      {{"", "", "", "", "", ""}, nullptr},
      {{"1", "2", "3", "4", "5", "6"},
       "[Influence: 1] [Food: 2] [Minerals: 3] [Energy: 4] [RPs: 5] [Power: 6]\n"},
      {{"1", "2", "3", "4", "5", "6"}, nullptr},
      {{"1", "2", "3", "4", "5", "7"},
       "[Influence: 1] [Food: 2] [Minerals: 3] [Energy: 4] [RPs: 5] [Power: 7]\n"},
      {{"9", "2", "3", "4", "5", "7"},
       "[Influence: 9] [Food: 2] [Minerals: 3] [Energy: 4] [RPs: 5] [Power: 7]\n"},
      // Values that were shifted between positions are a change.
      {{"9", "2", "3", "4", "7", "5"},
       "[Influence: 9] [Food: 2] [Minerals: 3] [Energy: 4] [RPs: 7] [Power: 5]\n"},
      {{"No Data", "No Data", "3", "4", "7", "5"},
       "[Influence: No Data] [Food: No Data] [Minerals: 3] [Energy: 4] [RPs: 7] [Power: 5]\n"},
      {{"No Data", "No Data", "3", "4", "7", "5"}, nullptr},
      // Back to all empty is a change like any other.
      {{"", "", "", "", "", ""},
       "[Influence: ] [Food: ] [Minerals: ] [Energy: ] [RPs: ] [Power: ]\n"},
  };
  for (const Call& call : kCalls) {
    captured.units.clear();
    const auto& v = call.values;
    state.hooks.showResources(v[0], v[1], v[2], v[3], v[4], v[5]);
    if (call.written == nullptr) {
      EXPECT_THAT(captured.units, IsEmpty()) << v[0] << " ... " << v[5];
    } else {
      EXPECT_THAT(captured.units, ElementsAre(call.written));
    }
  }
}

TEST_F(Hooks, ShowResourcesFirstCallWithValuesWrites) {
  state.hooks.showResources("", "", "", "", "", "0");
  EXPECT_THAT(captured.units,
              ElementsAre("[Influence: ] [Food: ] [Minerals: ] [Energy: ] [RPs: ] [Power: 0]\n"));
}

TEST_F(Hooks, SetUserListReplacesTheWholeList) {
  state.hooks.setUserList({"ann", "bob", "cy"});
  EXPECT_THAT(state.userList.get(), ElementsAre("ann", "bob", "cy"));
  state.hooks.setUserList({"dee"});
  EXPECT_THAT(state.userList.get(), ElementsAre("dee"));
  state.hooks.setUserList({});
  EXPECT_THAT(state.userList.get(), IsEmpty());
  EXPECT_THAT(captured.units, IsEmpty());
}

TEST_F(Hooks, FileReceivedAndConnectedShowNothing) {
  state.hooks.fileReceived();
  state.hooks.connected();
  EXPECT_THAT(captured.units, IsEmpty());
}

// Takes a byte at a time, letting other threads in between, so units written without
// the console's lock would come out mixed.
class BytewiseOutput : public TextOutput {
 public:
  void write(std::string_view bytes) override {
    for (char c : bytes) {
      {
        std::lock_guard lock(mutex_);
        text_ += c;
      }
      std::this_thread::yield();
    }
  }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

TEST(ConsoleOutputTest, UnitsFromManyThreadsNeverMix) {
  constexpr int kThreads = 6;
  constexpr int kUnitsEach = 200;
  constexpr std::size_t kUnitLength = 24;
  BytewiseOutput sink;
  ConsoleOutput out(sink);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&out, t] {
      std::string unit(kUnitLength, static_cast<char>('A' + t));
      unit += '\n';
      for (int i = 0; i < kUnitsEach; ++i) out.write(unit);
    });
  }
  for (std::thread& w : writers) w.join();

  std::string text = sink.text();
  ASSERT_EQ(text.size(), kThreads * kUnitsEach * (kUnitLength + 1));
  int counts[kThreads] = {};
  for (std::size_t at = 0; at < text.size(); at += kUnitLength + 1) {
    std::string_view unit = std::string_view(text).substr(at, kUnitLength + 1);
    const char owner = unit[0];
    ASSERT_EQ(unit, std::string(kUnitLength, owner) + "\n") << "at byte " << at;
    ++counts[owner - 'A'];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kUnitsEach);
}

TEST(StandardOutput, ALineAndItsEndLeaveTogether) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  StandardOutput screen;
  screen.writeLine("first line");
  screen.writeLine("");
  screen.write("x");
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  char buffer[64] = {};
  const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
            "first line\n\nx");
}

}  // namespace
