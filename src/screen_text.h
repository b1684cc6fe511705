// Making text from the network safe to show on a terminal.
#pragma once

#include <string>
#include <string_view>

// Control bytes 0-31 and 127 are shown in caret form ("^[" for ESC, "^G" for BEL, "^?"
// for DEL), except tab, line feed, and a carriage return directly followed by a line
// feed. Every other byte, 128-255 included, passes unchanged.
std::string screenSafe(std::string_view text);
// The same, appended to out.
void appendScreenSafe(std::string& out, std::string_view text);
