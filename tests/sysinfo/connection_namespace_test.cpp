#include "sysinfo/connection.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/tcpsettings.h"

#include "platform/cp950.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <thread>

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

} // namespace
} // namespace zelvo
