#include "frontend/mainloopwindow.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace zelvo {

namespace {

struct Delivery {
  unsigned message;
  WParam wParam;
  LParam lParam;
  std::shared_ptr<bool> done; // for a send; written under the state's mutex
};

} // namespace

// The messages wait here, under our own mutex, and each posted call of the loop delivers the oldest:
// a message and its texts never sit in the loop's queue, so detaching can release them all at once.
struct MainLoopWindow::State {
  std::shared_ptr<platform::MainLoop> loop;
  std::mutex mutex;
  std::condition_variable handled;
  std::deque<Delivery> queue;
  Handler handler; // empty once detached
  bool detached = false;
};

namespace {

// Runs on the loop's thread: one message per call, in the order they were queued.
void deliverOne(const std::shared_ptr<MainLoopWindow::State>& state) {
  Delivery d{};
  MainLoopWindow::Handler handler;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->queue.empty()) return;
    d = std::move(state->queue.front());
    state->queue.pop_front();
    if (!state->detached) handler = state->handler;
  }
  if (handler)
    handler(d.message, d.wParam, d.lParam);
  else
    ReleaseMessageTexts(d.message, d.wParam, d.lParam);
  if (d.done) {
    std::lock_guard<std::mutex> lock(state->mutex);
    *d.done = true;
    state->handled.notify_all();
  }
}

// Queues one delivery; false (texts released) once detached.
bool Enqueue(const std::shared_ptr<MainLoopWindow::State>& state, Delivery d) {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->detached) {
      ReleaseMessageTexts(d.message, d.wParam, d.lParam);
      return false;
    }
    state->queue.push_back(std::move(d));
  }
  // Weak: the loop's queue must not keep the window's state (and the loop with it) alive.
  std::weak_ptr<MainLoopWindow::State> weak = state;
  state->loop->post([weak] {
    if (std::shared_ptr<MainLoopWindow::State> s = weak.lock()) deliverOne(s);
  });
  return true;
}

} // namespace

MainLoopWindow::MainLoopWindow(std::shared_ptr<platform::MainLoop> loop, Handler handler)
    : state_(std::make_shared<State>()) {
  state_->loop = loop ? std::move(loop) : platform::MainLoop::current();
  state_->handler = std::move(handler);
}

MainLoopWindow::~MainLoopWindow() {
  detach();
}

void MainLoopWindow::detach() {
  std::deque<Delivery> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->detached = true;
    state_->handler = nullptr;
    dropped.swap(state_->queue);
    state_->handled.notify_all();
  }
  for (const Delivery& d : dropped)
    ReleaseMessageTexts(d.message, d.wParam, d.lParam);
}

void MainLoopWindow::post(unsigned message, WParam wParam, LParam lParam) {
  Enqueue(state_, Delivery{message, wParam, lParam, nullptr});
}

void MainLoopWindow::send(unsigned message, WParam wParam, LParam lParam) {
  auto done = std::make_shared<bool>(false);
  std::shared_ptr<State> state = state_;
  if (!Enqueue(state, Delivery{message, wParam, lParam, done})) return;
  // A front-end that detaches while the engine waits releases the engine.
  std::unique_lock<std::mutex> lock(state->mutex);
  state->handled.wait(lock, [&] { return *done || state->detached; });
}

} // namespace zelvo
