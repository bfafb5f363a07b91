#include "platform/instancelock.h"
#include "platform/win32detail.h"

#include <windows.h>

namespace zelvo::platform {

namespace {

// The hidden application window a later copy looks for: its class and its caption, the title.
constexpr wchar_t kApplicationClass[] = L"TApplication";

UINT presentMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"ZelvoSpeedTestPresent");
  return message;
}

} // namespace

// A named mutex of the session: the system closes it with the last handle, so a crashed copy leaves
// nothing behind.
struct InstanceLock::State {
  std::wstring title;
  HANDLE mutex = nullptr;
  bool first = true;
  HWND application = nullptr;
  std::function<void()> onRequest;

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<State*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == presentMessage()) {
      if (self->onRequest) self->onRequest();
      return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
};

InstanceLock::InstanceLock(const std::string& name) : state_(std::make_unique<State>()) {
  state_->title = Utf8ToWide(name);
  // Synchronise access is all a look needs; the handle is not inherited.
  if (HANDLE existing = ::OpenMutexW(SYNCHRONIZE, FALSE, state_->title.c_str())) {
    ::CloseHandle(existing);
    state_->first = false;
    return;
  }
  state_->mutex = ::CreateMutexW(nullptr, FALSE, state_->title.c_str());
  // Two copies started at once: the one that created the mutex second is the later copy.
  state_->first = !(state_->mutex && ::GetLastError() == ERROR_ALREADY_EXISTS);
}

InstanceLock::~InstanceLock() {
  if (state_->application) ::DestroyWindow(state_->application);
  if (state_->mutex) ::CloseHandle(state_->mutex);
}

bool InstanceLock::first() const {
  return state_->first;
}

void InstanceLock::askFirstCopy() const {
  HWND application = ::FindWindowW(kApplicationClass, state_->title.c_str());
  if (!application) return;
  // The user started this copy, so it may hand the foreground on to the first one.
  DWORD process = 0;
  ::GetWindowThreadProcessId(application, &process);
  ::AllowSetForegroundWindow(process);
  ::SetWindowPos(application, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::SendMessageTimeoutW(application, presentMessage(), 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
}

void InstanceLock::serve(std::function<void()> onRequest) {
  state_->onRequest = std::move(onRequest);
  if (state_->application || !state_->first) return;
  static const bool registered = [] {
    WNDCLASSEXW c{};
    c.cbSize = sizeof c;
    c.lpfnWndProc = &State::windowProc;
    c.hInstance = ::GetModuleHandleW(nullptr);
    c.lpszClassName = kApplicationClass;
    return ::RegisterClassExW(&c) != 0;
  }();
  if (!registered) return;
  // Hidden, never shown; a top-level window so that a later copy's search finds it.
  state_->application =
      ::CreateWindowExW(WS_EX_TOOLWINDOW, kApplicationClass, state_->title.c_str(), WS_POPUP, 0, 0, 0, 0,
                        nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (state_->application)
    ::SetWindowLongPtrW(state_->application, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
}

} // namespace zelvo::platform
