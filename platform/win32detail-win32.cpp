#include "platform/win32detail.h"

#include <windows.h>

#include <vector>

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

std::optional<std::string> RunForOutput(const std::string& commandLine, unsigned timeoutMs, void* input) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::nullopt;
  Handle reader(readEnd), writer(writeEnd);
  // Only the write end goes to the child.
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  Handle nul;
  if (!input) {
    nul.reset(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                            0, nullptr));
    input = nul.get();
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
    return std::nullopt;
  Handle child(process.hProcess), childThread(process.hThread);
  writer.reset();

  // Read what is there while the child runs, so a full pipe never blocks it; a child that neither ends
  // nor writes within the time is ended, since the caller cannot wait for ever.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  std::string text;
  char buffer[4096];
  auto drain = [&] {
    DWORD available = 0, got = 0;
    while (::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
      text.append(buffer, got);
  };
  for (;;) {
    drain();
    if (::WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) break;
    if (::GetTickCount64() >= deadline) {
      ::TerminateProcess(process.hProcess, 1);
      ::WaitForSingleObject(process.hProcess, 1000);
      return std::nullopt;
    }
  }
  drain();
  return text;
}

} // namespace zelvo::platform
