#include "tests/engine/fakes.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

using namespace zelvo;
using namespace zelvo::test;
using namespace std::chrono_literals;

namespace {

// An engine with the real phases; only the outside steps it does not use here are inert.
class PhaseEngine : public CWorkThread {
public:
  using CWorkThread::CWorkThread;
  using CWorkThread::DownloadPhase;
  using CWorkThread::OnSpeedSample;
  using CWorkThread::UploadPhase;

protected:
  void SystemProfile() override {}
  HttpResult HttpRequest(const std::string&, bool, const std::string&, bool, bool) override { return {}; }
  void Report() override {}
};

struct PhaseBench {
  std::shared_ptr<SessionCensus> census = std::make_shared<SessionCensus>();
  std::shared_ptr<TestRecord> record = std::make_shared<TestRecord>();
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<PhaseEngine> engine;
  // The fake interface table: one row at position 1.
  std::atomic<std::uint32_t> inOctets{0}, outOctets{0};

  PhaseBench() {
    EngineContext c = FakeContext(census);
    c.readInterfaceCounters = [this](std::int32_t pos) -> std::optional<OctetCounters> {
      if (pos != 1) return std::nullopt;
      return OctetCounters{inOctets.load(), outOctets.load()};
    };
    record->bestIfPos = 1;
    engine = std::make_shared<PhaseEngine>(record, c);
    engine->notifyWindow = window;
    engine->testParameters = TestParameters::Fallback("ftp.host");
  }
  FakeSession& session(int index) { return *dynamic_cast<FakeSession*>(engine->sessions[index].get()); }

  // Puts the engine at the start of sampling, as the phase start does.
  void beginSampling(bool download, int duration) {
    engine->downloadPhase = download;
    (download ? engine->testParameters.dl_duration : engine->testParameters.ul_duration) = duration;
    engine->warmupLeft = 1;
    engine->phaseClock.Start();
    engine->noticesOn = false;
  }
  // One sample: `bytes` more through FTP and `octets` more through the adapter over `ms` milliseconds.
  std::int64_t total = 0, ms = 0;
  void sample(bool download, std::int64_t bytes, std::uint32_t octets, std::int64_t stepMs = 1000) {
    total += bytes;
    ms += stepMs;
    (download ? inOctets : outOctets) += octets;
    double bps = stepMs > 0 ? bytes * 8.0 * 1000 / stepMs : 0;
    engine->OnSpeedSample(download ? WorkMode::Read : WorkMode::Write, total, ms, bps);
  }
  int progressMessages() const {
    int n = 0;
    for (const auto& m : window->messages())
      n += m.message == kMsgPhase;
    return n;
  }
};

} // namespace

TEST(PhaseSamples, BaselineThenAcceptedSamplesUntilTheDuration) {
  PhaseBench b;
  b.beginSampling(true, 3);
  b.inOctets = 4294967296u - 200000u; // the 32-bit counter wraps at the first counted sample
  b.sample(true, 125000, 125000);
  // The baseline changes no counter and moves no progress bar.
  EXPECT_EQ(b.engine->measuredSeconds, 0.0f);
  EXPECT_EQ(b.engine->measuredBytes, 0u);
  EXPECT_EQ(b.progressMessages(), 0);
  EXPECT_EQ(b.engine->baselineMs, 1000);

  // 1 Mbit/s through both: accepted.
  b.sample(true, 125000, 125000);
  EXPECT_FLOAT_EQ(b.engine->measuredSeconds, 1.0f);
  EXPECT_EQ(b.engine->measuredBytes, 125000u);
  EXPECT_EQ(b.engine->dlFtpSamples, "1000");
  EXPECT_EQ(b.engine->dlNicSamples, "1000");
  ASSERT_EQ(b.progressMessages(), 1);
  EXPECT_EQ(b.window->messages().back().lParam, 33); // (2000 - 1000) / (3 * 10)

  b.sample(true, 150000, 150000);
  EXPECT_EQ(b.engine->dlNicSamples, "1000,1200");
  EXPECT_EQ(b.engine->dlNicKbits, 2200u);
  EXPECT_EQ(b.record->downloadDone, 0);

  // The sample that reaches the duration ends the phase.
  b.sample(true, 125000, 125000);
  EXPECT_EQ(b.record->downloadDone, 1);
  EXPECT_EQ(b.window->messages().back().lParam, 100);
  EXPECT_DOUBLE_EQ(b.engine->testParameters.dlBitsPerSecond, 400000.0 * 8 / 3);
  EXPECT_DOUBLE_EQ(b.record->downloadSpeed, 400000.0 * 8 / 3 * 0.001);
  EXPECT_NEAR(b.engine->dlNicSpeed, 3200.0 / 3, 1e-3);
  EXPECT_EQ(b.engine->dlFtpSamples, "1000,1200,1000");
  for (int i = 3; i < 6; ++i)
    EXPECT_GE(b.session(i).aborts_ + !b.session(i).Running(), 1);

  // Later samples (the sessions take a moment to stop) change nothing.
  b.sample(true, 125000, 125000);
  EXPECT_EQ(b.engine->dlFtpSamples, "1000,1200,1000");
}

