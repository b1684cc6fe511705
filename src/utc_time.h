// The send time that stamps every message, as text.
#pragma once

#include <cstdint>
#include <string>

// A UTC time in milliseconds since 1970 as "Mon, 05 Jan 2009 07:03:09 UTC": weekday, day,
// month, year, hours, minutes and seconds; the milliseconds are dropped.
std::string utcTimeText(std::int64_t unixMillis);
