#pragma once
// The one reading of an IPv4 address text that the prober and the route lookup share.

#include <cstdint>
#include <optional>
#include <string>

namespace zelvo::platform {

// Four decimal parts of 0 to 255, nothing else (no octal, hexadecimal, short forms or blanks), in
// network order; none for anything else and for 255.255.255.255, which inet_addr cannot tell from
// its failure.
std::optional<std::uint32_t> InetAddr(const std::string& text);

} // namespace zelvo::platform
