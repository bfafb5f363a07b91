// Whole engine runs over a shaped veth pair: the real engine, CFTPSession sessions against vsftpd, the
// web service and the real interface counters; only the window is a recording fake.

#include "engine/workthread.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/windowprofile.h"
#include "tests/support/ftpserver.h"
#include "tests/support/support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace zelvo;
using namespace zelvo::test;
using namespace std::chrono_literals;

namespace {

constexpr int kServicePort = 8080;

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream s(list);
  std::string item;
  while (std::getline(s, item, ','))
    out.push_back(item);
  return out;
}

double Mean(const std::vector<std::string>& values) {
  double sum = 0;
  for (const auto& v : values)
    sum += std::atof(v.c_str());
  return values.empty() ? 0 : sum / values.size();
}

// A client namespace and a server namespace joined by veth; vsftpd and the web service on the far end.
struct VethBed {
  Sandbox box;
  VethPair pair;
  pid_t service = -1;
  std::shared_ptr<TestRecord> record = std::make_shared<TestRecord>();
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<CWorkThread> engine;

  VethBed(const std::string& tag, const std::string& upRate, const std::string& downRate,
          const std::string& serviceJson)
      : pair(tag, upRate, downRate, VsftpdServer::Options{}) {
    if (!pair.ok()) return;
    box.write("service.json", serviceJson);
    service = pair.far().spawn(
        "exec python3 " + std::string(ZELVO_SOURCE_DIR) + "/service/zelvo_service.py --host " +
        VethPair::kServerAddress + " --port " + std::to_string(kServicePort) + " --config " +
        box.file("service.json").string() + " >" + box.file("service.log").string() + " 2>&1");
  }
  bool ready() {
    return pair.ok() && waitForPort(&pair.client(), VethPair::kServerAddress, kServicePort, 10s);
  }
  std::string url(const std::string& path) const {
    return std::string("http://") + VethPair::kServerAddress + ":" + std::to_string(kServicePort) + path;
  }
  // Runs one engine inside the client namespace, playing the window: the profile of the route to the
  // server (its adapter is the measured one) and an immediate latency result.
  void run(std::function<void(const RecordedMessage&, VsftpdServer&)> onMessage = {}) {
    runIn(&pair.client(), [&] {
      record->appVersion = "0.91";
      record->introPending = 1;
      record->profilePending = 1;
      record->pingAvgMs = 1.0f;
      record->pingSummary = "1,1,1";
      WindowProfile profile;
      profile.primaryReference = profile.alternateReference = VethPair::kServerAddress;
      EngineConfig config = EngineConfig::FromPlain(
          url("/zelvo/service.txt"), url("/zelvo/test.txt"), url("/zelvo/prepare1.txt"),
          url("/zelvo/prepare2.txt"), url("/zelvo/report"), url("/zelvo/notice"), VethPair::kServerAddress);
      engine = std::make_shared<CWorkThread>(record, ProductionEngineContext(config));
      engine->notifyWindow = window;
      std::weak_ptr<CWorkThread> weak = engine;
      window->setHook([&, weak](const RecordedMessage& m) {
        if (m.message == kMsgVersion && m.wParam == 3)
          if (auto e = weak.lock()) {
            vGetSystemInfo(*record, profile);
            e->startGate = true;
            e->pingDone = true;
          }
        if (onMessage) onMessage(m, pair.server());
      });
      engine->Resume();
      ASSERT_TRUE(engine->WaitFor(90000));
    });
  }
  std::optional<RecordedMessage> last() const {
    auto m = window->messages();
    if (m.empty()) return std::nullopt;
    return m.back();
  }
};

} // namespace

TEST(EngineOverVeth, MeasuresTheShapedRatesAndReportsThem) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("ev", "10mbit", "20mbit",
              R"({"ftp_host":"192.0.2.2","dl_duration":4,"ul_duration":4,"dl_session":3,"ul_session":2})");
  ASSERT_TRUE(bed.ready());
  bed.run();
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);

  // Within 15 % of the shaped rates, the adapter agreeing with FTP.
  EXPECT_NEAR(bed.record->downloadSpeed, 20000, 3000);
  EXPECT_NEAR(bed.record->uploadSpeed, 10000, 1500);
  EXPECT_NEAR(bed.engine->dlNicSpeed, bed.record->downloadSpeed, 0.1 * bed.record->downloadSpeed);
  EXPECT_NEAR(bed.engine->ulNicSpeed, bed.record->uploadSpeed, 0.1 * bed.record->uploadSpeed);
  EXPECT_EQ(bed.engine->testParameters.dl_session, 3);
  EXPECT_EQ(bed.engine->testParameters.ul_session, 2);

  // One entry per accepted second in each list, the lists of a phase of equal length.
  auto dlFtp = Split(bed.engine->dlFtpSamples), dlNic = Split(bed.engine->dlNicSamples);
  auto ulFtp = Split(bed.engine->ulFtpSamples), ulNic = Split(bed.engine->ulNicSamples);
  EXPECT_EQ(dlFtp.size(), dlNic.size());
  EXPECT_EQ(ulFtp.size(), ulNic.size());
  EXPECT_GE(dlFtp.size(), 3u);
  EXPECT_LE(dlFtp.size(), 6u);
  EXPECT_GE(ulFtp.size(), 3u);
  EXPECT_NEAR(Mean(dlFtp), 20000, 3000);
  EXPECT_NEAR(Mean(ulNic), 10000, 1500);
  // The progress bar moved once per accepted sample, after the sent phase starts.
  int progress = 0, starts = 0;
  for (const auto& m : bed.window->messages())
    if (m.message == kMsgPhase) (m.sent ? starts : progress)++;
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(progress, static_cast<int>(dlFtp.size() + ulFtp.size()));
  // The uploads carried only asterisks.
  std::error_code ec;
  bool sawUpload = false;
  for (const auto& entry : std::filesystem::directory_iterator(bed.pair.server().uploads(), ec)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string head(4096, '\0');
    in.read(head.data(), head.size());
    head.resize(in.gcount());
    if (!head.empty()) sawUpload = true;
    EXPECT_EQ(head.find_first_not_of('*'), std::string::npos) << entry.path();
  }
  EXPECT_TRUE(sawUpload);
}

TEST(EngineOverVeth, ServerStoppingInTheDownloadEndsWithCode2AfterTheTimeLimit) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("es", "", "50mbit", R"({"ftp_host":"192.0.2.2","dl_duration":6,"ul_duration":3})");
  ASSERT_TRUE(bed.ready());
  std::chrono::steady_clock::time_point phaseStart;
  bool stalled = false;
  bed.run([&](const RecordedMessage& m, VsftpdServer& server) {
    if (m.message == kMsgPhase && m.sent && m.wParam == 1) phaseStart = std::chrono::steady_clock::now();
    if (m.message == kMsgPhase && !m.sent && m.wParam == 1 && !stalled) {
      stalled = true;
      server.stall(); // the server freezes after one counted second: too little of the six
    }
  });
  bed.pair.server().resume();
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 3u);
  EXPECT_EQ(int(bed.record->errorCode), kDownloadTooLittle);
  EXPECT_GE(std::chrono::steady_clock::now() - phaseStart, 16s); // D + 10
}

TEST(EngineOverVeth, LeadSessionFailingTwiceEndsWithCode7) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  // No host answers at this address of the link.
  VethBed bed("e7", "", "", R"({"ftp_host":"192.0.2.9","dl_duration":3,"ul_duration":3})");
  ASSERT_TRUE(bed.ready());
  bed.run();
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 3u);
  EXPECT_EQ(int(bed.record->errorCode), kNoSessionStarted);
}
