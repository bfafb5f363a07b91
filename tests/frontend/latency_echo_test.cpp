// The latency sequence with real echoes inside a test namespace, opening a real engine's gate.

#include "engine/workthread.h"
#include "frontend/latency.h"
#include "tests/workers/icmp_testbed.h"

#include <gtest/gtest.h>

#include <sys/capability.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

namespace zelvo::test {
namespace {

using namespace std::chrono_literals;
using platform::IcmpSocketKind;

// An engine that is never started: the test only looks at its latency gate.
class GateEngine : public CWorkThread {
public:
  explicit GateEngine(std::shared_ptr<TestRecord> record) : CWorkThread(std::move(record), EngineContext{}) {}

protected:
  void SystemProfile() override {}
  HttpResult HttpRequest(const std::string&, bool, const std::string&, bool, bool) override { return {}; }
  PhaseEnd DownloadPhase(bool) override { return PhaseEnd::Failed; }
  PhaseEnd UploadPhase(bool) override { return PhaseEnd::Failed; }
  void Report() override {}
  void OnSpeedSample(WorkMode, std::int64_t, std::int64_t, double) override {}
};

// The summary's three numbers.
struct Summary {
  int min = 0, mean = 0, max = 0;
};
bool parseSummary(const std::string& text, Summary& out) {
  char rest = 0;
  return std::sscanf(text.c_str(), "%d,%d,%d%c", &out.min, &out.mean, &out.max, &rest) == 3;
}

class LatencyEcho : public ::testing::Test {
protected:
  void SetUp() override {
    if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
    ns_ = std::make_unique<IcmpNamespace>(/*allowDatagram=*/true);
    ASSERT_TRUE(ns_->ok());
    listener_ = std::make_unique<RequestListener>();
    ASSERT_TRUE(listener_->ok());
    record_ = std::make_shared<TestRecord>();
    engine_ = std::make_shared<GateEngine>(record_);
  }
  void TearDown() override { EXPECT_TRUE(TICMPSENDECHO2::runningProbers().empty()); }

  std::function<void()> engineGate() {
    std::weak_ptr<CWorkThread> engine = engine_;
    return [engine] {
      if (auto e = engine.lock()) e->pingDone = true;
    };
  }
  std::size_t requestsTo(const char* host) {
    std::size_t count = 0;
    for (const SeenRequest& request : listener_->all())
      count += request.destination == ipv4(host);
    return count;
  }

