#pragma once
// The console's character set, whether a stream is an interactive terminal, and how text reaches the
// standard streams.

#include <memory>
#include <streambuf>
#include <string>

namespace zelvo::platform {

// The charset text for standard output must be in; call after the locale is set. Linux: the user's
// locale's (for example "UTF-8"). Windows: always UTF-8, which ConsoleBuffer turns into what the
// console shows.
std::string TerminalCharset();
// Whether standard input / output is a terminal.
bool StdinIsTerminal();
bool StdoutIsTerminal();

// A buffer to put under std::cout (or std::cerr) that takes UTF-8: on a Windows console it writes
// wide characters, so the text shows whatever the console's code page. Null where the stream already
// goes where it should (Linux; a Windows pipe or file, which gets the UTF-8 bytes).
std::unique_ptr<std::streambuf> ConsoleBuffer(bool standardError);

} // namespace zelvo::platform
