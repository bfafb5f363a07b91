#include "platform/mainloop.h"

#include <atomic>
#include <deque>
#include <glib-unix.h>
#include <glib.h>
#include <map>
#include <mutex>
#include <signal.h>
#include <vector>

namespace zelvo::platform {

// The posted calls wait in our own queue, under our own mutex, and one source of the context drains
// it: the hand-over of each call is ordered by a lock every tool can see.
struct MainLoop::Impl {
  GMainContext* context = nullptr;
  GSource* queueSource = nullptr;
  std::mutex mutex;
  std::deque<Call> queue; // guarded by mutex
  std::map<TimerId, GSource*> timers;
  TimerId nextTimer = 1;
  std::atomic<bool> quitRequested{false};

  ~Impl() {
    for (auto& [id, source] : timers) {
      g_source_destroy(source);
      g_source_unref(source);
    }
    g_source_destroy(queueSource);
    g_source_unref(queueSource);
    g_main_context_unref(context);
  }
};

namespace {

struct QueueSource {
  GSource base;
  MainLoop::Impl* impl;
};

bool hasWork(GSource* source) {
  MainLoop::Impl* impl = reinterpret_cast<QueueSource*>(source)->impl;
  std::lock_guard<std::mutex> lock(impl->mutex);
  return !impl->queue.empty();
}

gboolean prepare(GSource* source, gint* timeout) {
  *timeout = -1;
  return hasWork(source);
}

gboolean check(GSource* source) {
  return hasWork(source);
}

// Runs on the context's thread: one call per dispatch, in the order they were posted.
gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
  MainLoop::Impl* impl = reinterpret_cast<QueueSource*>(source)->impl;
  MainLoop::Call call;
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (impl->queue.empty()) return G_SOURCE_CONTINUE;
    call = std::move(impl->queue.front());
    impl->queue.pop_front();
  }
  if (call) call();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kQueueSourceFuncs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

// Contexts that already have a loop object, so that current() hands out the same one. Never freed: a
// loop kept by a static object may go at the program's end after any other static.
std::mutex registryMutex;
std::map<GMainContext*, std::weak_ptr<MainLoop>>& registry() {
  static auto* loops = new std::map<GMainContext*, std::weak_ptr<MainLoop>>;
  return *loops;
}

gboolean runCall(gpointer data) {
  (*static_cast<MainLoop::Call*>(data))();
  return G_SOURCE_CONTINUE;
}

void deleteCall(gpointer data) {
  delete static_cast<MainLoop::Call*>(data);
}

GSource* attach(GSource* source, GMainContext* context, MainLoop::Call call) {
  g_source_set_callback(source, runCall, new MainLoop::Call(std::move(call)), deleteCall);
  g_source_attach(source, context);
  return source;
}

} // namespace

MainLoop::MainLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  GSource* source = g_source_new(&kQueueSourceFuncs, sizeof(QueueSource));
  reinterpret_cast<QueueSource*>(source)->impl = impl_.get();
  g_source_attach(source, impl_->context);
  impl_->queueSource = source;
}

MainLoop::~MainLoop() {
  GMainContext* context = impl_->context;
  impl_.reset();
  std::lock_guard<std::mutex> lock(registryMutex);
  auto it = registry().find(context);
  if (it != registry().end() && it->second.expired()) registry().erase(it);
}

std::shared_ptr<MainLoop> MainLoop::create() {
  auto impl = std::make_unique<Impl>();
  impl->context = g_main_context_new();
  return std::shared_ptr<MainLoop>(new MainLoop(std::move(impl)));
}

std::shared_ptr<MainLoop> MainLoop::current() {
  GMainContext* context = g_main_context_get_thread_default();
  if (!context) context = g_main_context_default();
  std::lock_guard<std::mutex> lock(registryMutex);
  std::weak_ptr<MainLoop>& entry = registry()[context];
  if (std::shared_ptr<MainLoop> loop = entry.lock()) return loop;
  auto impl = std::make_unique<Impl>();
  impl->context = g_main_context_ref(context);
  std::shared_ptr<MainLoop> loop(new MainLoop(std::move(impl)));
  entry = loop;
  return loop;
}

