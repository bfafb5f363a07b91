#include "frontend/speeddisplay.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelvo {

namespace {

// Truncation after rounding to single precision: 1.13 * 100 is just below 113 in double precision,
// and the digit pictures show 3.
int DigitOf(double scaled) {
  float single = static_cast<float>(scaled);
  long long whole = static_cast<long long>(std::trunc(single));
  return static_cast<int>(whole % 10);
}

} // namespace

SpeedDigits ComputeSpeedDigits(double kbps) {
  SpeedDigits d;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.02f", kbps);
  double v = std::strtod(buffer, nullptr);
  if (v >= 1000) {
    d.megabits = true;
    v = v * 0.001;
  }
  // Ten gigabits and more would need a fifth integer digit in Mbps.
  if (v >= 10000) {
    d.megabits = false;
    d.gigabits = true;
    v = v * 0.001;
  }
  d.value = v;
  d.ones = static_cast<int>(static_cast<long long>(std::trunc(v)) % 10);
  d.tens = DigitOf(v * 0.1);
  d.hundreds = DigitOf(v * 0.01);
  d.thousands = DigitOf(v * 0.001);
  d.tenths = DigitOf(v * 10);
  d.hundredths = DigitOf(v * 100);
  d.showThousands = d.thousands != 0;
  d.showHundreds = d.hundreds != 0 || d.showThousands;
  d.showTens = d.tens != 0 || d.showHundreds;
  return d;
}

std::string SpeedDigits::text() const {
  std::string s;
  if (showThousands) s += static_cast<char>('0' + thousands);
  if (showHundreds) s += static_cast<char>('0' + hundreds);
  if (showTens) s += static_cast<char>('0' + tens);
  s += static_cast<char>('0' + ones);
  s += '.';
  s += static_cast<char>('0' + tenths);
  s += static_cast<char>('0' + hundredths);
  return s;
}

bool SpeedsInRange(double downloadKbps, double uploadKbps) {
  // Up to 9999.99 Gbps fits the four digit places; the bound holds after the rounding to two decimals
  // too, so 9,999,999,999.996 kbit/s (10000.00 Gbps) is out.
  auto inRange = [](double v) {
    if (!(v > 1 && v < 1e10)) return false; // false for NaN
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.02f", v);
    return std::strtod(buffer, nullptr) < 1e10;
  };
  return inRange(downloadKbps) && inRange(uploadKbps);
}

std::string digitImageName(int digit) {
  return "DIGIT_" + std::to_string(digit);
}

int ProgressStep(int percent) {
  return ((percent + 5) / 10) * 10;
}

} // namespace zelvo
