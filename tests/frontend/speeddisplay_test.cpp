#include "frontend/speeddisplay.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace zelvo;

TEST(SpeedDigitsTest, DigitsUnitsAndHiddenLeadingDigits) {
  SpeedDigits a = ComputeSpeedDigits(85.3);
  EXPECT_FALSE(a.megabits);
  EXPECT_EQ(a.text(), "85.30");
  EXPECT_FALSE(a.showHundreds);
  EXPECT_TRUE(a.showTens);

  // Single-precision rounding keeps the 3 that double precision would lose.
  SpeedDigits b = ComputeSpeedDigits(1.13);
  EXPECT_EQ(b.text(), "1.13");
  EXPECT_EQ(b.hundredths, 3);
  EXPECT_FALSE(b.showTens);

  // Rounded to two decimals in kbit/s, then cut (not rounded) in Mbps.
  SpeedDigits c = ComputeSpeedDigits(12345.678);
  EXPECT_TRUE(c.megabits);
  EXPECT_EQ(c.text(), "12.34");
  EXPECT_DOUBLE_EQ(c.value, 12345.68 * 0.001);
  EXPECT_STREQ(c.unitPicture(), "MBPS");

  SpeedDigits d = ComputeSpeedDigits(999.996);
  EXPECT_TRUE(d.megabits);
  EXPECT_EQ(d.text(), "1.00");

  // A zero between shown digits is shown.
  SpeedDigits e = ComputeSpeedDigits(105.06);
  EXPECT_EQ(e.text(), "105.06");
  EXPECT_TRUE(e.showTens);
  EXPECT_EQ(e.tens, 0);

  EXPECT_EQ(ComputeSpeedDigits(98765.4).text(), "98.76");
  EXPECT_EQ(ComputeSpeedDigits(999999.0).text(), "999.99");
  // Gigabit results use the thousands place.
  SpeedDigits g = ComputeSpeedDigits(2345678.9);
  EXPECT_EQ(g.text(), "2345.67");
  EXPECT_TRUE(g.showThousands);
  EXPECT_EQ(ComputeSpeedDigits(8197054).text(), "8197.05");
  EXPECT_STREQ(ComputeSpeedDigits(9999999.99).unitPicture(), "MBPS");
  // Ten gigabits and more read in Gbps, with the same four integer places.
  SpeedDigits t = ComputeSpeedDigits(10289004);
  EXPECT_EQ(t.text(), "10.28");
  EXPECT_STREQ(t.unitPicture(), "GBPS");
  EXPECT_STREQ(t.unitText(), "Gbps");
  EXPECT_NEAR(t.value, 10.289004, 1e-9);
  EXPECT_EQ(ComputeSpeedDigits(9999999.996).text(), "10.00") << "rounds to 10000.00 Mbps";
  EXPECT_EQ(ComputeSpeedDigits(9876543210.0).text(), "9876.54");
  EXPECT_EQ(digitImageName(7), "DIGIT_7");
}

TEST(SpeedDigitsTest, RangeExcludesBothBoundsAndNaN) {
  EXPECT_TRUE(SpeedsInRange(1.01, 999999.99));
  EXPECT_TRUE(SpeedsInRange(1000000.0, 9999999.99));
  EXPECT_TRUE(SpeedsInRange(500, 10000000.0)) << "10 Gbit/s is a line, shown in Gbps";
  EXPECT_TRUE(SpeedsInRange(10289004, 9999999999.99));
  EXPECT_FALSE(SpeedsInRange(1.0, 500));
  EXPECT_FALSE(SpeedsInRange(500, 1e10));
  EXPECT_FALSE(SpeedsInRange(9999999999.996, 500)) << "rounds to 10000.00 Gbps, five digits";
  EXPECT_FALSE(SpeedsInRange(std::nan(""), 500));
  EXPECT_FALSE(SpeedsInRange(500, -3));
  EXPECT_FALSE(SpeedsInRange(500, 0));
  EXPECT_FALSE(SpeedsInRange(500, std::numeric_limits<double>::infinity()));
}

TEST(SpeedDigitsTest, ProgressStepsRoundHalvesUp) {
  EXPECT_EQ(ProgressStep(0), 0);
  EXPECT_EQ(ProgressStep(4), 0);
  EXPECT_EQ(ProgressStep(5), 10);
  EXPECT_EQ(ProgressStep(94), 90);
  EXPECT_EQ(ProgressStep(95), 100);
  EXPECT_EQ(ProgressStep(130), 130);
}
