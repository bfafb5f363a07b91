#include "engine/config.h"
#include "engine/document.h"
#include "engine/stopwatch.h"
#include "platform/perfcounter.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace zelvo;

TEST(DocumentParse, NamesAreLowerCasedAndValuesMayHoldEquals) {
  ParsedDocument doc = ParseDocument("Ver_Min=0.95;k=a=b;Agreement=x;");
  ASSERT_EQ(doc.names.size(), 3u);
  EXPECT_EQ(doc.names[0], "ver_min");
  EXPECT_EQ(LookupValue("ver_min", doc), "0.95");
  EXPECT_EQ(LookupValue("VER_MIN", doc), "0.95");
  EXPECT_EQ(LookupValue("k", doc), "a=b");
  EXPECT_EQ(LookupValue("agreement", doc), "x");
  EXPECT_EQ(LookupValue("missing", doc), "");
}

TEST(DocumentParse, TokenizerSkipsEmptyTokensAndKeepsTheFirstPair) {
  // Empty pairs are skipped and an empty value stays empty instead of taking the next pair.
  ParsedDocument doc = ParseDocument("==a=1;;b=;c=;;3");
  EXPECT_EQ(LookupValue("a", doc), "1");
  EXPECT_EQ(LookupValue("b", doc), "");
  EXPECT_EQ(LookupValue("c", doc), "");
  EXPECT_EQ(LookupValue("3", doc), "");
  EXPECT_EQ(doc.names.size(), 4u);
  EXPECT_EQ(LookupValue("result_url", ParseDocument("result_url=;flags=9;itime=t")), "");

  // An empty or garbled document still yields one (empty) pair and no crash.
  ParsedDocument empty = ParseDocument("");
  ASSERT_EQ(empty.names.size(), 1u);
  EXPECT_EQ(empty.names[0], "");
  EXPECT_EQ(LookupValue("test_permission", empty), "");

  ParsedDocument noValue = ParseDocument("lonely");
  EXPECT_EQ(noValue.names[0], "lonely");
  EXPECT_EQ(noValue.values[0], "");

  // The first entry wins when a name repeats.
  EXPECT_EQ(LookupValue("x", ParseDocument("x=1;X=2")), "1");
}

TEST(DocumentParse, Cp950ValuesPassUnchanged) {
  // "公告" in CP950; its trail bytes include values that are ASCII letters elsewhere.
  const std::string announcement = "\xa4\xbd\xa7\x69";
  ParsedDocument doc = ParseDocument("announcement=" + announcement + ";");
  EXPECT_EQ(LookupValue("announcement", doc), announcement);
}

TEST(LetterPairs, DecodesAndRoundTrips) {
  EXPECT_EQ(decodeLetterPairs("gihehehadkcpcp"), "http://");
  EXPECT_EQ(decodeLetterPairs(""), "");
  // The last letter of an odd-length text is ignored rather than read past the end.
  EXPECT_EQ(decodeLetterPairs("gib"), "h");
  std::string all;
  for (int b = 0; b < 256; ++b)
    all.push_back(static_cast<char>(b));
  EXPECT_EQ(decodeLetterPairs(encodeLetterPairs(all)), all);
  // Letters beyond 'p' in the second place keep only their low four bits, as the routine does.
  EXPECT_EQ(decodeLetterPairs("aq"), std::string(1, '\x00'));
}

TEST(LetterPairs, BuiltInConfigurationDecodesToTheTestBed) {
  EngineConfig c = EngineConfig::BuiltIn();
  EXPECT_EQ(decodeLetterPairs(c.serviceDocumentUrl).rfind("http://127.0.0.1/", 0), 0u);
  EXPECT_EQ(decodeLetterPairs(c.fallbackFtpHost), "127.0.0.1");
  EXPECT_EQ(decodeLetterPairs(BuiltInPrimaryProbeHost()), "127.0.0.1");
  EXPECT_EQ(decodeLetterPairs(BuiltInAlternateProbeHost()), "127.0.0.2");
  EXPECT_FALSE(decodeLetterPairs(BuiltInSettingsFileName()).empty());
  // Entries the message tables keep empty, and the ones that must say something.
  for (int code : {0, 4, 5, 9, 10, 11})
    EXPECT_EQ(decodeLetterPairs(BuiltInCaption(code)), "") << code;
  for (int code : {0, 5, 9, 11})
    EXPECT_EQ(decodeLetterPairs(BuiltInText(code)), "") << code;
  for (int code : {1, 2, 3, 6, 7, 8, 12, 13}) {
    EXPECT_NE(decodeLetterPairs(BuiltInCaption(code)), "") << code;
    EXPECT_NE(decodeLetterPairs(BuiltInText(code)), "") << code;
  }
  EXPECT_NE(decodeLetterPairs(BuiltInText(4)), "");
  EXPECT_NE(decodeLetterPairs(BuiltInText(10)), "");
  EXPECT_STREQ(BuiltInCaption(14), "");
  EXPECT_STREQ(BuiltInText(-1), "");
  // CP950, not UTF-8: "失敗" is a5a2 b1d1 in CP950.
  EXPECT_NE(decodeLetterPairs(BuiltInCaption(1)).find("\xa5\xa2\xb1\xd1"), std::string::npos);
}

