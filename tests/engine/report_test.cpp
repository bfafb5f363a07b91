// The report: cookie value and key, scrambling, authentication code, the query and the posting.

#include "engine/md5.h"
#include "engine/report.h"
#include "platform/cp950.h"
#include "tests/engine/http_support.h"

#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

TEST(ReportKey, CookieValueAndKeyPositions) {
  // Ten characters followed by the spaces the requests added.
  EXPECT_EQ(ReportCookieValue("ZelvoSID=abcdefghij    "), "abcdefghij");
  EXPECT_EQ(PickKey("abcdefghij"), "dgj");
  EXPECT_EQ(ReportCookieValue("n=a=b c"), "a=b"); // after the first '=' only
  EXPECT_EQ(ReportCookieValue("n=line\nrest"), "line");
  EXPECT_EQ(ReportCookieValue("no-equals-sign"), "");
  EXPECT_EQ(ReportCookieValue(""), "");

  EXPECT_EQ(PickKey(""), "");
  EXPECT_EQ(PickKey("abc"), ""); // shorter than four characters: no key
  EXPECT_EQ(PickKey("abcd"), "d");
  EXPECT_EQ(PickKey("abcdef"), "d");
  EXPECT_EQ(PickKey("abcdefg"), "dg");
  EXPECT_EQ(PickKey("0123456789012345678901"), "3692581"); // 22 characters: seven
}

TEST(ReportScramble, EachByteIsXoredWithTheKeyInTurn) {
  // One character: every pair is that byte XOR the key's code, in lower case.
  EXPECT_EQ(ScrambleHex("00FF41", "A"), "41be00");
  // Longer keys start with the first character and wrap after the last.
  EXPECT_EQ(ScrambleHex("0000000000", "AB"), "4142414241");
  EXPECT_EQ(ScrambleHex("0102030405", "abc"), "6060606567");
  // A trailing half pair is dropped.
  EXPECT_EQ(ScrambleHex("FF0", "\x01"), "fe");
  EXPECT_EQ(ScrambleHex("", "abc"), "");
  EXPECT_EQ(ScrambleHex("4142", ""), ""); // no key, nothing to send
}

TEST(ReportScramble, HexAndUtf16OfCp950Text) {
  EXPECT_EQ(HexUpper({0x00, 0x0F, 0xA5, 0xFF}), "000FA5FF");
  std::string text = "A" + *platform::Utf8ToCp950("中"); // U+4E2D
  EXPECT_EQ(HexUpper(ToUtf16Bytes(text)), "41002D4E");
  EXPECT_EQ(HexUpper(ToUtf16Bytes("")), "");
  EXPECT_EQ(HexUpper(ToUtf16Bytes("\xA4")), "FDFF"); // a cut-off character is U+FFFD, not dropped silently
}

TEST(ReportAuthCode, AddressLettersLengthAndValue) {
  EXPECT_EQ(MakeAuthCode("10.0.0.1", "abcdefghij"), MD5Hex("BKAKAKAB8abcdefghij"));
  EXPECT_EQ(MakeAuthCode("192.168.1.23", "v"), MD5Hex("BJCABGIABACD12v"));
  EXPECT_EQ(MakeAuthCode("", "v"), MD5Hex("0v"));
}

TEST_F(ReportComposition, QueryHasTheTwentySixFieldsInOrderAndFormat) {
  FillLikeARun();
  record->sampleCount = 3;
  record->cpuLoadSum = 100.9;
  record->availMemSumMb = 3001;
  EXPECT_EQ(ComposeReportQuery(*engine, "AUTH"),
            "App_ver=0.91&DL_FTP_speed=1234.57&UL_FTP_speed=0.00&DL_NIC_speed=1300.00&UL_NIC_speed=88.89"
            "&User_os=OS&User_antivir=AV&x=1&User_nic=NIC&user_nic_rate=100000&User_pppoe=PPPoE"
            "&User_localip=10.0.0.1&User_net_parameter=3,1,2,1,4,1492&DL_FTP_speed_interval=1,2"
            "&UL_FTP_speed_interval=3&DL_NIC_speed_interval=&UL_NIC_speed_interval=4&RTT=5,6,9"
            "&Tcp_session=1,2&User_Proxy=null&CPU=CPU&CPU_usage=33&Memory=1000,4096&HD_FreeSpace=12.35"
            "&Power=AC&error_code=0&auth_code=AUTH");
  EXPECT_EQ(SplitReportQuery(ComposeReportQuery(*engine, "AUTH")).size(), 26u);
}

