#include "platform/netsh.h"

#include "platform/iphlpapi.h"
#include "platform/registry.h"

#include <sstream>

namespace zelvo::platform {

namespace {
std::optional<std::string> sysctlText(const std::string& name) {
  auto text = ReadSmallFile("/proc/sys/" + name);
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
    text->pop_back();
  return text;
}
std::optional<int> sysctlInt(const std::string& name) {
  auto text = sysctlText(name);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  int value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}
} // namespace

std::optional<TcpGlobals> ReadTcpGlobals(std::uint32_t routeInterfaceIndex) {
  auto moderate = sysctlInt("net/ipv4/tcp_moderate_rcvbuf");
  auto congestion = sysctlText("net/ipv4/tcp_congestion_control");
  auto timestamps = sysctlInt("net/ipv4/tcp_timestamps");
  if (!moderate || !congestion || !timestamps) return std::nullopt;
  TcpGlobals globals;
  globals.moderateReceiveBuffer = *moderate == 1;
  globals.congestionControl = *congestion;
  globals.timestamps = *timestamps != 0;
  globals.ecn = sysctlInt("net/ipv4/tcp_ecn").value_or(0);
  globals.receiveQueues = routeInterfaceIndex ? ReceiveQueueCount(routeInterfaceIndex) : 1;
  return globals;
}

std::optional<std::string> RunNetshTcpShowGlobal(std::uint32_t routeInterfaceIndex) {
  auto globals = ReadTcpGlobals(routeInterfaceIndex);
  if (!globals) return std::nullopt;
  return FormatTcpGlobals(*globals);
}

} // namespace zelvo::platform
