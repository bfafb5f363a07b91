#include "platform/perfcounter.h"

#include <windows.h>

namespace zelvo::platform {

bool QueryPerformanceCounter(std::int64_t& value) {
  LARGE_INTEGER count;
  if (!::QueryPerformanceCounter(&count)) return false;
  value = count.QuadPart;
  return true;
}

bool QueryPerformanceFrequency(std::int64_t& frequency) {
  LARGE_INTEGER rate;
  if (!::QueryPerformanceFrequency(&rate) || rate.QuadPart <= 0) return false;
  frequency = rate.QuadPart;
  return true;
}

} // namespace zelvo::platform