// Processor load and memory averages: -1 where there is nothing to average, never a division by 0.
TEST_F(ReportComposition, ProcessorAndMemoryAverages) {
  auto field = [&](const std::string& name) {
    for (const auto& [n, v] : SplitReportQuery(ComposeReportQuery(*engine, "")))
      if (n == name) return v;
    return std::string("missing");
  };
  record->totalMemMb = 2048;
  record->sampleCount = 0;
  record->cpuLoadSum = 0.0;
  record->availMemSumMb = 0;
  EXPECT_EQ(field("CPU_usage"), "-1");
  EXPECT_EQ(field("Memory"), "-1,2048");

  record->sampleCount = 2;
  record->availMemSumMb = 3000;
  engine->osIsNt6 = true; // a zero sum counts as unknown there
  EXPECT_EQ(field("CPU_usage"), "-1");
  EXPECT_EQ(field("Memory"), "1500,2048");
  engine->osIsNt6 = false;
  EXPECT_EQ(field("CPU_usage"), "0");
  record->cpuLoadSum = 99.0;
  EXPECT_EQ(field("CPU_usage"), "49");
}

TEST(ReportText, StartsWithTheRandomFieldAndTheVersion) {
  EXPECT_EQ(ReportText(7, 1234, "App_ver=0.91&x"), "Null=71234&App_ver=0.91&x");
  EXPECT_EQ(ReportText(0, 0, "App_ver=0.91"), "Null=00&App_ver=0.91");
}

std::vector<RecordedMessage> Messages(RecordingWindow& w) {
  return w.messages();
}

// Every way the report can fail ends with code 5 and 1029 (2, 0), and leaves the shown serial alone.
TEST_F(ReportComposition, RefusedOrFailedReportsEndWithCodeFive) {
  FillLikeARun();
  ScriptedCall emptyUrl;
  // Present but empty; last, because an empty value followed by a pair would be read as that pair.
  emptyUrl.responseText = "flags\x1f"
                          "9\x1e"
                          "itime\x1f"
                          "now\x1e"
                          "result_url\x1f";
  ScriptedCall missingUrl;
  missingUrl.responseText = "flags\x1f"
                            "9";
  ScriptedCall errorPage;
  errorPage.status = 500;
  errorPage.responseText = "result_url\x1fhttp://x/";
  ScriptedCall noAnswer;
  noAnswer.sendResult = false;
  ScriptedCall garbage;
  garbage.responseText = std::string("\x01\xff=;;==\x1e\x1e", 9);
  for (const ScriptedCall& call : {emptyUrl, missingUrl, errorPage, noAnswer, garbage}) {
    auto window = std::make_shared<RecordingWindow>();
    engine->notifyWindow = window;
    engine->sessionCookie = "ZelvoSID=abcdefghij";
    record->errorCode = kNoError;
    script.push(call);
    engine->Report();
    EXPECT_EQ(record->errorCode.load(), kReportNotAccepted);
    auto messages = Messages(*window);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].message, kMsgResult);
    EXPECT_EQ(messages[1].wParam, 2u);
    EXPECT_EQ(messages[1].lParam, 0);
    EXPECT_EQ(record->resultSerial, "");
  }
}

TEST_F(ReportComposition, CookieTooShortForAKeyPostsNothing) {
  FillLikeARun();
  for (std::string cookie : {"", "ZelvoSID=abc   ", "no-value"}) {
    auto window = std::make_shared<RecordingWindow>();
    engine->notifyWindow = window;
    engine->sessionCookie = cookie;
    record->errorCode = kNoError;
    engine->Report();
    EXPECT_EQ(script.created(), 0) << cookie; // not even a request object
    EXPECT_EQ(record->errorCode.load(), kReportNotAccepted);
    auto messages = Messages(*window);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].message, kMsgReporting);
    EXPECT_EQ(messages[1].message, kMsgResult);
    EXPECT_EQ(messages[1].wParam, 2u);
  }
}

} // namespace
} // namespace zelvo::test
