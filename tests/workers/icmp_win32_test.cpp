// The Windows ICMP echo stand-in on the system's own icmp.dll, against loopback.

#include "platform/icmp.h"
#include "platform/mainloop.h"
#include "platform/win32detail.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace zelvo::test {
namespace {

using namespace std::chrono_literals;

const std::string kData = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
const std::uint32_t kLoopback = *platform::InetAddr("127.0.0.1");

std::uint32_t sendEcho(platform::IcmpFile& handle, int& completions, platform::IcmpEchoReply& got) {
  platform::IpOptionInformation options;
  options.ttl = 255;
  return platform::IcmpSendEcho2(handle, kLoopback, kData.data(), 32, options, 2000,
                                 [&](const platform::IcmpEchoReply& reply) {
                                   ++completions;
                                   got = reply;
                                 });
}

TEST(IcmpWin32, CompletionsWaitForTheProbersSleepNotTheMainLoop) {
  auto handle = platform::IcmpCreateFile();
  ASSERT_TRUE(handle);
  int completions = 0;
  platform::IcmpEchoReply got;
  ASSERT_EQ(sendEcho(*handle, completions, got), platform::kErrorIoPending);
  // The loop waits, handles timer messages and goes idle many times while the reply comes back.
  auto loop = platform::MainLoop::current();
  int ticks = 0;
  auto timer = loop->addTimer(10, [&] { ++ticks; });
  auto until = std::chrono::steady_clock::now() + 400ms;
  while (std::chrono::steady_clock::now() < until)
    loop->iterate(true);
  loop->removeTimer(timer);
  EXPECT_GT(ticks, 5);
  EXPECT_EQ(completions, 0);
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(1, true);
        return completions > 0;
      },
      2000ms));
  platform::SleepEx(20, true);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(got.status, platform::kIpSuccess);
  EXPECT_EQ(got.dataSize, 32);
  // A delivered echo leaves its handle free for the next one.
  EXPECT_EQ(sendEcho(*handle, completions, got), platform::kErrorIoPending);
  ASSERT_TRUE(waitFor(
      [&] {
        platform::SleepEx(1, true);
        return completions > 1;
      },
      2000ms));
}

TEST(IcmpWin32, ClosingAHandleReleasesItsPendingEchoWithoutAnAlertableWait) {
  const std::size_t before = platform::IcmpEchoRecords();
  int completions = 0;
  platform::IcmpEchoReply got;
  {
    auto handle = platform::IcmpCreateFile();
    ASSERT_TRUE(handle);
    ASSERT_EQ(sendEcho(*handle, completions, got), platform::kErrorIoPending);
    EXPECT_EQ(platform::IcmpEchoRecords(), before + 1);
    // One echo at a time per handle.
    EXPECT_NE(sendEcho(*handle, completions, got), platform::kErrorIoPending);
  }
  // Plain sleeps only: nothing of this thread waits alertably.
  EXPECT_TRUE(waitFor([&] { return platform::IcmpEchoRecords() == before; }, 3000ms));
  platform::SleepEx(50, true);
  EXPECT_EQ(completions, 0);
}

} // namespace
} // namespace zelvo::test
