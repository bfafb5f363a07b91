#include "sysinfo/iphlpapi.h"

#include "platform/cp950.h"
#include "platform/ipv4.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zelvo {

std::string InterfaceTypeText(std::uint32_t type) {
  switch (type) {
  case 1:
    return "Other";
  case 6:
    return "Ethernet";
  case 9:
    return "TokenRing";
  case 15:
    return "FDDI";
  case 23:
    return "Point-to-Point";
  case 24:
    return "Loopback";
  case 28:
    return "Slip";
  default:
    return "Unknown";
  }
}

std::string AdapterTypeText(std::uint32_t type) {
  switch (type) {
  case 6:
    return "Ethernet Adapter";
  case 9:
    return "Token Ring Adapter";
  case 15:
    return "FDDI Adapter";
  case 23:
    return "PPP Adapter";
  case 24:
    return "Loopback Adapter";
  case 28:
    return "Slip Adapter";
  default:
    return "Other Adapter";
  }
}

std::string OperStatusText(std::uint32_t status) {
  static const char* const texts[] = {"Non-operational", "Unreachable", "Disconnected",
                                      "Connecting",      "Connected",   "Operational"};
  return status < 6 ? texts[status] : "Unknown";
}

std::string AdminStatusText(std::uint32_t status) {
  switch (status) {
  case 1:
    return "Enabled (1)";
  case 2:
    return "Disabled (2)";
  case 3:
    return "Testing (3)";
  default:
    return "Unknown";
  }
}

std::string FormatMacAddress(const std::array<std::uint8_t, 6>& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                mac[5]);
  return text;
}

std::uint32_t ParseIpv4Address(const std::string& dotted) {
  return platform::InetAddr(dotted).value_or(0xFFFFFFFFu);
}

std::string LeaseTimeText(std::time_t when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!localtime_r(&when, &local)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %4d%s", days[local.tm_wday % 7],
                months[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_year + 1900, "\n");
  return text;
}

InterfaceRow MakeInterfaceRow(const platform::IfRow& row) {
  InterfaceRow out;
  // The description ends at the stated length or at a zero byte, whichever comes first.
  std::size_t len = std::min<std::size_t>(row.descrLen, row.descr.size());
  const char* bytes = row.descr.data();
  out.description.assign(bytes, strnlen(bytes, len));
  out.name = out.description;
  out.friendlyIndex = platform::GetFriendlyIfIndex(row.index);
  out.type = row.type;
  out.typeText = InterfaceTypeText(row.type);
  out.mtu = row.mtu;
  out.speed = row.speed;
  std::copy_n(row.physAddr.begin(), out.mac.size(), out.mac.begin());
  out.macText = FormatMacAddress(out.mac);
  out.adminStatus = row.adminStatus;
  out.adminStatusText = AdminStatusText(row.adminStatus);
  out.operStatus = row.operStatus;
  out.operStatusText = OperStatusText(row.operStatus);
  out.lastChangeText = std::to_string(static_cast<unsigned long>(row.lastChange));
  out.inOctets = row.inOctets;
  out.inUcastPkts = row.inUcastPkts;
  out.inNUcastPkts = row.inNUcastPkts;
  out.inDiscards = row.inDiscards;
  out.inErrors = row.inErrors;
  out.inUnknownProtos = row.inUnknownProtos;
  out.outOctets = row.outOctets;
  out.outUcastPkts = row.outUcastPkts;
  out.outNUcastPkts = row.outNUcastPkts;
  out.outDiscards = row.outDiscards;
  out.outErrors = row.outErrors;
  out.outQLen = row.outQLen;
  return out;
}

