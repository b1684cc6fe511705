#include "screen_text.h"

#include <algorithm>

namespace {

bool isControl(unsigned char c) {
  return c < 32 || c == 127;
}

}  // namespace

std::string screenSafe(std::string_view text) {
  std::string out;
  appendScreenSafe(out, text);
  return out;
}

void appendScreenSafe(std::string& out, std::string_view text) {
  const auto firstControl = std::find_if(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return isControl(byte) && c != '\t' && c != '\n' && c != '\r';
  });
  const bool hasLoneCarriageReturn = [&] {
    for (std::size_t at = text.find('\r'); at != std::string_view::npos;
         at = text.find('\r', at + 1)) {
      if (at + 1 == text.size() || text[at + 1] != '\n') return true;
    }
    return false;
  }();
  if (firstControl == text.end() && !hasLoneCarriageReturn) {
    out.append(text);
    return;
  }

  out.reserve(out.size() + text.size() + 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool keep = !isControl(byte) || byte == '\t' || byte == '\n' ||
                      (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if (keep) {
      out.push_back(text[i]);
    } else {
      out.push_back('^');
      out.push_back(byte == 127 ? '?' : static_cast<char>(byte + 64));
    }
  }
}
