// Link facts on Windows: the WLAN API's current connection for a wireless adapter, the interface's
// link speed (GetIfEntry2) for any other. Windows says nothing of duplex there, so it stays unknown.

#include "platform/iphlpapi.h"
#include "platform/linkfacts.h"
#include "platform/win32detail.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>
#include <wlanapi.h>

#include <cstring>

namespace zelvo::platform {

namespace {

// DOT11_PHY_TYPE values newer than the headers' list.
constexpr unsigned kPhyVht = 8, kPhyHe = 10, kPhyEht = 11;

std::optional<std::string> standardOf(unsigned phy) {
  switch (phy) {
  case dot11_phy_type_ofdm:
    return "802.11a";
  case dot11_phy_type_hrdsss:
    return "802.11b";
  case dot11_phy_type_erp:
    return "802.11g";
  case dot11_phy_type_ht:
    return "802.11n";
  case kPhyVht:
    return "802.11ac";
  case kPhyHe:
    return "802.11ax";
  case kPhyEht:
    return "802.11be";
  default:
    return std::nullopt;
  }
}

struct WlanHandle {
  HANDLE handle = nullptr;
  ~WlanHandle() {
    if (handle) ::WlanCloseHandle(handle, nullptr);
  }
};

// The wireless facts of the interface with this GUID; none when it is no WLAN interface (or the WLAN
// service does not run).
std::optional<LinkFacts> wlanFacts(const GUID& guid) {
  WlanHandle wlan;
  DWORD version = 0;
  if (::WlanOpenHandle(2, nullptr, &version, &wlan.handle) != ERROR_SUCCESS) return std::nullopt;
  PWLAN_INTERFACE_INFO_LIST list = nullptr;
  if (::WlanEnumInterfaces(wlan.handle, nullptr, &list) != ERROR_SUCCESS || !list) return std::nullopt;
  bool found = false;
  for (DWORD i = 0; i < list->dwNumberOfItems; ++i)
    if (std::memcmp(&list->InterfaceInfo[i].InterfaceGuid, &guid, sizeof guid) == 0) found = true;
  ::WlanFreeMemory(list);
  if (!found) return std::nullopt;

  LinkFacts facts;
  facts.medium = LinkMedium::Wireless;
  DWORD size = 0;
  PVOID data = nullptr;
  if (::WlanQueryInterface(wlan.handle, &guid, wlan_intf_opcode_current_connection, nullptr, &size, &data,
                           nullptr) != ERROR_SUCCESS ||
      !data)
    return facts;
  std::optional<unsigned long> channel;
  PVOID channelData = nullptr;
  DWORD channelSize = 0;
  if (::WlanQueryInterface(wlan.handle, &guid, wlan_intf_opcode_channel_number, nullptr, &channelSize,
                           &channelData, nullptr) == ERROR_SUCCESS &&
      channelData && channelSize >= sizeof(ULONG)) {
    channel = *static_cast<ULONG*>(channelData);
  }
  if (size >= sizeof(WLAN_CONNECTION_ATTRIBUTES))
    facts = WlanConnectionFacts(*static_cast<WLAN_CONNECTION_ATTRIBUTES*>(data), channel);
  ::WlanFreeMemory(data);
  if (channelData) ::WlanFreeMemory(channelData);
  return facts;
}

} // namespace

LinkFacts WlanConnectionFacts(const WLAN_CONNECTION_ATTRIBUTES& connection,
                              std::optional<unsigned long> channel) {
  LinkFacts facts;
  facts.medium = LinkMedium::Wireless;
  if (connection.isState != wlan_interface_state_connected) return facts;
  const WLAN_ASSOCIATION_ATTRIBUTES& a = connection.wlanAssociationAttributes;
  // Both rates are in kbit/s; 0 where the driver gives none.
  if (a.ulRxRate) facts.rxKbps = a.ulRxRate;
  if (a.ulTxRate) facts.txKbps = a.ulTxRate;
  facts.signalQuality = static_cast<int>(a.wlanSignalQuality > 100 ? 100 : a.wlanSignalQuality);
  facts.signalDbm = SignalQualityToDbm(*facts.signalQuality);
  const unsigned phy = static_cast<unsigned>(a.dot11PhyType);
  facts.standard = standardOf(phy);
  // 6 GHz channels reuse the numbers of the other two bands: the band is told only for older PHYs.
  if (channel && phy != kPhyHe && phy != kPhyEht) {
    if (*channel >= 1 && *channel <= 14)
      facts.band = "2.4 GHz";
    else if (*channel >= 32 && *channel <= 177)
      facts.band = "5 GHz";
  }
  return facts;
}

LinkFacts ReadLinkFacts(std::uint32_t ifIndex, const std::string&, std::uint32_t ifType) {
  // Many wireless drivers present themselves as Ethernet: the WLAN API decides which it is.
  if (ifType != kIfTypeEthernet && ifType != kIfTypeIeee80211) return {};
  MIB_IF_ROW2 row{};
  row.InterfaceIndex = ifIndex;
  if (::GetIfEntry2(&row) != NO_ERROR) return {};
  if (std::optional<LinkFacts> wireless = wlanFacts(row.InterfaceGuid)) return *wireless;
  LinkFacts facts;
  facts.medium = LinkMedium::Ethernet;
  // bit/s; the unknown speed is all ones.
  const ULONG64 speed =
      row.ReceiveLinkSpeed < row.TransmitLinkSpeed ? row.ReceiveLinkSpeed : row.TransmitLinkSpeed;
  if (speed > 0 && speed != ~ULONG64{0}) facts.speedKbps = speed / 1000;
  return facts;
}

} // namespace zelvo::platform
