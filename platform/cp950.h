#pragma once
// The program's 8-bit text is code page 950. These convert at the edges (window, log, report, HTTP)
// through iconv.

#include <optional>
#include <string>

namespace zelvo::platform {

// Exact conversions: nullopt when the text holds a sequence the source charset does not define or
// the target charset cannot represent, or when iconv does not know a charset.
std::optional<std::string> Cp950ToUtf8(const std::string& text);
std::optional<std::string> Utf8ToCp950(const std::string& text);
std::optional<std::string> ConvertCharset(const std::string& text, const char* from, const char* to);

} // namespace zelvo::platform
