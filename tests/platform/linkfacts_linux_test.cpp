// Link facts read from recorded nl80211 answers and from sysfs trees, and asked of this machine's own
// interfaces (none of which is wireless here).

#include "platform/iphlpapi.h"
#include "platform/linkfacts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace zelvo::platform {
namespace {

std::vector<std::uint8_t> answer(const char* name) {
  std::ifstream in(std::string(ZELVO_SOURCE_DIR) + "/tests/data/nl80211/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LinkFactsNl80211, StationAndInterfaceAnswersGiveTheWirelessFacts) {
  LinkFacts far;
  ASSERT_TRUE(ParseNl80211Station(answer("station-ac-weak.bin"), far));
  ASSERT_TRUE(ParseNl80211Interface(answer("interface-5ghz-80.bin"), far));
  EXPECT_EQ(far.medium, LinkMedium::Wireless);
  EXPECT_EQ(far.rxKbps, 866700u);
  EXPECT_EQ(far.txKbps, 780000u);
  EXPECT_EQ(far.signalDbm, -72); // the average, not the last frame's -73
  EXPECT_EQ(far.standard, "802.11ac");
  EXPECT_EQ(far.band, "5 GHz");
  EXPECT_EQ(far.channelWidthMhz, 80);
  EXPECT_FALSE(far.signalQuality);

  // 802.11n with 16-bit rates only, a driver without a signal average, a 20 MHz 2.4 GHz channel.
  LinkFacts near;
  ASSERT_TRUE(ParseNl80211Station(answer("station-n-near.bin"), near));
  EXPECT_EQ(near.channelWidthMhz, 20); // from the rate flags until the interface says
  ASSERT_TRUE(ParseNl80211Interface(answer("interface-2ghz-20.bin"), near));
  EXPECT_EQ(near.txKbps, 72200u);
  EXPECT_EQ(near.rxKbps, 65000u);
  EXPECT_EQ(near.signalDbm, -48);
  EXPECT_EQ(near.standard, "802.11n");
  EXPECT_EQ(near.band, "2.4 GHz");
  EXPECT_EQ(near.channelWidthMhz, 20);
}

TEST(LinkFactsNl80211, DamagedOrForeignAnswersSetNothing) {
  LinkFacts facts;
  EXPECT_FALSE(ParseNl80211Station(answer("station-cut.bin"), facts));
  EXPECT_FALSE(facts.rxKbps || facts.signalDbm);
  // An interface answer holds no station.
  EXPECT_TRUE(ParseNl80211Station(answer("interface-5ghz-80.bin"), facts));
  EXPECT_EQ(facts.medium, LinkMedium::Unknown);
  EXPECT_TRUE(ParseNl80211Interface({}, facts));
  EXPECT_FALSE(ParseNl80211Interface({8, 0, 38, 0, 0x7c}, facts)); // shorter than its length says
}

TEST(LinkFactsSysfs, SpeedAndDuplexOfTheCardWithThatIndex) {
  const std::string root = std::string(ZELVO_SOURCE_DIR) + "/tests/data/link";
  LinkFacts fast = ReadEthernetSysfs(root, "eth100", 7);
  EXPECT_EQ(fast.medium, LinkMedium::Ethernet);
  EXPECT_EQ(fast.speedKbps, 100000u);
  EXPECT_EQ(fast.fullDuplex, true);
  LinkFacts half = ReadEthernetSysfs(root, "ethhalf", 8);
  EXPECT_EQ(half.speedKbps, 10000u);
  EXPECT_EQ(half.fullDuplex, false);
  // A link that is down says -1 and "unknown".
  LinkFacts down = ReadEthernetSysfs(root, "ethdown", 9);
  EXPECT_FALSE(down.speedKbps || down.fullDuplex);
  // Another namespace's card of the same name, a name that climbs out of the tree.
  EXPECT_FALSE(ReadEthernetSysfs(root, "moved", 3).speedKbps);
  EXPECT_FALSE(ReadEthernetSysfs(root, "../net/eth100", 7).speedKbps);
}

TEST(LinkFactsThisMachine, OnlyEthernetAndWirelessRowsHaveFacts) {
  std::vector<IfRow> rows;
  ASSERT_EQ(GetIfTable(rows), kNoError);
  for (const IfRow& row : rows) {
    LinkFacts facts = ReadLinkFacts(row.index, row.ifName, row.type);
    if (row.type == kIfTypeEthernet) {
      EXPECT_EQ(facts.medium, LinkMedium::Ethernet) << row.ifName;
      // The interface table reads the same sysfs speed.
      if (facts.speedKbps && *facts.speedKbps < 4294967u) {
        EXPECT_EQ(*facts.speedKbps, row.speed / 1000u) << row.ifName;
      }
    } else if (row.type != kIfTypeIeee80211) {
      EXPECT_EQ(facts.medium, LinkMedium::Unknown) << row.ifName;
    }
  }
  // Asked of nl80211 about a card that is no wireless one (whether or not this kernel has nl80211), the
  // answer invents nothing.
  LinkFacts none = ReadLinkFacts(1, "lo", kIfTypeIeee80211);
  EXPECT_EQ(none.medium, LinkMedium::Wireless);
  EXPECT_FALSE(none.rxKbps || none.txKbps || none.signalDbm || none.band || none.standard);
}

} // namespace
} // namespace zelvo::platform
