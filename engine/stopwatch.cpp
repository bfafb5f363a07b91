#include "engine/stopwatch.h"

#include "platform/perfcounter.h"

#include <algorithm>

namespace zelvo {

namespace {

struct Calibration {
  std::int64_t overhead = 0;
  std::int64_t frequency = 1;
};

const Calibration& calibration() {
  // Two back-to-back readings, twice; the smaller difference is the cost of one reading.
  static const Calibration c = [] {
    Calibration result;
    std::int64_t a = Stopwatch::Read(), b = Stopwatch::Read();
    std::int64_t c1 = Stopwatch::Read(), d = Stopwatch::Read();
    result.overhead = std::max<std::int64_t>(0, std::min(b - a, d - c1));
    std::int64_t f = 0;
    if (!platform::QueryPerformanceFrequency(f) || f == 0) f = 1;
    result.frequency = f;
    return result;
  }();
  return c;
}

} // namespace

std::int64_t Stopwatch::Read() {
  std::int64_t value = 0;
  if (!platform::QueryPerformanceCounter(value)) return 0;
  return value;
}

std::int64_t Stopwatch::Overhead() {
  return calibration().overhead;
}

double Stopwatch::Between(std::int64_t earlier, std::int64_t later) {
  const Calibration& c = calibration();
  std::int64_t difference = later - earlier - c.overhead;
  if (difference <= 0) return 0.0;
  return static_cast<double>(difference) / static_cast<double>(c.frequency);
}

} // namespace zelvo
