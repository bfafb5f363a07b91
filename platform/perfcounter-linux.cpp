#include "platform/perfcounter.h"

#include <ctime>

namespace zelvo::platform {

bool QueryPerformanceCounter(std::int64_t& value) {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
    value = 0;
    return false;
  }
  value = static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
  return true;
}

bool QueryPerformanceFrequency(std::int64_t& frequency) {
  frequency = 1000000000LL;
  return true;
}

} // namespace zelvo::platform
