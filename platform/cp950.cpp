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

std::string Cp950Literal(const char* utf8) {
  return Utf8ToCp950(utf8).value_or(std::string());
}

} // namespace zelvo::platform
