#include "platform/cp950.h"

#include <gtest/gtest.h>

namespace zelvo::platform {
namespace {

TEST(Cp950, RoundTripsChineseAndAscii) {
  const std::string utf8 = "乙太網路介面 PPPoE(Windows 內建)";
  auto cp950 = Utf8ToCp950(utf8);
  ASSERT_TRUE(cp950);
  EXPECT_EQ(cp950->substr(0, 2), "\xA4\x41"); // 乙
  EXPECT_EQ(Cp950ToUtf8(*cp950).value(), utf8);
  auto utf16 = Cp950ToUtf16(*cp950);
  ASSERT_TRUE(utf16);
  EXPECT_EQ((*utf16)[0], u'乙');
  EXPECT_EQ(Utf16ToCp950(*utf16).value(), *cp950);
  EXPECT_EQ(Cp950ToUtf16Le("A\xA4\x41").value(), std::string("A\0\x59\x4E", 4));
  EXPECT_EQ(Utf8ToUtf16("eth0").value(), u"eth0");
  EXPECT_EQ(Cp950Literal("其他網路介面").size(), 12u);
}

TEST(Cp950, UnrepresentableOrBrokenInputGivesNoValue) {
  EXPECT_FALSE(Utf8ToCp950("emoji \xF0\x9F\x98\x80"));
  EXPECT_FALSE(Cp950ToUtf8("\xA4")); // a lead byte without its trail byte
  EXPECT_FALSE(Utf8ToCp950("\xC3")); // a cut UTF-8 sequence
  EXPECT_EQ(Cp950ToUtf8("").value(), "");
  EXPECT_EQ(Cp950Literal("\xF0\x9F\x98\x80"), "");
  // Longer than one conversion buffer.
  std::string many(5000, '\0');
  for (std::size_t i = 0; i < many.size(); i += 2)
    many[i] = '\xA4', many[i + 1] = '\x41';
  EXPECT_EQ(Cp950ToUtf8(many).value().size(), 2500u * 3);
}

TEST(Cp950, AnsiConversionLosesOnlyTheForeignCharacters) {
  // An adapter's friendly name with one character outside CP950 keeps the rest.
  EXPECT_EQ(Cp950ToUtf8(Utf16ToAnsi(u"乙太網路 \u00E9 2")).value(), "乙太網路 ? 2");
  EXPECT_EQ(Utf16ToAnsi(u"Wi\u2011Fi \U0001F600!"), "Wi?Fi ?!"); // no best fit; a pair is one character
  EXPECT_EQ(Utf16ToAnsi(u"\xD800x"), "?x");                      // a lone surrogate
  EXPECT_EQ(Utf16ToAnsi(u"eth0"), "eth0");
  EXPECT_EQ(Utf16ToAnsi(u""), "");
}

TEST(Cp950, CutNeverSplitsADoubleByteCharacter) {
  const std::string text = "ab" + Cp950Literal("乙太") + "c";
  EXPECT_EQ(CutCp950(text, 3), "ab");
  EXPECT_EQ(CutCp950(text, 4), "ab\xA4\x41");
  EXPECT_EQ(CutCp950(text, 100), text);
  EXPECT_EQ(CutCp950(std::string(255, 'x') + Cp950Literal("乙"), 256), std::string(255, 'x'));
}

} // namespace
} // namespace zelvo::platform
