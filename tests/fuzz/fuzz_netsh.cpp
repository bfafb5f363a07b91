// The output of "netsh int tcp show global".

#include "sysinfo/tcpsettings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  zelvo::NetshState state = zelvo::ParseNetshState(text);
  zelvo::FormatNetshState(state);
  return 0;
}
