#include "platform/netsh.h"
#include "platform/win32detail.h"

#include <windows.h>

namespace zelvo::platform {

// The route interface plays no part here: the command itself reports the interface's settings.
std::optional<std::string> RunNetshTcpShowGlobal(std::uint32_t) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::nullopt;
  Handle reader(readEnd), writer(writeEnd);
  // Only the write end goes to the child.
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA startup{};
  ::GetStartupInfoA(&startup);
  startup.cb = sizeof startup;
  startup.dwFlags |= STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  char commandLine[] = "netsh int tcp show global";
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
    return std::nullopt;
  Handle child(process.hProcess), childThread(process.hThread);
  writer.reset();

  // Read until the child closes its end, so a full pipe never blocks it; then wait for its end.
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  return text;
}

} // namespace zelvo::platform