TEST(PhaseSamples, FilterRejectsImplausibleSamplesWithoutCountingThem) {
  PhaseBench b;
  b.beginSampling(false, 10);
  b.sample(false, 0, 0); // baseline

  // The adapter saw twice the FTP rate early in the phase: rejected.
  b.sample(false, 125000, 250000);
  // The adapter saw half the FTP rate or less: always rejected.
  b.sample(false, 125000, 62500);
  // No FTP rate at all: rejected.
  b.sample(false, 0, 125000);
  // Adapter rate rounds to nothing: rejected.
  b.sample(false, 125000, 100);
  EXPECT_EQ(b.engine->measuredSeconds, 0.0f);
  EXPECT_EQ(b.engine->measuredBytes, 0u);
  EXPECT_EQ(b.engine->ulFtpSamples, "");
  EXPECT_EQ(b.progressMessages(), 0);

  // The next good sample counts only its own second and its own bytes.
  b.sample(false, 125000, 130000);
  EXPECT_FLOAT_EQ(b.engine->measuredSeconds, 1.0f);
  EXPECT_EQ(b.engine->measuredBytes, 125000u);
  EXPECT_EQ(b.engine->ulFtpSamples, "1000");
  EXPECT_EQ(b.engine->ulNicSamples, "1040");
  EXPECT_EQ(b.progressMessages(), 1);
  EXPECT_TRUE(b.engine->dlFtpSamples.empty());
}

TEST(PhaseSamples, HighAdapterRateIsAcceptedAfterThreeSecondsAndOtherModesAreIgnored) {
  PhaseBench b;
  b.beginSampling(true, 10);
  b.sample(true, 0, 0);
  // A sample of the upload arriving during the download phase is not this phase's.
  b.engine->OnSpeedSample(WorkMode::Write, 999999, 5000, 8e6);
  EXPECT_EQ(b.engine->lastTotalBytes, 0);
  std::this_thread::sleep_for(4100ms); // the phase clock passes 3 s
  b.sample(true, 125000, 250000);
  EXPECT_FLOAT_EQ(b.engine->measuredSeconds, 1.0f);
  EXPECT_EQ(b.engine->dlNicSamples, "2000");
  // Past 3 s too, a sample without FTP rate is rejected however busy the adapter is.
  b.sample(true, 0, 250000);
  EXPECT_FLOAT_EQ(b.engine->measuredSeconds, 1.0f);
  EXPECT_EQ(b.engine->dlNicSamples, "2000");
}

TEST(PhaseSamples, MissingInterfaceRowMeasuresNothingAndNeverReadsPastTheTable) {
  PhaseBench b;
  b.record->bestIfPos = 7;
  b.beginSampling(true, 10);
  b.sample(true, 0, 0);
  b.sample(true, 125000, 125000);
  EXPECT_EQ(b.engine->measuredSeconds, 0.0f);
  EXPECT_EQ(b.engine->dlNicSamples, "");
}

TEST(PhaseSamples, NoOverflowAtTenGigabitsForAMinute) {
  PhaseBench b;
  b.beginSampling(true, 60);
  b.sample(true, 0, 0);
  const std::int64_t perSecond = 1250000000; // 10 Gbit/s
  for (int i = 0; i < 60; ++i)
    b.sample(true, perSecond, static_cast<std::uint32_t>(perSecond));
  EXPECT_EQ(b.record->downloadDone, 1);
  EXPECT_EQ(b.engine->measuredBytes, 60u * static_cast<std::uint64_t>(perSecond));
  EXPECT_NEAR(b.record->downloadSpeed, 1e7, 1.0);
  EXPECT_NEAR(b.engine->dlNicSpeed, 1e7, 1.0);
}

