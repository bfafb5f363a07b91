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

// When the phases began, from the messages that start them.
struct PhaseTimes {
  std::chrono::steady_clock::time_point download{}, upload{};
  void note(const RecordedMessage& m) {
    if (m.message == kMsgPhase && m.sent)
      (m.wParam == 1 ? download : upload) = std::chrono::steady_clock::now();
  }
  std::chrono::steady_clock::duration sinceDownload() const {
    return std::chrono::steady_clock::now() - download;
  }
};

// A run that ended leaves the record and the window alone: no late sample of a session still winding
// down writes a figure or posts a message.
void ExpectNothingWrittenAfterTheEnd(VethBed& bed) {
  auto snapshot = [&] {
    std::lock_guard<std::mutex> lock(bed.engine->phaseMutex);
    std::ostringstream s;
    s << int(bed.record->errorCode) << " " << bed.record->downloadSpeed << " " << bed.record->uploadSpeed
      << " " << bed.engine->dlFtpSamples << " " << bed.engine->ulFtpSamples << " "
      << bed.engine->measuredSeconds << " " << bed.window->messages().size();
    return s.str();
  };
  const std::string before = snapshot();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(snapshot(), before);
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
  // Frozen (its connections stay open and silent) and killed (they close).
  for (bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "frozen");
    VethBed bed(kill ? "ek" : "es", "", "50mbit",
                R"({"ftp_host":"192.0.2.2","dl_duration":4,"ul_duration":3})");
    ASSERT_TRUE(bed.ready());
    PhaseTimes times;
    bool stopped = false;
    bed.run([&](const RecordedMessage& m, VsftpdServer& server) {
      times.note(m);
      if (m.message == kMsgPhase && !m.sent && m.wParam == 1 && !stopped) {
        stopped = true;
        // After one counted second: too little of the four.
        if (kill)
          server.stop();
        else
          server.stall();
      }
    });
    if (!kill) bed.pair.server().resume();
    ASSERT_TRUE(bed.finished);
    auto last = bed.last();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->message, kMsgResult);
    EXPECT_EQ(last->wParam, 3u);
    EXPECT_EQ(int(bed.record->errorCode), kDownloadTooLittle);
    EXPECT_GE(times.sinceDownload(), 14s); // D + 10
    EXPECT_LT(times.sinceDownload(), 19s);
    ExpectNothingWrittenAfterTheEnd(bed);
  }
}

// The server resets the lead's data connection after its first counted second: its samples stop, the
// other sessions go on, and the time limit computes the rate from what was counted.
TEST(EngineOverVeth, ResetOfTheLeadsDataConnectionGivesTheRateAtTheTimeLimit) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("er", "", "50mbit",
              R"({"ftp_host":"192.0.2.2","dl_duration":3,"ul_duration":3,"dl_session":3,"ul_session":1})");
  ASSERT_TRUE(bed.ready());
  // The data connection of the oldest vsftpd session: the lead's, which logged in first.
  bed.box.write(
      "reset.sh",
      "port=$(ss -tnpH state established '( sport != :21 and sport != :8080 )' |"
      " sed -E 's/^ *[0-9]+ +[0-9]+ +[0-9.]+:([0-9]+) .*pid=([0-9]+).*/\\2 \\1/' |"
      " sort -n | head -1 | cut -d' ' -f2)\n"
      "[ -n \"$port\" ] && ss -K state established \"( sport = :$port )\" 2>/dev/null | grep -q .\n");
  PhaseTimes times;
  int reset = -1;
  std::chrono::steady_clock::duration download{};
  bed.run([&](const RecordedMessage& m, VsftpdServer&) {
    times.note(m);
    if (m.message == kMsgPhase && m.sent && m.wParam == 0) download = times.sinceDownload();
    if (m.message == kMsgPhase && !m.sent && m.wParam == 1 && reset < 0) {
      reset = bed.pair.far().run("sh " + bed.box.file("reset.sh").string());
    }
  });
  ASSERT_TRUE(bed.finished);
  EXPECT_EQ(reset, 0) << "no data connection was reset";
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);
  EXPECT_GT(bed.record->downloadSpeed, 0);
  EXPECT_EQ(bed.engine->testParameters.dl_session, 3);
  EXPECT_GE(download, 13s); // D + 10: no sample reached D
  EXPECT_LT(times.sinceDownload(), 25s);
  ExpectNothingWrittenAfterTheEnd(bed);
}

