// The engine's request rules over scripted request objects: time-outs, cookie, response text.

#include "engine/httpresponse.h"
#include "platform/cp950.h"
#include "tests/engine/http_support.h"

#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

EngineConfig LoopbackConfig() {
  return EngineConfig::FromPlain("http://127.0.0.1:9/s.txt", "http://127.0.0.1:9/t.txt",
                                 "http://127.0.0.1:9/p1", "http://127.0.0.1:9/p2", "http://127.0.0.1:9/r",
                                 "http://127.0.0.1:9/n", "127.0.0.1");
}

std::optional<std::string> Header(const ScriptedCall& call, const std::string& name) {
  std::optional<std::string> found;
  for (const auto& h : call.headers)
    if (h.first == name) found = h.second;
  return found;
}

class HttpRequestRules : public ::testing::Test {
protected:
  std::shared_ptr<TestRecord> record = NewRecord();
  RequestScript script;
  std::shared_ptr<FakedPhasesEngine> engine =
      std::make_shared<FakedPhasesEngine>(record, LoopbackConfig(), &script);

  ScriptedCall Answer(long status, std::string text, std::string setCookie = "") {
    ScriptedCall call;
    call.status = status;
    call.responseText = std::move(text);
    if (!setCookie.empty()) call.responseHeaders["set-cookie"] = setCookie;
    return call;
  }
};

TEST_F(HttpRequestRules, TimeoutsFollowTheMeanRoundTrip) {
  for (float ping : {150.0f, -1.0f, 0.0f, 150.5f, 400.0f}) {
    record->pingAvgMs = ping;
    engine->HttpRequest("http://127.0.0.1:9/x", true, "", true, false);
  }
  auto calls = script.calls();
  ASSERT_EQ(calls.size(), 5u);
  std::vector<int> normal{3000, 10000, 10000, 10000}, slow{3000, 15000, 15000, 15000};
  EXPECT_EQ(*calls[0].timeouts, normal); // exactly 150 is not above it
  EXPECT_EQ(*calls[1].timeouts, normal); // no latency result
  EXPECT_EQ(*calls[2].timeouts, normal);
  EXPECT_EQ(*calls[3].timeouts, slow);
  EXPECT_EQ(*calls[4].timeouts, slow);
}

