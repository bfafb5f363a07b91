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
} // namespace

std::optional<std::string> ConvertCharset(const std::string& text, const char* from, const char* to) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  IconvHandle cd(raw);
  std::string out;
  if (text.empty()) return out;
  std::string in = text; // iconv wants a writable pointer
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char buffer[4096];
  for (;;) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t rc = iconv(raw, inLeft ? &inPtr : nullptr, inLeft ? &inLeft : nullptr, &outPtr, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    if (rc != static_cast<std::size_t>(-1)) {
      if (inLeft == 0 && inPtr != nullptr) {
        inPtr = nullptr; // one more round flushes the shift state
        continue;
      }
      return out;
    }
    if (errno != E2BIG) return std::nullopt; // EILSEQ or EINVAL: not convertible as a whole
  }
}

std::optional<std::string> Cp950ToUtf8(const std::string& text) {
  return ConvertCharset(text, "CP950", "UTF-8");
}

std::optional<std::string> Utf8ToCp950(const std::string& text) {
  return ConvertCharset(text, "UTF-8", "CP950");
}

} // namespace zelvo::platform
