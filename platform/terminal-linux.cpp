#include "platform/terminal.h"

#include <langinfo.h>
#include <unistd.h>

namespace zelvo::platform {

std::string TerminalCharset() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset && *codeset ? codeset : "UTF-8";
}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}
bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

std::unique_ptr<std::streambuf> ConsoleBuffer(bool) {
  return nullptr;
}

} // namespace zelvo::platform