TEST(PhaseSamples, BytesReadAfterARejectedSampleCountNoMoreThanTheAdapterCarried) {
  PhaseBench b;
  b.beginSampling(true, 2);
  b.sample(true, 125000, 125000); // baseline
  // A second in which bytes piled up in the sockets (a lost segment on a long path): rejected.
  b.sample(true, 50000, 250000);
  // They are read in the next second, above what the adapter carried in it.
  b.sample(true, 450000, 250000);
  ASSERT_EQ(b.record->downloadDone, 1);
  EXPECT_EQ(b.engine->dlFtpSamples, "3600"); // the sample as measured
  EXPECT_DOUBLE_EQ(b.engine->testParameters.dlBitsPerSecond, 2000000.0);
  EXPECT_DOUBLE_EQ(b.engine->dlNicSpeed, 2000.0);
}

TEST(PhaseLimits, FailureLimitsAndCodes) {
  // Normal run: at least 30 % of the duration must have been accepted.
  EXPECT_TRUE(CWorkThread::PhaseFailed(true, false, 10, 2.9f));
  EXPECT_FALSE(CWorkThread::PhaseFailed(true, false, 10, 3.0f));
  EXPECT_TRUE(CWorkThread::PhaseFailed(false, false, 10, 0.0f));
  // Fallback download: half the duration, integer division (4 s with 9 s).
  EXPECT_TRUE(CWorkThread::PhaseFailed(true, true, 9, 3.9f));
  EXPECT_FALSE(CWorkThread::PhaseFailed(true, true, 9, 4.0f));
  // Fallback upload: more than 3 s.
  EXPECT_TRUE(CWorkThread::PhaseFailed(false, true, 10, 3.0f));
  EXPECT_FALSE(CWorkThread::PhaseFailed(false, true, 10, 3.1f));

  EXPECT_EQ(CWorkThread::PhaseFailureCode(true, 0, "PPPoE", 1492), kDownloadTooLittle);
  EXPECT_EQ(CWorkThread::PhaseFailureCode(false, 0, "Ethernet", 1500), kUploadNothingNotPppoe);
  EXPECT_EQ(CWorkThread::PhaseFailureCode(false, 0, "PPPoE\xa5\x44", 1492), kUploadNothingPppoeMtu);
  EXPECT_EQ(CWorkThread::PhaseFailureCode(false, 0, "PPPoE", 1460), kUploadTooLittle);
  EXPECT_EQ(CWorkThread::PhaseFailureCode(false, 1.5f, "Ethernet", 1500), kUploadTooLittle);
  EXPECT_EQ(CWorkThread::PhaseFailureCode(false, 0, "PPP", 1500), kUploadNothingNotPppoe);
}

TEST(PhaseSessions, StartingCountsTheSessionsThatRun) {
  PhaseBench b;
  b.engine->testParameters.url = "ftp.host";
  b.engine->testParameters.uid = "u";
  b.engine->testParameters.pwd = "p";
  b.engine->testParameters.dl_session = 3;
  b.session(4).reachable_ = false; // "FTP5"
  ASSERT_TRUE(b.engine->StartDownloadSessions());
  EXPECT_EQ(b.engine->testParameters.dl_session, 2);
  EXPECT_TRUE(b.session(3).Running());
  EXPECT_FALSE(b.session(4).Running());
  EXPECT_TRUE(b.session(5).Running());
  EXPECT_EQ(b.session(3).downloadFile_, "test_1024m.zip");
  EXPECT_EQ(b.session(3).host_, "ftp.host");
  EXPECT_EQ(b.session(3).port_, 21);
  EXPECT_EQ(b.session(3).recvBuffer_, 131072);
  EXPECT_EQ(b.session(3).sendBuffer_, 65536);
  EXPECT_TRUE(b.session(3).passive_);
  EXPECT_FALSE(b.session(3).abortByDataChannel_);

  // Upload: 0 counts as one session; five would be capped at three.
  b.engine->testParameters.ul_session = 0;
  ASSERT_TRUE(b.engine->StartUploadSessions());
  EXPECT_EQ(b.engine->testParameters.ul_session, 1);
  EXPECT_EQ(b.session(0).dir_, "uploads");
  std::string name = b.session(0).uploadFile_;
  EXPECT_EQ(name.substr(name.size() - 5), ".txt1");
  EXPECT_FALSE(b.session(1).Running());

  PhaseBench c;
  c.engine->testParameters.ul_session = 5;
  ASSERT_TRUE(c.engine->StartUploadSessions());
  EXPECT_EQ(c.engine->testParameters.ul_session, 3);
  EXPECT_EQ(c.session(2).uploadFile_.substr(c.session(2).uploadFile_.size() - 5), ".txt3");
  EXPECT_EQ(c.session(0).uploadFile_.substr(0, c.session(0).uploadFile_.size() - 1),
            c.session(2).uploadFile_.substr(0, c.session(2).uploadFile_.size() - 1));

  // Stopping the upload phase aborts the running sessions and disconnects them.
  c.engine->downloadPhase = false;
  c.engine->StopPhaseSessions();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c.session(i).aborts_, 1);
    EXPECT_FALSE(c.session(i).Connected());
  }
}