void MainLoop::post(Call call) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->queue.push_back(std::move(call));
  }
  g_main_context_wakeup(impl_->context);
}

MainLoop::TimerId MainLoop::addTimer(int intervalMs, Call call) {
  GSource* source = g_timeout_source_new(static_cast<guint>(intervalMs > 0 ? intervalMs : 1));
  TimerId id = impl_->nextTimer++;
  impl_->timers[id] = attach(source, impl_->context, std::move(call));
  return id;
}

void MainLoop::removeTimer(TimerId id) {
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  // Inside its own call GLib keeps the callback alive until the call returns.
  g_source_destroy(it->second);
  g_source_unref(it->second);
  impl_->timers.erase(it);
}

void MainLoop::run() {
  while (!impl_->quitRequested.exchange(false))
    g_main_context_iteration(impl_->context, TRUE);
}

void MainLoop::quit() {
  impl_->quitRequested = true;
  g_main_context_wakeup(impl_->context);
}

bool MainLoop::iterate(bool mayBlock) {
  return g_main_context_iteration(impl_->context, mayBlock ? TRUE : FALSE);
}

namespace {

// Sources attached to a loop's context, destroyed with the registration.
class SourceRegistration : public Registration {
public:
  explicit SourceRegistration(std::shared_ptr<MainLoop> loop) : loop_(std::move(loop)) {}
  ~SourceRegistration() override {
    for (GSource* source : sources_) {
      g_source_destroy(source);
      g_source_unref(source);
    }
  }
  void add(GSource* source) { sources_.push_back(source); }

private:
  std::shared_ptr<MainLoop> loop_; // keeps the context the sources are attached to
  std::vector<GSource*> sources_;
};

// One line of standard input, read where the loop sees that it is there.
class LineRead : public Registration {
public:
  LineRead(std::shared_ptr<MainLoop> loop, std::function<void(std::optional<std::string>)> call)
      : loop_(std::move(loop)), call_(std::move(call)) {
    channel_ = g_io_channel_unix_new(0);
    watch_ = g_io_create_watch(channel_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(watch_, G_SOURCE_FUNC(&LineRead::onInput), this, nullptr);
    g_source_attach(watch_, loop_->impl()->context);
  }
  ~LineRead() override {
    if (watch_) {
      g_source_destroy(watch_);
      g_source_unref(watch_);
    }
    g_io_channel_unref(channel_);
  }

private:
  static gboolean onInput(GIOChannel* channel, GIOCondition, gpointer data) {
    auto* self = static_cast<LineRead*>(data);
    gchar* text = nullptr;
    gsize length = 0;
    GIOStatus read = g_io_channel_read_line(channel, &text, &length, nullptr, nullptr);
    if (read == G_IO_STATUS_AGAIN) return G_SOURCE_CONTINUE;
    std::optional<std::string> line;
    if (read == G_IO_STATUS_NORMAL && text) {
      line = std::string(text, length);
      while (!line->empty() && (line->back() == '\n' || line->back() == '\r'))
        line->pop_back();
    }
    g_free(text);
    // The call may destroy this registration: nothing of it is touched after the call.
    g_source_unref(self->watch_);
    self->watch_ = nullptr;
    auto call = std::move(self->call_);
    call(std::move(line));
    return G_SOURCE_REMOVE;
  }

  std::shared_ptr<MainLoop> loop_;
  std::function<void(std::optional<std::string>)> call_;
  GIOChannel* channel_ = nullptr;
  GSource* watch_ = nullptr;
};

} // namespace

std::unique_ptr<Registration> OnTerminationRequest(std::shared_ptr<MainLoop> loop, MainLoop::Call call) {
  GMainContext* context = loop->impl()->context;
  auto registration = std::make_unique<SourceRegistration>(std::move(loop));
  for (int signal : {SIGINT, SIGTERM}) {
    registration->add(attach(g_unix_signal_source_new(signal), context, call));
  }
  return registration;
}

std::unique_ptr<Registration> ReadConsoleLine(std::shared_ptr<MainLoop> loop,
                                              std::function<void(std::optional<std::string>)> call) {
  return std::make_unique<LineRead>(std::move(loop), std::move(call));
}

} // namespace zelvo::platform
