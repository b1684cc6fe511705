#include "screen_text.h"

namespace {

// Whether the byte at i is shown in caret form.
bool shownAsCaret(std::string_view text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte >= 32 && byte != 127) return false;
  if (byte == '\t' || byte == '\n') return false;
  return byte != '\r' || i + 1 == text.size() || text[i + 1] != '\n';
}

}  // namespace

std::string screenSafe(std::string_view text) {
  std::string out;
  appendScreenSafe(out, text);
  return out;
}

void appendScreenSafe(std::string& out, std::string_view text) {
  // Text without control bytes, the common case, is appended in one piece.
  std::size_t i = 0;
  while (i < text.size() && !shownAsCaret(text, i)) ++i;
  out.append(text.substr(0, i));
  if (i == text.size()) return;

  out.reserve(out.size() + (text.size() - i) + 16);
  for (; i < text.size(); ++i) {
    if (shownAsCaret(text, i)) {
      const auto byte = static_cast<unsigned char>(text[i]);
      out.push_back('^');
      out.push_back(byte == 127 ? '?' : static_cast<char>(byte + 64));
    } else {
      out.push_back(text[i]);
    }
  }
}
