// The two-minute refresh of the resource totals.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// True when the game login stands and more than two minutes (a signed difference above
// 120000 ms) have passed since lastRefreshTime, which then takes a fresh clock reading.
// A clock set back waits until it has passed lastRefreshTime + 120000 again.
// now() is read only when the login stands. Network worker only.
bool refreshDue(const std::atomic<bool>& gameLoggedIn, std::int64_t& lastRefreshTime,
                const std::function<std::int64_t()>& now);
