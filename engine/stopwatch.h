#pragma once
// Elapsed seconds from the high-resolution performance counter.

#include <cstdint>

namespace zelvo {

class Stopwatch {
public:
  Stopwatch() { Start(); }
  // Takes a fresh reading.
  void Start() { reading_ = Read(); }
  std::int64_t reading() const { return reading_; }
  // Seconds since the last reading.
  double ElapsedSeconds() const { return Between(reading_, Read()); }

  // The counter now; 0 when it is unavailable.
  static std::int64_t Read();
  // (later - earlier - overhead) / frequency, 0 when that difference is not positive. The overhead
  // is measured once per process, before the first elapsed time.
  static double Between(std::int64_t earlier, std::int64_t later);
  static std::int64_t Overhead();

private:
  std::int64_t reading_ = 0;
};

} // namespace zelvo
