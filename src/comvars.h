// Compiled-in constants of the client. There is no configuration file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

inline constexpr std::string_view clientVersion = "0.70";
inline constexpr std::uint16_t serverPort = 9002;
// Offered as a hint at the server prompt; never used in place of what the user types.
inline constexpr std::string_view defaultServerHost = "localhost";

// The resource totals are asked for again after this long.
inline constexpr std::int64_t kRefreshIntervalMs = 120000;
inline constexpr std::string_view kRefreshCommand = "@kq7:RefreshResources";

// Longest wait of the network worker between two looks at the refresh timer while the
// game login stands. Without it the worker waits for data or a wake-up alone, so an idle
// client costs no CPU at all; everything that sets the quit flag wakes it.
inline constexpr std::chrono::milliseconds kNetworkWaitLimit{250};
// The pause between saying which server is being tried and trying it, so the line is on
// the screen before a slow lookup or connect holds the keyboard.
inline constexpr std::chrono::milliseconds kConnectPause{100};
// Longest wait for a connect to stand, and for a send to make progress.
inline constexpr std::chrono::milliseconds kConnectTimeout{10000};
inline constexpr std::chrono::milliseconds kSendTimeout{10000};
// Longest line the keyboard can give: far beyond any chat line, but a bound on a paste.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;
// One receive takes at most this many bytes.
inline constexpr std::size_t kReceiveBufferSize = 65536;
// A received value at least this large goes to a temporary file in the working directory
// as it arrives, not into memory: a downloaded file is then renamed into place whole.
inline constexpr std::size_t kSpillValueBytes = std::size_t{1} << 20;
