#include "platform/terminal.h"

#include <windows.h>

namespace zelvo::platform {

namespace {
// A console handle answers GetConsoleMode; a pipe or a file does not.
bool isConsole(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}
} // namespace

std::string TerminalCharset() {
  UINT page = ::GetConsoleOutputCP();
  if (page == 0) page = ::GetACP();
  if (page == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(page);
}

bool StdinIsTerminal() {
  return isConsole(STD_INPUT_HANDLE);
}
bool StdoutIsTerminal() {
  return isConsole(STD_OUTPUT_HANDLE);
}

} // namespace zelvo::platform
