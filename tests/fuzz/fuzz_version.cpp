// The version limits of the service document.

#include "engine/document.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string canonical = zelvo::CanonicalVersion(text);
  // A decimal text: digits, sign, point and an exponent of %g, never "inf" or "nan".
  if (canonical.empty()) std::abort();
  for (char c : canonical)
    if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e')) std::abort();
  zelvo::CheckVersion("0.91", text, text);
  return 0;
}
