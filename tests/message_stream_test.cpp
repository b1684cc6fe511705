#include "message_stream.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// What a receiver would see: one entry per dispatched message ("msg" value), per run of
// skipped bytes that starts ("<invalid>"), and per dropped message ("<error: text>").
std::vector<std::string> run(MessageStream& stream, const std::vector<std::string>& reads) {
  std::vector<std::string> seen;
  message record;
  for (const std::string& read : reads) {
    std::string_view rest = read;
    int guard = 0;
    while (!rest.empty()) {
      const MessageStream::Step step = stream.next(rest, record);
      switch (step.outcome) {
        case MessageStream::Outcome::complete:
          seen.push_back(record.getMsg());
          break;
        case MessageStream::Outcome::incomplete:
          EXPECT_EQ(step.used, rest.size());
          break;
        case MessageStream::Outcome::skipped:
          if (step.newRun) seen.push_back("<invalid>");
          break;
        case MessageStream::Outcome::dropped:
          seen.push_back("<error: " + step.error + ">");
          break;
      }
      EXPECT_LE(step.used, rest.size());
      rest.remove_prefix(step.used);
      if (++guard > 1000000) {
        ADD_FAILURE() << "no progress";
        return seen;
      }
    }
  }
  return seen;
}

std::string wire(const std::string& text, msgType type = msgChat) {
  return message(-1, "Bob", text, type).serialize();
}

std::vector<std::string> cutEvery(const std::string& bytes, std::size_t size) {
  std::vector<std::string> reads;
  for (std::size_t at = 0; at < bytes.size(); at += size) reads.push_back(bytes.substr(at, size));
  return reads;
}

TEST(MessageStream, AStreamCutAtAnyOffsetGivesTheSameMessages) {
  const std::string stream = wire("one") + wire(std::string(300, 'x')) + wire("three");
  const std::vector<std::string> expected = {"one", std::string(300, 'x'), "three"};
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    MessageStream s;
    EXPECT_EQ(run(s, {stream.substr(0, cut), stream.substr(cut)}), expected) << "cut at " << cut;
  }
  for (std::size_t size : {1u, 2u, 7u, 13u}) {
    MessageStream s;
    EXPECT_EQ(run(s, cutEvery(stream, size)), expected) << "reads of " << size;
  }
}

TEST(MessageStream, CarriedBytesAreCountedUntilTheMessageCompletes) {
  const std::string bytes = wire("hello");
  MessageStream s;
  message record;
  EXPECT_EQ(s.next(bytes.substr(0, 20), record).outcome, MessageStream::Outcome::incomplete);
  EXPECT_EQ(s.carried(), 20u);
  EXPECT_EQ(s.next(bytes.substr(20), record).outcome, MessageStream::Outcome::complete);
  EXPECT_EQ(s.carried(), 0u);
}

TEST(MessageStream, GarbageIsSkippedUpToTheNextMarker) {
  struct Case {
    std::vector<std::string> reads;
    std::vector<std::string> seen;
  };
  const std::string a = wire("a"), b = wire("b");
  const Case kCases[] = {
      {{"junk" + a}, {"<invalid>", "a"}},
      {{a + "junk"}, {"a", "<invalid>"}},
      {{a + "junk" + b}, {"a", "<invalid>", "b"}},
      // One report for a run of garbage that spans reads.
      {{"junk", "more junk", a}, {"<invalid>", "a"}},
      // A brace that does not start a marker is garbage too.
      {{"{{x{xxK" + a}, {"<invalid>", "a"}},
      // The beginning of a marker cut by a read, then not continued.
      {{a + "{xxKQ", "garbage" + b}, {"a", "<invalid>", "b"}},
      // ... and continued by a new marker straight away.
      {{"{xxKQ", b}, {"<invalid>", "b"}},
      // A marker cut across reads after garbage.
      {{"junk{xxKQ7", b.substr(6)}, {"<invalid>", "b"}},
      // Garbage, what looked like a marker cut by the read, and more garbage: one run.
      {{"junk{xxKQ", "more junk" + b}, {"<invalid>", "b"}},
      {{"junk", "{xx", "K", "junk" + b}, {"<invalid>", "b"}},
  };
  for (const Case& c : kCases) {
    MessageStream s;
    EXPECT_EQ(run(s, c.reads), c.seen) << c.reads.front();
  }
}

TEST(MessageStream, AMalformedMessageIsReportedOnceAndTheStreamGoesOn) {
  const std::string good = wire("good");
  struct Case {
    std::vector<std::string> reads;
    std::vector<std::string> seen;
  };
  const Case kCases[] = {
      {{"{xxKQ7COMxx}-1|Bob|zz|0|" + good}, {"<error: conversion zz>", "good"}},
      {{"{xxKQ7COMxx}-1|Bob|2|1|msg|-5|hello" + good}, {"<error: conversion -5>", "good"}},
      {{"{xxKQ7COMxx}-1|Bob|99999999999|0|", "tail of it", good},
       {"<error: Error: overflow 99999999999>", "good"}},
      // The bad field is cut across reads.
      {{"{xxKQ7COMxx}-1|Bob|z", "z|0|" + good}, {"<error: conversion zz>", "good"}},
  };
  for (const Case& c : kCases) {
    MessageStream s;
    EXPECT_EQ(run(s, c.reads), c.seen) << c.reads.front();
  }
}