  std::unique_ptr<IcmpNamespace> ns_;
  std::unique_ptr<RequestListener> listener_;
  std::shared_ptr<TestRecord> record_;
  std::shared_ptr<GateEngine> engine_;
};

TEST_F(LatencyEcho, LoopbackRoundAtTheRealTickOpensTheEngineGate) {
  LatencySequence sequence(*record_, {"127.0.0.1", "127.0.0.2"});
  auto started = std::chrono::steady_clock::now();
  sequence.begin(engineGate());
  ASSERT_TRUE(pumpUntil([&] { return engine_->pingDone.load(); }, 20s));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "sequence_seconds=" << seconds << "\n"; // about seven: two ticks of 500 ms per echo

  EXPECT_TRUE(sequence.finished());
  EXPECT_EQ(record_->pingRound, 1);
  EXPECT_EQ(record_->pingCount, 6);
  EXPECT_EQ(record_->pingLost, 0);
  Summary summary;
  ASSERT_TRUE(parseSummary(record_->pingSummary, summary)) << record_->pingSummary;
  EXPECT_LE(summary.min, summary.mean);
  EXPECT_LE(summary.mean, summary.max);
  EXPECT_EQ(record_->pingMinMs, summary.min);
  EXPECT_EQ(record_->pingMaxMs, summary.max);
  EXPECT_GE(record_->pingAvgMs.load(), 0.0f);
  // Seven echoes, one per prober, each carrying the payload with TTL 255.
  pumpFor(1100ms);
  ASSERT_EQ(listener_->all().size(), 7u);
  EXPECT_EQ(requestsTo("127.0.0.1"), 7u);
  for (const SeenRequest& request : listener_->all()) {
    EXPECT_EQ(request.data, "0123456789ABCDEFGHIJKLMNOPQRSTUV");
    EXPECT_EQ(request.ttl, 255);
  }
}

TEST_F(LatencyEcho, AnUnreachablePrimaryHostMovesTheRoundToTheAlternate) {
  LatencySequence sequence(*record_, {kUnroutedHost, "127.0.0.2"}, {50, IcmpSocketKind::Raw});
  sequence.begin(engineGate());
  ASSERT_TRUE(pumpUntil([&] { return engine_->pingDone.load(); }, 10s));
  EXPECT_EQ(sequence.pingTarget(), "127.0.0.2");
  EXPECT_EQ(record_->pingRound, 2);
  EXPECT_EQ(record_->pingLost, 0);
  Summary summary;
  ASSERT_TRUE(parseSummary(record_->pingSummary, summary)) << record_->pingSummary;
  EXPECT_GE(summary.mean, 0);
  EXPECT_LT(summary.max, 2000);
  EXPECT_EQ(requestsTo("127.0.0.2"), 7u);
}

TEST_F(LatencyEcho, TimeOutsOfASilentHostCountAsLostAfterTheWarmUp) {
  LatencySequence sequence(*record_, {kSilentHost, "127.0.0.2"}, {50, IcmpSocketKind::Automatic});
  sequence.begin(engineGate());
  ASSERT_TRUE(pumpUntil([&] { return record_->pingCount >= 1; }, 5s));
  EXPECT_EQ(record_->pingLost, 0); // the warm-up's time-out is not counted
  ASSERT_TRUE(pumpUntil([&] { return record_->pingCount >= 2; }, 5s));
  EXPECT_EQ(record_->pingLost, 1);
  EXPECT_EQ(record_->pingMaxMs, -1);
  EXPECT_EQ(record_->pingMinMs, 1000000);
  EXPECT_FALSE(engine_->pingDone.load());
}

TEST_F(LatencyEcho, ANewSequenceStopsTheProberOfTheEarlierOne) {
  LatencySequence sequence(*record_, {"127.0.0.1", "127.0.0.2"}, {50, IcmpSocketKind::Datagram});
  int earlierGate = 0;
  sequence.begin([&] { ++earlierGate; });
  // The first echo is on its way; its reply would be handled at the next tick.
  ASSERT_TRUE(pumpUntil([&] { return listener_->all().size() == 1; }, 2s));
  ASSERT_EQ(record_->pingCount, 0);
  sequence.begin(engineGate());
  ASSERT_EQ(TICMPSENDECHO2::runningProbers(), (std::vector<TICMPSENDECHO2*>{sequence.pingProber()}));
  ASSERT_TRUE(pumpUntil([&] { return engine_->pingDone.load(); }, 10s));
  pumpFor(200ms);
  EXPECT_EQ(earlierGate, 0);
  EXPECT_EQ(record_->pingRound, 1);
  EXPECT_EQ(record_->pingCount, 6);
  EXPECT_EQ(record_->pingLost, 0);
  EXPECT_EQ(listener_->all().size(), 1u + 7u);
}

// Sets CAP_NET_RAW of the calling thread's effective set (capabilities are per thread).
bool setNetRaw(bool on) {
  cap_t caps = cap_get_proc();
  const cap_value_t value = CAP_NET_RAW;
  bool set = caps && cap_set_flag(caps, CAP_EFFECTIVE, 1, &value, on ? CAP_SET : CAP_CLEAR) == 0 &&
             cap_set_proc(caps) == 0;
  cap_free(caps);
  return set;
}

TEST_F(LatencyEcho, WithoutPermissionToOpenAnEchoSocketTheProbeSaysSoAndKeepsTrying) {
  // No datagram echo for any group, and no CAP_NET_RAW while it matters.
  IcmpNamespace closed(/*allowDatagram=*/false);
  ASSERT_TRUE(closed.ok());
  RequestListener listener;
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(setNetRaw(false));
  LatencySequence sequence(*record_, {"127.0.0.1", "127.0.0.2"}, {50, IcmpSocketKind::Automatic});
  sequence.begin(engineGate());
  pumpFor(300ms);
  bool denied = sequence.probeOpenError() == platform::kErrorAccessDenied;
  ASSERT_TRUE(setNetRaw(true));
  EXPECT_TRUE(denied);
  EXPECT_EQ(record_->pingCount, 0);
  EXPECT_TRUE(listener.all().empty());
  EXPECT_FALSE(engine_->pingDone.load());
  // Nothing else changes: each tick tries again, and once a socket can be opened the round runs.
  ASSERT_TRUE(pumpUntil([&] { return engine_->pingDone.load(); }, 10s));
  EXPECT_EQ(record_->pingLost, 0);
  EXPECT_EQ(listener.all().size(), 7u);
}

} // namespace
} // namespace zelvo::test