// The web service goes away once the upload has ended: the report cannot be posted, code 5, and the
// measured speeds stay for the window to show.
TEST(EngineOverVeth, ServiceGoneBeforeTheReportEndsWithCode5AndKeepsTheSpeeds) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("e5", "", "50mbit", R"({"ftp_host":"192.0.2.2","dl_duration":3,"ul_duration":3})");
  ASSERT_TRUE(bed.ready());
  std::chrono::steady_clock::time_point reporting{};
  bed.run([&](const RecordedMessage& m, VsftpdServer&) {
    if (m.message == kMsgReporting && bed.service > 0) {
      reporting = std::chrono::steady_clock::now();
      bed.pair.far().kill(bed.service);
      bed.service = -1;
    }
  });
  ASSERT_TRUE(bed.finished);
  ASSERT_NE(reporting, std::chrono::steady_clock::time_point{});
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 2u);
  EXPECT_EQ(int(bed.record->errorCode), kReportNotAccepted);
  EXPECT_GT(bed.record->downloadSpeed, 0);
  EXPECT_GT(bed.record->uploadSpeed, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - reporting, 5s);
  ExpectNothingWrittenAfterTheEnd(bed);
}

// The client's own link goes down after the first counted second of the download: nothing more
// arrives, and the time limit ends the run with code 2.
TEST(EngineOverVeth, ClientLinkDownInTheDownloadEndsWithCode2AfterTheTimeLimit) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  VethBed bed("ed", "", "50mbit", R"({"ftp_host":"192.0.2.2","dl_duration":4,"ul_duration":3})");
  ASSERT_TRUE(bed.ready());
  PhaseTimes times;
  int down = -1;
  bed.run([&](const RecordedMessage& m, VsftpdServer&) {
    times.note(m);
    if (m.message == kMsgPhase && !m.sent && m.wParam == 1 && down < 0)
      down = bed.pair.client().run("ip link set " + bed.pair.clientInterface() + " down");
  });
  ASSERT_TRUE(bed.finished);
  EXPECT_EQ(down, 0);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->message, kMsgResult);
  EXPECT_EQ(last->wParam, 3u);
  EXPECT_EQ(int(bed.record->errorCode), kDownloadTooLittle);
  EXPECT_GE(times.sinceDownload(), 14s); // D + 10
  EXPECT_LT(times.sinceDownload(), 19s);
  ExpectNothingWrittenAfterTheEnd(bed);
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
  LateGreetingBed bed(
      "eg", "", "40mbit",
      R"({"ftp_host":"192.0.2.3","dl_duration":3,"ul_duration":3,"dl_session":2,"ul_session":1})", 2500);
  ASSERT_TRUE(bed.ready());
  bed.run();
  ASSERT_TRUE(bed.finished);
  auto last = bed.last();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->wParam, 1u) << "error " << int(bed.record->errorCode);
  EXPECT_GT(bed.ftp->storedBytes(), 0u);
}

// Each login takes 1.5 s, so the second and third sessions of each phase start their transfers seconds
// after the lead's first reports: they add to the phase's total, and their logins cost no measured time.
TEST(EngineOverVeth, SessionsJoiningAfterTheLeadsFirstReportsStillGiveTheRate) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  LateGreetingBed bed(
      "el", "40mbit", "40mbit",
      R"({"ftp_host":"192.0.2.3","dl_duration":3,"ul_duration":3,"dl_session":3,"ul_session":3})", 1500);
  ASSERT_TRUE(bed.ready());
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
