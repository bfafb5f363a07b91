#pragma once
// High-resolution performance counter stand-in (CLOCK_MONOTONIC in nanoseconds).

#include <cstdint>

namespace zelvo::platform {

// Current counter value; false when the counter is unavailable.
bool QueryPerformanceCounter(std::int64_t& value);
// Counts per second; false when the counter is unavailable.
bool QueryPerformanceFrequency(std::int64_t& frequency);

} // namespace zelvo::platform
