// The ICMP echo stand-in against the real stack of a test namespace.

#include "platform/icmp.h"
#include "tests/workers/icmp_testbed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelvo::test {
namespace {

using namespace std::chrono_literals;
using platform::IcmpEchoReply;
using platform::IcmpSocketKind;

const std::string kData = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

TEST(IcmpAddress, AcceptsOnlyFourDecimalParts) {
  EXPECT_EQ(platform::InetAddr("127.0.0.1"), ipv4("127.0.0.1"));
  EXPECT_EQ(platform::InetAddr("192.0.2.200"), ipv4("192.0.2.200"));
  EXPECT_EQ(platform::InetAddr("0.0.0.0"), 0u);
  EXPECT_EQ(platform::InetAddr(std::string("10.0.0.1\0junk", 13)), std::nullopt);
  // inet_addr reads the short, octal and hexadecimal forms; the prober and the route lookup do not.
  for (const char* bad : {"", "127.1", "1.2.3.256", "1.2.3.4.5", " 1.2.3.4", "1.2.3.4 ", "a.b.c.d",
                          "localhost", "::1", "255.255.255.255", "010.0.0.1", "0x7f.0.0.1", "10.1"})
    EXPECT_EQ(platform::InetAddr(bad), std::nullopt) << bad;
}

// Sends one echo and runs the alertable sleep until its completion has come.
struct EchoOutcome {
  std::uint32_t started = 0;
  int completions = 0;
  IcmpEchoReply reply;
};

EchoOutcome echoOnce(IcmpSocketKind kind, const char* host, std::chrono::milliseconds wait = 1500ms,
                     std::uint8_t ttl = 255) {
  EchoOutcome outcome;
  auto handle = platform::IcmpCreateFile(kind);
  if (!handle) return outcome;
  platform::IpOptionInformation options;
  options.ttl = ttl;
  outcome.started = platform::IcmpSendEcho2(*handle, ipv4(host), kData.data(), 32, options, 2000,
                                            [&](const IcmpEchoReply& reply) {
                                              ++outcome.completions;
                                              outcome.reply = reply;
                                            });
  waitFor(
      [&] {
        platform::SleepEx(1, true);
        return outcome.completions > 0;
      },
      wait);
  platform::SleepEx(20, true); // a second completion would show here
  return outcome;
}

class IcmpEcho : public ::testing::TestWithParam<IcmpSocketKind> {
protected:
  void SetUp() override {
    if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
    ns_ = std::make_unique<IcmpNamespace>(/*allowDatagram=*/true);
    ASSERT_TRUE(ns_->ok());
  }
  std::unique_ptr<IcmpNamespace> ns_;
};

TEST_P(IcmpEcho, ReplyFromLoopbackCarriesSizeAndTheReplysTtl) {
  auto handle = platform::IcmpCreateFile(GetParam());
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->kind(), GetParam());
  RequestListener listener;
  ASSERT_TRUE(listener.ok());

  int completions = 0;
  IcmpEchoReply got;
  platform::IpOptionInformation options;
  options.ttl = 255;
  ASSERT_EQ(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                    [&](const IcmpEchoReply& reply) {
                                      ++completions;
                                      got = reply;
                                    }),
            platform::kErrorIoPending);
  // The reply is back long before this, but completions run only in an alertable sleep.
  ASSERT_TRUE(waitFor([&] { return listener.all().size() == 1; }, 1000ms));
  platform::SleepEx(50, false);
  EXPECT_EQ(completions, 0);
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(1, true);
        return completions > 0;
      },
      1000ms));
  platform::SleepEx(20, true);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(got.status, platform::kIpSuccess);
  EXPECT_EQ(got.dataSize, 32);
  EXPECT_EQ(got.ttl, kNamespaceReplyTtl);
  EXPECT_LT(got.roundTripMs, 2000u);

  const SeenRequest& request = listener.all().at(0);
  EXPECT_EQ(request.ttl, 255);
  EXPECT_EQ(request.data, kData);
  EXPECT_EQ(request.destination, ipv4("127.0.0.1"));
}

TEST_P(IcmpEcho, RoundTripIsTheReplysArrivalNotItsDelivery) {
  // A token bucket on loopback holds every reply back by about 20 ms; the completion is only
  // delivered a second later, while the main loop runs.
  ASSERT_EQ(ns_->netns().run("tc qdisc add dev lo root tbf rate 8kbit burst 128 limit 3000"), 0);
  auto handle = platform::IcmpCreateFile(GetParam());
  ASSERT_TRUE(handle);
  std::optional<IcmpEchoReply> got;
  platform::IpOptionInformation options;
  options.ttl = 255;
  ASSERT_EQ(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                    [&](const IcmpEchoReply& reply) { got = reply; }),
            platform::kErrorIoPending);
  pumpFor(1000ms);
  EXPECT_FALSE(got);
  platform::SleepEx(1, true);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, platform::kIpSuccess);
  EXPECT_GE(got->roundTripMs, 15u);
  EXPECT_LT(got->roundTripMs, 1000u);
}

