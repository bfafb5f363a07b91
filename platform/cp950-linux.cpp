#include "platform/cp950.h"

#include <cerrno>
#include <iconv.h>
#include <memory>

namespace zelvo::platform {

namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// Converts the whole input; no value on an invalid or unrepresentable sequence.
std::optional<std::string> convert(const char* to, const char* from, const char* data, std::size_t size) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  IconvHandle cd(raw);
  std::string out;
  char* in = const_cast<char*>(data);
  std::size_t inLeft = size;
  char buffer[1024];
  while (true) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    // A final call with no input flushes any shift state.
    std::size_t rc = inLeft > 0 ? iconv(raw, &in, &inLeft, &outPtr, &outLeft)
                                : iconv(raw, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (rc == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      return std::nullopt;
    }
    if (inLeft == 0 && in != nullptr) {
      in = nullptr; // one flush pass
      continue;
    }
    return out;
  }
}

} // namespace

std::optional<std::string> ConvertCharset(const std::string& text, const char* from, const char* to) {
  return convert(to, from, text.data(), text.size());
}

std::optional<std::string> Cp950ToUtf8(const std::string& cp950) {
  return convert("UTF-8", "CP950", cp950.data(), cp950.size());
}

std::optional<std::string> Utf8ToCp950(const std::string& utf8) {
  return convert("CP950", "UTF-8", utf8.data(), utf8.size());
}

namespace {
std::optional<std::u16string> toUtf16(const char* from, const std::string& text) {
  auto bytes = convert("UTF-16LE", from, text.data(), text.size());
  if (!bytes || bytes->size() % 2 != 0) return std::nullopt;
  std::u16string out(bytes->size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>((*bytes)[2 * i]) |
                                   (static_cast<unsigned char>((*bytes)[2 * i + 1]) << 8));
  return out;
}
} // namespace

std::optional<std::u16string> Cp950ToUtf16(const std::string& cp950) {
  return toUtf16("CP950", cp950);
}
std::optional<std::u16string> Utf8ToUtf16(const std::string& utf8) {
  return toUtf16("UTF-8", utf8);
}

std::optional<std::string> Utf16ToCp950(const std::u16string& utf16) {
  std::string bytes = Utf16LeBytes(utf16);
  return convert("CP950", "UTF-16LE", bytes.data(), bytes.size());
}

std::optional<std::string> Cp950ToUtf16Le(const std::string& cp950) {
  return convert("UTF-16LE", "CP950", cp950.data(), cp950.size());
}

} // namespace zelvo::platform
