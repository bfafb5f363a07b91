#pragma once
// The network connection profile: which interface carries the traffic to the service, what kind of
// connection it is, its rate, MTU, table position and local address; and whether any adapter is up.
// Window thread.

#include "engine/testrecord.h"
#include "platform/linkfacts.h"
#include "sysinfo/iphlpapi.h"
#include "sysinfo/windowprofile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

enum class ConnectionKind {
  PppoeEnternet,
  PppoeCfos,
  PppoeRaspppoe,
  PppoeBuiltIn,
  Wireless,
  Ethernet,
  OtherDialUp,
  OtherInterface,
};

// The connection text in CP950.
const std::string& ConnectionText(ConnectionKind kind);
// True for the four PPPoE kinds, which report the physical adapter underneath.
bool IsPppoe(ConnectionKind kind);
// The classification of the route interface. wirelessTyped: the platform gives wireless links a type
// of their own, so an Ethernet-typed one is never taken for wireless by its rate.
ConnectionKind ClassifyConnection(std::uint32_t type, std::uint32_t rateKbps, std::uint32_t mtu,
                                  const std::string& description, bool isOs6OrLater, bool wirelessTyped);
// True for the Ethernet rates from 10 Mbit/s to 100 Gbit/s and the saturated 4294967 kbit/s.
bool IsStandardEthernetRate(std::uint32_t rateKbps);

// Fills nicMtu, bestIfPos, nicRateKbps, nicDescription, connectionType and localIp.
void vGetIpHlpInfo(TestRecord& record, WindowProfile& window);

// The link facts of the route interface the last connection probe found; none before one did.
platform::LinkFacts RouteLinkFacts(const WindowProfile& window);

// Adapters whose interface status is "OPERATIONAL" or "CONNECTED".
std::int32_t iNICConnect(const WindowProfile& window);
// The status word of one interface ("NON OPERATIONAL" when its row cannot be read).
std::string szGetAdapterConnectStatus(std::uint32_t index, const WindowProfile& window);
// The first IPv4 address of the host, dotted; none when it does not resolve.
std::optional<std::string> getIPByName(const std::string& hostName, const WindowProfile& window);

} // namespace zelvo
