#include "utc_time.h"

#include <ctime>

namespace {

constexpr char kWeekdays[] = "SunMonTueWedThuFriSat";
constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

}  // namespace

std::string utcTimeText(std::int64_t unixMillis) {
  // Floor division, so that times before 1970 still land in the right second.
  std::int64_t seconds = unixMillis / 1000;
  if (unixMillis % 1000 < 0) --seconds;
  const auto when = static_cast<std::time_t>(seconds);
  std::tm utc{};
  ::gmtime_r(&when, &utc);
  const std::string_view weekday(kWeekdays + 3 * utc.tm_wday, 3);
  const std::string_view month(kMonths + 3 * utc.tm_mon, 3);
  const auto twoDigits = [](int value) {
    return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
  };
  std::string text;
  text.reserve(32);
  text.append(weekday).append(", ").append(twoDigits(utc.tm_mday)).append(" ");
  text.append(month).append(" ").append(std::to_string(utc.tm_year + 1900)).append(" ");
  text.append(twoDigits(utc.tm_hour)).append(":").append(twoDigits(utc.tm_min)).append(":");
  text.append(twoDigits(utc.tm_sec)).append(" UTC");
  return text;
}
