#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client_fakes.h"
#include "comtcp.h"
#include "platform/files.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string chat(const std::string& text, const std::string& from = "amy") {
  return message(-1, from, text, msgChat).serialize();
}

// Feeds the reads and returns everything shown so far.
Lines receive(ClientFixture& f, const Lines& reads) {
  f.receive(reads);
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
    EXPECT_TRUE(messagesShown(receive(f, {stream.substr(0, cut), stream.substr(cut)})) == expected)
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

TEST(PollNetwork, AFullReadSaysThatMoreIsLikelyWaiting) {
  ClientFixture f;
  const std::string big = chat(std::string(100000, 'b'));
  f.link->reads.push_back(big);
  pollNetwork(f.state);
  EXPECT_TRUE(f.state.readFilledBuffer);
  pollNetwork(f.state);
  EXPECT_FALSE(f.state.readFilledBuffer);
  pollNetwork(f.state);  // nothing to read
  EXPECT_FALSE(f.state.readFilledBuffer);
}

// The debug copy and received files land in a fresh working directory.
class DebugTrace : public ::testing::Test {
 protected:
  void SetUp() override { f.state.debugMode = true; }
  ScratchDir dir_{"kq7-debug"};
  ScopedCurrentPath inDir_{dir_.path()};
  ClientFixture f;
};

TEST_F(DebugTrace, OneReadTracesItsPassesAndWritesNoCopy) {
  const std::string a = chat("a");
  EXPECT_EQ(
      receive(f, {a + a}),
      (Lines{" x=0 tcpRead=" + std::to_string(2 * a.size()), "Partial Data Length: 0", "[amy] a",
             " x=" + std::to_string(a.size()) + " tcpRead=" + std::to_string(2 * a.size()),
             "Partial Data Length: 0", "[amy] a", "Connected!"}));
  EXPECT_FALSE(fs::exists("incoming.txt"));
}

TEST_F(DebugTrace, SkippingThatEndsWhereAReadStartsIsNoPassOfItsOwn) {
  const std::string a = chat("a");
  const std::string read2 = " tcpRead=" + std::to_string(a.size());
  EXPECT_EQ(receive(f, {"junk", a}),
            (Lines{" x=0 tcpRead=4", "Partial Data Length: 0", "Invalid Data Chunk", "Connected!",
                   " x=0" + read2, "Partial Data Length: 0", "[amy] a"}));
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
  EXPECT_EQ(readFile("incoming.txt"), bytes);
}

class SpilledDownload : public DebugTrace {
 protected:
  void SetUp() override {
    DebugTrace::SetUp();
    f.state.debugMode = false;
    f.state.partialData.spillLargeValues(
        {1000, [](std::string_view, std::size_t) { return makeSpillFile("."); }});
  }
  static std::string fileMessage(const std::string& name, const std::string& data,
                                 const std::string& kind = "RECEIVE_FILE") {
    message m(-1, "srv", kind, msgData);
    m.setValue("file_name", name);
    m.setValue("file_data", data);
    return m.serialize();
  }
  static std::vector<std::string> filesHere() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SpilledDownload, ALargeFileGoesFromTheReadsToItsPlace) {
  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
  const std::string bytes = fileMessage("big.bin", data);
  Lines reads;
  for (std::size_t at = 0; at < bytes.size(); at += 40000) reads.push_back(bytes.substr(at, 40000));
  // The file is not there, not even in part, until the message is complete.
  receive(f, Lines(reads.begin(), reads.end() - 1));
  EXPECT_FALSE(fs::exists("big.bin"));
  receive(f, {reads.back()});
  EXPECT_EQ(f.seen->lines, (Lines{"Connected!", "File Received: big.bin"}));
  EXPECT_EQ(f.seen->filesReceived, 1);
  EXPECT_TRUE(readFile("big.bin") == data);
  EXPECT_EQ(filesHere(), Lines{"big.bin"}) << "no temporary file is left";
}

TEST_F(SpilledDownload, ARefusedNameLeavesNoFileBehind) {
  receive(f, {fileMessage("../escape", std::string(5000, 'e'))});
  EXPECT_EQ(f.seen->lines,
            (Lines{"File Received: ../escape", "Unable to receive file data", "Connected!"}));
  EXPECT_EQ(filesHere(), Lines{});
  fs::create_directory("taken");
  receive(f, {fileMessage("taken", std::string(5000, 't'))});
  EXPECT_EQ(f.seen->lines.back(), "Unable to receive file data");
  EXPECT_EQ(filesHere(), Lines{"taken"});
}

TEST_F(SpilledDownload, ALargeValueOfAnyOtherMessageIsReadAsUsual) {
  const std::string text(5000, 'c');
  receive(f, {chat(text), fileMessage("x.bin", std::string(5000, 'd'), "SOMETHING_ELSE")});
  EXPECT_EQ(f.seen->lines,
            (Lines{"[amy] " + text, "Connected!", "Unknown Data Stream: SOMETHING_ELSE"}));
  EXPECT_EQ(filesHere(), Lines{});
}

TEST_F(SpilledDownload, TheDebugCopyHoldsASpilledValue) {
  f.state.debugMode = true;
  const std::string data(3000, 'q');
  const std::string bytes = fileMessage("q.bin", data);
  receive(f, {bytes.substr(0, 100), bytes.substr(100)});
  EXPECT_TRUE(readFile("q.bin") == data);
  EXPECT_TRUE(readFile("incoming.txt") == bytes);
}

}  // namespace
