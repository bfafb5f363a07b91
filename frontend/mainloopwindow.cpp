#include "frontend/mainloopwindow.h"

#include <condition_variable>
#include <glib.h>
#include <mutex>

namespace zelvo {

struct MainLoopWindow::State {
  GMainContext* context = nullptr;
  std::mutex mutex;
  std::condition_variable handled;
  Handler handler; // empty once detached
  bool detached = false;
};

namespace {

struct Delivery {
  std::shared_ptr<MainLoopWindow::State> state;
  unsigned message;
  WParam wParam;
  LParam lParam;
  std::shared_ptr<bool> done; // for a send; written under the state's mutex
};

} // namespace

MainLoopWindow::MainLoopWindow(GMainContext* context, Handler handler) : state_(std::make_shared<State>()) {
  if (!context) context = g_main_context_get_thread_default();
  if (!context) context = g_main_context_default();
  state_->context = g_main_context_ref(context);
  state_->handler = std::move(handler);
}

MainLoopWindow::~MainLoopWindow() {
  detach();
  g_main_context_unref(state_->context);
}

void MainLoopWindow::detach() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->detached = true;
  state_->handler = nullptr;
  state_->handled.notify_all();
}

static gboolean Deliver(gpointer data) {
  auto* d = static_cast<Delivery*>(data);
  MainLoopWindow::Handler handler;
  {
    std::lock_guard<std::mutex> lock(d->state->mutex);
    if (!d->state->detached) handler = d->state->handler;
  }
  if (handler)
    handler(d->message, d->wParam, d->lParam);
  else
    ReleaseMessageTexts(d->message, d->wParam, d->lParam);
  if (d->done) {
    std::lock_guard<std::mutex> lock(d->state->mutex);
    *d->done = true;
    d->state->handled.notify_all();
  }
  return G_SOURCE_REMOVE;
}

static void FreeDelivery(gpointer data) {
  delete static_cast<Delivery*>(data);
}

void MainLoopWindow::post(unsigned message, WParam wParam, LParam lParam) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->detached) {
      ReleaseMessageTexts(message, wParam, lParam);
      return;
    }
  }
  auto* d = new Delivery{state_, message, wParam, lParam, nullptr};
  g_main_context_invoke_full(state_->context, G_PRIORITY_DEFAULT, Deliver, d, FreeDelivery);
}

void MainLoopWindow::send(unsigned message, WParam wParam, LParam lParam) {
  auto done = std::make_shared<bool>(false);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->detached) {
      ReleaseMessageTexts(message, wParam, lParam);
      return;
    }
  }
  auto* d = new Delivery{state_, message, wParam, lParam, done};
  std::shared_ptr<State> state = state_;
  // invoke_full runs the call at once when this thread owns the context; otherwise it is queued.
  g_main_context_invoke_full(state->context, G_PRIORITY_DEFAULT, Deliver, d, FreeDelivery);
  // A front-end that detaches while the engine waits releases the engine; the queued delivery then
  // drops the texts whenever (if ever) the context runs it.
  std::unique_lock<std::mutex> lock(state->mutex);
  state->handled.wait(lock, [&] { return *done || state->detached; });
}

} // namespace zelvo
