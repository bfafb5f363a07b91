// The command's layout, shared by every platform.
#include "platform/netsh.h"

#include <sstream>

namespace zelvo::platform {

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

} // namespace zelvo::platform
