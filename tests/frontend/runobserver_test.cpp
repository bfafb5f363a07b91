// The run observer's figures and its mirror of the engine's plausibility filter, checked against the
// real engine fed through the tapped sessions.

#include "frontend/runobserver.h"
#include "tests/engine/fakes.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace zelvo::test {
namespace {

class SampleEngine : public CWorkThread {
public:
  using CWorkThread::CWorkThread;

protected:
  void SystemProfile() override {}
  HttpResult HttpRequest(const std::string&, bool, const std::string&, bool, bool) override { return {}; }
  void Report() override {}
};

TEST(LatencyStats, FiguresOfAnsweredEchoesInSendingOrder) {
  // 10, lost, 30, 20, 50, 40, 60, 70, 80, 100: nine answered.
  std::vector<EchoOutcome> echoes = {{true, 10}, {false, 0}, {true, 30}, {true, 20}, {true, 50},
                                     {true, 40}, {true, 60}, {true, 70}, {true, 80}, {true, 100}};
  LatencyStats s = ComputeLatencyStats(echoes);
  EXPECT_EQ(s.sent, 10);
  EXPECT_EQ(s.answered, 9);
  EXPECT_DOUBLE_EQ(s.loss, 0.1);
  EXPECT_DOUBLE_EQ(s.minMs, 10);
  EXPECT_DOUBLE_EQ(s.maxMs, 100);
  EXPECT_DOUBLE_EQ(s.medianMs, 50);
  EXPECT_DOUBLE_EQ(s.p90Ms, 100); // nearest rank: the 9th of 9
  // Sorted 10..100 without 90, two cut from each end: 30, 40, 50, 60, 70.
  EXPECT_DOUBLE_EQ(s.iqmMs, 50);
  // |30-10| + |20-30| + |50-20| + |40-50| + |60-40| + |70-60| + |80-70| + |100-80| = 130 over 8.
  EXPECT_DOUBLE_EQ(s.jitterMs, 130.0 / 8);

  LatencyStats even = ComputeLatencyStats({{true, 1}, {true, 2}, {true, 4}, {true, 3}});
  EXPECT_DOUBLE_EQ(even.medianMs, 2.5);
  EXPECT_DOUBLE_EQ(even.iqmMs, 2.5);

  LatencyStats none = ComputeLatencyStats({{false, 0}, {false, 0}});
  EXPECT_DOUBLE_EQ(none.loss, 1.0);
  EXPECT_TRUE(std::isnan(none.medianMs));
  EXPECT_DOUBLE_EQ(ComputeLatencyStats({}).loss, 0.0);
}

TEST(LatencyStats, GradeThresholds) {
  EXPECT_EQ(LatencyGrade(-3), "A+");
  EXPECT_EQ(LatencyGrade(4.99), "A+");
  EXPECT_EQ(LatencyGrade(5), "A");
  EXPECT_EQ(LatencyGrade(30), "B");
  EXPECT_EQ(LatencyGrade(60), "C");
  EXPECT_EQ(LatencyGrade(199.9), "C");
  EXPECT_EQ(LatencyGrade(200), "D");
  EXPECT_EQ(LatencyGrade(400), "F");
}

TEST(FilterMirror, JudgesTappedSamplesAsTheEngineDid) {
  auto census = std::make_shared<SessionCensus>();
  auto record = std::make_shared<TestRecord>();
  auto window = std::make_shared<RecordingWindow>();
  std::atomic<std::uint32_t> inOctets{0};
  std::vector<FakeSession*> fakes;
  EngineContext base = FakeContext(census);
  base.newSession = [&] {
    auto s = std::make_unique<FakeSession>(census);
    fakes.push_back(s.get());
    return s;
  };
  base.readInterfaceCounters = [&](std::int32_t) -> std::optional<OctetCounters> {
    return OctetCounters{inOctets.load(), 0};
  };
  auto tap = std::make_shared<SampleTap>();
  std::vector<TappedSample> tapped;
  tap->setHandler([&](const TappedSample& s) { tapped.push_back(s); });
  auto engine = std::make_shared<SampleEngine>(record, ObservedEngineContext(base, tap));
  engine->notifyWindow = window;
  engine->testParameters = TestParameters::Fallback("ftp.host");
  engine->testParameters.dl_duration = 60;
  engine->downloadPhase = true;
  engine->warmupLeft = 1;
  engine->noticesOn = false;
  engine->phaseClock.Start();
  FilterMirror mirror;
  ASSERT_EQ(fakes.size(), 6u);

  std::int64_t total = 0, ms = 0;
  auto sample = [&](WorkMode mode, std::int64_t bytes, std::uint32_t octets) {
    total += bytes;
    ms += 1000;
    inOctets += octets;
    fakes[mode == WorkMode::Read ? 3 : 0]->raiseProgress(mode, total, ms, bytes * 8.0);
  };
  sample(WorkMode::Read, 125000, 125000);  // baseline
  sample(WorkMode::Read, 125000, 126000);  // both rates agree
  sample(WorkMode::Read, 125000, 40000);   // the adapter saw less than half
  sample(WorkMode::Read, 0, 1000);         // nothing transferred
  sample(WorkMode::Write, 125000, 125000); // another phase's: the engine ignores it
  sample(WorkMode::Read, 125000, 130000);  // agree
  sample(WorkMode::Read, 125000, 400000);  // twice as much, early in the phase
  sample(WorkMode::Read, 125000, 124000);  // agree
  {
    std::lock_guard<std::mutex> lock(engine->phaseMutex);
    engine->warmupLeft = 1; // as when the last session's data begins to flow: a fresh baseline
  }
  sample(WorkMode::Read, 400000, 125000);
  sample(WorkMode::Read, 125000, 125000); // agree

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (tapped.size() < 10 && std::chrono::steady_clock::now() < deadline)
    platform::MainLoop::current()->iterate(false);
  ASSERT_EQ(tapped.size(), 10u);
  PhaseObservation phase;
  for (const TappedSample& s : tapped)
    if (std::optional<PhaseSample> judged = mirror.judge(s)) phase.samples.push_back(*judged);

  ASSERT_EQ(phase.samples.size(), 9u);
  std::vector<bool> baselines, verdicts;
  for (const PhaseSample& judged : phase.samples) {
    baselines.push_back(judged.baseline);
    verdicts.push_back(judged.accepted);
  }
  EXPECT_EQ(baselines, (std::vector<bool>{true, false, false, false, false, false, false, true, false}));
  EXPECT_EQ(verdicts, (std::vector<bool>{false, true, false, false, true, false, true, false, true}));
  EXPECT_EQ(phase.samples[8].elapsedMs, 1000); // from the fresh baseline
  EXPECT_EQ(phase.rejected(), 3);
  EXPECT_EQ(phase.accepted(), 4);
  EXPECT_NEAR(phase.samples[1].ftpKbps, 1000, 1e-9);
  EXPECT_NEAR(phase.samples[1].nicKbps, 1008, 1e-3);
  // The engine counted the same ones.
  int progress = 0;
  for (const auto& m : window->messages())
    progress += m.message == kMsgPhase;
  EXPECT_EQ(progress, 4);
  EXPECT_EQ(engine->dlFtpSamples, "1000,1000,1000,1000");
  tap->setHandler(nullptr);
}

} // namespace
} // namespace zelvo::test
