#include "platform/mainloop.h"

#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace zelvo::platform;

TEST(MainLoop, CallsFromAnotherThreadRunInOrderOnTheLoopsThreadAndQuitEndsRun) {
  std::shared_ptr<MainLoop> loop = MainLoop::create();
  std::vector<int> order;
  bool allOnLoopThread = true;
  const std::thread::id loopThread = std::this_thread::get_id();
  bool waitedCallRan = false;
  std::thread other([&] {
    for (int i = 0; i < 200; ++i)
      loop->post([&, i] {
        order.push_back(i);
        allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
      });
    // A call waited for, the way a send waits for its window.
    std::promise<void> handled;
    loop->post([&] {
      waitedCallRan = order.size() == 200;
      handled.set_value();
    });
    handled.get_future().wait();
    loop->quit();
  });
  loop->run();
  other.join();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(order[i], i);
  EXPECT_TRUE(allOnLoopThread);
  EXPECT_TRUE(waitedCallRan) << "the waited call ran after every call posted before it";
}

TEST(MainLoop, TimerRepeatsUntilRemovedInsideItsCallAndAnEarlyQuitEndsTheNextRun) {
  std::shared_ptr<MainLoop> loop = MainLoop::create();
  int ticks = 0, watchTicks = 0;
  MainLoop::TimerId timer = 0;
  timer = loop->addTimer(5, [&] {
    if (++ticks == 3) loop->removeTimer(timer);
  });
  ASSERT_NE(timer, 0u);
  // A second timer keeps the loop going well past the first one's removal.
  MainLoop::TimerId watch = 0;
  watch = loop->addTimer(5, [&] {
    if (++watchTicks < 3 + 15 || ticks < 3) return;
    loop->removeTimer(watch);
    loop->removeTimer(timer); // already gone: nothing happens
    loop->quit();
  });
  loop->run();
  EXPECT_EQ(ticks, 3);

  loop->quit();
  loop->run(); // returns at once
  int late = 0;
  loop->post([&] { ++late; });
  while (loop->iterate(false)) {
  }
  EXPECT_EQ(late, 1);
  EXPECT_EQ(watchTicks, 18) << "the second timer ended with its removal";
}
