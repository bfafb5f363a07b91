#include "platform/cp950.h"

#include <cctype>
#include <cstring>
#include <windows.h>

namespace zelvo::platform {

namespace {
constexpr UINT kCp950 = 950;

// Strict conversions: a byte sequence the code page cannot decode, or a character it cannot encode,
// fails the whole text rather than turning into a substitute.
std::optional<std::u16string> toWide(UINT page, const std::string& text) {
  if (text.empty()) return std::u16string();
  int size = static_cast<int>(text.size());
  int units = ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  if (::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units) != units)
    return std::nullopt;
  return std::u16string(wide.begin(), wide.end());
}

std::optional<std::string> fromWide(UINT page, const std::u16string& text) {
  if (text.empty()) return std::string();
  std::wstring wide(text.begin(), text.end());
  int size = static_cast<int>(wide.size());
  BOOL defaulted = FALSE;
  // UTF-8 takes no default-character flag; lone surrogates fail through WC_ERR_INVALID_CHARS instead.
  DWORD flags = page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL* usedDefault = page == CP_UTF8 ? nullptr : &defaulted;
  int bytes = ::WideCharToMultiByte(page, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
  if (bytes <= 0 || defaulted) return std::nullopt;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (::WideCharToMultiByte(page, flags, wide.data(), size, out.data(), bytes, nullptr, usedDefault) !=
          bytes ||
      defaulted)
    return std::nullopt;
  return out;
}

// The charset names the system uses, as Windows code pages; 0 for one without a code page here.
UINT codePageOf(const char* name) {
  std::string n;
  for (const char* p = name; p && *p; ++p)
    if (*p != '-' && *p != '_') n.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
  if (n == "utf8") return CP_UTF8;
  if (n == "cp950" || n == "big5" || n == "950") return kCp950;
  if (n == "cp1252" || n == "windows1252") return 1252;
  if (n == "iso88591" || n == "latin1") return 28591;
  if (n == "ascii" || n == "usascii") return 20127;
  if (n == "utf16le") return 1200;
  return 0;
}
} // namespace

std::optional<std::string> ConvertCharset(const std::string& text, const char* from, const char* to) {
  UINT source = codePageOf(from), target = codePageOf(to);
  if (source == 0 || target == 0) return std::nullopt;
  std::optional<std::u16string> wide;
  if (source == 1200) {
    if (text.size() % 2) return std::nullopt;
    std::u16string units;
    for (std::size_t i = 0; i < text.size(); i += 2)
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                            (static_cast<unsigned char>(text[i + 1]) << 8)));
    wide = units;
  } else {
    wide = toWide(source, text);
  }
  if (!wide) return std::nullopt;
  if (target == 1200) return Utf16LeBytes(*wide);
  return fromWide(target, *wide);
}

std::optional<std::string> Cp950ToUtf8(const std::string& cp950) {
  auto wide = toWide(kCp950, cp950);
  if (!wide) return std::nullopt;
  return fromWide(CP_UTF8, *wide);
}

std::optional<std::string> Utf8ToCp950(const std::string& utf8) {
  auto wide = toWide(CP_UTF8, utf8);
  if (!wide) return std::nullopt;
  return fromWide(kCp950, *wide);
}

std::optional<std::u16string> Cp950ToUtf16(const std::string& cp950) {
  return toWide(kCp950, cp950);
}

std::optional<std::u16string> Utf8ToUtf16(const std::string& utf8) {
  return toWide(CP_UTF8, utf8);
}

std::optional<std::string> Utf16ToCp950(const std::u16string& utf16) {
  return fromWide(kCp950, utf16);
}

std::optional<std::string> Cp950ToUtf16Le(const std::string& cp950) {
  auto wide = toWide(kCp950, cp950);
  if (!wide) return std::nullopt;
  return Utf16LeBytes(*wide);
}

} // namespace zelvo::platform
