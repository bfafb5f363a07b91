// TICMPSENDECHO2: the payload, Start and Stop, the shared tick, and real echoes in a namespace.

#include "tests/workers/icmp_testbed.h"
#include "workers/icmpsendecho2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace zelvo::test {
namespace {

using namespace std::chrono_literals;
using platform::IcmpSocketKind;

// "%02d:%02d:%02d" of a local time.
bool isClockText(const std::string& text) {
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
  for (std::size_t i : {0, 1, 3, 4, 6, 7})
    if (text[i] < '0' || text[i] > '9') return false;
  return text.substr(0, 2) < "24" && text[3] < '6' && text[6] <= '6';
}

struct Reply {
  TICMPSENDECHO2* sender = nullptr;
  std::string sendTime;
  std::uint32_t status = 0, roundTripMs = 0;
  std::uint16_t dataSize = 0;
  std::uint8_t ttl = 0;
  std::string host;
};

// Records every reply event of the prober.
void record(TICMPSENDECHO2& prober, std::vector<Reply>& replies) {
  prober.OnReply = [&replies](TICMPSENDECHO2* sender, const std::string& sendTime, std::uint32_t status,
                              std::uint32_t roundTripMs, std::uint16_t dataSize, std::uint8_t ttl,
                              const std::string& host) {
    replies.push_back({sender, sendTime, status, roundTripMs, dataSize, ttl, host});
  };
}

TEST(IcmpProber, PayloadRepeatsTheAlphabetAndRequestsTakeItsFirst32Bytes) {
  TICMPSENDECHO2 prober;
  ASSERT_EQ(prober.Payload.size(), 1500u);
  std::string payload(prober.Payload.begin(), prober.Payload.end());
  EXPECT_EQ(payload.substr(0, 32), "0123456789ABCDEFGHIJKLMNOPQRSTUV");
  EXPECT_EQ(payload.substr(36, 36), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(payload.substr(41 * 36), "0123456789ABCDEFGHIJKLMN");
  EXPECT_EQ(prober.RequestSize, 32);
  EXPECT_EQ(prober.Ttl, 255);
  EXPECT_FALSE(prober.Running());
}

TEST(IcmpProber, StartWithoutADottedAddressDoesNothing) {
  for (const char* host : {"", "localhost", "127.1", "1.2.3.256", "255.255.255.255", "127.0.0.1 "}) {
    TICMPSENDECHO2 prober;
    std::vector<Reply> replies;
    record(prober, replies);
    prober.Host = host;
    prober.Interval = 20;
    prober.Start();
    EXPECT_FALSE(prober.Running()) << host;
    EXPECT_TRUE(TICMPSENDECHO2::runningProbers().empty()) << host;
    EXPECT_FALSE(TICMPSENDECHO2::tickTimerExists()) << host;
    pumpFor(60ms);
    EXPECT_TRUE(replies.empty()) << host;
  }
}

TEST(IcmpProber, SecondStartDoesNothingAndStopOfAnyProberEndsTheSharedTick) {
  // Hosts outside any namespace are never reached: the timer is destroyed before a tick can run.
  TICMPSENDECHO2 first, second, third;
  first.Host = second.Host = third.Host = "127.0.0.1";
  first.Interval = 100000;
  first.Start();
  first.Start();
  second.Start();
  EXPECT_EQ(TICMPSENDECHO2::runningProbers(), (std::vector<TICMPSENDECHO2*>{&first, &second}));
  EXPECT_TRUE(TICMPSENDECHO2::tickTimerExists());

  second.Stop();
  EXPECT_FALSE(second.Running());
  EXPECT_TRUE(first.Running());
  EXPECT_FALSE(TICMPSENDECHO2::tickTimerExists()); // first runs on, without ticks
  EXPECT_EQ(TICMPSENDECHO2::runningProbers(), (std::vector<TICMPSENDECHO2*>{&first}));
  second.Stop(); // stopping a stopped prober changes nothing
  EXPECT_TRUE(first.Running());

  third.Interval = 100000;
  third.Start(); // a start brings the tick back for everyone
  EXPECT_TRUE(TICMPSENDECHO2::tickTimerExists());
  EXPECT_EQ(TICMPSENDECHO2::runningProbers(), (std::vector<TICMPSENDECHO2*>{&first, &third}));
  {
    TICMPSENDECHO2 destroyed;
    destroyed.Host = "127.0.0.1";
    destroyed.Start();
  } // destroying a running prober stops it
  EXPECT_FALSE(TICMPSENDECHO2::tickTimerExists());
  EXPECT_EQ(TICMPSENDECHO2::runningProbers(), (std::vector<TICMPSENDECHO2*>{&first, &third}));
  first.Stop();
  third.Stop();
  EXPECT_TRUE(TICMPSENDECHO2::runningProbers().empty());
}

class IcmpProberEcho : public ::testing::TestWithParam<IcmpSocketKind> {
protected:
  void SetUp() override {
    if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
    ns_ = std::make_unique<IcmpNamespace>(/*allowDatagram=*/true);
    ASSERT_TRUE(ns_->ok());
    listener_ = std::make_unique<RequestListener>(); // inside the namespace
    ASSERT_TRUE(listener_->ok());
  }
  void TearDown() override { ASSERT_TRUE(TICMPSENDECHO2::runningProbers().empty()); }

  std::unique_ptr<TICMPSENDECHO2> prober(const std::string& host, std::vector<Reply>& replies,
                                         std::int32_t interval = 50) {
    auto p = std::make_unique<TICMPSENDECHO2>();
    p->Host = host;
    p->Interval = interval;
    p->socketKind = GetParam();
    record(*p, replies);
    return p;
  }

  std::unique_ptr<IcmpNamespace> ns_;
  std::unique_ptr<RequestListener> listener_;
};

TEST_P(IcmpProberEcho, EveryTickSendsThePayloadWithTtl255AndRepliesComeAtALaterTick) {
  std::vector<Reply> replies;
  auto p = prober("127.0.0.1", replies, 200);
  auto started = std::chrono::steady_clock::now();
  p->Start();
  ASSERT_TRUE(pumpUntil([&] { return !replies.empty(); }, 2000ms));
  // The first tick sends, a later one delivers.
  EXPECT_GE(std::chrono::steady_clock::now() - started, 400ms);
  ASSERT_TRUE(pumpUntil([&] { return replies.size() >= 3; }, 3000ms));
  p->Stop();

  for (const Reply& reply : replies) {
    EXPECT_EQ(reply.sender, p.get());
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.dataSize, 32);
    EXPECT_EQ(reply.ttl, kNamespaceReplyTtl);
    EXPECT_EQ(reply.host, "127.0.0.1");
    EXPECT_TRUE(isClockText(reply.sendTime)) << reply.sendTime;
  }
  const std::vector<SeenRequest>& seen = listener_->all();
  ASSERT_GE(seen.size(), replies.size());
  for (const SeenRequest& request : seen) {
    EXPECT_EQ(request.data, "0123456789ABCDEFGHIJKLMNOPQRSTUV");
    EXPECT_EQ(request.ttl, 255);
    EXPECT_EQ(request.destination, ipv4("127.0.0.1"));
  }
}

TEST_P(IcmpProberEcho, TtlAndSizeComeFromTheFields) {
  std::vector<Reply> replies;
  auto p = prober("127.0.0.2", replies);
  p->Ttl = 0x140;        // only the low byte counts
  p->RequestSize = 5000; // more than the payload holds: capped at its 1500 bytes
  p->Start();
  ASSERT_TRUE(pumpUntil([&] { return !replies.empty(); }, 2000ms));
  p->Stop();
  EXPECT_EQ(replies[0].dataSize, 1500);
  const SeenRequest& request = listener_->all().at(0);
  EXPECT_EQ(request.ttl, 0x40);
  EXPECT_EQ(request.data, std::string(p->Payload.begin(), p->Payload.end()));
}

TEST_P(IcmpProberEcho, SilentHostRepliesWithTimeOutsWhileEchoesPileUp) {
  std::vector<Reply> replies;
  auto p = prober(kSilentHost, replies, 200);
  p->Start();
  ASSERT_TRUE(pumpUntil([&] { return !replies.empty(); }, 3500ms));
  p->Stop();
  EXPECT_EQ(replies[0].status, platform::kIpReqTimedOut);
  EXPECT_EQ(replies[0].roundTripMs, 0u);
  EXPECT_EQ(replies[0].dataSize, 0);
  EXPECT_EQ(replies[0].ttl, 0);
  EXPECT_EQ(replies[0].host, kSilentHost);
}

TEST_P(IcmpProberEcho, CompletionsOfStoppedOrDestroyedProbersAreDropped) {
  std::vector<Reply> stoppedReplies, destroyedReplies, laterReplies;
  auto stopped = prober(kSilentHost, stoppedReplies);
  auto destroyed = prober(kSilentHost, destroyedReplies);
  stopped->Start();
  destroyed->Start();
  pumpFor(250ms); // a few ticks: several echoes of each are under way (unseen: they leave by the veth)
  stopped->Stop();
  destroyed.reset();
  // The outstanding echoes time out while a new prober keeps the tick going. A prober started again
  // hears nothing of what it sent before.
  auto later = prober("127.0.0.1", laterReplies);
  later->Start();
  stopped->Host = "127.0.0.1";
  stopped->Start();
  std::size_t sentBefore = listener_->all().size();
  pumpFor(2600ms);
  later->Stop();
  stopped->Stop();
  EXPECT_FALSE(laterReplies.empty());
  EXPECT_TRUE(destroyedReplies.empty());
  for (const Reply& reply : stoppedReplies)
    EXPECT_EQ(reply.status, 0u) << "a reply from before the stop";
  EXPECT_GT(listener_->all().size(), sentBefore);
}

TEST_P(IcmpProberEcho, AHandlerMayStopAndDestroyItsSenderAndStartAnother) {
  // The latency sequence's pattern: every reply replaces the prober that raised it.
  std::unique_ptr<TICMPSENDECHO2> current;
  int replies = 0;
  std::function<void()> next = [&] {
    current = std::make_unique<TICMPSENDECHO2>();
    current->Host = "127.0.0.1";
    current->Interval = 30;
    current->socketKind = GetParam();
    current->OnReply = [&](TICMPSENDECHO2* sender, const std::string&, std::uint32_t status, std::uint32_t,
                           std::uint16_t, std::uint8_t, const std::string&) {
      EXPECT_EQ(sender, current.get());
      EXPECT_EQ(status, 0u);
      ++replies;
      current->Stop();
      current.reset();
      if (replies < 4) next();
    };
    current->Start();
  };
  next();
  ASSERT_TRUE(pumpUntil([&] { return replies == 4; }, 3000ms));
  pumpFor(100ms);
  EXPECT_EQ(replies, 4);
  EXPECT_FALSE(current);
  EXPECT_EQ(listener_->all().size(), 4u); // one echo per prober: each is gone before it could send again
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpProberEcho,
                         ::testing::Values(IcmpSocketKind::Datagram, IcmpSocketKind::Raw),
                         [](const auto& info) {
                           return info.param == IcmpSocketKind::Datagram ? std::string("Datagram")
                                                                         : std::string("Raw");
                         });

TEST(IcmpProberFailure, FailedSendsRaiseNothingAndTheProberTriesAgain) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  IcmpNamespace ns(/*allowDatagram=*/false); // no datagram ICMP for anyone here
  ASSERT_TRUE(ns.ok());
  RequestListener listener;
  TICMPSENDECHO2 prober;
  std::vector<Reply> replies;
  record(prober, replies);
  prober.Host = "127.0.0.1";
  prober.Interval = 30;
  prober.socketKind = IcmpSocketKind::Datagram;
  prober.Start();
  pumpFor(300ms);
  EXPECT_TRUE(prober.Running());
  EXPECT_TRUE(replies.empty());
  EXPECT_TRUE(listener.all().empty());
  // The automatic choice falls back to a raw socket and gets through.
  prober.Stop();
  prober.socketKind = IcmpSocketKind::Automatic;
  prober.Start();
  ASSERT_TRUE(pumpUntil([&] { return !replies.empty(); }, 2000ms));
  prober.Stop();
  EXPECT_EQ(replies[0].status, 0u);
  EXPECT_EQ(replies[0].ttl, kNamespaceReplyTtl);
}

} // namespace
} // namespace zelvo::test
