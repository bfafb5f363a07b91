#include "sysinfo/connection.h"

#include "platform/cp950.h"
#include "tests/sysinfo/fakes.h"

#include <gtest/gtest.h>

namespace zelvo {
namespace {

using test::FakeWindow;
using test::MakeAdapter;
using test::MakeIfRow;

std::string utf8(const std::string& cp950) {
  return platform::Cp950ToUtf8(cp950).value_or("?");
}

std::string classify(std::uint32_t type, std::uint32_t kbps, std::uint32_t mtu,
                     const std::string& description, bool os6 = true, bool wirelessTyped = false) {
  return utf8(ConnectionText(ClassifyConnection(type, kbps, mtu, description, os6, wirelessTyped)));
}

TEST(ConnectionType, EthernetTypedInterfaces) {
  EXPECT_EQ(classify(6, 54000, 1500, "Intel Wireless 3945"), "無線網路介面");
  EXPECT_EQ(classify(6, 54000, 1500, "Intel PRO/1000"), "無線網路介面"); // non-standard rate
  EXPECT_EQ(classify(6, 100000, 1500, "Intel PRO/1000"), "乙太網路介面");
  EXPECT_EQ(classify(6, 100001, 1500, "Intel PRO/1000"), "無線網路介面");
  EXPECT_EQ(classify(6, 10000, 1500, "NE2000"), "乙太網路介面");
  EXPECT_EQ(classify(6, 1000000, 1500, "Realtek"), "乙太網路介面");
  EXPECT_EQ(classify(6, 0, 1500, "Realtek"), "無線網路介面");
  // The markers are case-sensitive: lower-case "wireless" is no marker.
  EXPECT_EQ(classify(6, 100000, 1500, "generic wireless lan"), "乙太網路介面");
  EXPECT_EQ(classify(6, 1000000, 1500, "Realtek WiFi"), "無線網路介面");
  EXPECT_EQ(classify(6, 1000000, 1492, "WAN Miniport P.P.P.o.E"), "PPPoE(Enternet300)");
  // The PPPoE marker wins over a wireless marker.
  EXPECT_EQ(classify(6, 1000000, 1492, "P.P.P.o.E over Wireless"), "PPPoE(Enternet300)");
}

TEST(ConnectionType, PppByRateMtuAndPlatform) {
  EXPECT_EQ(classify(23, 100000, 1480, "WAN PPP", true), "PPPoE(Windows 內建)");
  EXPECT_EQ(classify(23, 100000, 1480, "WAN PPP", false), "PPPoE(Windows 內建)");
  EXPECT_EQ(classify(23, 100000, 1492, "WAN PPP", true), "PPPoE(cFOS)");
  EXPECT_EQ(classify(23, 100000, 1492, "WAN PPP", false), "PPPoE(Raspppoe)");
  EXPECT_EQ(classify(23, 10000, 1481, "WAN PPP", false), "PPPoE(Raspppoe)");
  // The MTU comparison is unsigned: all bits set is above 1480.
  EXPECT_EQ(classify(23, 100000, 0xFFFFFFFFu, "WAN PPP", true), "PPPoE(cFOS)");
  EXPECT_EQ(classify(23, 0, 1480, "WAN PPP"), "其他撥號網路");
  EXPECT_EQ(classify(23, 0, 9000, "WAN PPP"), "其他撥號網路");
  EXPECT_EQ(classify(23, 56, 1500, "Modem"), "其他撥號網路");
}

TEST(ConnectionType, FastAndUnknownRatesOfWiredLinks) {
  // 2.5 GbE and anything from 5 Gbit/s (saturated in 32 bits) are Ethernet rates, for PPP too.
  EXPECT_EQ(classify(6, 2500000, 1500, "Intel I225"), "乙太網路介面");
  EXPECT_EQ(classify(6, 4294967, 1500, "Intel X710"), "乙太網路介面");
  EXPECT_EQ(classify(23, 2500000, 1492, "ppp0", false), "PPPoE(Raspppoe)");
  EXPECT_EQ(classify(23, 4294967, 1480, "ppp0"), "PPPoE(Windows 內建)");
  EXPECT_EQ(classify(6, 4294966, 1500, "Intel X710"), "無線網路介面");
  // Where wireless links have their own type, an Ethernet-typed one is wired at any rate.
  for (std::uint32_t kbps : {0u, 54000u, 4294966u})
    EXPECT_EQ(classify(6, kbps, 1500, "virtio", true, true), "乙太網路介面") << kbps;
  EXPECT_EQ(classify(6, 0, 1500, "zv0 Wi-Fi (veth)", true, true), "無線網路介面");
  EXPECT_EQ(classify(6, 0, 1492, "P.P.P.o.E", true, true), "PPPoE(Enternet300)");
}

TEST(ConnectionType, OtherInterfaceTypes) {
  EXPECT_EQ(classify(71, 54000, 1500, "Atheros AR9285"), "其他網路介面");
  EXPECT_EQ(classify(71, 54000, 1500, "Atheros 802.11n"), "無線網路介面");
  EXPECT_EQ(classify(71, 54000, 1500, "Intel Wi-Fi 6 AX201"), "無線網路介面");
  EXPECT_EQ(classify(24, 0, 65536, "Software Loopback"), "其他網路介面");
  EXPECT_EQ(classify(131, 100000, 1400, "Tunnel"), "其他網路介面");
}

TEST(ConnectionType, TextsAreCp950Bytes) {
  // "乙太網路介面" is six double-byte characters in CP950.
  EXPECT_EQ(ConnectionText(ConnectionKind::Ethernet).size(), 12u);
  EXPECT_EQ(ConnectionText(ConnectionKind::Ethernet), platform::Utf8ToCp950("乙太網路介面").value());
  EXPECT_EQ(ConnectionText(ConnectionKind::PppoeBuiltIn).substr(0, 14), "PPPoE(Windows ");
}

struct ConnectionProfile : ::testing::Test {
  FakeWindow fake;
  TestRecord record;
  std::uint32_t primary() const { return ParseIpv4Address(fake.window.primaryReference); }
  std::uint32_t alternate() const { return ParseIpv4Address(fake.window.alternateReference); }