TEST_P(IcmpEcho, BusyMainLoopDoesNotLengthenTheRoundTrip) {
  // The reply comes back after about 20 ms while the thread is busy for 300 ms, main loop and all.
  ASSERT_EQ(ns_->netns().run("tc qdisc add dev lo root tbf rate 8kbit burst 128 limit 3000"), 0);
  auto handle = platform::IcmpCreateFile(GetParam());
  ASSERT_TRUE(handle);
  std::optional<IcmpEchoReply> got;
  platform::IpOptionInformation options;
  ASSERT_EQ(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                    [&](const IcmpEchoReply& reply) { got = reply; }),
            platform::kErrorIoPending);
  std::this_thread::sleep_for(300ms);
  pumpFor(10ms);
  platform::SleepEx(1, true);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, platform::kIpSuccess);
  EXPECT_GE(got->roundTripMs, 15u);
  EXPECT_LT(got->roundTripMs, 200u);
}

TEST_P(IcmpEcho, HandlesCompleteInStartOrderEachWithItsOwnReply) {
  // Three echoes at once on three sockets, one of them to a host that never answers: every
  // completion belongs to its own request, whatever the raw sockets overhear.
  std::vector<std::unique_ptr<platform::IcmpFile>> handles;
  std::vector<int> order;
  std::vector<IcmpEchoReply> replies(3);
  const char* hosts[] = {"127.0.0.1", kSilentHost, "127.0.0.3"};
  for (int i = 0; i < 3; ++i) {
    handles.push_back(platform::IcmpCreateFile(GetParam()));
    ASSERT_TRUE(handles.back());
    platform::IpOptionInformation options;
    options.ttl = 255;
    ASSERT_EQ(platform::IcmpSendEcho2(*handles.back(), ipv4(hosts[i]), kData.data(), 16, options, 300,
                                      [&, i](const IcmpEchoReply& reply) {
                                        order.push_back(i);
                                        replies[i] = reply;
                                      }),
              platform::kErrorIoPending);
  }
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(5, true);
        return order.size() == 3;
      },
      2000ms));
  EXPECT_EQ(order, (std::vector<int>{0, 2, 1})); // the silent one completes at its time-out
  EXPECT_EQ(replies[0].status, platform::kIpSuccess);
  EXPECT_EQ(replies[0].dataSize, 16);
  EXPECT_EQ(replies[2].status, platform::kIpSuccess);
  EXPECT_EQ(replies[1].status, platform::kIpReqTimedOut);
  EXPECT_EQ(replies[1].roundTripMs, 0u);
  EXPECT_EQ(replies[1].ttl, 0);
}

TEST_P(IcmpEcho, AReplyToSomeoneElsesEchoIsNotTaken) {
  // A stranger's echo reply (another identifier and sequence, 48 bytes) sent just before our echo:
  // loopback's token bucket lets a first copy through at once and holds the second back, so that copy
  // arrives while our echo waits, ahead of our own reply. Raw sockets hear both.
  ASSERT_EQ(ns_->netns().run("tc qdisc add dev lo root tbf rate 8kbit burst 128 limit 3000"), 0);
  auto handle = platform::IcmpCreateFile(GetParam());
  ASSERT_TRUE(handle);
  std::vector<std::uint8_t> stranger(8 + 48, 'x');
  stranger[0] = 0; // echo reply
  stranger[1] = stranger[2] = stranger[3] = 0;
  stranger[4] = stranger[6] = 0xbe;
  stranger[5] = stranger[7] = 0xef;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < stranger.size(); i += 2)
    sum += static_cast<std::uint32_t>(stranger[i] << 8 | stranger[i + 1]);
  while (sum >> 16)
    sum = (sum & 0xffff) + (sum >> 16);
  stranger[2] = static_cast<std::uint8_t>(~sum >> 8);
  stranger[3] = static_cast<std::uint8_t>(~sum);
  int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = ipv4("127.0.0.1");
  for (int copy = 0; copy < 2; ++copy)
    EXPECT_EQ(::sendto(fd, stranger.data(), stranger.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(stranger.size()));
  ::close(fd);

  std::optional<IcmpEchoReply> got;
  platform::IpOptionInformation options;
  ASSERT_EQ(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                    [&](const IcmpEchoReply& reply) { got = reply; }),
            platform::kErrorIoPending);
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(1, true);
        return got.has_value();
      },
      2500ms));
  EXPECT_EQ(got->status, platform::kIpSuccess);
  EXPECT_EQ(got->dataSize, 32);
}

