#include "platform/terminal.h"

#include <windows.h>

#include <sstream>

namespace zelvo::platform {

namespace {
// A console handle answers GetConsoleMode; a pipe or a file does not.
bool isConsole(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}
// Collects UTF-8 and writes it to the console as wide characters at every flush. A character cut by
// a flush waits for its remaining bytes.
class WideConsoleBuffer : public std::stringbuf {
public:
  explicit WideConsoleBuffer(HANDLE console) : console_(console) {}
  ~WideConsoleBuffer() override { sync(); }

protected:
  int sync() override {
    std::string text = pending_ + str();
    str("");
    std::size_t whole = completeLength(text);
    pending_ = text.substr(whole);
    if (whole == 0) return 0;
    int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(whole), nullptr, 0);
    if (units <= 0) return -1;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(whole), wide.data(), units);
    const wchar_t* next = wide.data();
    DWORD left = static_cast<DWORD>(units);
    while (left > 0) {
      DWORD written = 0;
      if (!::WriteConsoleW(console_, next, left, &written, nullptr) || written == 0) return -1;
      next += written;
      left -= written;
    }
    return 0;
  }

private:
  // The length of the text without an unfinished UTF-8 sequence at its end.
  static std::size_t completeLength(const std::string& text) {
    std::size_t end = text.size();
    std::size_t start = end;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
      --start;
    if (start == 0) return end;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return end - (start - 1) < need ? start - 1 : end;
  }

  HANDLE console_;
  std::string pending_;
};
} // namespace

std::string TerminalCharset() {
  return "UTF-8";
}

std::unique_ptr<std::streambuf> ConsoleBuffer(bool standardError) {
  DWORD which = standardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  if (!isConsole(which)) return nullptr;
  return std::make_unique<WideConsoleBuffer>(::GetStdHandle(which));
}

bool StdinIsTerminal() {
  return isConsole(STD_INPUT_HANDLE);
}
bool StdoutIsTerminal() {
  return isConsole(STD_OUTPUT_HANDLE);
}

} // namespace zelvo::platform
