#include "engine/testrecord.h"
#include "frontend/mainloopwindow.h"

#include <atomic>
#include <glib.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace zelvo;

namespace {

// Runs the context on the test's thread until the condition holds or the time is up.
bool iterateUntil(GMainContext* context, const std::function<bool()>& condition, int timeoutMs) {
  gint64 deadline = g_get_monotonic_time() + timeoutMs * 1000LL;
  while (!condition()) {
    if (g_get_monotonic_time() > deadline) return false;
    g_main_context_iteration(context, FALSE);
    g_usleep(1000);
  }
  return true;
}

} // namespace

TEST(MainLoopWindowTest, PostsArriveInOrderOnTheContextThreadWithTheirTexts) {
  GMainContext* context = g_main_context_new();
  std::vector<std::string> seen;
  std::thread::id handlerThread;
  MainLoopWindow window(context, [&](unsigned message, WParam w, LParam l) {
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
      context, [&] { return seen.size() == 3; }, 2000));
  EXPECT_EQ(seen, (std::vector<std::string>{"1035", "1025:terms", "1029:http://r"}));
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  window.detach();
  g_main_context_unref(context);
}

TEST(MainLoopWindowTest, SendWaitsForTheHandlerAndDetachReleasesWaitersAndTexts) {
  GMainContext* context = g_main_context_new();
  std::atomic<bool> handled{false}, sendReturned{false};
  auto window = std::make_shared<MainLoopWindow>(context, [&](unsigned, WParam, LParam) { handled = true; });
  std::thread engine([&] {
    window->send(kMsgPhase, 1, 0);
    sendReturned = true;
  });
  g_usleep(50000);
  EXPECT_FALSE(sendReturned) << "a send returns only after the window handled it";
  ASSERT_TRUE(iterateUntil(
      context, [&] { return sendReturned.load(); }, 2000));
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
      context, [] { return false; }, 50);
  EXPECT_FALSE(handled);
  window.reset();
  g_main_context_unref(context);
}
