#include "platform/instancelock.h"

#include <windows.h>

namespace zelvo::platform {

namespace {
std::wstring wide(const std::string& text) {
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}
} // namespace

// A named mutex of the session: the system closes it with the last handle, so a crashed copy leaves
// nothing behind.
struct InstanceLock::State {
  std::wstring title;
  HANDLE mutex = nullptr;
  bool first = true;
};

InstanceLock::InstanceLock(const std::string& name) : state_(std::make_unique<State>()) {
  state_->title = wide(name);
  state_->mutex = ::CreateMutexW(nullptr, FALSE, state_->title.c_str());
  state_->first = !(state_->mutex && ::GetLastError() == ERROR_ALREADY_EXISTS);
}

InstanceLock::~InstanceLock() {
  if (state_->mutex) ::CloseHandle(state_->mutex);
}

bool InstanceLock::first() const {
  return state_->first;
}

void InstanceLock::askFirstCopy() const {
  HWND window = ::FindWindowW(nullptr, state_->title.c_str());
  if (!window) return;
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  ::SetForegroundWindow(window);
}

void InstanceLock::serve(std::function<void()>) {}

} // namespace zelvo::platform
