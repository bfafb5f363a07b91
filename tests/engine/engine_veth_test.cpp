// Whole engine runs over a shaped veth pair: the real engine, CFTPSession sessions against vsftpd, the
// web service and the real interface counters; only the window is a recording fake.

#include "engine/workthread.h"
#include "sysinfo/iphlpapi.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/windowprofile.h"
#include "tests/support/enginebed.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"
#include "workers/tcpstats.h"

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
  resetTcpStats();
  bed.run();
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);

  // The TCP figures of every data connection, each direction apart.
  const TcpPhaseStats down = tcpStatsSnapshot(false), up = tcpStatsSnapshot(true);
  EXPECT_EQ(down.connections, 3);
  EXPECT_EQ(up.connections, 2);
  EXPECT_GT(down.rttMs, 0);
  EXPECT_GT(up.rttMs, 0);
  EXPECT_GT(up.deliveryRateKbps, 0u);

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
  std::chrono::steady_clock::time_point phaseStart;
  bed.run([&](const RecordedMessage& m, VsftpdServer&) {
    if (m.message == kMsgPhase && m.sent && m.wParam == 1) phaseStart = std::chrono::steady_clock::now();
  });
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 3u);
  EXPECT_EQ(int(bed.record->errorCode), kNoSessionStarted);
  // The first connect runs into the 2000 ms limit; the second meets the failed address resolution
  // (about 3 s after the first try) or the limit itself.
  auto took = std::chrono::steady_clock::now() - phaseStart;
  EXPECT_GE(took, 2000ms);
  EXPECT_LT(took, 5s);
}

// A slow path (a satellite link): the server greets 2.5 s after the connect; the run still measures.
TEST(EngineOverVeth, GreetingLaterThanTheConnectLimitStillGivesAResult) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("eg", "", "40mbit",
              R"({"ftp_host":"192.0.2.3","dl_duration":3,"ul_duration":3,"dl_session":2,"ul_session":1})");
  ASSERT_TRUE(bed.ready());
  ASSERT_EQ(bed.pair.far().run("ip addr add 192.0.2.3/24 dev veth-s"), 0);
  FaultyFtpServer::Options late;
  late.greetingDelayMs = 2500;
  late.fileSize = 64ull << 30;
  late.address = "192.0.2.3";
  late.port = 21;
  FaultyFtpServer server(late, &bed.pair.far());
  ASSERT_TRUE(server.ok());
  bed.run();
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);
  EXPECT_GT(server.storedBytes(), 0u);
}

// Each login takes 1.5 s, so the second and third sessions of each phase start their transfers seconds
// after the lead's first reports: they add to the phase's total, and their logins cost no measured time.
TEST(EngineOverVeth, SessionsJoiningAfterTheLeadsFirstReportsStillGiveTheRate) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("el", "40mbit", "40mbit",
              R"({"ftp_host":"192.0.2.3","dl_duration":3,"ul_duration":3,"dl_session":3,"ul_session":3})");
  ASSERT_TRUE(bed.ready());
  ASSERT_EQ(bed.pair.far().run("ip addr add 192.0.2.3/24 dev veth-s"), 0);
  FaultyFtpServer::Options late;
  late.greetingDelayMs = 1500;
  late.fileSize = 64ull << 30;
  late.address = "192.0.2.3";
  late.port = 21;
  FaultyFtpServer server(late, &bed.pair.far());
  ASSERT_TRUE(server.ok());
  bed.run();
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);
  EXPECT_EQ(int(bed.record->errorCode), 0);
  EXPECT_EQ(bed.engine->testParameters.dl_session, 3);
  EXPECT_EQ(bed.engine->testParameters.ul_session, 3);
  // Every accepted second is positive and the result is the shaped rate, all three sessions counted.
  for (const std::string* list : {&bed.engine->dlFtpSamples, &bed.engine->ulFtpSamples}) {
    auto samples = Split(*list);
    EXPECT_GE(samples.size(), 2u) << *list;
    for (const auto& sample : samples)
      EXPECT_GT(std::atof(sample.c_str()), 0) << *list;
  }
  EXPECT_NEAR(bed.record->downloadSpeed, 40000, 8000);
  EXPECT_NEAR(bed.record->uploadSpeed, 40000, 8000);
}

// A multi-gigabit path, unshaped: the run ends with code 0 and a result the digit rows can show, in
// Gbps from ten gigabits on (the speed itself is the bench's business).
TEST(EngineOverVeth, GigabitPathGivesAShownResult) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("eu", "", "",
              R"({"ftp_host":"192.0.2.2","dl_duration":3,"ul_duration":3,"dl_session":3,"ul_session":3})");
  ASSERT_TRUE(bed.ready());
  bed.run();
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);
  EXPECT_EQ(int(bed.record->errorCode), 0);
  // Inside the range the result page shows (four integer digits in Gbps).
  for (double kbps : {bed.record->downloadSpeed, bed.record->uploadSpeed}) {
    EXPECT_GT(kbps, 1.0);
    EXPECT_LT(kbps, 1e10);
  }
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
