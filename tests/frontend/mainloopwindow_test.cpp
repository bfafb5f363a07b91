#include "engine/testrecord.h"
#include "frontend/mainloopwindow.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace zelvo;

namespace {

// Runs the loop on the test's thread until the condition holds or the time is up.
bool iterateUntil(platform::MainLoop& loop, const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.iterate(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace

TEST(MainLoopWindowTest, PostsArriveInOrderOnTheContextThreadWithTheirTexts) {
  auto loop = platform::MainLoop::create();
  std::vector<std::string> seen;
  std::thread::id handlerThread;
  MainLoopWindow window(loop, [&](unsigned message, WParam w, LParam l) {
    handlerThread = std::this_thread::get_id();
    std::string entry = std::to_string(message);
    if (MessageTexts(message, w).lParam) {
      auto text = TakeText(l);
      entry += ":" + (text ? *text : std::string("null"));
    }
    seen.push_back(entry);
  });
  std::thread engine([&] {
    window.post(kMsgServiceStored, 0, 0);
    window.post(kMsgVersion, 3, NewText("terms"));
    window.post(kMsgResult, 1, NewText("http://r"));
  });
  engine.join();
  ASSERT_TRUE(iterateUntil(
      *loop, [&] { return seen.size() == 3; }, 2000));
  EXPECT_EQ(seen, (std::vector<std::string>{"1035", "1025:terms", "1029:http://r"}));
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  window.detach();
}

TEST(MainLoopWindowTest, SendWaitsForTheHandlerAndDetachReleasesWaitersAndTexts) {
  auto loop = platform::MainLoop::create();
  std::atomic<bool> handled{false}, sendReturned{false};
  auto window = std::make_shared<MainLoopWindow>(loop, [&](unsigned, WParam, LParam) { handled = true; });
  std::thread engine([&] {
    window->send(kMsgPhase, 1, 0);
    sendReturned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(sendReturned) << "a send returns only after the window handled it";
  ASSERT_TRUE(iterateUntil(
      *loop, [&] { return sendReturned.load(); }, 2000));
  EXPECT_TRUE(handled);
  engine.join();

  // After detaching, a send does not hang and a queued text is freed (the leak check sees it).
  handled = false;
  window->post(kMsgVersion, 3, NewText("queued before detach"));
  window->detach();
  std::thread late([&] {
    window->send(kMsgPhase, 0, 0);
    window->post(kMsgNotice, NewTextW("cookie"), NewText("url"));
  });
  late.join();
  iterateUntil(
      *loop, [] { return false; }, 50);
  EXPECT_FALSE(handled);
  window.reset();
}
