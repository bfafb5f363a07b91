// The engine's run from the service document to the report against the test bed's web service, with
// the phases and the system profile faked.

#include "engine/httpthread.h"
#include "engine/report.h"
#include "platform/cp950.h"
#include "tests/engine/http_support.h"

#include <gtest/gtest.h>

namespace zelvo::test {
namespace {

using std::chrono::seconds;

const char* const kAgreement = "使用本程式即表示同意：測速結果將傳送至 Zelvo。";
const char* const kAnnouncement = "週六凌晨系統維護，暫停測速。";

std::string ServiceConfig(const std::string& extra = "") {
  return std::string("{\"agreement\": \"") + kAgreement + "\", \"announcement\": \"" + kAnnouncement + "\"" +
         (extra.empty() ? "" : ", " + extra) + "}";
}

struct EngineRun {
  std::shared_ptr<TestRecord> record = NewRecord();
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<FakedPhasesEngine> engine;

  // Starts a first run of the program: terms to show, profile to take, both gates already open.
  explicit EngineRun(const ServiceProcess& service, bool notices = false) {
    engine = std::make_shared<FakedPhasesEngine>(
        record,
        EngineConfig::FromPlain(service.url("/zelvo/service.txt"), service.url("/zelvo/test.txt"),
                                service.url("/zelvo/prepare1.txt"), service.url("/zelvo/prepare2.txt"),
                                service.url("/zelvo/report"), service.url("/zelvo/notice"), "127.0.0.1"));
    engine->postNotice = notices;
    engine->notifyWindow = window;
    engine->startGate = true;
    engine->pingDone = true;
    // The window's answers: a notice starts a background fetch, a failed test document is acknowledged.
    std::weak_ptr<TestRecord> weak = record;
    window->setHook([weak](const RecordedMessage& m) {
      if (m.message == kMsgNotice && m.wText && m.lText) CHttpThread::Start(*m.wText, *m.lText);
      if (m.message == kMsgTestDocFailed)
        if (auto r = weak.lock()) r->windowAck = 1;
    });
    engine->Resume();
  }
  bool finish() { return engine->WaitFor(60000); }

  // The engine's messages as (message, wParam) in order.
  std::vector<std::pair<unsigned, WParam>> sequence() const {
    std::vector<std::pair<unsigned, WParam>> out;
    for (const auto& m : window->messages()) // a text parameter shows as 0
      out.emplace_back(m.message, MessageTexts(m.message, m.wParam).wParam ? 0 : m.wParam);
    return out;
  }
  RecordedMessage last() const { return window->messages().back(); }
};

using Seq = std::vector<std::pair<unsigned, WParam>>;

std::string CookieOf(const std::vector<ServiceProcess::Request>& requests, const std::string& path) {
  for (const auto& r : requests)
    if (r.path == path) return r.cookie ? "[" + *r.cookie + "]" : "none";
  return "not requested";
}

TEST(EngineAgainstService, FullRunReportsWhatItComposed) {
  ServiceProcess service(ServiceConfig());
  ASSERT_TRUE(service.ok());
  EngineRun run(service, true);
  ASSERT_TRUE(run.finish());

  // Messages of a first run that ends with an accepted report.
  EXPECT_EQ(
      run.sequence(),
      (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgNotice, 0}, {kMsgReporting, 0}, {kMsgResult, 1}}));
  auto messages = run.window->messages();
  EXPECT_EQ(messages[1].lText, platform::Utf8ToCp950(kAgreement));
  EXPECT_EQ(run.record->agreementText, platform::Utf8ToCp950(kAgreement));
  EXPECT_EQ(run.record->announcementText, platform::Utf8ToCp950(kAnnouncement));
  EXPECT_EQ(run.record->errorCode.load(), kNoError);

  // The cookie is the identifier pair of the Set-Cookie (which has attributes), plus the spaces of
  // the four requests that carried it.
  std::string cookie = run.engine->sessionCookie;
  ASSERT_EQ(cookie.rfind("ZelvoSID=", 0), 0u) << cookie;
  std::string pair = cookie.substr(0, cookie.find(' '));
  EXPECT_EQ(pair.size(), std::string("ZelvoSID=").size() + 10);
  EXPECT_EQ(cookie, pair + "    ");
  auto requests = service.requests();
  EXPECT_EQ(CookieOf(requests, "/zelvo/service.txt"), "none");
  EXPECT_EQ(CookieOf(requests, "/zelvo/test.txt"), "[" + pair + " ]");
  EXPECT_EQ(CookieOf(requests, "/zelvo/prepare1.txt"), "[" + pair + "  ]");
  EXPECT_EQ(CookieOf(requests, "/zelvo/prepare2.txt"), "[" + pair + "   ]");
  EXPECT_EQ(CookieOf(requests, "/zelvo/report"), "[" + pair + "    ]");

  // The service decoded the same report, field for field, and found its authentication code valid.
  std::map<std::string, std::string> stored = service.lastReport();
  EXPECT_EQ(stored["accepted"], "True") << stored["reason"];
  EXPECT_EQ(stored["auth_ok"], "True");
  const std::string value = pair.substr(pair.find('=') + 1);
  auto composed = SplitReportQuery(ComposeReportQuery(*run.engine, MakeAuthCode(run.record->localIp, value)));
  ASSERT_EQ(composed.size(), 26u);
  for (const auto& [name, text] : composed)
    EXPECT_EQ(stored["field." + name], platform::Cp950ToUtf8(text).value_or("?")) << name;
  EXPECT_EQ(stored["field.User_nic"], "乙太網路介面卡 #2");
  EXPECT_EQ(stored["field.Tcp_session"], "1,2");

