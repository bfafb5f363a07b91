#include "platform/mainloop.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace zelvo::platform {

namespace {
constexpr UINT kWakeMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"ZelvoMainLoop";
// Messages handled in one iterate(), so that a call that posts again cannot keep it from returning.
constexpr int kMessagesPerIteration = 64;
} // namespace

// The posted calls wait in our own queue and at most one wake message is on its way for them, so a
// burst of posts cannot fill the thread's message queue.
struct MainLoop::Impl {
  HWND window = nullptr;
  DWORD thread = 0;
  std::mutex mutex;
  std::deque<Call> queue;   // guarded by mutex
  bool wakePending = false; // guarded by mutex
  std::map<UINT_PTR, Call> timers;
  UINT_PTR nextTimer = 1;
  std::atomic<bool> quitRequested{false};

  void wake() { ::PostMessageW(window, kWakeMessage, 0, 0); }

  // Runs on the loop's thread: the oldest call, with a wake message left for the next one. Nothing of
  // the loop is touched after the call, which may end the loop.
  void runOldest() {
    Call call;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (queue.empty()) {
        wakePending = false;
        return;
      }
      call = std::move(queue.front());
      queue.pop_front();
      wakePending = !queue.empty();
      if (wakePending) wake();
    }
    if (call) call();
  }

  void runTimer(UINT_PTR id) {
    auto it = timers.find(id);
    if (it == timers.end()) return; // removed after the message was queued
    // A copy: the call may remove its own timer.
    Call call = it->second;
    call();
  }

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == kWakeMessage) {
      self->runOldest();
      return 0;
    }
    if (self && message == WM_TIMER) {
      self->runTimer(static_cast<UINT_PTR>(wParam));
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
};

namespace {

void registerWindowClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &MainLoop::Impl::windowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassExW(&windowClass);
  });
}

} // namespace

MainLoop::MainLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  registerWindowClass();
  impl_->thread = ::GetCurrentThreadId();
  impl_->window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
  if (impl_->window)
    ::SetWindowLongPtrW(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
}

MainLoop::~MainLoop() {
  if (!impl_->window) return;
  // Messages still queued for the window find no loop behind it.
  ::SetWindowLongPtrW(impl_->window, GWLP_USERDATA, 0);
  for (auto& [id, call] : impl_->timers)
    ::KillTimer(impl_->window, id);
  // Only the creating thread can destroy the window; elsewhere it goes with that thread.
  if (::GetCurrentThreadId() == impl_->thread) ::DestroyWindow(impl_->window);
}

std::shared_ptr<MainLoop> MainLoop::create() {
  return std::shared_ptr<MainLoop>(new MainLoop(std::make_unique<Impl>()));
}

std::shared_ptr<MainLoop> MainLoop::current() {
  thread_local std::shared_ptr<MainLoop> loop = create();
  return loop;
}

void MainLoop::post(Call call) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->queue.push_back(std::move(call));
    if (impl_->wakePending) return;
    impl_->wakePending = true;
  }
  impl_->wake();
}

MainLoop::TimerId MainLoop::addTimer(int intervalMs, Call call) {
  UINT_PTR id = impl_->nextTimer++;
  if (!::SetTimer(impl_->window, id, static_cast<UINT>(intervalMs > 0 ? intervalMs : 1), nullptr)) return 0;
  impl_->timers[id] = std::move(call);
  return static_cast<TimerId>(id);
}

void MainLoop::removeTimer(TimerId id) {
  auto it = impl_->timers.find(static_cast<UINT_PTR>(id));
  if (it == impl_->timers.end()) return;
  ::KillTimer(impl_->window, it->first);
  impl_->timers.erase(it);
}

bool MainLoop::iterate(bool mayBlock) {
  bool dispatched = false;
  // Not alertable: completions queued to the thread must not run whenever the loop is idle (ICMP
  // echoes complete in the prober's tick, through its own alertable sleep).
  ::MsgWaitForMultipleObjectsEx(0, nullptr, mayBlock ? INFINITE : 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  MSG msg;
  for (int i = 0; i < kMessagesPerIteration && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) {
      impl_->quitRequested = true;
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    dispatched = true;
  }
  return dispatched;
}

void MainLoop::run() {
  while (!impl_->quitRequested.exchange(false))
    iterate(true);
}

void MainLoop::quit() {
  impl_->quitRequested = true;
  impl_->wake();
}

namespace {

// The console's control events go to every registered loop as a call.
struct ControlTarget {
  std::shared_ptr<MainLoop> loop;
  MainLoop::Call call;
};
std::mutex controlMutex;
std::map<const void*, ControlTarget>& controlTargets() {
  static std::map<const void*, ControlTarget> targets;
  return targets;
}

// Runs on a thread the system starts for the event.
BOOL WINAPI onControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  std::lock_guard<std::mutex> lock(controlMutex);
  if (controlTargets().empty()) return FALSE;
  for (auto& [key, target] : controlTargets())
    target.loop->post(target.call);
  return TRUE;
}

class ControlRegistration : public Registration {
public:
  ControlRegistration(std::shared_ptr<MainLoop> loop, MainLoop::Call call) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (controlTargets().empty()) ::SetConsoleCtrlHandler(onControl, TRUE);
    controlTargets()[this] = ControlTarget{std::move(loop), std::move(call)};
  }
  ~ControlRegistration() override {
    std::lock_guard<std::mutex> lock(controlMutex);
    controlTargets().erase(this);
    if (controlTargets().empty()) ::SetConsoleCtrlHandler(onControl, FALSE);
  }
};

// A line of standard input is read by a thread of its own (a console offers no readiness to wait on)
// and handed to the loop as a call.
struct LineReadState {
  std::mutex mutex;
  bool cancelled = false; // guarded by mutex
  std::function<void(std::optional<std::string>)> call;
};

class LineRead : public Registration {
public:
  explicit LineRead(std::shared_ptr<LineReadState> state) : state_(std::move(state)) {}
  ~LineRead() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->cancelled = true;
  }

private:
  std::shared_ptr<LineReadState> state_;
};

std::optional<std::string> readLine() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  std::string line;
  for (;;) {
    char c;
    DWORD got = 0;
    if (!::ReadFile(input, &c, 1, &got, nullptr) || got == 0) {
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') break;
    line.push_back(c);
  }
  while (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

} // namespace

std::unique_ptr<Registration> OnTerminationRequest(std::shared_ptr<MainLoop> loop, MainLoop::Call call) {
  return std::make_unique<ControlRegistration>(std::move(loop), std::move(call));
}

std::unique_ptr<Registration> ReadConsoleLine(std::shared_ptr<MainLoop> loop,
                                              std::function<void(std::optional<std::string>)> call) {
  auto state = std::make_shared<LineReadState>();
  state->call = std::move(call);
  std::weak_ptr<MainLoop> target = loop;
  // Detached: a read that never ends must not hold up the program's end.
  std::thread([state, target] {
    std::optional<std::string> line = readLine();
    std::shared_ptr<MainLoop> loop = target.lock();
    if (!loop) return;
    loop->post([state, line] {
      std::function<void(std::optional<std::string>)> call;
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->cancelled || !state->call) return;
        call = std::move(state->call);
      }
      call(line);
    });
  }).detach();
  return std::make_unique<LineRead>(std::move(state));
}

} // namespace zelvo::platform