AdapterInfo MakeAdapterInfo(const platform::AdapterEntry& entry, std::string friendlyName) {
  AdapterInfo out;
  out.index = entry.index;
  out.friendlyName = std::move(friendlyName);
  out.adapterName = entry.adapterName;
  out.type = entry.type;
  out.typeText = AdapterTypeText(entry.type);
  out.adapterName2 = entry.adapterName;
  out.description = entry.description;
  std::copy_n(entry.address.begin(), out.mac.size(), out.mac.begin());
  out.macText = FormatMacAddress(out.mac);

  for (const auto& address : entry.ipAddresses) {
    if (static_cast<std::size_t>(out.ipCount) < kMaxStoredAddresses) {
      out.ipAddr[out.ipCount] = platform::inet_addr(address.address);
      out.ipMask[out.ipCount] = platform::inet_addr(address.mask);
    }
    out.ipList.push_back(address.address);
    out.maskList.push_back(address.mask);
    ++out.ipCount;
  }
  std::size_t gateways = 0;
  for (const auto& gateway : entry.gateways) {
    if (gateways < kMaxStoredAddresses) out.gateway[gateways] = platform::inet_addr(gateway.address);
    out.gatewayList.push_back(gateway.address);
    ++gateways;
  }
  // The primary address: the last stored one inside the first gateway's subnet (none counts as 0.0.0.0).
  std::uint32_t firstGateway = gateways > 0 ? out.gateway[0] : 0;
  std::size_t stored = std::min<std::size_t>(static_cast<std::size_t>(out.ipCount), kMaxStoredAddresses);
  for (std::size_t i = 0; i < stored; ++i) {
    if ((out.ipAddr[i] & out.ipMask[i]) == (out.ipMask[i] & firstGateway)) {
      out.primaryIdx = static_cast<std::uint32_t>(i);
      out.primaryIp = out.ipAddr[i];
      out.primaryMask = out.ipMask[i];
    }
  }

  out.dhcpEnabled = entry.dhcpEnabled;
  if (entry.dhcpEnabled) {
    out.dhcpServer = entry.dhcpServer.address;
    out.leaseObtained = LeaseTimeText(entry.leaseObtained);
    out.leaseExpires = LeaseTimeText(entry.leaseExpires);
  }
  out.haveWins = entry.haveWins;
  if (entry.haveWins) {
    out.primaryWins = entry.primaryWins.address;
    out.secondaryWins = entry.secondaryWins.address;
  }
  return out;
}

std::string FriendlyNameOf(const std::vector<platform::AdapterAddressEntry>& entries, std::uint32_t index) {
  for (const auto& entry : entries)
    if (entry.ifIndex == index) return platform::Utf16ToAnsi(entry.friendlyName);
  return {};
}

std::string GetAdapterFriendlyName(std::uint32_t index) {
  std::vector<platform::AdapterAddressEntry> entries;
  if (platform::GetAdaptersAddresses(entries) != platform::kNoError) return "0";
  return FriendlyNameOf(entries, index);
}

bool GetAdapterList(std::vector<AdapterInfo>& adapters) {
  std::uint32_t capacity = 0;
  if (platform::GetNumberOfInterfaces(capacity) != platform::kNoError) return false;
  std::vector<platform::AdapterEntry> entries;
  if (platform::GetAdaptersInfo(entries) != platform::kNoError) return false;
  std::vector<platform::AdapterAddressEntry> names;
  bool haveNames = platform::GetAdaptersAddresses(names) == platform::kNoError;
  std::vector<AdapterInfo> out;
  for (const auto& entry : entries) {
    if (out.size() >= capacity) break;
    out.push_back(MakeAdapterInfo(entry, haveNames ? FriendlyNameOf(names, entry.index) : "0"));
  }
  adapters = std::move(out);
  return true;
}

std::vector<AdapterInfo> GetAdapterList() {
  std::vector<AdapterInfo> adapters;
  GetAdapterList(adapters);
  return adapters;
}

bool GetInterfaceTable(std::vector<InterfaceRow>& rows) {
  std::vector<platform::IfRow> raw;
  if (platform::GetIfTable(raw) != platform::kNoError) return false;
  std::vector<InterfaceRow> out;
  out.reserve(raw.size());
  for (const auto& row : raw)
    out.push_back(MakeInterfaceRow(row));
  rows = std::move(out);
  return true;
}

std::vector<InterfaceRow> GetInterfaceTable() {
  std::vector<InterfaceRow> rows;
  GetInterfaceTable(rows);
  return rows;
}

} // namespace zelvo
