// The system clock.
#pragma once

#include <cstdint>

// Current UTC time in milliseconds since 1970-01-01 00:00.
std::int64_t nowUnixMillis();
