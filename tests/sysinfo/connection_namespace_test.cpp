#include "sysinfo/connection.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/tcpsettings.h"

#include "platform/cp950.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"
#include "tests/sysinfo/fakes.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <thread>
#include <unistd.h>

namespace zelvo {
namespace {

// The whole window-side probe on this machine's real stand-ins, inside a namespace of its own.
TEST(ConnectionOnRealLinks, PppoeMarkedVethReportsItsPhysicalPeer) {
  if (!test::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
  test::NetNamespace ns("conn");
  ASSERT_TRUE(ns.ok());
  ASSERT_EQ(ns.run("ip link add zv0 type veth peer name zv1 && ip link set zv0 up && ip link set zv1 up && "
                   "ip addr add 10.77.0.1/24 dev zv0 && ip addr add 10.88.0.1/24 dev zv1 && "
                   "ip link set zv0 mtu 1492 && ip link set zv0 alias \"WAN P.P.P.o.E\""),
            0);
  TestRecord record;
  WindowProfile window;
  window.primaryReference = "10.77.0.50";
  window.alternateReference = "10.88.0.50";
  std::int32_t connected = -1;
  std::thread worker([&] {
    ASSERT_TRUE(ns.enter());
    vGetSystemInfo(record, window);
    connected = iNICConnect(window);
  });
  worker.join();

  EXPECT_EQ(platform::Cp950ToUtf8(record.connectionType).value(), "PPPoE(Enternet300)");
  // Rows: lo, then the two ends in creation order; the route end is zv0.
  EXPECT_EQ(record.nicMtu, 1492u);
  EXPECT_EQ(record.nicDescription, "zv1 (veth)");
  EXPECT_EQ(record.nicRateKbps, 4294967u); // the 32-bit speed saturates at 10 Gbit/s
  EXPECT_EQ(record.localIp, "10.77.0.1");
  EXPECT_EQ(connected, 2);
  EXPECT_GE(record.bestIfPos, 1);
  EXPECT_LE(record.bestIfPos, 2);
  // The parameters end with the route interface's MTU, no WSD value and the seven TCP globals.
  auto tail = "," + std::to_string(record.nicMtu) + ",-1,";
  EXPECT_NE(record.netParameters.find(tail), std::string::npos) << record.netParameters;
  EXPECT_EQ(std::count(record.netParameters.begin(), record.netParameters.end(), ','), 13);
}

std::string rowText(const platform::IfRow& row) {
  return std::string(row.descr.data(), row.descrLen);
}

// Links of every kind on veth pairs, with the kernel's files for them from tests/data/kernel: this
// machine has no 2.5 or 10 GbE card, no wireless one and no PPP.
TEST(ConnectionOnRealLinks, FastUnknownWirelessAndPppoeLinksFromTheKernelFiles) {
  if (!test::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
  namespace fs = std::filesystem;
  test::NetNamespace ns("kfiles");
  ASSERT_TRUE(ns.ok());
  const std::vector<std::string> links = {"zeth10g", "zeth2g5", "zethunk", "zwlan0", "zeth0"};
  std::string command;
  for (std::size_t i = 0; i < links.size(); ++i)
    command += "ip link add " + links[i] + " type veth peer name zpeer" + std::to_string(i) +
               " && ip link set " + links[i] + " up && ip link set zpeer" + std::to_string(i) + " up && ";
  ASSERT_EQ(ns.run(command + "true"), 0);
  fs::path root = fs::temp_directory_path() / ("zelvo-kfiles-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::copy(fs::path(ZELVO_SOURCE_DIR) / "tests/data/kernel", root, fs::copy_options::recursive);

  std::map<std::string, platform::IfRow> rows;
  platform::IfRow ppp;
  std::thread worker([&] {
    ASSERT_TRUE(ns.enter());
    // The files count only for the links of these indexes.
    for (const auto& name : links)
      std::ofstream(root / "sys/class/net" / name / "ifindex") << ::if_nametoindex(name.c_str()) << "\n";
    platform::SetKernelFileRoot(root.string());
    std::vector<platform::IfRow> table;
    ASSERT_EQ(platform::GetIfTable(table), platform::kNoError);
    for (const auto& row : table)
      rows[row.ifName] = row;
    ppp = test::MakeIfRow(900, 0, 0, 1492, "ppp0");
    ppp.ifName = "ppp0";
    platform::SetLinkTypeAndSpeed(ppp, ARPHRD_PPP);
    platform::SetKernelFileRoot("");
  });
  worker.join();
  fs::remove_all(root);

  auto text = [&](const std::string& name) {
    const platform::IfRow& row = rows.at(name);
    return platform::Cp950ToUtf8(
               ConnectionText(ClassifyConnection(row.type, row.speed / 1000, row.mtu, rowText(row), true,
                                                 platform::WirelessLinksAreTyped())))
        .value();
  };
  ASSERT_EQ(rows.size(), 11u);
  EXPECT_EQ(rows["zeth10g"].speed, 0xFFFFFFFFu);
  EXPECT_EQ(text("zeth10g"), "乙太網路介面");
  EXPECT_EQ(rows["zeth2g5"].speed, 2500000000u);
  EXPECT_EQ(text("zeth2g5"), "乙太網路介面");
  EXPECT_EQ(rows["zethunk"].speed, 0u);
  EXPECT_EQ(text("zethunk"), "乙太網路介面");
  EXPECT_EQ(rows["zwlan0"].type, platform::kIfTypeIeee80211);
  EXPECT_EQ(text("zwlan0"), "無線網路介面");
  // The PPP link runs at the speed of the device /proc/net/pppoe names.
  EXPECT_EQ(ppp.type, platform::kIfTypePpp);
  EXPECT_EQ(ppp.speed, 1000000000u);

  // The whole probe over that PPP link: a PPPoE text, its MTU for the upload rules, and the carrier
  // found as the physical adapter.
  test::FakeWindow fake;
  fake.window.isOs6OrLater = true;
  fake.ip.rows = {rows["lo"], rows["zeth0"], ppp};
  fake.ip.adapters = {test::MakeAdapter(rows["zeth0"].index, "zeth0"),
                      test::MakeAdapter(900, "ppp0", {{"100.64.0.2", "255.255.255.255"}})};
  fake.ip.routes[ParseIpv4Address(fake.window.primaryReference)] = 900;
  TestRecord record;
  vGetIpHlpInfo(record, fake.window);
  EXPECT_EQ(platform::Cp950ToUtf8(record.connectionType).value(), "PPPoE(cFOS)");
  EXPECT_EQ(record.nicMtu, 1492u);
  EXPECT_EQ(record.nicDescription, "zeth0 (veth)");
  EXPECT_EQ(record.nicRateKbps, 1000000u);
  EXPECT_EQ(record.localIp, "100.64.0.2");
}

} // namespace
} // namespace zelvo
