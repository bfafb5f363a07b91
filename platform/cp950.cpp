// Conversions that need no code-page tables, shared by every platform.
#include "platform/cp950.h"

namespace zelvo::platform {

std::string Utf16LeBytes(const std::u16string& utf16) {
  std::string out;
  out.reserve(utf16.size() * 2);
  for (char16_t unit : utf16) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

std::string Utf16ToAnsi(const std::u16string& utf16) {
  if (std::optional<std::string> whole = Utf16ToCp950(utf16)) return *whole;
  // One character at a time (a surrogate pair is one), so only the ones CP950 lacks are lost.
  std::string out;
  for (std::size_t i = 0; i < utf16.size();) {
    std::size_t units = (utf16[i] >= 0xD800 && utf16[i] <= 0xDBFF && i + 1 < utf16.size() &&
                         utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF)
                            ? 2
                            : 1;
    out += Utf16ToCp950(utf16.substr(i, units)).value_or("?");
    i += units;
  }
  return out;
}

std::string CutCp950(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = 0;
  while (end < text.size()) {
    auto b = static_cast<unsigned char>(text[end]);
    std::size_t width = (b >= 0x81 && b <= 0xFE && end + 1 < text.size()) ? 2 : 1;
    if (end + width > limit) break;
    end += width;
  }
  return text.substr(0, end);
}

std::string Cp950Literal(const char* utf8) {
  return Utf8ToCp950(utf8).value_or(std::string());
}

} // namespace zelvo::platform
