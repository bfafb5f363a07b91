#pragma once
// The IP Helper layer: snapshots of the adapter list and of the interface table with ready-made texts,
// and three small conversions. Every call builds a fresh, independent snapshot, so any thread may
// fetch while another still reads its own.

#include "platform/iphlpapi.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

inline constexpr std::size_t kMaxStoredAddresses = 10;

struct AdapterInfo {
  std::uint32_t index = 0;
  std::string friendlyName;
  std::string adapterName;
  std::uint32_t type = 0;
  std::string typeText;
  std::string adapterName2;
  std::string description;
  std::array<std::uint8_t, 6> mac{};
  std::string macText;
  std::int32_t ipCount = 0;
  std::array<std::uint32_t, kMaxStoredAddresses> ipAddr{};
  std::array<std::uint32_t, kMaxStoredAddresses> ipMask{};
  std::array<std::uint32_t, kMaxStoredAddresses> gateway{};
  std::vector<std::string> ipList, maskList, gatewayList;
  std::uint32_t primaryIdx = 0, primaryIp = 0, primaryMask = 0;
  bool dhcpEnabled = false;
  std::string dhcpServer, leaseObtained, leaseExpires;
  bool haveWins = false;
  std::string primaryWins, secondaryWins;
};

struct InterfaceRow {
  std::string name;
  std::string description;
  std::uint32_t friendlyIndex = 0;
  std::uint32_t type = 0;
  std::string typeText;
  std::uint32_t mtu = 0;
  std::uint32_t speed = 0;
  std::array<std::uint8_t, 6> mac{};
  std::string macText;
  std::uint32_t adminStatus = 0;
  std::string adminStatusText;
  std::uint32_t operStatus = 0;
  std::string operStatusText;
  std::string lastChangeText;
  std::uint32_t inOctets = 0, inUcastPkts = 0, inNUcastPkts = 0, inDiscards = 0, inErrors = 0,
                inUnknownProtos = 0;
  std::uint32_t outOctets = 0, outUcastPkts = 0, outNUcastPkts = 0, outDiscards = 0, outErrors = 0,
                outQLen = 0;
};

// The adapter snapshot; false (list untouched) when the platform list cannot be read. At most as many
// adapters as the platform has interfaces.
bool GetAdapterList(std::vector<AdapterInfo>& adapters);
// The same, empty when the list cannot be read.
std::vector<AdapterInfo> GetAdapterList();

// The interface snapshot, sorted by interface index; false (rows untouched) when the table cannot be
// read. Cheap enough for the transfer phases' once-a-second counter reads.
bool GetInterfaceTable(std::vector<InterfaceRow>& rows);
std::vector<InterfaceRow> GetInterfaceTable();

// The adapter's friendly name in CP950 ("?" for each character CP950 lacks); "0" when the list cannot be
// read, empty for an unknown index.
std::string GetAdapterFriendlyName(std::uint32_t index);

// "%02X:%02X:%02X:%02X:%02X:%02X".
std::string FormatMacAddress(const std::array<std::uint8_t, 6>& mac);
// The text read as the prober reads its hosts (platform::InetAddr): network byte order, 0xFFFFFFFF
// when it is no address.
std::uint32_t ParseIpv4Address(const std::string& dotted);

// Record building from the platform's rows, for the snapshots above and for tests with fixed rows.
InterfaceRow MakeInterfaceRow(const platform::IfRow& row);
AdapterInfo MakeAdapterInfo(const platform::AdapterEntry& entry, std::string friendlyName);
std::string InterfaceTypeText(std::uint32_t type);
std::string AdapterTypeText(std::uint32_t type);
std::string OperStatusText(std::uint32_t status);
std::string AdminStatusText(std::uint32_t status);
// A lease time as "%s %s %02d %02d:%02d:%02d %4d\n" in local time.
std::string LeaseTimeText(std::time_t when);
// The friendly name of the index in an adapter addresses list; empty when no entry has it.
std::string FriendlyNameOf(const std::vector<platform::AdapterAddressEntry>& entries, std::uint32_t index);

} // namespace zelvo
