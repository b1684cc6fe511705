// The client binary against a server that misbehaves: the test plays the server itself
// (ScriptedPeer) in its own network namespace and drives the client on a pseudo-terminal.
// After each fault the client must still work: a later chat line gets through, or, once
// the connection is gone, a new "@connect" does.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "scripted_peer.h"

namespace {

using namespace std::chrono_literals;
using e2e::connectTo;
using e2e::countOf;
using e2e::kWait;
using e2e::shows;
using e2e::type;

class HostileServer : public e2e::IsolatedTest {
 protected:
  void SetUp() override {
    IsolatedTest::SetUp();
    if (IsSkipped()) return;
    client = e2e::startClient(work);
    peer = std::make_unique<ScriptedPeer>(9002, [this] { client->pump(0ms); });
    ASSERT_TRUE(e2e::logOn(*client, "victim"));
    ASSERT_TRUE(connectTo(*client));
    peer->acceptLogon(kWait);
  }

  // The peer says something; the client must show it.
  ::testing::AssertionResult stillChats(const std::string& text) {
    peer->send(ScriptedPeer::chat("peer", text));
    return shows(*client, "[peer] " + text + "\r\n");
  }

  ::testing::AssertionResult shownBefore(std::string_view first, std::string_view second) {
    const std::string& out = client->output();
    const std::size_t a = out.find(first);
    const std::size_t b = out.find(second);
    if (a != std::string::npos && b != std::string::npos && a < b) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "\"" << first << "\" not shown before \"" << second << "\"";
  }

