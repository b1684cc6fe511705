#include <chrono>

#include "platform/clock.h"

std::int64_t nowUnixMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