TEST_P(IcmpEcho, SilentHostTimesOutNotBeforeTheTimeout) {
  auto started = std::chrono::steady_clock::now();
  EchoOutcome outcome = echoOnce(GetParam(), kSilentHost, 3000ms);
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(outcome.started, platform::kErrorIoPending);
  ASSERT_EQ(outcome.completions, 1);
  EXPECT_EQ(outcome.reply.status, platform::kIpReqTimedOut);
  EXPECT_EQ(outcome.reply.dataSize, 0);
  EXPECT_GE(elapsed, 2000ms);
}

TEST_P(IcmpEcho, UnreachableDestinationsCompleteAsUnreachable) {
  EchoOutcome unrouted = echoOnce(GetParam(), kUnroutedHost);
  EXPECT_EQ(unrouted.started, platform::kErrorIoPending);
  EXPECT_EQ(unrouted.completions, 1);
  EXPECT_EQ(unrouted.reply.status, platform::kIpDestNetUnreachable);

  EchoOutcome unreachable = echoOnce(GetParam(), kUnreachableHost);
  EXPECT_EQ(unreachable.completions, 1);
  EXPECT_EQ(unreachable.reply.status, platform::kIpDestHostUnreachable);
  EXPECT_EQ(unreachable.reply.roundTripMs, 0u);

  // Reported later by an ICMP error that quotes the request.
  EchoOutcome unresolved = echoOnce(GetParam(), kUnresolvedHost);
  EXPECT_EQ(unresolved.completions, 1);
  EXPECT_EQ(unresolved.reply.status, platform::kIpDestHostUnreachable);
}

TEST_P(IcmpEcho, ClosingAHandleDropsItsPendingCompletion) {
  RequestListener listener;
  int completions = 0;
  {
    auto handle = platform::IcmpCreateFile(GetParam());
    ASSERT_TRUE(handle);
    platform::IpOptionInformation options;
    ASSERT_EQ(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                      [&](const IcmpEchoReply&) { ++completions; }),
              platform::kErrorIoPending);
    // A second echo on a busy handle is refused.
    EXPECT_NE(platform::IcmpSendEcho2(*handle, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                      [&](const IcmpEchoReply&) { ++completions; }),
              platform::kErrorIoPending);
    ASSERT_TRUE(waitFor([&] { return listener.all().size() == 1; }, 1000ms));
  }
  platform::SleepEx(50, true);
  EXPECT_EQ(completions, 0);
}

TEST_P(IcmpEcho, ACompletionMayCloseItsHandleAndStartAnotherEcho) {
  std::unique_ptr<platform::IcmpFile> first = platform::IcmpCreateFile(GetParam());
  std::unique_ptr<platform::IcmpFile> second;
  std::vector<std::uint32_t> statuses;
  platform::IpOptionInformation options;
  ASSERT_EQ(platform::IcmpSendEcho2(*first, ipv4("127.0.0.1"), kData.data(), 32, options, 2000,
                                    [&](const IcmpEchoReply& reply) {
                                      statuses.push_back(reply.status);
                                      first.reset();
                                      second = platform::IcmpCreateFile(GetParam());
                                      platform::IcmpSendEcho2(*second, ipv4("127.0.0.1"), kData.data(), 32,
                                                              options, 2000, [&](const IcmpEchoReply& again) {
                                                                statuses.push_back(again.status);
                                                              });
                                    }),
            platform::kErrorIoPending);
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(2, true);
        return statuses.size() == 2;
      },
      2000ms));
  EXPECT_EQ(statuses, (std::vector<std::uint32_t>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpEcho,
                         ::testing::Values(IcmpSocketKind::Datagram, IcmpSocketKind::Raw),
                         [](const auto& info) {
                           return info.param == IcmpSocketKind::Datagram ? std::string("Datagram")
                                                                         : std::string("Raw");
                         });

TEST(IcmpSocketChoice, DatagramWhenTheGroupMayPingElseRaw) {
  if (!isRoot()) GTEST_SKIP() << "needs root for namespaces";
  {
    IcmpNamespace open(/*allowDatagram=*/true);
    ASSERT_TRUE(open.ok());
    auto handle = platform::IcmpCreateFile();
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->kind(), IcmpSocketKind::Datagram);
  }
  IcmpNamespace closed(/*allowDatagram=*/false);
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ(platform::IcmpCreateFile(IcmpSocketKind::Datagram), nullptr);
  auto handle = platform::IcmpCreateFile();
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->kind(), IcmpSocketKind::Raw);
  EchoOutcome outcome = echoOnce(IcmpSocketKind::Automatic, "127.0.0.1");
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_EQ(outcome.reply.status, platform::kIpSuccess);
  EXPECT_EQ(outcome.reply.ttl, kNamespaceReplyTtl);
}

} // namespace
} // namespace zelvo::test