  // The answer's serial, time and result page.
  EXPECT_EQ(run.record->resultSerial, stored["serial"]);
  EXPECT_FALSE(run.record->resultTime.empty());
  std::string resultUrl = run.last().lText.value_or("");
  ASSERT_EQ(resultUrl.rfind(service.url("/zelvo/result?serial="), 0), 0u) << resultUrl;
  std::optional<std::string> page = service.get(resultUrl.substr(service.url("").size()));
  ASSERT_TRUE(page);
  EXPECT_NE(page->find(stored["serial"]), std::string::npos);

  // The notice went out from its own thread with the cookie and one more space.
  EXPECT_TRUE(
      waitFor([&] { return service.get("/zelvo/_notices").value_or("").find(value) != std::string::npos; },
              seconds(20)));
}

TEST(EngineAgainstService, ServiceDocumentFaultsEndWithCodeSix) {
  for (std::string fault : {"missing", "drop", "server_error"}) {
    ServiceProcess service(ServiceConfig("\"faults\": {\"service_document\": \"" + fault + "\"}"));
    ASSERT_TRUE(service.ok());
    EngineRun run(service);
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.record->errorCode.load(), kServiceDocumentFailed) << fault;
    EXPECT_EQ(run.sequence(), (Seq{{kMsgVersion, 0}})) << fault;
    EXPECT_EQ(run.last().lParam, 0);
    EXPECT_EQ(run.record->introPending.load(), 0);
    EXPECT_EQ(run.engine->noticesOn.load(), false);
    EXPECT_EQ(service.requests().size(), 1u);
  }
}

TEST(EngineAgainstService, MissingTestDocumentMakesAFallbackRunWithoutReport) {
  ServiceProcess service(ServiceConfig("\"faults\": {\"test_document\": \"missing\"}"));
  ASSERT_TRUE(service.ok());
  EngineRun run(service);
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.record->errorCode.load(), kTestDocumentFailed);
  EXPECT_EQ(run.sequence(),
            (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgTestDocFailed, 0}, {kMsgResult, 2}}));
  EXPECT_TRUE(run.engine->fallbackSeen.load());
  EXPECT_EQ(run.engine->testParameters.url, "127.0.0.1");
  for (const auto& r : service.requests())
    EXPECT_NE(r.path, "/zelvo/report");
}

TEST(EngineAgainstService, DeniedTestEndsWithCodeTen) {
  ServiceProcess service(ServiceConfig("\"test_permission\": \"T \""));
  ASSERT_TRUE(service.ok());
  EngineRun run(service);
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.record->errorCode.load(), kTestDenied);
  EXPECT_EQ(run.sequence(), (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgDenied, 0}}));
  EXPECT_EQ(run.engine->downloadRuns.load(), 0);
  EXPECT_EQ(service.requests().size(), 2u); // no preparation requests
}

// A report answer without a result page, or no usable answer at all: code 5.
class ReportFaults : public ::testing::TestWithParam<std::string> {};

TEST_P(ReportFaults, EndWithCodeFive) {
  ServiceProcess service(ServiceConfig("\"faults\": {\"report\": \"" + GetParam() + "\"}"));
  ASSERT_TRUE(service.ok());
  EngineRun run(service);
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.record->errorCode.load(), kReportNotAccepted);
  EXPECT_EQ(run.sequence(),
            (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgReporting, 0}, {kMsgResult, 2}}));
  EXPECT_EQ(run.last().lParam, 0);
  EXPECT_EQ(run.record->resultSerial, "");
  // The measured results stay for the window to show.
  EXPECT_DOUBLE_EQ(run.record->downloadSpeed, 92345.678);
}

INSTANTIATE_TEST_SUITE_P(Answers, ReportFaults,
                         ::testing::Values("empty_result_url", "garbage", "drop", "missing"));

// Without a cookie long enough for a key the report is never sent, scrambled or not.
TEST(EngineAgainstService, NoUsableCookieMeansNoReport) {
  for (std::string config : {"\"faults\": {\"service_document\": \"no_cookie\"}", "\"cookie_length\": 3"}) {
    ServiceProcess service(ServiceConfig(config));
    ASSERT_TRUE(service.ok());
    EngineRun run(service);
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.record->errorCode.load(), kReportNotAccepted) << config;
    EXPECT_EQ(run.sequence(),
              (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgReporting, 0}, {kMsgResult, 2}}));
    for (const auto& r : service.requests()) {
      EXPECT_NE(r.path, "/zelvo/report") << config;
      if (config.find("no_cookie") != std::string::npos) {
        EXPECT_FALSE(r.cookie) << r.path;
      }
    }
  }
}

// An answer of garbage bytes is still a document: no crash, the run goes on with empty values.
TEST(EngineAgainstService, GarbageServiceDocumentIsParsedSafely) {
  ServiceProcess service(
      ServiceConfig("\"faults\": {\"service_document\": \"garbage\", \"test_document\": \"garbage\"}"));
  ASSERT_TRUE(service.ok());
  EngineRun run(service);
  ASSERT_TRUE(run.finish());
  // Garbage carries no "test_permission" of "T".
  EXPECT_EQ(run.record->errorCode.load(), kTestDenied);
  EXPECT_EQ(run.sequence().back(), (std::pair<unsigned, WParam>(kMsgDenied, 0)));
}

} // namespace
} // namespace zelvo::test