// The run's order of requests: the cookie is captured from the first answer only, with its
// attributes cut off, and every later request carries it with one more trailing space.
TEST_F(HttpRequestRules, CookieIsCapturedOnceAndGrowsOneSpacePerRequest) {
  script.push(Answer(200,
                     "a\x1f"
                     "1",
                     "ZelvoSID=abcdefghij; path=/; HttpOnly"));
  script.push(Answer(200, "test_permission\x1fT", "Other=zzz; path=/"));
  script.push(Answer(200, "", "Third=yyy"));
  script.push(Answer(200, ""));
  script.push(Answer(200, "result_url\x1fhttp://x/"));

  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/s.txt", true, "", true, true).success);
  EXPECT_EQ(engine->sessionCookie, "ZelvoSID=abcdefghij");
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/t.txt", true, "", true, false).success);
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/p1", true, "", false, false).success);
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/p2", true, "", false, false).success);
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/r", false, "code=00", true, false).success);

  auto calls = script.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_FALSE(Header(calls[0], "Cookie"));
  EXPECT_EQ(Header(calls[1], "Cookie"), "ZelvoSID=abcdefghij ");
  EXPECT_EQ(Header(calls[2], "Cookie"), "ZelvoSID=abcdefghij  ");
  EXPECT_EQ(Header(calls[3], "Cookie"), "ZelvoSID=abcdefghij   ");
  EXPECT_EQ(Header(calls[4], "Cookie"), "ZelvoSID=abcdefghij    ");
  EXPECT_EQ(engine->sessionCookie, "ZelvoSID=abcdefghij    ");

  EXPECT_EQ(calls[0].method, "GET");
  EXPECT_FALSE(calls[0].body);
  EXPECT_EQ(calls[4].method, "POST");
  EXPECT_EQ(calls[4].body, "code=00");
  EXPECT_EQ(Header(calls[4], "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_FALSE(Header(calls[1], "Content-Type"));
}

TEST_F(HttpRequestRules, AnswerWithoutSetCookieLeavesNoCookieToSend) {
  script.push(Answer(200, "ver_min\x1f"
                          "0.9"));
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/s.txt", true, "", true, true).success);
  EXPECT_EQ(engine->sessionCookie, "");
  engine->HttpRequest("http://127.0.0.1:9/t.txt", true, "", true, false);
  auto calls = script.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(Header(calls[1], "Cookie"));
}

TEST_F(HttpRequestRules, SeparatorsBecomeDocumentPunctuationAndChineseArrivesInCp950) {
  script.push(Answer(200, "agreement\x1f同意=好\x1e"
                          "announcement\x1f"
                          "EMPTY\x1e"));
  HttpResult r = engine->HttpRequest("http://127.0.0.1:9/s.txt", true, "", true, false);
  ASSERT_TRUE(r.success);
  EXPECT_EQ(r.response, *platform::Utf8ToCp950("agreement=同意=好;announcement=EMPTY;"));
  ParsedDocument doc = ParseDocument(r.response);
  EXPECT_EQ(LookupValue("agreement", doc), *platform::Utf8ToCp950("同意=好"));
}

// A longer answer is cut at 9,999 bytes, never inside a double-byte character; characters the code
// page lacks become "?".
TEST_F(HttpRequestRules, LongAnswersAreCutSafely) {
  script.push(Answer(200, std::string(2000000, 'x')));
  HttpResult big = engine->HttpRequest("http://127.0.0.1:9/a", true, "", true, false);
  ASSERT_TRUE(big.success);
  EXPECT_EQ(big.response, std::string(9999, 'x'));

  std::string chinese;
  for (int i = 0; i < 6000; ++i)
    chinese += "中"; // two bytes each in CP950
  script.push(Answer(200, "x" + chinese));
  HttpResult cut = engine->HttpRequest("http://127.0.0.1:9/b", true, "", true, false);
  ASSERT_TRUE(cut.success);
  ASSERT_EQ(cut.response.size(), 9999u);
  EXPECT_TRUE(platform::Cp950ToUtf8(cut.response)); // whole characters only

  std::string even = chinese;
  script.push(Answer(200, even));
  HttpResult evenCut = engine->HttpRequest("http://127.0.0.1:9/c", true, "", true, false);
  EXPECT_EQ(evenCut.response.size(), 9998u);
  EXPECT_TRUE(platform::Cp950ToUtf8(evenCut.response));

  script.push(Answer(200, "a\xF0\x9F\x98\x80"
                          "b\xC3"));
  EXPECT_EQ(engine->HttpRequest("http://127.0.0.1:9/d", true, "", true, false).response, "a?b?");
}

// A document or report answer with an error status is a failed request; a preparation request
// only needs to have been opened.
TEST_F(HttpRequestRules, FailuresOfTheObjectAndErrorStatuses) {
  for (long status : {404L, 500L, 301L, 199L}) {
    script.push(Answer(status,
                       "ver_min\x1f"
                       "0.9",
                       "ZelvoSID=fromerror"));
    EXPECT_FALSE(engine->HttpRequest("http://127.0.0.1:9/s", true, "", true, true).success) << status;
  }
  EXPECT_EQ(engine->sessionCookie, ""); // an error page's cookie is not taken
  script.push(Answer(204, ""));
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/s", true, "", true, false).success);

  ScriptedCall sendFails;
  sendFails.sendResult = false;
  script.push(sendFails);
  EXPECT_FALSE(engine->HttpRequest("http://127.0.0.1:9/t", true, "", true, false).success);
  script.push(sendFails);
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/p1", true, "", false, false).success);
  script.push(Answer(500, ""));
  EXPECT_TRUE(engine->HttpRequest("http://127.0.0.1:9/p2", true, "", false, false).success);

  ScriptedCall openFails;
  openFails.openResult = false;
  script.push(openFails);
  EXPECT_FALSE(engine->HttpRequest("http://127.0.0.1:9/p1", true, "", false, false).success);
  ScriptedCall timeoutsFail;
  timeoutsFail.timeoutsResult = false;
  script.push(timeoutsFail);
  EXPECT_FALSE(engine->HttpRequest("http://127.0.0.1:9/p1", true, "", false, false).success);

  engine->sessionCookie = "ZelvoSID=v";
  ScriptedCall headerFails;
  headerFails.headerResult = false;
  script.push(headerFails);
  EXPECT_FALSE(engine->HttpRequest("http://127.0.0.1:9/p1", true, "", false, false).success);

  auto calls = script.calls();
  EXPECT_FALSE(calls[calls.size() - 2].sent); // nothing goes out after a failed set-up
  EXPECT_FALSE(calls.back().sent);
}

TEST(HttpResponseText, CookieFromSetCookieValues) {
  EXPECT_EQ(CookieFromSetCookie("ZelvoSID=abc123; path=/"), "ZelvoSID=abc123");
  EXPECT_EQ(CookieFromSetCookie("ZelvoSID=abc123"), "ZelvoSID=abc123");
  EXPECT_EQ(CookieFromSetCookie(" a=b ;c"), " a=b "); // taken unchanged
  EXPECT_EQ(CookieFromSetCookie(std::string(600, 'k')), std::string(511, 'k'));
  EXPECT_EQ(CookieFromSetCookie(""), "");
}

} // namespace
} // namespace zelvo::test
