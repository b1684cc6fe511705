// The line reader: one line typed at the terminal, echoed key by key.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "comgui_none.h"
#include "comvars.h"

namespace {

enum Key : unsigned char {
  kBackspace = 8,
  kEnter = 13,
  kEscape = 27,
  kDelete = 127,
};

// Terminals send the bytes of an escape sequence together; a key that follows an Escape
// later than this was typed on its own.
constexpr std::chrono::milliseconds kSequenceGap{50};
// Longer than any sequence a key produces, short enough that a stream of junk after
// "ESC [" cannot keep the reader swallowing.
constexpr int kMaxSequenceBytes = 32;

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// How many bytes a UTF-8 character starting with this byte has; 1 for a byte that cannot
// start a longer one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// Where the last character of a non-empty line starts. A character is a lead byte with
// the continuation bytes it allows (or fewer, while it is still being typed); every other
// byte is a character of its own, so a stray byte goes with one backspace.
std::size_t lastCharacterStart(std::string_view line) {
  const std::size_t end = line.size();
  std::size_t trailing = 0;
  while (trailing < 3 && trailing < end &&
         isContinuation(static_cast<unsigned char>(line[end - 1 - trailing])))
    ++trailing;
  if (trailing == 0 || trailing == end) return end - 1;
  const std::size_t lead = end - 1 - trailing;
  if (sequenceLength(static_cast<unsigned char>(line[lead])) > trailing) return lead;
  return end - 1;
}

struct Range {
  char32_t first;
  char32_t last;
};

// Marks drawn onto the character before them.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};
// East Asian wide and fullwidth characters, and the emoji blocks drawn two cells wide.
constexpr Range kDoubleWidth[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F900, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool inRanges(char32_t c, const Range (&ranges)[N]) {
  for (const Range& r : ranges)
    if (c >= r.first && c <= r.last) return true;
  return false;
}

// Screen cells the terminal used to show one character that was echoed as typed.
int cellsOf(std::string_view character) {
  const auto lead = static_cast<unsigned char>(character[0]);
  if (character.size() == 1) {
    // Control bytes move nothing (or nothing that can be taken back); a stray byte shows
    // as a replacement mark.
    return lead < 0x20 || lead == kDelete ? 0 : 1;
  }
  // Unfinished: the terminal shows one replacement mark once the next byte breaks it.
  if (character.size() < sequenceLength(lead)) return 1;
  char32_t c = lead & (0xFF >> (character.size() + 1));
  for (std::size_t i = 1; i < character.size(); ++i)
    c = (c << 6) | (static_cast<unsigned char>(character[i]) & 0x3F);
  if (c < 0xA0 || inRanges(c, kZeroWidth)) return 0;
  return inRanges(c, kDoubleWidth) ? 2 : 1;
}

void eraseLastCharacter(std::string& line, ConsoleOutput& out, Echo echo) {
  if (line.empty()) {
    out.write("\b");
    return;
  }
  const std::size_t start = lastCharacterStart(line);
  const int cells = echo == Echo::masked ? 1 : cellsOf(std::string_view(line).substr(start));
  line.erase(start);
  std::string erase;
  for (int i = 0; i < cells; ++i) erase += "\b \b";
  if (!erase.empty()) out.write(erase);
}

void appendKey(std::string& line, unsigned char key, ConsoleOutput& out, Echo echo) {
  line += static_cast<char>(key);
  if (echo == Echo::plain) {
    out.write(std::string_view(&line.back(), 1));
  } else if (lastCharacterStart(line) == line.size() - 1) {
    out.write("*");
  }
}

bool isSequenceByte(unsigned char byte) {
  return byte >= 0x20 && byte <= 0x7E;
}
bool isFinalByte(unsigned char byte) {
  return byte >= 0x40 && byte <= 0x7E;
}

// Reads the rest of a sequence after "ESC [" up to its final byte. A byte that cannot
// belong to a sequence ends it early and is handed back to be taken as a key.
std::optional<unsigned char> swallowControlSequence(KeyboardInput& keys) {
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    std::optional<unsigned char> byte = keys.readKey(kSequenceGap);
    if (!byte || isFinalByte(*byte)) return std::nullopt;
    if (!isSequenceByte(*byte)) return byte;
  }
  return std::nullopt;
}

}  // namespace

std::string readLine(KeyboardInput& keys, ConsoleOutput& out, std::string_view prompt, Echo echo) {
  if (!prompt.empty()) out.write(prompt);
  std::string line;
  // A key read while looking for the end of an escape sequence that turned out not to
  // belong to one.
  std::optional<unsigned char> pending;
  // Keys are being refused because the line is full; the bell has rung for it.
  bool full = false;
  for (;;) {
    std::optional<unsigned char> key;
    key.swap(pending);
    while (!key) key = keys.readKey(std::chrono::milliseconds(-1));

    if (*key == kEnter) return line;
    if (*key == kBackspace || *key == kDelete) {
      eraseLastCharacter(line, out, echo);
      continue;
    }
    if (*key == kEscape) {
      std::optional<unsigned char> next = keys.readKey(kSequenceGap);
      if (next == '[') {
        pending = swallowControlSequence(keys);
        continue;
      }
      if (next == 'O') {
        // SS3 sequences have exactly one more byte.
        std::optional<unsigned char> last = keys.readKey(kSequenceGap);
        if (last && !isSequenceByte(*last)) pending = last;
        continue;
      }
      // A lone Escape, or Escape before an ordinary key: the Escape is a character.
      pending = next;
    }
    if (line.size() >= kMaxLineBytes) {
      // A paste without end must not take memory without end. The screen shows exactly
      // what is kept, and the bell says once that the rest was not taken.
      if (!full) out.write("\a");
      full = true;
      continue;
    }
    full = false;
    appendKey(line, *key, out, echo);
  }
}
