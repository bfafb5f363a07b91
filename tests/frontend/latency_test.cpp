// The latency sequence with fixed completions: the hosts are not addresses, so no prober ever sends,
// and each test plays the reply events the current prober would raise.

#include "frontend/latency.h"
#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelvo::test {
namespace {

constexpr std::uint32_t kTimedOut = platform::kIpReqTimedOut;

class LatencyFixed : public ::testing::Test {
protected:
  LatencyFixed() : sequence_(record_, {"probe-primary", "probe-alternate"}) {}

  void begin() {
    sequence_.begin([this] {
      ++gateOpened_;
      summaryAtGate_ = record_.pingSummary;
    });
  }
  // One reply event of the current prober.
  void reply(std::uint32_t status, std::uint32_t roundTripMs) {
    ASSERT_NE(sequence_.pingProber(), nullptr);
    TICMPSENDECHO2* sender = sequence_.pingProber();
    std::string host = sender->Host;
    sequence_.onLatencyReply(sender, "10:20:30", status, status ? 0 : roundTripMs, status ? 0 : 32,
                             status ? 0 : 64, host);
  }
  // Seven replies: the warm-up, five counted, the closing one.
  void round(std::uint32_t warmup, std::vector<std::pair<std::uint32_t, std::uint32_t>> counted,
             std::uint32_t closing) {
    reply(0, warmup);
    for (auto [status, ms] : counted)
      reply(status, ms);
    reply(closing, 0);
  }

