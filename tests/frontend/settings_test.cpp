#include "frontend/settings.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

using namespace zelvo;

TEST(SettingsFile, OnlyAutoTestFollowedByYSwitchesUnattendedModeOn) {
  EXPECT_TRUE(ParseAutoTestLine("AutoTest Y"));
  EXPECT_TRUE(ParseAutoTestLine("AutoTest\ty\n"));
  EXPECT_TRUE(ParseAutoTestLine("  AutoTest   Y  extra"));
  EXPECT_FALSE(ParseAutoTestLine("AutoTest YES"));
  EXPECT_FALSE(ParseAutoTestLine("autotest Y"));
  EXPECT_FALSE(ParseAutoTestLine("AutoTest"));
  EXPECT_FALSE(ParseAutoTestLine(""));
  EXPECT_FALSE(ParseAutoTestLine("AutoTest N"));
  // Only the first line counts, and only its first 99 characters.
  EXPECT_FALSE(ParseAutoTestLine("Other\nAutoTest Y"));
  EXPECT_FALSE(ParseAutoTestLine(std::string(95, ' ') + "AutoTest Y"));
  EXPECT_TRUE(ParseAutoTestLine(std::string(88, ' ') + "AutoTest Y"));
}

TEST(SettingsFile, MissingFileMeansAttendedAndTheFileIsRead) {
  zelvo::test::Sandbox box;
  EXPECT_FALSE(ReadAutoTestSetting(box.file("none.ini").string()));
  box.write("on.ini", "AutoTest y\r\nmore\n");
  // Read as text: a Windows line end counts like a plain one.
  EXPECT_TRUE(ReadAutoTestSetting(box.file("on.ini").string()));
  box.write("on2.ini", "AutoTest y\nmore\n");
  EXPECT_TRUE(ReadAutoTestSetting(box.file("on2.ini").string()));
  EXPECT_FALSE(BuiltInSettingsFile().empty());
}
