#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client_fakes.h"
#include "comtcp.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string chat(const std::string& text, const std::string& from = "amy") {
  return message(-1, from, text, msgChat).serialize();
}

// Feeds the reads one pollNetwork call each and returns what was shown.
Lines receive(ClientFixture& f, const Lines& reads) {
  for (const std::string& read : reads) {
    f.link->reads.push_back(read);
    // A read larger than the receive buffer takes more than one step.
    while (!f.link->reads.empty()) pollNetwork(f.state);
  }
  return f.seen->lines;
}

// The messages shown, with "Connected!" (which follows the first read) left out.
Lines messagesShown(const Lines& lines) {
  Lines out;
  for (const std::string& line : lines) {
    if (line != "Connected!") out.push_back(line);
  }
  EXPECT_EQ(lines.size() - out.size(), 1u) << "\"Connected!\" once";
  return out;
}

TEST(PollNetwork, MessagesAreShownInOrderWhereverReadsEnd) {
  const std::string stream = chat("one") + chat("two") + chat(std::string(70000, 'x'));
  const Lines expected = {"[amy] one", "[amy] two", "[amy] " + std::string(70000, 'x')};
  // Every cut of the first two messages into two reads.
  for (std::size_t cut = 1; cut < 2 * chat("one").size(); ++cut) {
    ClientFixture f;
    // Compared without printing: the long line would flood the report.
    EXPECT_TRUE(messagesShown(receive(f, {stream.substr(0, cut), stream.substr(cut)})) ==
                expected)
        << cut;
  }
  // One byte per read.
  ClientFixture f;
  Lines reads;
  for (char c : stream) reads.emplace_back(1, c);
  EXPECT_TRUE(messagesShown(receive(f, reads)) == expected);
  EXPECT_EQ(f.seen->connectedCalls, 1);
}

TEST(PollNetwork, BadInputIsReportedAndTheStreamGoesOn) {
  struct Case {
    Lines reads;
    Lines shown;
  };
  const std::vector<Case> kCases = {
      {{"garbage" + chat("a")}, {"Invalid Data Chunk", "[amy] a", "Connected!"}},
      {{chat("a") + "junk"}, {"[amy] a", "Invalid Data Chunk", "Connected!"}},
      {{"junk", "junk" + chat("a")}, {"Invalid Data Chunk", "Connected!", "[amy] a"}},
      {{"{xxKQ7COMxx}-1|amy|two|0|" + chat("a")},
       {"Error: conversion two", "[amy] a", "Connected!"}},
      {{"{xxKQ7COMxx}-1|amy|2|1|msg|-4|" + chat("a")},
       {"Error: conversion -4", "[amy] a", "Connected!"}},
      {{"{xxKQ7COMxx}-1|a\x1b|\x1b|0|" + chat("a")},
       {"Error: conversion ^[", "[amy] a", "Connected!"}},
      {{"{xxKQ7COMxx}-1|amy|2|1|msg|2000000000|", "xx" + chat("a")},
       {"Error: Message too large: dropped (the limit is 256 MiB)", "Connected!", "[amy] a"}},
  };
  for (const Case& c : kCases) {
    ClientFixture f;
    EXPECT_EQ(receive(f, c.reads), c.shown) << c.reads.front();
  }
}

TEST(PollNetwork, NothingToReadShowsNothing) {
  ClientFixture f;
  f.state.debugMode = true;
  pollNetwork(f.state);
  f.link->isConnected = false;
  f.link->reads.push_back(chat("never read"));
  pollNetwork(f.state);
  f.link->isAlive = false;
  pollNetwork(f.state);
  EXPECT_TRUE(f.seen->lines.empty());
}

TEST(PollNetwork, AnEndedConnectionIsReportedOnceAndANewOneStartsClean) {
  ClientFixture f;
  const std::string a = chat("a");
  f.link->reads.push_back(a.substr(0, 20));
  pollNetwork(f.state);
  f.link->results.push_back({ReadResult::Kind::lost, 0});
  pollNetwork(f.state);
  pollNetwork(f.state);  // nothing more once it has ended
  // The next connection starts at a message boundary and says "Connected!" again.
  f.link->isConnected = true;
  f.link->reads.push_back(chat("b"));
  pollNetwork(f.state);
  f.link->results.push_back({ReadResult::Kind::closed, 0});
  pollNetwork(f.state);
  EXPECT_EQ(f.seen->lines,
            (Lines{"Connected!", "Connection lost", "[amy] b", "Connected!", "Connection lost"}));
  EXPECT_EQ(f.seen->connectedCalls, 2);
}

TEST(PollNetwork, AServerThatClosesAtOnceStillCountsAsConnected) {
  ClientFixture f;
  f.link->results.push_back({ReadResult::Kind::closed, 0});
  pollNetwork(f.state);
  EXPECT_EQ(f.seen->lines, (Lines{"Connected!", "Connection lost"}));
  EXPECT_EQ(f.seen->connectedCalls, 1);
}

TEST(PollNetwork, AFailingDispatchDoesNotLoseTheRestOfTheRead) {
  ClientFixture f;
  int calls = 0;
  f.state.hooks.showMessage = [&, seen = f.seen](std::string_view text) {
    if (++calls == 1) throw std::runtime_error("screen hiccup");
    seen->lines.emplace_back(text);
  };
  receive(f, {chat("first") + chat("second")});
  EXPECT_EQ(f.seen->lines, (Lines{"Error: screen hiccup", "[amy] second", "Connected!"}));
}

class DebugTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kq7-debug-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    previous_ = fs::current_path();
    fs::current_path(dir_);
    f.state.debugMode = true;
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }
  fs::path dir_, previous_;
  ClientFixture f;
};

TEST_F(DebugTrace, OneReadTracesItsPassesAndWritesNoCopy) {
  const std::string a = chat("a");
  EXPECT_EQ(receive(f, {a + a}),
            (Lines{" x=0 tcpRead=" + std::to_string(2 * a.size()), "Partial Data Length: 0",
                   "[amy] a", " x=" + std::to_string(a.size()) + " tcpRead=" +
                                  std::to_string(2 * a.size()),
                   "Partial Data Length: 0", "[amy] a", "Connected!"}));
  EXPECT_FALSE(fs::exists("incoming.txt"));
}

TEST_F(DebugTrace, AMessageOverThreeReadsIsCopiedToIncoming) {
  message m(-1, "amy", "hi", msgChat);
  m.setValue("long", std::string(40, 'L'));
  const std::string bytes = m.serialize();
  const Lines reads = {bytes.substr(0, 30), bytes.substr(30, 30), bytes.substr(60)};
  const Lines shown = receive(f, reads);
  EXPECT_EQ(shown[0], " x=0 tcpRead=30");
  EXPECT_EQ(shown[1], "Partial Data Length: 0");
  EXPECT_EQ(shown[2], "Connected!");
  EXPECT_EQ(shown[3], " x=0 tcpRead=30");
  EXPECT_EQ(shown[4], "Partial Data Length: 30");
  EXPECT_EQ(shown[5], "Dumping Extended Message Into File");
  EXPECT_EQ(shown[7], "Partial Data Length: 60");
  EXPECT_EQ(shown[8], "Dumping Extended Message Into File");
  EXPECT_EQ(shown[9], "[amy] hi");
  std::ifstream in("incoming.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
}

}  // namespace