  TestRecord record_;
  LatencySequence sequence_;
  int gateOpened_ = 0;
  std::string summaryAtGate_;
};

TEST_F(LatencyFixed, BeginResetsTheRecordAndProbesThePrimaryHost) {
  record_.pingRound = 3;
  record_.pingCount = 4;
  record_.pingLost = 2;
  record_.pingMaxMs = 99;
  record_.pingMinMs = 5;
  record_.pingSumMs = 400;
  record_.pingAvgMs = 12.0f;
  begin();
  EXPECT_EQ(record_.pingRound, 0);
  EXPECT_EQ(record_.pingCount, 0);
  EXPECT_EQ(record_.pingLost, 0);
  EXPECT_EQ(record_.pingMaxMs, -1);
  EXPECT_EQ(record_.pingMinMs, 1000000);
  EXPECT_EQ(record_.pingSumMs, 0);
  EXPECT_EQ(record_.pingAvgMs.load(), -1.0f);
  EXPECT_EQ(sequence_.pingTarget(), "probe-primary");
  ASSERT_NE(sequence_.pingProber(), nullptr);
  EXPECT_EQ(sequence_.pingProber()->Host, "probe-primary");
  EXPECT_EQ(sequence_.pingProber()->Interval, 500);
  // Not a dotted address: the prober stays stopped and the sequence waits for ever.
  EXPECT_FALSE(sequence_.pingProber()->Running());
  EXPECT_EQ(gateOpened_, 0);
}

TEST_F(LatencyFixed, FiveCountedEchoesGiveMinMeanMaxAndOpenTheGateOnce) {
  begin();
  // Echo 1 warms up and echo 7 closes: neither is counted, whatever they carry.
  reply(0, 900);
  for (std::uint32_t ms : {30u, 10u, 50u, 20u, 40u}) {
    reply(0, ms);
    EXPECT_EQ(sequence_.pingProber()->Host, "probe-primary"); // a fresh prober for the next echo
  }
  EXPECT_EQ(record_.pingCount, 6);
  EXPECT_EQ(gateOpened_, 0);
  reply(0, 1);
  EXPECT_EQ(record_.pingRound, 1);
  EXPECT_EQ(record_.pingSumMs, 150);
  EXPECT_EQ(record_.pingMinMs, 10);
  EXPECT_EQ(record_.pingMaxMs, 50);
  EXPECT_EQ(record_.pingAvgMs.load(), 30.0f);
  EXPECT_EQ(record_.pingSummary, "10,30,50");
  EXPECT_EQ(summaryAtGate_, "10,30,50"); // written before the gate opens
  EXPECT_EQ(gateOpened_, 1);
  EXPECT_TRUE(sequence_.finished());
  EXPECT_EQ(sequence_.pingProber(), nullptr); // no further echo

  // A stray reply after the end changes nothing.
  TICMPSENDECHO2 stray;
  sequence_.onLatencyReply(&stray, "10:20:31", 0, 5, 32, 64, "probe-primary");
  sequence_.onLatencyReply(nullptr, "10:20:31", 0, 5, 32, 64, "probe-primary");
  EXPECT_EQ(gateOpened_, 1);
  EXPECT_EQ(record_.pingSummary, "10,30,50");
}

TEST_F(LatencyFixed, LostEchoesLeaveTheMeanOfTheRestInIntegerDivision) {
  begin();
  round(0, {{0, 20}, {kTimedOut, 0}, {0, 47}, {platform::kIpDestHostUnreachable, 0}, {0, 33}}, kTimedOut);
  EXPECT_EQ(record_.pingLost, 2);
  EXPECT_EQ(record_.pingSumMs, 100);
  EXPECT_EQ(record_.pingAvgMs.load(), 33.0f);
  EXPECT_EQ(record_.pingSummary, "20,33,47");
  EXPECT_EQ(gateOpened_, 1);

  // Four of five lost is no switch: the one success is the summary.
  begin();
  round(kTimedOut, {{kTimedOut, 0}, {kTimedOut, 0}, {0, 7}, {kTimedOut, 0}, {kTimedOut, 0}}, 0);
  EXPECT_EQ(sequence_.pingTarget(), "probe-primary");
  EXPECT_EQ(record_.pingLost, 4);
  EXPECT_EQ(record_.pingSummary, "7,7,7");
  EXPECT_EQ(gateOpened_, 2);
}

TEST_F(LatencyFixed, AFailedFirstRoundSwitchesToTheAlternateHostWithFreshCounters) {
  begin();
  // The warm-up's failure does not count; the five counted ones do.
  reply(kTimedOut, 0);
  for (int i = 0; i < 5; ++i)
    reply(kTimedOut, 0);
  EXPECT_EQ(record_.pingLost, 5);
  reply(0, 3);
  EXPECT_EQ(gateOpened_, 0);
  EXPECT_EQ(record_.pingRound, 1);
  EXPECT_EQ(record_.pingCount, 0);
  EXPECT_EQ(record_.pingLost, 0);
  EXPECT_EQ(record_.pingMaxMs, -1);
  EXPECT_EQ(record_.pingMinMs, 1000000);
  EXPECT_EQ(record_.pingAvgMs.load(), -1.0f);
  EXPECT_EQ(sequence_.pingTarget(), "probe-alternate");
  ASSERT_NE(sequence_.pingProber(), nullptr);
  EXPECT_EQ(sequence_.pingProber()->Host, "probe-alternate");

  // A second failed round ends the sequence anyway, with nothing measured.
  round(kTimedOut, {{kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}}, 0);
  EXPECT_EQ(record_.pingRound, 2);
  EXPECT_EQ(record_.pingSummary, "1000000,-1,-1");
  EXPECT_EQ(record_.pingAvgMs.load(), -1.0f);
  EXPECT_EQ(gateOpened_, 1);
  EXPECT_EQ(sequence_.pingProber(), nullptr);
}

TEST_F(LatencyFixed, SecondRoundResultsAloneMakeTheSummary) {
  begin();
  round(0, {{kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}, {kTimedOut, 0}}, 0);
  ASSERT_EQ(sequence_.pingTarget(), "probe-alternate");
  round(0, {{0, 10}, {0, 20}, {0, 30}, {0, 40}, {0, 50}}, 0);
  EXPECT_EQ(record_.pingSummary, "10,30,50");
  EXPECT_EQ(record_.pingLost, 0);
  EXPECT_EQ(gateOpened_, 1);
}

TEST_F(LatencyFixed, RepliesOfAnyOtherProberAreIgnored) {
  begin();
  reply(0, 1);
  TICMPSENDECHO2 other;
  sequence_.onLatencyReply(&other, "10:20:30", 0, 5, 32, 64, "probe-primary");
  EXPECT_EQ(record_.pingCount, 1);
  EXPECT_NE(sequence_.pingProber(), nullptr);
}

TEST_F(LatencyFixed, ANewBeginReplacesTheEarlierSequenceAndItsGate) {
  int earlierGate = 0;
  sequence_.begin([&] { ++earlierGate; });
  reply(0, 1);
  reply(0, 9);
  reply(kTimedOut, 0);
  TICMPSENDECHO2* earlierProber = sequence_.pingProber();
  ASSERT_NE(earlierProber, nullptr);
  begin();
  EXPECT_EQ(record_.pingCount, 0);
  EXPECT_EQ(record_.pingLost, 0);
  EXPECT_EQ(record_.pingMaxMs, -1);
  round(0, {{0, 10}, {0, 20}, {0, 30}, {0, 40}, {0, 50}}, 0);
  EXPECT_EQ(earlierGate, 0);
  EXPECT_EQ(gateOpened_, 1);
  EXPECT_EQ(record_.pingSummary, "10,30,50");
}

TEST(LatencyHosts, TheBuiltInProbeHostsDecodeToDottedAddresses) {
  ProbeHosts hosts = builtinProbeHosts();
  EXPECT_TRUE(platform::InetAddr(hosts.primary).has_value()) << hosts.primary;
  EXPECT_TRUE(platform::InetAddr(hosts.alternate).has_value()) << hosts.alternate;
  EXPECT_NE(hosts.primary, hosts.alternate);
}

} // namespace
} // namespace zelvo::test
