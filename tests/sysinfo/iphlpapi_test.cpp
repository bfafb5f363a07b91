#include "sysinfo/iphlpapi.h"

#include "tests/sysinfo/fakes.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace zelvo {
namespace {

using test::MakeAdapter;
using test::MakeIfRow;

TEST(IpHelperTexts, MacAddressIsUpperCaseColonSeparated) {
  EXPECT_EQ(FormatMacAddress({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), "00:1A:2B:3C:4D:5E");
  EXPECT_EQ(FormatMacAddress({0xff, 0xfe, 0x0a, 0x00, 0x01, 0xb0}), "FF:FE:0A:00:01:B0");
}

TEST(IpHelperTexts, StatusAndTypeTextsOfRowsAndAdapters) {
  EXPECT_EQ(OperStatusText(5), "Operational");
  EXPECT_EQ(OperStatusText(4), "Connected");
  EXPECT_EQ(OperStatusText(0), "Non-operational");
  EXPECT_EQ(OperStatusText(7), "Unknown");
  EXPECT_EQ(AdminStatusText(1), "Enabled (1)");
  EXPECT_EQ(AdminStatusText(3), "Testing (3)");
  EXPECT_EQ(AdminStatusText(0), "Unknown");
  EXPECT_EQ(InterfaceTypeText(23), "Point-to-Point");
  EXPECT_EQ(InterfaceTypeText(71), "Unknown");
  EXPECT_EQ(AdapterTypeText(71), "Other Adapter");
  EXPECT_EQ(AdapterTypeText(24), "Loopback Adapter");
}

TEST(IpHelperTexts, Ipv4ParsingGivesNetworkOrderAndNoneForNonsense) {
  std::uint32_t address = ParseIpv4Address("192.168.1.10");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[3], 10);
  EXPECT_EQ(ParseIpv4Address("not an address"), 0xFFFFFFFFu);
  EXPECT_EQ(platform::inet_ntoa(ParseIpv4Address("10.0.0.5")), "10.0.0.5");
}

TEST(InterfaceRows, DescriptionEndsAtLengthOrZeroByte) {
  platform::IfRow row = MakeIfRow(3, 6, 100000000, 1500, "Intel Gigabit");
  row.descrLen = 5;
  EXPECT_EQ(MakeInterfaceRow(row).description, "Intel");
  row = MakeIfRow(3, 6, 100000000, 1500, std::string("Real\0Junk", 9));
  InterfaceRow made = MakeInterfaceRow(row);
  EXPECT_EQ(made.description, "Real");
  EXPECT_EQ(made.name, "Real");
  // A length beyond the buffer never reads past it.
  row.descrLen = 100000;
  row.descr.fill('x');
  EXPECT_EQ(MakeInterfaceRow(row).description.size(), row.descr.size());
}

TEST(InterfaceRows, CountersAndFieldsAreCarriedOver) {
  platform::IfRow row = MakeIfRow(7, 23, 54000000, 1492, "PPP link", 4);
  row.inOctets = 0xFFFFFFF0u;
  row.outOctets = 12345;
  row.physAddr = {1, 2, 3, 4, 5, 6, 7, 8};
  row.lastChange = 4000000000u;
  InterfaceRow made = MakeInterfaceRow(row);
  EXPECT_EQ(made.friendlyIndex, 7u);
  EXPECT_EQ(made.typeText, "Point-to-Point");
  EXPECT_EQ(made.operStatusText, "Connected");
  EXPECT_EQ(made.inOctets, 0xFFFFFFF0u);
  EXPECT_EQ(made.outOctets, 12345u);
  EXPECT_EQ(made.macText, "01:02:03:04:05:06");
  EXPECT_EQ(made.lastChangeText, "4000000000");
}

TEST(AdapterRecords, PrimaryAddressIsTheLastInTheFirstGatewaysSubnet) {
  auto entry = MakeAdapter(4, "eth0", {{"10.0.0.5", "255.0.0.0"}, {"192.168.1.10", "255.255.255.0"}},
                           {{"192.168.1.1", "255.255.255.255"}});
  AdapterInfo info = MakeAdapterInfo(entry, "eth0");
  EXPECT_EQ(info.primaryIdx, 1u);
  EXPECT_EQ(info.primaryIp, ParseIpv4Address("192.168.1.10"));
  EXPECT_EQ(info.primaryMask, ParseIpv4Address("255.255.255.0"));
  ASSERT_EQ(info.ipList.size(), 2u);
  EXPECT_EQ(info.ipList.front(), "10.0.0.5");
  EXPECT_EQ(info.maskList.back(), "255.255.255.0");
  EXPECT_EQ(info.gatewayList, std::vector<std::string>{"192.168.1.1"});
  EXPECT_EQ(info.typeText, "Ethernet Adapter");
  EXPECT_EQ(info.adapterName2, "eth0");

  // Without a gateway the subnet test compares against 0.0.0.0: only a 0.0.0.0/x address matches.
  AdapterInfo noGateway = MakeAdapterInfo(MakeAdapter(4, "eth0", {{"10.0.0.5", "255.0.0.0"}}), "eth0");
  EXPECT_EQ(noGateway.primaryIdx, 0u);
  EXPECT_EQ(noGateway.primaryIp, 0u);
}

TEST(AdapterRecords, MoreThanTenAddressesAreCountedAndListedButTenStored) {
  std::vector<platform::IpAddrString> addresses;
  for (int i = 1; i <= 12; ++i)
    addresses.push_back({"10.0.0." + std::to_string(i), "255.255.255.0"});
  std::vector<platform::IpAddrString> gateways;
  for (int i = 1; i <= 11; ++i)
    gateways.push_back({"10.0.0." + std::to_string(200 + i), "255.255.255.255"});
  AdapterInfo info = MakeAdapterInfo(MakeAdapter(2, "eth1", addresses, gateways), "eth1");
  EXPECT_EQ(info.ipCount, 12);
  EXPECT_EQ(info.ipList.size(), 12u);
  EXPECT_EQ(info.ipList[11], "10.0.0.12");
  EXPECT_EQ(info.ipAddr[9], ParseIpv4Address("10.0.0.10"));
  EXPECT_EQ(info.gatewayList.size(), 11u);
  // Only stored addresses take part in the primary search: the last stored one, index 9.
  EXPECT_EQ(info.primaryIdx, 9u);
}

TEST(AdapterRecords, NoAddressesAndLeaseTextsOnlyWithDhcp) {
  AdapterInfo bare = MakeAdapterInfo(MakeAdapter(5, "wlan0"), "wlan0");
  EXPECT_EQ(bare.ipCount, 0);
  EXPECT_TRUE(bare.ipList.empty());
  EXPECT_TRUE(bare.leaseObtained.empty());

  ::setenv("TZ", "UTC", 1);
  ::tzset();
  auto entry = MakeAdapter(5, "wlan0", {{"192.168.0.20", "255.255.255.0"}});
  entry.dhcpEnabled = true;
  entry.dhcpServer.address = "192.168.0.1";
  entry.leaseObtained = 1700000000; // Tue Nov 14 22:13:20 2023 UTC
  entry.leaseExpires = 1700086400;
  AdapterInfo dhcp = MakeAdapterInfo(entry, "wlan0");
  EXPECT_EQ(dhcp.dhcpServer, "192.168.0.1");
  EXPECT_EQ(dhcp.leaseObtained, "Tue Nov 14 22:13:20 2023\n");
  EXPECT_EQ(dhcp.leaseExpires, "Wed Nov 15 22:13:20 2023\n");
  EXPECT_EQ(LeaseTimeText(0), "Thu Jan 01 00:00:00 1970\n");
}

TEST(AdapterRecords, FriendlyNameLookup) {
  std::vector<platform::AdapterAddressEntry> entries = {{1, u"lo"}, {2, u"eth0"}, {3, u"Wi\u2011Fi \u4E59"}};
  EXPECT_EQ(FriendlyNameOf(entries, 2), "eth0");
  // The ANSI conversion: one character CP950 lacks becomes "?", the rest stays.
  EXPECT_EQ(FriendlyNameOf(entries, 3), "Wi?Fi \xA4\x41");
  EXPECT_EQ(FriendlyNameOf(entries, 9), "");
  // The real list: an index no adapter has gives an empty text.
  EXPECT_EQ(GetAdapterFriendlyName(0x7FFFFFF0u), "");
}

} // namespace
} // namespace zelvo
