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

std::string FormatTcpGlobals(const TcpGlobals& g) {
  auto line = [](const char* label, const std::string& value) {
    std::string text = label;
    text.resize(36, ' ');
    return text + ": " + value + "\r\n";
  };
  auto onOff = [](bool on) { return std::string(on ? "enabled" : "disabled"); };
  std::string text = "Querying active state...\r\n\r\nTCP Global Parameters\r\n"
                     "----------------------------------------------\r\n";
  text += line("Receive-Side Scaling State", onOff(g.receiveQueues > 1));
  // Linux has no TCP offload engine, no NetDMA and no direct cache access.
  text += line("Chimney Offload State", "disabled");
  text += line("NetDMA State", "disabled");
  text += line("Direct Cache Access (DCA)", "disabled");
  text += line("Receive Window Auto-Tuning Level", g.moderateReceiveBuffer ? "normal" : "disabled");
  text += line("Add-On Congestion Control Provider", g.congestionControl);
  text += line("ECN Capability", onOff(g.ecn == 1));
  text += line("RFC 1323 Timestamps", onOff(g.timestamps));
  return text;
}

std::optional<std::string> RunNetshTcpShowGlobal(std::uint32_t routeInterfaceIndex) {
  auto globals = ReadTcpGlobals(routeInterfaceIndex);
  if (!globals) return std::nullopt;
  return FormatTcpGlobals(*globals);
}

} // namespace zelvo::platform