TEST(MessageStream, MessagesPastTheLimitAreDroppedWithoutKeepingTheirBytes) {
  MessageStream s(/*limit=*/200, /*pairLimit=*/4);
  const std::string tooLarge = "<error: Message too large: dropped (the limit is 200 bytes)>";
  const std::string tooMany = "<error: Message has too many pairs: dropped (the limit is 4)>";
  struct Case {
    std::string bad;
    std::string error;
  };
  const Case kCases[] = {
      {wire(std::string(300, 'x')), tooLarge},
      {"{xxKQ7COMxx}-1|Bob|2|1|msg|2147483647|xxxxxxx", tooLarge},
      {"{xxKQ7COMxx}-1|" + std::string(500, 'n'), tooLarge},
      {"{xxKQ7COMxx}-1|Bob|2|9|a|0|b|0|c|0|d|0|e|0|", tooMany},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(run(s, {c.bad, wire("ok")}), (std::vector<std::string>{c.error, "ok"}))
        << c.bad.substr(0, 40);
    EXPECT_EQ(s.carried(), 0u);
  }
}

TEST(MessageStream, AFreshConnectionForgetsTheCarriedMessage) {
  MessageStream s;
  const std::string a = wire("a");
  EXPECT_EQ(run(s, {a.substr(0, 25)}), std::vector<std::string>{});
  s.reset();
  EXPECT_EQ(run(s, {wire("b")}), std::vector<std::string>{"b"});
}

// Feeds bytes in reads of 64 KiB, each used whole; returns how many messages completed.
std::size_t completesIn64KiBReads(MessageStream& s, const std::string& bytes, message& record) {
  std::size_t completes = 0;
  for (const std::string& read : cutEvery(bytes, 65536)) {
    const auto step = s.next(read, record);
    EXPECT_EQ(step.used, read.size());
    if (step.outcome == MessageStream::Outcome::complete) ++completes;
  }
  return completes;
}

TEST(MessageStream, ALargeValueArrivesWhole) {
  std::string payload(3 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
  message m(-1, "srv", "RECEIVE_FILE", msgData);
  m.setValue("file_data", payload);
  MessageStream s;
  message record;
  const std::string bytes = m.serialize();
  EXPECT_EQ(completesIn64KiBReads(s, bytes, record), 1u);
  EXPECT_EQ(*record.findValue("file_data"), payload);
}

// A spill that keeps its bytes in a string, to watch what the decoder hands it.
class MemorySpill : public SpilledValue {
 public:
  void append(std::string_view bytes) override {
    ++appends;
    bytes_.append(bytes);
  }
  std::size_t size() const override { return bytes_.size(); }
  std::string load() const override { return bytes_; }
  void commitAs(std::string_view name) override { committedAs = name; }
  int appends = 0;
  std::string committedAs;

 private:
  std::string bytes_;
};

TEST(MessageStream, LargeValuesGoWhereTheSpillPolicySaysSmallOnesStayInMemory) {
  const std::string payload(200000, 'p');
  message m(-1, "srv", "RECEIVE_FILE", msgData);
  m.setValue("file_data", payload);
  m.setValue("file_name", "f.bin");
  const std::string bytes = m.serialize();

  std::vector<std::pair<std::string, std::size_t>> asked;
  std::shared_ptr<MemorySpill> spill;
  MessageStream s;
  s.spillLargeValues({100000, [&](std::string_view key, std::size_t length) {
                        asked.emplace_back(key, length);
                        spill = std::make_shared<MemorySpill>();
                        return spill;
                      }});
  message record;
  EXPECT_EQ(completesIn64KiBReads(s, bytes, record), 1u);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], (std::pair<std::string, std::size_t>{"file_data", payload.size()}));
  // Each read's part of the value went over as it came, never gathered in memory.
  EXPECT_EQ(spill->appends, 4);
  EXPECT_EQ(record.findValue("file_data"), nullptr);
  ASSERT_EQ(record.findSpilled("file_data"), spill.get());
  EXPECT_TRUE(spill->load() == payload);
  EXPECT_EQ(record.getValue("file_name"), "f.bin");
  // The record still reads and writes as a whole.
  EXPECT_TRUE(record.serialize() == bytes);
  record.loadSpilled();
  EXPECT_TRUE(record.getValue("file_data") == payload);
  EXPECT_TRUE(record.spilled.empty());
}

TEST(MessageStream, ASpillThatIsRefusedKeepsTheValueInMemory) {
  message m(-1, "srv", "big", msgChat);
  m.setValue("x", std::string(5000, 'x'));
  MessageStream s;
  s.spillLargeValues({1000, [](std::string_view, std::size_t) { return nullptr; }});
  message record;
  ASSERT_EQ(s.next(m.serialize(), record).outcome, MessageStream::Outcome::complete);
  EXPECT_EQ(record.getValue("x"), std::string(5000, 'x'));
  EXPECT_TRUE(record.spilled.empty());
}

TEST(MessageStream, TheNextMessageDropsASpilledValue) {
  message m(-1, "srv", "big", msgChat);
  m.setValue("x", std::string(5000, 'x'));
  std::weak_ptr<MemorySpill> watch;
  MessageStream s;
  s.spillLargeValues({1000, [&](std::string_view, std::size_t) {
                        auto spill = std::make_shared<MemorySpill>();
                        watch = spill;
                        return spill;
                      }});
  message record;
  ASSERT_EQ(s.next(m.serialize(), record).outcome, MessageStream::Outcome::complete);
  EXPECT_FALSE(watch.expired());
  ASSERT_EQ(s.next(wire("next"), record).outcome, MessageStream::Outcome::complete);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(record.getMsg(), "next");
}

}  // namespace
