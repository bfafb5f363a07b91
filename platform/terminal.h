#pragma once
// The console's character set and whether a stream is an interactive terminal.

#include <string>

namespace zelvo::platform {

// The charset of the user's locale (for example "UTF-8"); call after the locale is set.
std::string TerminalCharset();
// Whether standard input / output is a terminal.
bool StdinIsTerminal();
bool StdoutIsTerminal();

} // namespace zelvo::platform
