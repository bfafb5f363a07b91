#pragma once
// How a measured speed is shown: the unit, the rounded value and the digits of the digit pictures, and
// the progress step of a phase. Every front-end shows the same numbers.

#include <string>

namespace zelvo {

struct SpeedDigits {
  double value = 0.0;    // in the shown unit, as written back into the record
  bool megabits = false; // "MBPS" when set
  bool gigabits = false; // "GBPS" when set; neither: "KBPS"
  int thousands = 0, hundreds = 0, tens = 0, ones = 0, tenths = 0, hundredths = 0;
  bool showThousands = false, showHundreds = false, showTens = false;

  const char* unitPicture() const { return gigabits ? "GBPS" : megabits ? "MBPS" : "KBPS"; }
  const char* unitText() const { return gigabits ? "Gbps" : megabits ? "Mbps" : "Kbps"; }
  // The shown digits as text, for example "12.34".
  std::string text() const;
};

// Rounds kbit/s to two decimals, picks the unit and cuts the digits as the digit pictures show them.
// Mbps holds four integer digits; from 10,000 Mbps on the row shows Gbps.
SpeedDigits ComputeSpeedDigits(double kbps);

// Speeds the result page draws lie strictly between 1 kbit/s and 10,000 Gbps (four integer digits in
// Gbps, also after rounding); a NaN is out of range too, and so is anything faster, which no line is.
bool SpeedsInRange(double downloadKbps, double uploadKbps);

// "DIGIT_%d".
std::string digitImageName(int digit);

// The progress step shown for a percentage: the nearest multiple of ten (halves up), 100 and more
// meaning the phase is complete.
int ProgressStep(int percent);

} // namespace zelvo
