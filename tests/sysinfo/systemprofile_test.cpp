#include "sysinfo/systemprofile.h"

#include "platform/cp950.h"
#include "sysinfo/iphlpapi.h"
#include "tests/sysinfo/fakecom.h"
#include "tests/sysinfo/fakes.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace zelvo {
namespace {

using test::FakeCom;
using test::FakeKernel;
using test::FakeWindow;
using test::Null;
using test::Object;
using test::Text;

struct EngineProfile : ::testing::Test {
  FakeCom com;
  FakeKernel kernel;
  TestRecord record;
  bool osIsNt6 = false;

  void SetUp() override {
    kernel.osVersion = platform::OsVersionInfo{6, 1, 7601};
    com.spaces["root\\CIMV2"]["Win32_OperatingSystem"] = {
        Object({Text("Caption", "Microsoft Windows 7"), Null("CSDVersion"), Text("SystemDrive", "C:")})};
    com.spaces["root\\SecurityCenter2"]["AntiVirusProduct"] = {};
    com.spaces["root\\SecurityCenter"]["AntiVirusProduct"] = {};
    com.spaces["root\\CIMV2"]["Win32_Processor"] = {Object({Text("Name", "CPU zero")}),
                                                    Object({Text("Name", "CPU one")})};
    com.spaces["root\\CIMV2"]["Win32_LogicalDisk"] = {
        Object({Text("Caption", "A:"), Text("FreeSpace", "999")}),
        Object({Text("Caption", "C:"), Text("Size", "5"), Text("FreeSpace", "1610612736")}),
        Object({Text("Caption", "D:"), Text("FreeSpace", "1073741824")})};
  }
  void run() { RunEngineSystemProfile(record, osIsNt6, EngineProfileSources{&com, &kernel}); }
};

TEST_F(EngineProfile, FillsEveryValueInOrder) {
  run();
  EXPECT_EQ(record.osCaption, "Microsoft Windows 7");
  EXPECT_EQ(record.csdVersion, "(Null)");
  EXPECT_EQ(record.antivirus, "null");
  EXPECT_EQ(record.cpuName, "CPU zero");
  EXPECT_EQ(record.systemDrive, "C:");
  EXPECT_FLOAT_EQ(record.diskFreeGb, 1.5f);
  EXPECT_TRUE(osIsNt6);
  std::vector<std::string> expected = {
      "root\\CIMV2|Select * from Win32_OperatingSystem",
      "root\\SecurityCenter2|Select * from AntiVirusProduct", "root\\CIMV2|Select * from Win32_Processor",
      "root\\CIMV2|Select * from Win32_OperatingSystem", "root\\CIMV2|Select * from Win32_LogicalDisk"};
  EXPECT_EQ(com.queries, expected);
  EXPECT_EQ(com.initCount, 0); // COM left again
}

TEST_F(EngineProfile, ServicePackAndAntivirusProducts) {
  com.spaces["root\\CIMV2"]["Win32_OperatingSystem"] = {
      Object({Text("Caption", "Microsoft Windows XP"), Text("CSDVersion", "Service Pack 3")})};
  com.spaces["root\\SecurityCenter2"]["AntiVirusProduct"] = {Object({Text("displayName", "A")}),
                                                             Object({Text("displayName", "B")})};
  run();
  EXPECT_EQ(record.osCaption, "Microsoft Windows XP Service Pack 3");
  EXPECT_EQ(record.antivirus, "A,B");
}

TEST_F(EngineProfile, MissingServicePackPropertyAddsNoSpace) {
  com.spaces["root\\CIMV2"]["Win32_OperatingSystem"] = {Object({Text("Caption", "Some OS")})};
  run();
  EXPECT_EQ(record.osCaption, "Some OS");
}

TEST_F(EngineProfile, SecurityNamespaceByPlatformVersion) {
  EXPECT_EQ(SecurityCenterNamespace(6, 0), "root\\SecurityCenter");
  EXPECT_EQ(SecurityCenterNamespace(6, 1), "root\\SecurityCenter2");
  EXPECT_EQ(SecurityCenterNamespace(6, 18), "root\\SecurityCenter2");
  EXPECT_EQ(SecurityCenterNamespace(5, 1), "root\\SecurityCenter");
  EXPECT_EQ(SecurityCenterNamespace(10, 0), "root\\SecurityCenter");
  kernel.osVersion = platform::OsVersionInfo{5, 1, 2600};
  run();
  EXPECT_FALSE(osIsNt6);
  EXPECT_EQ(com.queries[1], "root\\SecurityCenter|Select * from AntiVirusProduct");
}

TEST_F(EngineProfile, FailedAntivirusQueryEndsTheChain) {
  com.spaces.erase("root\\SecurityCenter2");
  record.cpuName = "earlier";
  run();
  EXPECT_EQ(record.osCaption, "Microsoft Windows 7");
  EXPECT_EQ(record.cpuName, "earlier");
  EXPECT_EQ(record.systemDrive, "");
  EXPECT_EQ(com.queries.size(), 1u);
  EXPECT_TRUE(osIsNt6);
}

TEST_F(EngineProfile, FailedCaptionQueryGoesOnAndFailedVersionStops) {
  com.spaces["root\\CIMV2"].erase("Win32_OperatingSystem");
  run();
  EXPECT_EQ(record.osCaption, "null");
  EXPECT_EQ(record.cpuName, "CPU zero");
  EXPECT_EQ(record.systemDrive, ""); // the second operating-system query failed too

  TestRecord second;
  bool nt6 = false;
  kernel.osVersion.reset();
  RunEngineSystemProfile(second, nt6, EngineProfileSources{&com, &kernel});
  EXPECT_FALSE(nt6);
  EXPECT_EQ(second.cpuName, "");
}

TEST_F(EngineProfile, ComStartFailureLeavesNullTexts) {
  com.initResult = static_cast<platform::HResult>(0x80010106u);
  record.osCaption = "old";
  run();
  EXPECT_EQ(record.osCaption, "null");
  EXPECT_EQ(record.antivirus, "null");
  EXPECT_TRUE(com.queries.empty());
  EXPECT_FALSE(osIsNt6);
}

TEST_F(EngineProfile, SystemDriveWithoutFreeSpaceKeepsTheValue) {
  com.spaces["root\\CIMV2"]["Win32_LogicalDisk"] = {Object({Text("Caption", "C:")})};
  record.diskFreeGb = 7.0f;
  run();
  EXPECT_FLOAT_EQ(record.diskFreeGb, 7.0f);
}

struct WindowSide : ::testing::Test {
  FakeWindow fake;
  TestRecord record;
  void SetUp() override {
    fake.kernel.osVersion = platform::OsVersionInfo{6, 1, 0};
    fake.kernel.memory = platform::MemoryStatus{4294434816ull, 2147483648ull};
    fake.kernel.power = platform::PowerStatus{1, 128, 255};
    fake.netsh.output = "h1\r\nh2\r\nh3\r\nh4\r\nReceive-Side Scaling State : enabled\r\n";
  }
};

TEST_F(WindowSide, CollectsMemoryPowerNetshAndParameters) {
  vGetSystemInfo(record, fake.window);
  EXPECT_TRUE(fake.window.isOs6OrLater);
  EXPECT_EQ(record.totalMemMb, 4095);
  EXPECT_EQ(record.powerStatus, "1,128");
  EXPECT_EQ(fake.window.netshState, "1,-1,-1,-1,-1,-1,-1");
  // No route: the MTU is all bits set and prints -1.
  EXPECT_EQ(record.netParameters, "-1,-1,-1,-1,-1,-1,-1,1,-1,-1,-1,-1,-1,-1");
  EXPECT_TRUE(fake.kernel.askedDirectory.empty()); // no system drive known
}

TEST_F(WindowSide, OldPlatformSkipsTheCommandAndPowerFailureIsNull) {
  fake.kernel.osVersion = platform::OsVersionInfo{5, 1, 0};
  fake.kernel.power.reset();
  fake.window.netshState = "stale";
  vGetSystemInfo(record, fake.window);
  EXPECT_FALSE(fake.window.isOs6OrLater);
  EXPECT_EQ(fake.netsh.runs, 0);
  EXPECT_EQ(fake.window.netshState, "-1,-1,-1,-1,-1,-1,-1");
  EXPECT_EQ(record.powerStatus, "null");
}

TEST_F(WindowSide, FreeDiskSpaceUsesTheTotalFreeBytesOfTheSystemDrive) {
  record.systemDrive = "C:";
  fake.kernel.totalFreeBytes = 1610612736ull;
  vGetSystemInfo(record, fake.window);
  EXPECT_EQ(fake.kernel.askedDirectory, "C:\\");
  EXPECT_FLOAT_EQ(record.diskFreeGb, 1.5f);
  EXPECT_EQ(HdFreeSpaceValue(record), "1.50");
  fake.kernel.totalFreeBytes.reset();
  record.diskFreeGb = 3.25f;
  vGetSystemInfo(record, fake.window);
  EXPECT_FLOAT_EQ(record.diskFreeGb, 3.25f);
}

TEST_F(WindowSide, AReaderUnderTheLockSeesTheValuesOfOneWholeProfile) {
  // Two machines' worth of answers, profiled in turn into one record while an engine reads it.
  FakeWindow other;
  fake.ip.rows = {test::MakeIfRow(11, 6, 100000000, 1500, "Realtek PCIe GBE")};
  fake.ip.adapters = {test::MakeAdapter(11, "eth", {{"192.168.1.10", "255.255.255.0"}})};
  fake.ip.routes[ParseIpv4Address(fake.window.primaryReference)] = 11;
  other.ip.rows = {test::MakeIfRow(12, 71, 54000000, 1400, "Atheros 802.11n")};
  other.ip.adapters = {test::MakeAdapter(12, "wlan", {{"10.0.0.7", "255.0.0.0"}})};
  other.ip.routes[ParseIpv4Address(other.window.primaryReference)] = 12;
  other.kernel = fake.kernel;
  other.netsh.output = fake.netsh.output;

  std::atomic<bool> stop{false};
  std::atomic<int> profiles{0};
  std::thread window([&] {
    for (int i = 0; !stop; ++i, ++profiles)
      vGetSystemInfo(record, (i % 2 ? other : fake).window);
  });
  int mixed = 0;
  for (int i = 0; i < 2000 || profiles < 20; ++i) {
    std::lock_guard<std::mutex> lock(record.profileMutex);
    std::string seen = record.nicDescription + "|" + record.localIp + "|" + record.mtuText;
    if (seen != "||" && seen != "Realtek PCIe GBE|192.168.1.10|1500" &&
        seen != "Atheros 802.11n|10.0.0.7|1400")
      ++mixed;
  }
  stop = true;
  window.join();
  EXPECT_EQ(mixed, 0);
}

TEST_F(WindowSide, ProcessorAndMemorySamplesAndTheirAverages) {
  // Busy shares of 12.5 % and 13 %: 100 of 800 ticks, then 130 of 1000.
  fake.kernel.statTexts = {"cpu  0 0 0 0 0 0 0 0 0 0\n", "cpu  100 0 0 700 0 0 0 0 0 0\n",
                           "cpu  200 0 30 1570 0 0 0 0 0 0\n"};
  fake.kernel.memory = platform::MemoryStatus{4294434816ull, 1048576ull * 100 + 1048575ull};
  OpenProcessorQuery(fake.window);
  for (int i = 0; i < 2; ++i) {
    record.sampleCount = record.sampleCount + 1;
    vGetSystemResource(record, fake.window);
  }
  EXPECT_DOUBLE_EQ(record.cpuLoadSum.load(), 25.5);
  EXPECT_EQ(CpuUsageValue(record, true), 12);
  EXPECT_EQ(record.availMemSumMb.load(), 200); // each sample rounded down
  record.totalMemMb = 4095;
  EXPECT_EQ(MemoryValue(record), "100,4095");

  // A failed reading adds the value held from the last one.
  record.sampleCount = record.sampleCount + 1;
  vGetSystemResource(record, fake.window);
  EXPECT_DOUBLE_EQ(record.cpuLoadSum.load(), 38.5);
  CloseProcessorQuery(fake.window);
  EXPECT_EQ(fake.window.processorQuery, nullptr);
}

TEST_F(WindowSide, MemoryBelowOneUnitAddsNothingAndZeroLoadIsMinusOne) {
  fake.kernel.memory = platform::MemoryStatus{4294434816ull, 1048575ull};
  record.sampleCount = 1;
  vGetSystemResource(record, fake.window); // no query open: the counter value is 0
  EXPECT_EQ(record.availMemSumMb.load(), 0);
  EXPECT_EQ(CpuUsageValue(record, true), -1);
  EXPECT_EQ(CpuUsageValue(record, false), 0);
}

TEST(ReportValues, NoSamplesNeverDivideByZero) {
  TestRecord record;
  record.cpuLoadSum = 50.0;
  record.availMemSumMb = 1000;
  record.totalMemMb = 2048;
  EXPECT_EQ(CpuUsageValue(record, false), -1);
  EXPECT_EQ(MemoryValue(record), "-1,2048");
  record.diskFreeGb = 0.0f;
  EXPECT_EQ(HdFreeSpaceValue(record), "0.00");
}

TEST(ThisMachine, EngineProfileReadsTheLocalProvider) {
  TestRecord record;
  bool nt6 = false;
  RunEngineSystemProfile(record, nt6);
  platform::OsVersionInfo version;
  ASSERT_TRUE(platform::GetVersionEx(version));
  EXPECT_EQ(nt6, version.majorVersion >= 6);
  EXPECT_NE(record.osCaption, "null");
  EXPECT_EQ(record.antivirus, "null"); // the provider knows no antivirus product
  EXPECT_EQ(record.systemDrive, "/");
  EXPECT_GT(record.diskFreeGb, 0.0f);
}

} // namespace
} // namespace zelvo
