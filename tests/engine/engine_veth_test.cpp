// Whole engine runs over a shaped veth pair: the real engine, CFTPSession sessions against vsftpd, the
// web service and the real interface counters; only the window is a recording fake.

#include "engine/workthread.h"
#include "sysinfo/iphlpapi.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/windowprofile.h"
#include "tests/support/enginebed.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace zelvo;
using namespace zelvo::test;
using namespace std::chrono_literals;

namespace {

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

} // namespace

TEST(EngineOverVeth, MeasuresTheShapedRatesAndReportsThem) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("ev", "10mbit", "20mbit",
              R"({"ftp_host":"192.0.2.2","dl_duration":6,"ul_duration":6,"dl_session":3,"ul_session":2})");
  ASSERT_TRUE(bed.ready());
  bed.run();
  ASSERT_TRUE(bed.finished);
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
  EXPECT_GE(dlFtp.size(), 4u);
  EXPECT_LE(dlFtp.size(), 8u);
  EXPECT_GE(ulFtp.size(), 4u);
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
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 3u);
  EXPECT_EQ(int(bed.record->errorCode), kNoSessionStarted);
}

// The position the connection probe leaves when no row carries the route is the row count: the
// engine's reader must find no counters there, and must find them in the last row.
TEST(EngineOverVeth, InterfaceCountersOnlyForARowOfTheRealTable) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  NetNamespace ns("rows");
  ASSERT_TRUE(ns.ok());
  ASSERT_EQ(ns.run("ip link add za type veth peer name zb && ip link set za up && ip link set zb up"), 0);
  std::thread worker([&] {
    ASSERT_TRUE(ns.enter());
    EngineContext context = ProductionEngineContext();
    ASSERT_EQ(GetInterfaceTable().size(), 3u); // lo, za, zb
    EXPECT_TRUE(context.readInterfaceCounters(2));
    EXPECT_FALSE(context.readInterfaceCounters(3));
    EXPECT_FALSE(context.readInterfaceCounters(-1));
  });
  worker.join();
}
