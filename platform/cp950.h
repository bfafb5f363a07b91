#pragma once
// Code page 950 conversions at the edges of the system (GTK and logs take UTF-8, the report UTF-16LE).
// Every function returns no value when the input holds a sequence the other side cannot represent.

#include <cstddef>
#include <optional>
#include <string>

namespace zelvo::platform {

std::optional<std::string> Cp950ToUtf8(const std::string& cp950);
std::optional<std::string> Utf8ToCp950(const std::string& utf8);
// Between any two charsets iconv knows; no value when it knows one of them not.
std::optional<std::string> ConvertCharset(const std::string& text, const char* from, const char* to);

// UTF-16 in host order; the report writes it out little-endian with Utf16LeBytes.
std::optional<std::u16string> Cp950ToUtf16(const std::string& cp950);
std::optional<std::string> Utf16ToCp950(const std::u16string& utf16);
// The CP950 text as UTF-16LE bytes (two bytes per code unit, low byte first).
std::optional<std::string> Cp950ToUtf16Le(const std::string& cp950);
std::string Utf16LeBytes(const std::u16string& utf16);
// UTF-8 (for example a kernel interface name) as UTF-16.
std::optional<std::u16string> Utf8ToUtf16(const std::string& utf8);

// The ANSI conversion: every character CP950 cannot hold becomes "?", the rest is kept (a name with
// one foreign character stays readable instead of becoming empty).
std::string Utf16ToAnsi(const std::u16string& utf16);

// At most limit bytes of a CP950 text, never ending between a lead byte and its trail byte.
std::string CutCp950(const std::string& text, std::size_t limit);

// A UTF-8 literal as CP950; for the fixed texts the system compares or sends. An unrepresentable
// literal is a programming error and yields an empty text.
std::string Cp950Literal(const char* utf8);

} // namespace zelvo::platform