  ScratchDir scratch{"kq7e2e"};
  std::filesystem::path work = scratch.sub("work");
  std::unique_ptr<PtySession> client;
  std::unique_ptr<ScriptedPeer> peer;
};

// ---------------------------------------------------------------------------------------
// The connection ends in the middle of a message.

enum class Ending { reset, orderlyClose };

void PrintTo(Ending e, std::ostream* os) {
  *os << (e == Ending::reset ? "reset" : "orderly close");
}

class ConnectionCut : public HostileServer, public ::testing::WithParamInterface<Ending> {};

TEST_P(ConnectionCut, InTheMiddleOfAMessageThenConnectsAgain) {
  ASSERT_TRUE(stillChats("before the cut"));
  // The receive trace says when the client has read the first half, so the cut surely
  // lands while it holds a partial message.
  type(*client, "@debug_mode");
  ASSERT_TRUE(shows(*client, "(Debug Mode ON)"));
  const std::string cut = ScriptedPeer::chat("peer", "never completed");
  const std::string half = cut.substr(0, cut.size() / 2);
  peer->send(half);
  ASSERT_TRUE(shows(*client, " tcpRead=" + std::to_string(half.size()) + "\r\n"));
  if (GetParam() == Ending::reset) {
    peer->reset();
  } else {
    peer->close();
  }
  ASSERT_TRUE(shows(*client, "Connection lost\r\n"));
  type(*client, "@debug_mode");
  ASSERT_TRUE(shows(*client, "(Debug Mode OFF)"));

  type(*client, "hello?");
  ASSERT_TRUE(shows(*client, "Not connected: message not sent"));
  ASSERT_TRUE(connectTo(*client));
  peer->acceptLogon(kWait);
  // The half message must not be glued to the new connection's first bytes.
  ASSERT_TRUE(stillChats("after the cut"));
  ASSERT_TRUE(shows(*client, "Connected!"));
  type(*client, "heard you");
  const message relayed = peer->receive(kWait);
  EXPECT_EQ(relayed.type, msgChat);
  EXPECT_EQ(relayed.getMsg(), "heard you");

  const std::string& out = client->output();
  EXPECT_EQ(out.find("never completed"), std::string::npos);
  EXPECT_EQ(out.find("Invalid Data Chunk"), std::string::npos);
  EXPECT_EQ(out.find("Error"), std::string::npos);
  EXPECT_EQ(countOf(out, "Connection lost"), 1u);
  EXPECT_EQ(countOf(out, "Connected!"), 2u);
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

INSTANTIATE_TEST_SUITE_P(Endings, ConnectionCut,
                         ::testing::Values(Ending::reset, Ending::orderlyClose), [](const auto& c) {
                           return c.param == Ending::reset ? "Reset" : "OrderlyClose";
                         });

// ---------------------------------------------------------------------------------------
// Messages cut as finely as possible, and bad bytes between good messages.

TEST_F(HostileServer, MessagesSentOneBytePerSendArriveWhole) {
  std::string value = "bytes 128-255:";
  for (int c = 128; c < 256; ++c) value += static_cast<char>(c);
  const std::string stream = ScriptedPeer::chat("peer", "first") +
                             ScriptedPeer::chat("peer", value) +
                             ScriptedPeer::info("third, from the server");
  peer->sendInPieces(stream, 1, 200us);
  ASSERT_TRUE(shows(*client, "[peer] first\r\n"));
  ASSERT_TRUE(shows(*client, "[peer] " + value + "\r\n"));
  ASSERT_TRUE(shows(*client, "third, from the server\r\n"));
  const std::string& out = client->output();
  EXPECT_EQ(countOf(out, "[peer] first"), 1u);
  EXPECT_EQ(countOf(out, "bytes 128-255"), 1u);
  EXPECT_EQ(countOf(out, "third, from the server"), 1u);
  EXPECT_EQ(out.find("Invalid Data Chunk"), std::string::npos);
  EXPECT_EQ(out.find("Error"), std::string::npos);
  EXPECT_TRUE(stillChats("and the next one"));
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

class GarbageBetweenMessages : public HostileServer,
                               public ::testing::WithParamInterface<std::size_t> {};

TEST_P(GarbageBetweenMessages, CostsAReportLineButNoMessage) {
  using std::string_literals::operator""s;
  const std::vector<std::string> good = {"one", "two", "three", "four", "five"};
  // Each bad run ends right where a good message starts.
  const std::vector<std::string> bad = {
      "plain text\r\n",
      "\0\xff{xxKQ7"s,                            // the start of a marker, then a real one
      "{xxKQ7COMxx}-1|x|notanumber|1|msg|3|bad",  // a malformed header field
      "{xxKQ7COMxx}99999999999999999999|x|2|0|",  // a time out of range
      "{xxKQ7COMxx}-1|x|2|1|msg|-5|",             // a negative value length
  };
  std::string stream;
  for (std::size_t i = 0; i < good.size(); ++i) {
    stream += bad[i] + ScriptedPeer::chat("peer", good[i]);
  }
  peer->sendInPieces(stream, GetParam(), 500us);

  for (const std::string& text : good) ASSERT_TRUE(shows(*client, "[peer] " + text + "\r\n"));
  const std::string& out = client->output();
  for (const std::string& text : good) EXPECT_EQ(countOf(out, "[peer] " + text), 1u) << text;
  EXPECT_TRUE(shownBefore("Invalid Data Chunk", "[peer] one"));
  EXPECT_EQ(countOf(out, "Error: conversion notanumber"), 1u);
  EXPECT_EQ(countOf(out, "overflow 99999999999999999999"), 1u);
  EXPECT_EQ(countOf(out, "Error: conversion -5"), 1u);
  EXPECT_EQ(out.find("bad"), std::string::npos) << "a dropped message's bytes were shown";
  EXPECT_TRUE(stillChats("and after it all"));
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

// All in one read, in pieces that cut marker and fields, and one byte at a time.
INSTANTIATE_TEST_SUITE_P(Pieces, GarbageBetweenMessages, ::testing::Values(1 << 20, 7, 1),
                         [](const auto& c) { return "Pieces" + std::to_string(c.param); });

// ---------------------------------------------------------------------------------------
// A value announced far beyond what any message may hold.

struct HugeValue {
  const char* name;
  const char* length;    // the value length the header announces
  const char* reported;  // what the client says about it
};

void PrintTo(const HugeValue& v, std::ostream* os) {
  *os << "value length " << v.length;
}

class HugeAnnouncedValue : public HostileServer, public ::testing::WithParamInterface<HugeValue> {};

TEST_P(HugeAnnouncedValue, IsDroppedWithoutKeepingItsBytes) {
  ASSERT_TRUE(stillChats("ready"));
  const pid_t pid = client->pid();
  const std::optional<long> before = e2e::memoryKiB(pid, "VmHWM");
  ASSERT_TRUE(before.has_value());

  peer->send("{xxKQ7COMxx}-1|server|4|2|msg|12|RECEIVE_FILEfile_data|" +
             std::string(GetParam().length) + "|");
  // Far more than the bound checked below: a client that kept what it was promised
  // would show it in its peak memory.
  constexpr std::size_t kSentMiB = 96;
  const std::string chunk(std::size_t{1} << 20, 'A');
  for (std::size_t i = 0; i < kSentMiB; ++i) peer->send(chunk);
  ASSERT_TRUE(stillChats("after the flood"));

  const std::optional<long> after = e2e::memoryKiB(pid, "VmHWM");
  ASSERT_TRUE(after.has_value());
  EXPECT_LT(*after - *before, 32 * 1024)
      << "peak memory grew from " << *before << " KiB to " << *after << " KiB";
  EXPECT_EQ(countOf(client->output(), GetParam().reported), 1u) << e2e::tail(client->output());
  EXPECT_TRUE(e2e::listTree(work).empty());
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

INSTANTIATE_TEST_SUITE_P(Lengths, HugeAnnouncedValue,
                         ::testing::Values(HugeValue{"TwoGiB", "2147483648", "overflow 2147483648"},
                                           HugeValue{"TwoGiBLessOne", "2147483647",
                                                     "Message too large: dropped"}),
                         [](const auto& c) { return std::string(c.param.name); });

// ---------------------------------------------------------------------------------------
// Terminal control from the network.

TEST_F(HostileServer, EscapeSequencesNeverReachTheTerminal) {
  // Clear screen, home, retitle, alternate screen, full reset, colour, hidden text, a
  // device query, a status report request (the terminal would type the answer) and a
  // cursor move.
  const std::vector<std::string> sequences = {
      "\x1b[2J",
      "\x1b[H",
      "\x1b]0;owned\x07",
      "\x1b[?1049h",
      "\x1b"
      "c",
      "\x1b[31m",
      "\x1b[8m",
      "\x1bP+q544e\x1b\\",
      "\x1b[6n",
      "\x1b[5;5H",
  };
  std::string all;
  for (const std::string& s : sequences) all += s;
  constexpr int kLines = 1000;  // ten sequences a line: 10,000 in all
  std::string stream;
  for (int i = 0; i < kLines; ++i) {
    stream += ScriptedPeer::chat("peer", "line " + std::to_string(i) + ": " + all);
  }
  stream += ScriptedPeer::chat("\x1b[2Jmallory", "hidden \x1b[8msender");
  stream += ScriptedPeer::info("info \x1b]0;title\x07 text\rover\x7f");
  stream += ScriptedPeer::userList({"eve\x1b[1A", "plain"});
  const termios before = client->settings();

  peer->send(stream);
  ASSERT_TRUE(shows(*client, "[peer] line " + std::to_string(kLines - 1) + ": "));
  ASSERT_TRUE(shows(*client, "[^[[2Jmallory] hidden ^[[8msender\r\n"));
  ASSERT_TRUE(shows(*client, "info ^[]0;title^G text^Mover^?\r\n"));
  ASSERT_TRUE(stillChats("after the sequences"));
  type(*client, "@users");
  ASSERT_TRUE(shows(*client, "---------------------------\r\neve^[[1A\r\nplain\r\n"));

  const std::string& out = client->output();
  EXPECT_EQ(countOf(out, "[peer] line "), static_cast<std::size_t>(kLines));
  EXPECT_EQ(
      countOf(out, "^[[2J^[[H^[]0;owned^G^[[?1049h^[c^[[31m^[[8m^[P+q544e^[\\^[[6n^[[5;5H\r\n"),
      static_cast<std::size_t>(kLines));
  // The client writes line ends and nothing else below the space: no byte of the
  // server's reaches the terminal as a control.
  std::size_t controls = 0;
  for (const char c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7f) && byte != '\r' && byte != '\n') ++controls;
  }
  EXPECT_EQ(controls, 0u);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_TRUE(sameSettings(client->settings(), before));
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

// ---------------------------------------------------------------------------------------
// File names that would reach outside the working directory.

TEST_F(HostileServer, RefusedFileNamesWriteNothingAnywhere) {
  const std::filesystem::path outside = scratch.sub("outside");
  // Directories that would make the bad names work if the client tried them.
  std::filesystem::create_directory(work / "a");
  struct Refused {
    std::string name;
    std::string shownAs;
  };
  const std::string absolute = (outside / "x").string();
  const std::vector<Refused> refused = {
      {"../x", "../x"}, {absolute, absolute},
      {"a/b", "a/b"},   {".", "."},
      {"..", ".."},     {"", ""},
      {"a\\b", "a\\b"}, {std::string("x\0y", 3), "x^@y"},
  };
  for (const Refused& r : refused) {
    peer->send(ScriptedPeer::file(r.name, "must not land anywhere"));
    ASSERT_TRUE(
        shows(*client, "File Received: " + r.shownAs + "\r\nUnable to receive file data\r\n"))
        << "name: " << r.shownAs;
  }
  const std::string kept = std::string("kept\0\x80\xff", 7);
  peer->send(ScriptedPeer::file("kept.bin", kept));
  ASSERT_TRUE(shows(*client, "File Received: kept.bin\r\n"));
  ASSERT_TRUE(stillChats("files done"));

  EXPECT_EQ(readFile(work / "kept.bin"), kept);
  EXPECT_EQ(e2e::listTree(scratch.path()),
            (std::vector<std::string>{"outside", "work", "work/a", "work/kept.bin"}));
  EXPECT_EQ(countOf(client->output(), "Unable to receive file data"), refused.size());
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

// ---------------------------------------------------------------------------------------
// Chat arriving while the user types.

TEST_F(HostileServer, ChatArrivingMidLineLeavesTheTypedLineWhole) {
  client->send("hel");
  ASSERT_TRUE(shows(*client, "hel"));
  ASSERT_TRUE(stillChats("interrupting"));
  client->send("lo, peer\r");
  const message typed = peer->receive(kWait);
  EXPECT_EQ(typed.type, msgChat);
  EXPECT_EQ(typed.getMsg(), "hello, peer");
  // The shown line lands after the echo so far; the rest of the echo follows it.
  EXPECT_TRUE(shows(*client, "lo, peer"));
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

// ---------------------------------------------------------------------------------------
// A server that takes the connection and then says nothing.

TEST_F(HostileServer, SilentServerLeavesTheClientResponsive) {
  type(*client, "@users");
  ASSERT_TRUE(shows(*client, "KQ7Com User List\r\n---------------------------\r\n"));
  type(*client, "anyone there?");
  const message chat = peer->receive(kWait);
  EXPECT_EQ(chat.type, msgChat);
  EXPECT_EQ(chat.getMsg(), "anyone there?");
  type(*client, "@info");
  ASSERT_TRUE(shows(*client, "Querying Server"));
  EXPECT_EQ(peer->receive(kWait).getMsg(), "CHAT_SEND_SERVER_INFO");
  EXPECT_EQ(client->output().find("Connected!"), std::string::npos);
  EXPECT_TRUE(e2e::quitsCleanly(*client));
}

// ---------------------------------------------------------------------------------------
// Killed from outside at awkward moments: the terminal comes back every time.

enum class Moment { typing, password, download, flood };

struct Kill {
  int sig;
  Moment moment;
  std::chrono::milliseconds delay;  // after the moment is reached
};

void PrintTo(const Kill& k, std::ostream* os) {
  static const char* const kMoments[] = {"typing", "at the password", "downloading", "flooded"};
  *os << sigabbrev_np(k.sig) << ' ' << kMoments[static_cast<int>(k.moment)] << " +"
      << k.delay.count() << "ms";
}

class KilledWhile : public HostileServer, public ::testing::WithParamInterface<Kill> {};

TEST_P(KilledWhile, RestoresTheTerminal) {
  switch (GetParam().moment) {
    case Moment::typing:
      client->send("half a li");
      ASSERT_TRUE(shows(*client, "half a li"));
      break;
    case Moment::password:
      type(*client, "@kq7:login");
      ASSERT_TRUE(shows(*client, "username: "));
      type(*client, "demo");
      ASSERT_TRUE(shows(*client, "password:"));
      client->send("sec");
      ASSERT_TRUE(shows(*client, "***"));
      break;
    case Moment::download: {
      const std::string whole = ScriptedPeer::file("big.bin", std::string(8 << 20, 'z'));
      peer->send(std::string_view(whole).substr(0, 3 << 20));
      break;
    }
    case Moment::flood: {
      std::string stream;
      for (int i = 0; i < 3000; ++i)
        stream += ScriptedPeer::chat("peer", "flood " + std::to_string(i));
      peer->send(stream);
      break;
    }
  }
  std::this_thread::sleep_for(GetParam().delay);
  client->signal(GetParam().sig);
  EXPECT_TRUE(e2e::endedBySignalAndRestored(*client, GetParam().sig));
  // Nothing half-written is left behind.
  EXPECT_TRUE(e2e::listTree(work).empty());
}

std::vector<Kill> killCases() {
  // Each moment meets two different delays, one per signal.
  const std::chrono::milliseconds delays[] = {0ms, 5ms, 40ms, 150ms, 150ms, 40ms, 0ms, 5ms};
  std::vector<Kill> cases;
  std::size_t i = 0;
  for (int sig : {SIGTERM, SIGHUP}) {
    for (Moment m : {Moment::typing, Moment::password, Moment::download, Moment::flood}) {
      cases.push_back({sig, m, delays[i++]});
    }
  }
  return cases;
}

std::string killName(const ::testing::TestParamInfo<Kill>& c) {
  static const char* const kMoments[] = {"Typing", "Password", "Download", "Flood"};
  return std::string(sigabbrev_np(c.param.sig)) + kMoments[static_cast<int>(c.param.moment)] +
         std::to_string(c.param.delay.count()) + "ms";
}

INSTANTIATE_TEST_SUITE_P(Signals, KilledWhile, ::testing::ValuesIn(killCases()), killName);

// Killed right after the client has said a file arrived, while it writes the file out:
// what is left in the working directory is the whole file or nothing, never a part of it
// under any name.
class KilledWhileWriting : public HostileServer, public ::testing::WithParamInterface<int> {};

TEST_P(KilledWhileWriting, LeavesTheWholeFileOrNothing) {
  std::string content(std::size_t{32} << 20, '\0');
  for (std::size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<char>(i >> 12);
  peer->send(ScriptedPeer::file("big.bin", content));
  ASSERT_TRUE(shows(*client, "File Received: big.bin"));
  client->signal(GetParam());
  EXPECT_TRUE(e2e::endedBySignalAndRestored(*client, GetParam()));
  const std::vector<std::string> left = e2e::listTree(work);
  if (!left.empty()) {
    EXPECT_EQ(left, std::vector<std::string>{"big.bin"});
    EXPECT_TRUE(readFile(work / "big.bin") == content) << "big.bin is not whole";
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, KilledWhileWriting, ::testing::Values(SIGTERM, SIGHUP),
                         [](const auto& c) { return std::string(sigabbrev_np(c.param)); });

}  // namespace
