#include "platform/iphlpapi.h"
#include "platform/netsh.h"

#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zelvo::platform {
namespace {

using test::NetNamespace;

// Runs the body on a thread of its own inside the namespace, so the test's own thread stays home.
void inside(NetNamespace& ns, const std::function<void()>& body) {
  std::thread worker([&] {
    ASSERT_TRUE(ns.enter());
    body();
  });
  worker.join();
}

const IfRow* rowOf(const std::vector<IfRow>& rows, const std::string& name) {
  for (const auto& row : rows)
    if (row.ifName == name) return &row;
  return nullptr;
}

std::string description(const IfRow& row) {
  return std::string(row.descr.data(), row.descrLen);
}

struct IpHelperNamespace : ::testing::Test {
  std::unique_ptr<NetNamespace> ns;
  void SetUp() override {
    if (!test::isRoot()) GTEST_SKIP() << "needs root for network namespaces";
    ns = std::make_unique<NetNamespace>("iph");
    ASSERT_TRUE(ns->ok());
    ASSERT_EQ(
        ns->run("ip link add zv0 type veth peer name zv1 && ip link set zv0 up && ip link set zv1 up && "
                "ip addr add 10.77.0.1/24 dev zv0 && ip addr add 10.77.0.9/24 dev zv0 && "
                "ip addr add 10.77.0.2/24 dev zv1 && ip link add zd0 type bridge && "
                "ip link set zd0 mtu 1480 && ip addr add 10.78.0.1/16 dev zd0 && "
                "ip route add default via 10.77.0.254 dev zv0"),
        0);
  }
};

TEST_F(IpHelperNamespace, InterfaceTableRowsFromTheKernel) {
  inside(*ns, [] {
    std::vector<IfRow> rows;
    ASSERT_EQ(GetIfTable(rows), kNoError);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(),
                               [](const IfRow& a, const IfRow& b) { return a.index < b.index; }));
    const IfRow* lo = rowOf(rows, "lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_EQ(lo->type, kIfTypeLoopback);
    EXPECT_EQ(lo->operStatus, 5u);
    EXPECT_EQ(lo->mtu, 65536u);
    const IfRow* veth = rowOf(rows, "zv0");
    ASSERT_NE(veth, nullptr);
    EXPECT_EQ(veth->type, kIfTypeEthernet);
    EXPECT_EQ(veth->adminStatus, 1u);
    EXPECT_EQ(veth->operStatus, 5u);
    EXPECT_EQ(veth->physAddrLen, 6u);
    EXPECT_EQ(veth->speed, 0xFFFFFFFFu); // 10 Gbit/s does not fit in 32 bits
    EXPECT_EQ(description(*veth), "zv0 (veth)");
    const IfRow* bridge = rowOf(rows, "zd0");
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->mtu, 1480u);
    EXPECT_EQ(bridge->adminStatus, 2u); // never set up
    EXPECT_EQ(bridge->operStatus, 0u);
    std::uint32_t count = 0;
    ASSERT_EQ(GetNumberOfInterfaces(count), kNoError);
    EXPECT_EQ(count, 4u);
  });
}

TEST_F(IpHelperNamespace, RouteLookupAndSingleRows) {
  inside(*ns, [] {
    std::uint32_t index = 0;
    ASSERT_EQ(GetBestInterface(inet_addr("10.77.0.2"), index), kNoError);
    IfRow row;
    row.index = index;
    ASSERT_EQ(GetIfEntry(row), kNoError);
    // 10.77.0.2 is local (on zv1), so the route lies on the loopback.
    EXPECT_EQ(row.ifName, "lo");
    ASSERT_EQ(GetBestInterface(inet_addr("192.0.2.55"), index), kNoError); // the default route
    row.index = index;
    ASSERT_EQ(GetIfEntry(row), kNoError);
    EXPECT_EQ(row.ifName, "zv0");
  });
  ASSERT_EQ(ns->run("ip route del default"), 0);
  inside(*ns, [] {
    std::uint32_t index = 12345;
    EXPECT_NE(GetBestInterface(inet_addr("192.0.2.55"), index), kNoError);
    EXPECT_EQ(index, 12345u);
  });
}

