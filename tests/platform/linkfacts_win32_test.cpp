// Link facts as the Windows build reads them: the WLAN API's current connection (filled here as the
// system fills it) and the machine's own adapters (under Wine: what Wine answers, printed).

#include "platform/iphlpapi.h"
#include "platform/linkfacts.h"
#include "platform/win32detail.h"

#include <windows.h>

#include <wlanapi.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace zelvo::platform {
namespace {

WLAN_CONNECTION_ATTRIBUTES connected(unsigned phy, ULONG quality, ULONG rx, ULONG tx) {
  WLAN_CONNECTION_ATTRIBUTES c{};
  c.isState = wlan_interface_state_connected;
  c.wlanConnectionMode = wlan_connection_mode_profile;
  c.wlanAssociationAttributes.dot11PhyType = static_cast<DOT11_PHY_TYPE>(phy);
  c.wlanAssociationAttributes.wlanSignalQuality = quality;
  c.wlanAssociationAttributes.ulRxRate = rx;
  c.wlanAssociationAttributes.ulTxRate = tx;
  return c;
}

TEST(LinkFactsWlan, CurrentConnectionGivesRatesSignalStandardAndBand) {
  LinkFacts ac = WlanConnectionFacts(connected(8, 56, 866700, 780000), 100ul);
  EXPECT_EQ(ac.medium, LinkMedium::Wireless);
  EXPECT_EQ(ac.rxKbps, 866700u);
  EXPECT_EQ(ac.txKbps, 780000u);
  EXPECT_EQ(ac.signalQuality, 56);
  EXPECT_EQ(ac.signalDbm, -72);
  EXPECT_EQ(ac.standard, "802.11ac");
  EXPECT_EQ(ac.band, "5 GHz");
  EXPECT_FALSE(ac.channelWidthMhz); // the WLAN API does not say

  LinkFacts n = WlanConnectionFacts(connected(7, 100, 72200, 0), 6ul);
  EXPECT_EQ(n.standard, "802.11n");
  EXPECT_EQ(n.band, "2.4 GHz");
  EXPECT_EQ(n.signalDbm, -50);
  EXPECT_FALSE(n.txKbps);
  // 6 GHz channels reuse the lower bands' numbers: an 802.11ax link's band is not guessed.
  EXPECT_FALSE(WlanConnectionFacts(connected(10, 80, 1200000, 1200000), 37ul).band);
  EXPECT_FALSE(WlanConnectionFacts(connected(7, 80, 1, 1), std::nullopt).band);

  WLAN_CONNECTION_ATTRIBUTES idle = connected(8, 90, 866700, 866700);
  idle.isState = wlan_interface_state_disconnected;
  LinkFacts none = WlanConnectionFacts(idle, 36ul);
  EXPECT_EQ(none.medium, LinkMedium::Wireless);
  EXPECT_FALSE(none.rxKbps || none.signalDbm || none.standard);
}

TEST(LinkFactsWlan, TheMachinesAdaptersAnswer) {
  // What the WLAN service says of this machine (Wine: printed for the record).
  HANDLE wlan = nullptr;
  DWORD version = 0;
  const DWORD opened = ::WlanOpenHandle(2, nullptr, &version, &wlan);
  std::printf("WlanOpenHandle: %lu, version %lu\n", opened, version);
  if (opened == ERROR_SUCCESS) {
    PWLAN_INTERFACE_INFO_LIST list = nullptr;
    const DWORD listed = ::WlanEnumInterfaces(wlan, nullptr, &list);
    std::printf("WlanEnumInterfaces: %lu, %lu interfaces\n", listed, list ? list->dwNumberOfItems : 0ul);
    if (list) ::WlanFreeMemory(list);
    ::WlanCloseHandle(wlan, nullptr);
  }
  std::vector<IfRow> rows;
  ASSERT_EQ(GetIfTable(rows), kNoError);
  for (const IfRow& row : rows) {
    LinkFacts facts = ReadLinkFacts(row.index, row.ifName, row.type);
    std::printf("interface %u type %u: medium %d, speed %lld kbit/s, signal %d dBm\n", row.index, row.type,
                static_cast<int>(facts.medium),
                facts.speedKbps ? static_cast<long long>(*facts.speedKbps) : -1LL,
                facts.signalDbm.value_or(0));
    if (row.type != kIfTypeEthernet && row.type != kIfTypeIeee80211) {
      EXPECT_EQ(facts.medium, LinkMedium::Unknown);
    }
  }
}

} // namespace
} // namespace zelvo::platform
