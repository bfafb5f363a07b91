#include "platform/win32detail.h"

#include <windows.h>

namespace zelvo::platform {

void HandleCloser::operator()(void* handle) const {
  if (handle && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

std::wstring Utf8ToWide(const std::string& text) {
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

} // namespace zelvo::platform