TEST_F(IpHelperNamespace, AdapterListWithAddressesGatewaysAndNames) {
  ASSERT_EQ(ns->run("ip link set zd0 alias \"WAN Miniport P.P.P.o.E\""), 0);
  inside(*ns, [] {
    std::vector<AdapterEntry> adapters;
    ASSERT_EQ(GetAdaptersInfo(adapters), kNoError);
    ASSERT_EQ(adapters.size(), 4u);
    auto find = [&](const std::string& name) -> const AdapterEntry* {
      for (const auto& a : adapters)
        if (a.adapterName == name) return &a;
      return nullptr;
    };
    // The loopback is listed as a loopback adapter with its address (the test bed's route).
    const AdapterEntry* lo = find("lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_EQ(lo->type, 24u);
    ASSERT_FALSE(lo->ipAddresses.empty());
    EXPECT_EQ(lo->ipAddresses[0].address, "127.0.0.1");
    const AdapterEntry* veth = find("zv0");
    ASSERT_NE(veth, nullptr);
    ASSERT_EQ(veth->ipAddresses.size(), 2u);
    EXPECT_EQ(veth->ipAddresses[0].address, "10.77.0.1");
    EXPECT_EQ(veth->ipAddresses[1].address, "10.77.0.9");
    EXPECT_EQ(veth->ipAddresses[0].mask, "255.255.255.0");
    ASSERT_EQ(veth->gateways.size(), 1u);
    EXPECT_EQ(veth->gateways[0].address, "10.77.0.254");
    EXPECT_FALSE(veth->dhcpEnabled);
    const AdapterEntry* bridge = find("zd0");
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->description, "WAN Miniport P.P.P.o.E");
    EXPECT_EQ(bridge->ipAddresses[0].mask, "255.255.0.0");
    EXPECT_TRUE(bridge->gateways.empty());

    std::vector<AdapterAddressEntry> names;
    ASSERT_EQ(GetAdaptersAddresses(names), kNoError);
    bool named = false;
    for (const auto& entry : names)
      if (entry.ifIndex == veth->index) named = entry.friendlyName == u"zv0";
    EXPECT_TRUE(named);
  });
}

TEST_F(IpHelperNamespace, CountersFollowTrafficAndWrapAsThirtyTwoBits) {
  inside(*ns, [] {
    std::uint32_t index = 0;
    ASSERT_EQ(GetBestInterface(inet_addr("127.0.0.1"), index), kNoError);
    IfRow before;
    before.index = index;
    ASSERT_EQ(GetIfEntry(before), kNoError);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char payload[1000] = {};
    for (int i = 0; i < 100; ++i)
      ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
    IfRow after;
    after.index = index;
    ASSERT_EQ(GetIfEntry(after), kNoError);
    // 100 datagrams of 1000 bytes plus headers, each counted out and in on the loopback.
    EXPECT_GE(static_cast<std::uint32_t>(after.outOctets - before.outOctets), 100000u);
    EXPECT_GE(static_cast<std::uint32_t>(after.inOctets - before.inOctets), 100000u);
    EXPECT_GE(after.outUcastPkts - before.outUcastPkts, 100u);
  });
}

TEST_F(IpHelperNamespace, InterfaceThatDisappearsBetweenReads) {
  inside(*ns, [&] {
    std::vector<IfRow> rows;
    ASSERT_EQ(GetIfTable(rows), kNoError);
    const IfRow* bridge = rowOf(rows, "zd0");
    ASSERT_NE(bridge, nullptr);
    std::uint32_t index = bridge->index;
    ASSERT_EQ(std::system(("ip netns exec " + ns->name() + " ip link del zd0").c_str()), 0);
    IfRow row;
    row.index = index;
    row.mtu = 4242;
    EXPECT_NE(GetIfEntry(row), kNoError);
    EXPECT_EQ(row.mtu, 4242u); // untouched
    ASSERT_EQ(GetIfTable(rows), kNoError);
    EXPECT_EQ(rowOf(rows, "zd0"), nullptr);
    EXPECT_EQ(ReceiveQueueCount(index), 1u);
    IfRow none;
    none.index = 0;
    EXPECT_NE(GetIfEntry(none), kNoError);
  });
}

TEST_F(IpHelperNamespace, SnapshotsFromManyThreadsAtOnce) {
  inside(*ns, [&] {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
          std::vector<IfRow> rows;
          std::vector<AdapterEntry> adapters;
          if (GetIfTable(rows) != kNoError || rows.size() < 3) ++failures;
          if (i % 10 == 0 && GetAdaptersInfo(adapters) != kNoError) ++failures;
        }
      });
    // Links come and go meanwhile.
    for (int i = 0; i < 5; ++i)
      std::system(
          ("ip netns exec " + ns->name() + " sh -c 'ip link add zt0 type bridge; ip link del zt0'").c_str());
    for (auto& thread : threads)
      thread.join();
    EXPECT_EQ(failures.load(), 0);
  });
}

TEST_F(IpHelperNamespace, TcpGlobalsOfTheRouteInterface) {
  inside(*ns, [] {
    std::uint32_t index = 0;
    ASSERT_EQ(GetBestInterface(inet_addr("192.0.2.55"), index), kNoError);
    auto text = RunNetshTcpShowGlobal(index);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->rfind("Querying active state...\r\n\r\nTCP Global Parameters\r\n", 0), 0u);
    EXPECT_NE(text->find("Receive-Side Scaling State          : "), std::string::npos);
    EXPECT_NE(text->find("Add-On Congestion Control Provider  : "), std::string::npos);
  });
}

TEST(IpHelperAddresses, DottedConversions) {
  EXPECT_EQ(inet_ntoa(inet_addr("10.1.2.3")), "10.1.2.3");
  EXPECT_EQ(inet_addr("256.1.1.1"), 0xFFFFFFFFu);
  EXPECT_EQ(ResolveIpv4("127.0.0.1").value_or(0), inet_addr("127.0.0.1"));
}

} // namespace
} // namespace zelvo::platform
