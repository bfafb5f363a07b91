// Against the test bed's web service (a python process): the report's scrambling as the service
// decodes it, and notices it counts.

#include "engine/httpthread.h"
#include "engine/md5.h"
#include "engine/report.h"
#include "platform/cp950.h"
#include "tests/engine/http_support.h"

#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

using std::chrono::seconds;

std::vector<RecordedMessage> Messages(RecordingWindow& w) {
  return w.messages();
}

TEST_F(ReportComposition, AcceptedReportStoresSerialAndTimeAndPostsTheResultAddress) {
  FillLikeARun();
  auto window = std::make_shared<RecordingWindow>();
  engine->notifyWindow = window;
  engine->sessionCookie = "ZelvoSID=abcdefghij    ";
  ScriptedCall answer;
  answer.responseText = "result_url\x1fhttp://127.0.0.1/zelvo/result?serial=7\x1e"
                        "flags\x1f"
                        "0007\x1e"
                        "itime\x1f"
                        "2026/12/08 01:02:03";
  script.push(answer);
  engine->Report();

  auto calls = script.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, "POST");
  EXPECT_EQ(calls[0].url, "http://127.0.0.1:9/zelvo/report");
  ASSERT_TRUE(calls[0].body);
  const std::string& body = *calls[0].body;
  ASSERT_EQ(body.rfind("code=", 0), 0u);
  EXPECT_EQ(body.size() % 2, 1u); // "code=" and whole pairs
  EXPECT_EQ(body.find_first_not_of("0123456789abcdef", 5), std::string::npos) << body;
  // The text behind the code is the report of this run, with the cookie's authentication code.
  std::optional<std::string> text = DecodeWithService(calls[0].body->substr(5), "abcdefghij");
  ASSERT_TRUE(text);
  ASSERT_EQ(text->rfind("Null=", 0), 0u);
  std::size_t digitsEnd = text->find_first_not_of("0123456789", 5);
  ASSERT_NE(digitsEnd, std::string::npos);
  EXPECT_GE(digitsEnd - 5, 2u);
  EXPECT_LE(digitsEnd - 5, 8u);
  EXPECT_EQ(text->substr(digitsEnd),
            "&" + ComposeReportQuery(*engine, MakeAuthCode("10.0.0.1", "abcdefghij")));

  EXPECT_EQ(record->resultSerial, "0007");
  EXPECT_EQ(record->resultTime, "2026/12/08 01:02:03");
  EXPECT_EQ(record->errorCode.load(), kNoError);
  auto messages = Messages(*window);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].message, kMsgReporting);
  EXPECT_EQ(messages[1].message, kMsgResult);
  EXPECT_EQ(messages[1].wParam, 1u);
  EXPECT_EQ(messages[1].lText, "http://127.0.0.1/zelvo/result?serial=7");
}

// The service's decoder recovers the text for every key length the cookie can give.
TEST(ReportRoundTrip, ServiceDecodesEveryKeyLength) {
  std::string text = "Null=12345&App_ver=0.91&User_nic=" + *platform::Utf8ToCp950("乙太網路 卡") + "&x=&y";
  const std::string alphabet = "Zk3pQ9xWm2Lr7TbV5nHc8YdJ";
  for (std::size_t length = 4; length <= 22; length += 3) {
    std::string value = alphabet.substr(0, length);
    std::string key = PickKey(value);
    ASSERT_EQ(key.size(), (length - 4) / 3 + 1);
    std::string code = ScrambleHex(HexUpper(ToUtf16Bytes(text)), key);
    EXPECT_EQ(DecodeWithService(code, value), *platform::Cp950ToUtf8(text)) << "key " << key;
  }
}

// Several notices at once against the service, each freeing itself: the service counts them all
// under the cookie it issued.
TEST(NoticeThread, ConcurrentNoticesReachTheServiceAndFreeThemselves) {
  ServiceProcess service;
  ASSERT_TRUE(service.ok());
  std::string cookie = "ZelvoSID=";
  {
    // A cookie the service issued, so that it counts the notices.
    auto document = platform::CreateWinHttpRequest();
    ASSERT_TRUE(document->SetTimeouts(3000, 5000, 5000, 5000));
    ASSERT_TRUE(document->Open("GET", service.url("/zelvo/service.txt"), false));
    ASSERT_TRUE(document->Send(std::nullopt));
    std::string setCookie = document->GetResponseHeader("Set-Cookie").value_or("");
    cookie = setCookie.substr(0, setCookie.find(';'));
  }
  ASSERT_EQ(cookie.rfind("ZelvoSID=", 0), 0u);

  std::vector<std::weak_ptr<CHttpThread>> watched;
  for (int i = 0; i < 6; ++i) {
    auto notice = std::make_shared<CHttpThread>(cookie + std::string(i, ' '), service.url("/zelvo/notice"));
    watched.push_back(notice);
    notice->Resume();
  }
  CHttpThread::Start(cookie, service.url("/zelvo/notice"));
  std::string value = cookie.substr(cookie.find('=') + 1);
  EXPECT_TRUE(waitFor(
      [&] {
        return service.get("/zelvo/_notices").value_or("").find("\"" + value + "\": 7") != std::string::npos;
      },
      seconds(20)))
      << service.get("/zelvo/_notices").value_or("");
  EXPECT_TRUE(waitFor(
      [&] {
        for (auto& w : watched)
          if (!w.expired()) return false;
        return true;
      },
      seconds(20)));

  int withCookie = 0;
  for (const auto& r : service.requests())
    if (r.path == "/zelvo/notice" && r.cookie && r.cookie->rfind(cookie + " ", 0) == 0) ++withCookie;
  EXPECT_EQ(withCookie, 7);
}

} // namespace
} // namespace zelvo::test
