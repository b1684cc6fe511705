#include "refresh.h"

#include <cstdint>

#include "comvars.h"

bool refreshDue(const std::atomic<bool>& gameLoggedIn, std::int64_t& lastRefreshTime,
                const std::function<std::int64_t()>& now) {
  if (!gameLoggedIn) return false;
  // Wrapping subtraction: a clock that jumps to an extreme value must not be undefined.
  const auto elapsed = static_cast<std::int64_t>(static_cast<std::uint64_t>(now()) -
                                                 static_cast<std::uint64_t>(lastRefreshTime));
  if (elapsed <= kRefreshIntervalMs) return false;
  lastRefreshTime = now();
  return true;
}