  void SetUp() override {
    fake.ip.rows = {MakeIfRow(1, 24, 10000000, 1500, "Software Loopback Interface 1"),
                    MakeIfRow(11, 6, 100000000, 1500, "Realtek PCIe GBE", 5),
                    MakeIfRow(12, 71, 54000000, 1500, "Atheros 802.11n", 2),
                    MakeIfRow(30, 23, 100000000, 1480, "WAN Miniport (PPPOE)", 5)};
    fake.ip.adapters = {
        MakeAdapter(11, "{GUID-ETH}", {{"192.168.1.10", "255.255.255.0"}}), MakeAdapter(12, "{GUID-WLAN}"),
        MakeAdapter(30, "{GUID-PPP}", {{"61.64.1.2", "255.255.255.255"}, {"10.1.1.1", "255.0.0.0"}})};
  }
};

TEST_F(ConnectionProfile, EthernetRouteFillsEveryValue) {
  fake.ip.routes[primary()] = 11;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 1);
  EXPECT_EQ(record.nicRateKbps, 100000u);
  EXPECT_EQ(record.nicMtu, 1500u);
  EXPECT_EQ(record.nicDescription, "Realtek PCIe GBE");
  EXPECT_EQ(utf8(record.connectionType), "乙太網路介面");
  EXPECT_EQ(record.localIp, "192.168.1.10");
  EXPECT_EQ(fake.window.routeIfIndex, 11u);
}

TEST_F(ConnectionProfile, EthernetTypedRowAtAnOddRateByThePlatformsRule) {
  // Windows drivers present many wireless adapters as Ethernet, so there an odd rate means wireless;
  // on Linux the kernel types wireless links itself and an Ethernet-typed link is wired.
#ifdef _WIN32
  const char* expected = "無線網路介面";
#else
  const char* expected = "乙太網路介面";
#endif
  for (std::uint32_t bits : {54000000u, 100001000u}) {
    fake.ip.rows[1] = MakeIfRow(11, 6, bits, 1500, "Realtek PCIe GBE", 5);
    fake.ip.routes[primary()] = 11;
    vGetIpHlpInfo(record, fake.window);
    EXPECT_EQ(utf8(record.connectionType), expected) << bits;
  }
}

TEST_F(ConnectionProfile, AlternateAddressIsAskedOnlyWhenThePrimaryFails) {
  fake.ip.routes[alternate()] = 11;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(fake.ip.bestInterfaceCalls, 2);
  EXPECT_EQ(record.localIp, "192.168.1.10");

  FakeWindow other;
  other.ip.rows = fake.ip.rows;
  other.ip.routes[ParseIpv4Address(other.window.primaryReference)] = 11;
  other.ip.routes[ParseIpv4Address(other.window.alternateReference)] = 30;
  TestRecord second;
  vGetIpHlpInfo(second, other.window);
  EXPECT_EQ(other.ip.bestInterfaceCalls, 1);
  EXPECT_EQ(second.nicDescription, "Realtek PCIe GBE");
}

TEST_F(ConnectionProfile, ReferencesAreReadAsTheProberReadsItsHosts) {
  // inet_addr would take these (as 10.0.0.1, 127.0.0.1, 8.0.0.1 and the broadcast address) and the
  // route lookup would then measure an interface the prober never pings.
  for (const char* text : {"10.1", "0x7f.0.0.1", "010.0.0.1", "255.255.255.255", " 192.168.1.1"}) {
    FakeWindow other;
    other.ip.rows = fake.ip.rows;
    other.ip.adapters = fake.ip.adapters;
    other.window.primaryReference = text;
    other.ip.routes[ParseIpv4Address(other.window.alternateReference)] = 30;
    TestRecord second;
    vGetIpHlpInfo(second, other.window);
    EXPECT_EQ(other.ip.bestInterfaceCalls, 1) << text; // only the alternate was asked
    EXPECT_EQ(other.window.routeIfIndex, 30u) << text;
  }
}

TEST_F(ConnectionProfile, NoRouteResetsOnlyTheMtu) {
  record.nicMtu = 1500;
  record.nicDescription = "from the last test";
  record.localIp = "10.9.9.9";
  record.bestIfPos = 3;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.nicMtu, 0xFFFFFFFFu);
  EXPECT_EQ(record.nicDescription, "from the last test");
  EXPECT_EQ(record.localIp, "10.9.9.9");
  EXPECT_EQ(record.bestIfPos, 3);
}

