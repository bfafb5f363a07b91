#pragma once
// IP Helper stand-in: the interface table, the IPv4 adapter list and the route lookup, shaped as the
// Windows calls deliver them (32-bit counters, interface type numbers, status codes). Results are
// Win32-style codes: 0 on success, non-zero on failure. Every call reads the kernel afresh and may run
// on any thread.

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::platform {

inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorNotFound = 1168;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorCannotRead = 1359; // the kernel could not be asked

// Interface type numbers.
inline constexpr std::uint32_t kIfTypeOther = 1;
inline constexpr std::uint32_t kIfTypeEthernet = 6;
inline constexpr std::uint32_t kIfTypePpp = 23;
inline constexpr std::uint32_t kIfTypeLoopback = 24;
inline constexpr std::uint32_t kIfTypeSlip = 28;
inline constexpr std::uint32_t kIfTypeIeee80211 = 71;
inline constexpr std::uint32_t kIfTypeTunnel = 131;

// One row of the interface table.
struct IfRow {
  std::uint32_t index = 0;
  std::uint32_t type = 0;
  std::uint32_t mtu = 0;
  std::uint32_t speed = 0; // bit/s, saturated at 2^32 - 1
  std::uint32_t physAddrLen = 0;
  std::array<std::uint8_t, 8> physAddr{};
  std::uint32_t adminStatus = 0; // 1 up, 2 down
  std::uint32_t operStatus = 0;  // 0 non-operational .. 5 operational
  std::uint32_t lastChange = 0;
  std::uint32_t inOctets = 0, inUcastPkts = 0, inNUcastPkts = 0, inDiscards = 0, inErrors = 0,
                inUnknownProtos = 0;
  std::uint32_t outOctets = 0, outUcastPkts = 0, outNUcastPkts = 0, outDiscards = 0, outErrors = 0,
                outQLen = 0;
  std::uint32_t descrLen = 0;
  std::array<char, 256> descr{};
  std::string ifName; // the kernel's interface name
};

// Whether every wireless link has a type of its own, so that an Ethernet-typed row is wired: true on
// Linux (the kernel marks wireless links, which come out as type 71), false on Windows.
bool WirelessLinksAreTyped();

// Where the /proc and /sys files are read: "" for the real ones; tests give a fixture tree.
void SetKernelFileRoot(const std::string& root);
// Sets row.type and row.speed from the link's ARP hardware type, row.ifName and row.index: the type
// Windows gives the link, and for a PPP link the speed of the Ethernet device carrying its PPPoE
// session. Every row of the table is made this way.
void SetLinkTypeAndSpeed(IfRow& row, unsigned arptype);

// The interface table, sorted by interface index.
std::uint32_t GetIfTable(std::vector<IfRow>& rows);
// The row of row.index; the row is left untouched on failure.
std::uint32_t GetIfEntry(IfRow& row);
// The interface that routes to the IPv4 address (network byte order).
std::uint32_t GetBestInterface(std::uint32_t destination, std::uint32_t& index);
std::uint32_t GetNumberOfInterfaces(std::uint32_t& count);
// The index itself: Linux indexes are already the stable, friendly ones.
std::uint32_t GetFriendlyIfIndex(std::uint32_t index);

struct IpAddrString {
  std::string address; // dotted
  std::string mask;    // dotted
};

// One adapter of the IPv4 adapter list (loopback is not an adapter).
struct AdapterEntry {
  std::string adapterName;
  std::string description;
  std::uint32_t addressLength = 0;
  std::array<std::uint8_t, 8> address{};
  std::uint32_t index = 0;
  std::uint32_t type = 0;
  bool dhcpEnabled = false;
  std::vector<IpAddrString> ipAddresses;
  std::vector<IpAddrString> gateways;
  IpAddrString dhcpServer;
  bool haveWins = false;
  IpAddrString primaryWins, secondaryWins;
  std::time_t leaseObtained = 0, leaseExpires = 0;
};
std::uint32_t GetAdaptersInfo(std::vector<AdapterEntry>& adapters);

// One entry of the adapter addresses list (IPv4 family): the index and the wide friendly name.
struct AdapterAddressEntry {
  std::uint32_t ifIndex = 0;
  std::u16string friendlyName;
};
std::uint32_t GetAdaptersAddresses(std::vector<AdapterAddressEntry>& entries);

// Dotted text to an address in network byte order; 0xFFFFFFFF (INADDR_NONE) when it is not one.
std::uint32_t inet_addr(const std::string& dotted);
// An address in network byte order as dotted text.
std::string inet_ntoa(std::uint32_t address);

// The first IPv4 address of a host name (network byte order); none when it does not resolve.
std::optional<std::uint32_t> ResolveIpv4(const std::string& host);

// Receive queues of the interface (1 when the driver reports none).
std::uint32_t ReceiveQueueCount(std::uint32_t index);

} // namespace zelvo::platform