TEST(PhaseSessions, MeasuringBeginsWhenEverySessionsDataFlows) {
  PhaseBench b;
  b.engine->testParameters.dl_duration = 2;
  b.session(5).dataFlows_ = false; // "FTP6" logged in, its transfer not begun yet
  std::thread phase([&] { b.engine->DownloadPhase(false); });
  auto starting = [&] {
    std::lock_guard<std::mutex> lock(b.engine->phaseMutex);
    return b.engine->sessionsStarting;
  };
  auto waitFor = [&](bool value) {
    for (int i = 0; i < 500 && (starting() != value || !b.session(5).Running()); ++i)
      std::this_thread::sleep_for(10ms);
  };
  waitFor(true);
  b.sample(true, 125000, 125000);
  b.sample(true, 125000, 125000);
  EXPECT_EQ(b.engine->measuredSeconds, 0.0f); // both only baselines

  b.session(5).dataFlows_ = true;
  waitFor(false);
  ASSERT_FALSE(starting());
  // What "FTP6" found waiting in its socket is read before the next sample: a baseline again.
  b.sample(true, 400000, 125000);
  EXPECT_EQ(b.engine->measuredSeconds, 0.0f);
  b.sample(true, 125000, 125000);
  b.sample(true, 125000, 125000);
  phase.join();
  EXPECT_EQ(b.record->downloadDone, 1);
  EXPECT_EQ(b.engine->dlFtpSamples, "1000,1000");
  EXPECT_DOUBLE_EQ(b.engine->testParameters.dlBitsPerSecond, 1000000.0);
}

TEST(PhaseSessions, LeadFailingTwiceEndsTheDownloadWithCode7) {
  PhaseBench b;
  b.session(3).reachable_ = false;
  EXPECT_EQ(b.engine->DownloadPhase(false), PhaseEnd::Failed);
  EXPECT_EQ(b.record->errorCode, kNoSessionStarted);
  auto m = b.window->messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_TRUE(m[0].sent);
  EXPECT_EQ(m[0].wParam, 1u);
}

TEST(PhaseSessions, UploadWithoutSessionsEndsByTheTimeLimitWithTheConnectionsCode) {
  PhaseBench b;
  b.engine->testParameters.ul_duration = 1;
  b.record->connectionType = "PPPoE";
  b.record->nicMtu = 1492;
  b.session(0).reachable_ = false;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(b.engine->UploadPhase(false), PhaseEnd::Failed);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 11s);
  EXPECT_EQ(b.record->errorCode, kUploadNothingPppoeMtu);
}

TEST(PhaseSessions, TerminateEndsTheWatchLoopAtOnce) {
  PhaseBench b;
  b.engine->testParameters.dl_duration = 30;
  b.engine->Terminate();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(b.engine->DownloadPhase(false), PhaseEnd::Terminated);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  for (int i = 3; i < 6; ++i)
    EXPECT_FALSE(b.session(i).Connected());
  // A sample still on its way from a session's worker changes and posts nothing.
  b.beginSampling(true, 3);
  b.sample(true, 125000, 125000);
  b.sample(true, 125000, 125000);
  EXPECT_EQ(b.engine->baselineMs, 0);
  EXPECT_EQ(b.engine->dlFtpSamples, "");
  EXPECT_TRUE(b.window->messages().empty());
}
