#include "platform/ipv4.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace zelvo::platform {

std::optional<std::uint32_t> InetAddr(const std::string& text) {
  // InetPton stops at an embedded zero byte; the whole text has to be the address.
  if (text.find('\0') != std::string::npos) return std::nullopt;
  IN_ADDR address{};
  if (::InetPtonA(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  if (address.s_addr == INADDR_NONE) return std::nullopt;
  return address.s_addr;
}

} // namespace zelvo::platform