TEST(Version, CanonicalTexts) {
  EXPECT_EQ(CanonicalVersion("0.910"), "0.91");
  EXPECT_EQ(CanonicalVersion("1.0"), "1");
  EXPECT_EQ(CanonicalVersion(""), "0");
  EXPECT_EQ(CanonicalVersion("abc"), "0");
  EXPECT_EQ(CanonicalVersion("0.95beta"), "0.95");
  EXPECT_EQ(CanonicalVersion("0.100"), "0.1");
  // Decimal numbers only: no blanks, hexadecimal, exponents, infinities or NaNs.
  EXPECT_EQ(CanonicalVersion("0x10"), "0");
  EXPECT_EQ(CanonicalVersion("inf"), "0");
  EXPECT_EQ(CanonicalVersion("nan"), "0");
  EXPECT_EQ(CanonicalVersion(" 1"), "0");
  EXPECT_EQ(CanonicalVersion("1e3"), "1");
  EXPECT_EQ(CanonicalVersion("1e400"), "1");
  EXPECT_EQ(CanonicalVersion(".5"), "0.5");
  EXPECT_EQ(CanonicalVersion("-."), "0");
  EXPECT_EQ(CanonicalVersion(std::string(400, '9')), "1.79769313486232e+308");
  EXPECT_EQ(CheckVersion("0.91", "inf", "0x10"), kVersionCurrent);
}

TEST(Version, VerdictsCompareTextsNotNumbers) {
  EXPECT_EQ(CheckVersion("0.91", "0.9", "0.92"), kUpdateAvailable);
  EXPECT_EQ(CheckVersion("0.91", "1", "1"), kUpdateRequired);
  EXPECT_EQ(CheckVersion("0.91", "0.9", "0.910"), kVersionCurrent);
  // A minimum of 0.100 is the text 0.1, which 0.91 exceeds byte by byte.
  EXPECT_EQ(CheckVersion("0.91", "0.100", "0.100"), kVersionCurrent);
  // Empty limits canonicalise to 0: current.
  EXPECT_EQ(CheckVersion("0.91", "", ""), kVersionCurrent);
  // A proper prefix is the smaller text: "0.9" < "0.91".
  EXPECT_EQ(CheckVersion("0.9", "0.91", "0.91"), kUpdateRequired);
  // Byte by byte, 0.91 is above 0.1000001 and below 0.95.
  EXPECT_EQ(CheckVersion("0.91", "0.1000001", "0.95"), kUpdateAvailable);
}

TEST(Version, DecimalIntegersAreStrict) {
  EXPECT_EQ(ParseDecimalInt("10"), 10);
  EXPECT_EQ(ParseDecimalInt("-3"), -3);
  EXPECT_EQ(ParseDecimalInt("0"), 0);
  EXPECT_FALSE(ParseDecimalInt(""));
  EXPECT_FALSE(ParseDecimalInt(" 10"));
  EXPECT_FALSE(ParseDecimalInt("10s"));
  EXPECT_FALSE(ParseDecimalInt("0x10"));
  EXPECT_FALSE(ParseDecimalInt("1.5"));
  EXPECT_FALSE(ParseDecimalInt("-"));
  EXPECT_FALSE(ParseDecimalInt("99999999999"));
}

TEST(StopwatchTest, OverheadIsTakenOffExactlyAndElapsedNeverRunsBackwards) {
  std::int64_t frequency = 0;
  ASSERT_TRUE(platform::QueryPerformanceFrequency(frequency));
  const std::int64_t overhead = Stopwatch::Overhead();
  EXPECT_GE(overhead, 0);
  EXPECT_LT(overhead, frequency / 1000); // one reading, not a millisecond
  std::int64_t a = Stopwatch::Read();
  EXPECT_EQ(Stopwatch::Between(a, a + overhead), 0.0);
  EXPECT_GT(Stopwatch::Between(a, a + overhead + 1), 0.0);
  EXPECT_DOUBLE_EQ(Stopwatch::Between(a, a + overhead + 2 * frequency), 2.0);
  EXPECT_EQ(Stopwatch::Between(100, 50), 0.0);

  std::int64_t previous = Stopwatch::Read();
  for (int i = 0; i < 10000; ++i) {
    std::int64_t now = Stopwatch::Read();
    ASSERT_GE(now, previous) << "reading " << i;
    previous = now;
  }
  Stopwatch s;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double first = s.ElapsedSeconds();
  EXPECT_GE(first, 0.019); // a sleep lasts at least as long as asked
  EXPECT_GE(s.ElapsedSeconds(), first);
}