TEST_F(ConnectionProfile, PositionSearchPrefersLaterRowsAndFindsTheFirstOnlyAsALastResort) {
  // The first row is looked at only when no later row carries the route: on this platform it is
  // the loopback that carries the test bed's traffic, and its counters must be readable.
  fake.ip.routes[primary()] = 1;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 0);
  EXPECT_EQ(record.nicDescription, "Software Loopback Interface 1");

  fake.ip.routes[primary()] = 30;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 3);

  // A route interface the table does not list also gives the row count.
  fake.ip.routes[primary()] = 99;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 4);
}

TEST_F(ConnectionProfile, EmptyOrFailedTableGivesPositionOne) {
  fake.ip.routes[primary()] = 11;
  fake.ip.tableFails = true;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 1);
  // The row itself is still read by index.
  EXPECT_EQ(record.nicDescription, "Realtek PCIe GBE");
}

TEST_F(ConnectionProfile, InterfaceThatVanishesAfterTheRouteLookupKeepsThePreviousValues) {
  fake.ip.routes[primary()] = 11;
  fake.ip.vanished = {11};
  record.nicDescription = "earlier";
  record.connectionType = "earlier";
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.bestIfPos, 1);
  EXPECT_EQ(record.nicMtu, 0xFFFFFFFFu);
  EXPECT_EQ(record.nicDescription, "earlier");
  EXPECT_EQ(record.connectionType, "earlier");
}

