#pragma once
// Stand-in for the output of "netsh int tcp show global": the Linux TCP globals written in that
// command's layout (four header lines, then "Label : value" lines with CRLF line ends), so that the
// client's own parser reads real data.

#include <cstdint>
#include <optional>
#include <string>

namespace zelvo::platform {

struct TcpGlobals {
  std::uint32_t receiveQueues = 1; // of the route interface
  bool moderateReceiveBuffer = false;
  std::string congestionControl;
  bool timestamps = false;
  int ecn = 0;
};

// The globals of this machine; none when /proc/sys cannot be read (the command could not run).
std::optional<TcpGlobals> ReadTcpGlobals(std::uint32_t routeInterfaceIndex);
// The command's text for the globals.
std::string FormatTcpGlobals(const TcpGlobals& globals);
// Both: the command's output on this machine.
std::optional<std::string> RunNetshTcpShowGlobal(std::uint32_t routeInterfaceIndex);

} // namespace zelvo::platform
