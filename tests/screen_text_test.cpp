#include "screen_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(ScreenSafe, ControlBytesAreShownInCaretForm) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case kCases[] = {
      {"plain text 100%", "plain text 100%"},
      {"\x1b[31mred", "^[[31mred"},
      {"bell\a del\x7f nul\0!"s, "bell^G del^? nul^@!"},
      {"tab\tand\nline", "tab\tand\nline"},
      {"crlf\r\nkept", "crlf\r\nkept"},
      {"lone\rcr", "lone^Mcr"},
      {"end\r", "end^M"},
      {"\x9b\xc3\xa9\xff", "\x9b\xc3\xa9\xff"},
      {"\x1f", "^_"},
  };
  for (const Case& c : kCases) EXPECT_EQ(screenSafe(c.in), c.out) << c.in;
}

TEST(ScreenSafe, AppendingKeepsWhatWasThere) {
  std::string line = "[";
  appendScreenSafe(line, "a\x1b");
  line += "] ";
  appendScreenSafe(line, "plain");
  EXPECT_EQ(line, "[a^[] plain");
}

}  // namespace
