#include "refresh.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

namespace {

TEST(RefreshDue, NeverWithoutAGameLoginAndTheClockIsNotRead) {
  std::atomic<bool> loggedIn{false};
  std::int64_t last = 0;
  int reads = 0;
  EXPECT_FALSE(refreshDue(loggedIn, last, [&] {
    ++reads;
    return std::int64_t{10'000'000};
  }));
  EXPECT_EQ(reads, 0);
}

TEST(RefreshDue, FiresOnlyAfterMoreThanTwoMinutes) {
  struct Case {
    std::int64_t now;
    bool due;
    std::int64_t lastAfter;
  };
  const std::int64_t start = 1'000'000;
  const Case kCases[] = {
      {start + 119'999, false, start},
      {start + 120'000, false, start},  // exactly two minutes is not yet due
      {start + 120'001, true, start + 120'001},
      {start - 3'600'000, false, start},  // a clock set back waits
  };
  for (const Case& c : kCases) {
    std::atomic<bool> loggedIn{true};
    std::int64_t last = start;
    EXPECT_EQ(refreshDue(loggedIn, last, [&] { return c.now; }), c.due) << c.now;
    EXPECT_EQ(last, c.lastAfter) << c.now;
  }
}

TEST(RefreshDue, TheNextRefreshCountsFromTheSecondReading) {
  std::atomic<bool> loggedIn{true};
  std::int64_t last = 0;
  std::int64_t readings[] = {200'000, 200'050};
  int next = 0;
  EXPECT_TRUE(refreshDue(loggedIn, last, [&] { return readings[next++]; }));
  EXPECT_EQ(last, 200'050);
}

}  // namespace
