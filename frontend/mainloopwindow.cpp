#include "frontend/mainloopwindow.h"

#include <condition_variable>
#include <deque>
#include <glib.h>
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

// The queue lives here, under our own mutex, and one source of the window's context drains it: the
// hand-over of each message (and of the texts it owns) is ordered by a lock every tool can see, and no
// memory of ours travels through the context's own queue.
struct MainLoopWindow::State {
  GMainContext* context = nullptr;
  GSource* source = nullptr;
  std::mutex mutex;
  std::condition_variable handled;
  std::deque<Delivery> queue;
  Handler handler; // empty once detached
  bool detached = false;
};

namespace {

struct QueueSource {
  GSource base;
  MainLoopWindow::State* state;
};

bool HasWork(MainLoopWindow::State* state) {
  std::lock_guard<std::mutex> lock(state->mutex);
  return !state->queue.empty();
}

gboolean Prepare(GSource* source, gint* timeout) {
  *timeout = -1;
  return HasWork(reinterpret_cast<QueueSource*>(source)->state);
}

gboolean Check(GSource* source) {
  return HasWork(reinterpret_cast<QueueSource*>(source)->state);
}

// Runs on the context's thread: one message per dispatch, in the order they were queued.
gboolean Dispatch(GSource* source, GSourceFunc, gpointer) {
  MainLoopWindow::State* state = reinterpret_cast<QueueSource*>(source)->state;
  Delivery d{};
  MainLoopWindow::Handler handler;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->queue.empty()) return G_SOURCE_CONTINUE;
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
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kQueueSourceFuncs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};

// Queues one delivery; false (texts released) once detached.
bool Enqueue(MainLoopWindow::State& state, Delivery d) {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.detached) {
      ReleaseMessageTexts(d.message, d.wParam, d.lParam);
      return false;
    }
    state.queue.push_back(std::move(d));
  }
  g_main_context_wakeup(state.context);
  return true;
}

} // namespace

MainLoopWindow::MainLoopWindow(GMainContext* context, Handler handler) : state_(std::make_shared<State>()) {
  if (!context) context = g_main_context_get_thread_default();
  if (!context) context = g_main_context_default();
  state_->context = g_main_context_ref(context);
  state_->handler = std::move(handler);
  GSource* source = g_source_new(&kQueueSourceFuncs, sizeof(QueueSource));
  reinterpret_cast<QueueSource*>(source)->state = state_.get();
  g_source_attach(source, context);
  state_->source = source;
}

MainLoopWindow::~MainLoopWindow() {
  detach();
  g_source_destroy(state_->source);
  g_source_unref(state_->source);
  g_main_context_unref(state_->context);
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
  Enqueue(*state_, Delivery{message, wParam, lParam, nullptr});
}

void MainLoopWindow::send(unsigned message, WParam wParam, LParam lParam) {
  auto done = std::make_shared<bool>(false);
  std::shared_ptr<State> state = state_;
  if (!Enqueue(*state, Delivery{message, wParam, lParam, done})) return;
  // A front-end that detaches while the engine waits releases the engine.
  std::unique_lock<std::mutex> lock(state->mutex);
  state->handled.wait(lock, [&] { return *done || state->detached; });
}

} // namespace zelvo
