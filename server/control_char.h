// The one test for a control byte, shared by everything that checks or cleans client text.
#pragma once

// True for the C0 controls and DEL; bytes from 0x80 up pass, so UTF-8 text stays intact.
constexpr bool isControlChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}