TEST_F(ConnectionProfile, PppoeReportsThePhysicalAdapterThatIsUp) {
  fake.ip.routes[primary()] = 30;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(utf8(record.connectionType), "PPPoE(Windows 內建)");
  // The wireless adapter is disconnected; the Ethernet one is up at 100 Mbit/s.
  EXPECT_EQ(record.nicDescription, "Realtek PCIe GBE");
  EXPECT_EQ(record.nicRateKbps, 100000u);
  EXPECT_EQ(record.nicMtu, 1480u);
  EXPECT_EQ(record.localIp, "61.64.1.2");
}

TEST_F(ConnectionProfile, PppoeWithoutAnotherAdapterUpKeepsItsOwnRow) {
  fake.ip.rows[1].operStatus = 2;
  fake.ip.rows[3].speed = 1000000000;
  fake.ip.rows[3].mtu = 1492;
  fake.window.isOs6OrLater = true;
  fake.ip.routes[primary()] = 30;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(utf8(record.connectionType), "PPPoE(cFOS)");
  EXPECT_EQ(record.nicDescription, "WAN Miniport (PPPOE)");
  EXPECT_EQ(record.nicRateKbps, 1000000u);
}

TEST_F(ConnectionProfile, PhysicalSearchTakesTheFirstAdapterInListOrderAndConnectedCounts) {
  fake.ip.rows[1].operStatus = 2;
  fake.ip.rows[2].operStatus = 4; // Connected
  fake.ip.routes[primary()] = 30;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.nicDescription, "Atheros 802.11n");
  EXPECT_EQ(record.nicRateKbps, 54000u);
}

TEST_F(ConnectionProfile, RouteAdapterMissingFromTheListKeepsLocalIp) {
  fake.ip.routes[primary()] = 1; // loopback is no adapter
  record.localIp = "kept";
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.localIp, "kept");
  fake.ip.routes[primary()] = 12; // an adapter without addresses
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.localIp, "");
}

TEST_F(ConnectionProfile, RatesAreIntegerKilobits) {
  fake.ip.rows[1].speed = 999;
  fake.ip.routes[primary()] = 11;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.nicRateKbps, 0u);
  fake.ip.rows[1].speed = 1000000000;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(record.nicRateKbps, 1000000u);
}

TEST_F(ConnectionProfile, ConnectedAdapterCountAndStatusWords) {
  fake.ip.rows[1].operStatus = 4;
  EXPECT_EQ(szGetAdapterConnectStatus(11, fake.window), "CONNECTED");
  EXPECT_EQ(szGetAdapterConnectStatus(12, fake.window), "DISCONNECTED");
  EXPECT_EQ(szGetAdapterConnectStatus(999, fake.window), "NON OPERATIONAL");
  fake.ip.rows[2].operStatus = 9;
  EXPECT_EQ(szGetAdapterConnectStatus(12, fake.window), "UNKNOWN");
  fake.ip.rows[2].operStatus = 3;
  EXPECT_EQ(szGetAdapterConnectStatus(12, fake.window), "CONNECTING");
  EXPECT_EQ(iNICConnect(fake.window), 2); // 11 connected, 30 operational, 12 connecting

  fake.ip.adapters = {MakeAdapter(11, "a"), MakeAdapter(12, "b")};
  fake.ip.rows[2].operStatus = 2;
  EXPECT_EQ(iNICConnect(fake.window), 1);
  // A loopback that is up is no network connection.
  fake.ip.adapters = {MakeAdapter(11, "lo")};
  fake.ip.adapters[0].type = 24;
  EXPECT_EQ(iNICConnect(fake.window), 0);
  fake.ip.adaptersFail = true;
  EXPECT_EQ(iNICConnect(fake.window), 0);
}

TEST(HostNames, LocalNamesResolveAndUnknownGivesNoText) {
  WindowProfile window;
  EXPECT_EQ(getIPByName("localhost", window).value_or(""), "127.0.0.1");
  EXPECT_EQ(getIPByName("127.0.0.2", window).value_or(""), "127.0.0.2");
  FakeWindow unresolved; // a name the resolver does not know
  EXPECT_FALSE(getIPByName("zelvo-test", unresolved.window).has_value());
}

} // namespace
} // namespace zelvo
