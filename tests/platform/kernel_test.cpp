#include "platform/kernel.h"
#include "platform/pdh.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include "zelvo_version.h"

namespace zelvo::platform {
namespace {

TEST(KernelVersion, MajorMinorFromTheRelease) {
  OsVersionInfo info;
  ASSERT_TRUE(ParseKernelRelease("6.1.0-13-amd64", info));
  EXPECT_EQ(info.majorVersion, 6u);
  EXPECT_EQ(info.minorVersion, 1u);
  EXPECT_EQ(info.buildNumber, 0u);
  ASSERT_TRUE(ParseKernelRelease("5.10.197", info));
  EXPECT_EQ(info.buildNumber, 197u);
  EXPECT_FALSE(ParseKernelRelease("", info));
  EXPECT_FALSE(ParseKernelRelease("linux", info));
  EXPECT_TRUE(GetVersionEx(info));
}

TEST(Memory, MeminfoFieldsAndMissingOnes) {
  MemoryStatus status;
  ASSERT_TRUE(
      ParseMemInfo("MemTotal:       16314216 kB\nMemFree:  1000 kB\nMemAvailable:   9000000 kB\n", status));
  EXPECT_EQ(status.totalPhys, 16314216ull * 1024);
  EXPECT_EQ(status.availPhys, 9000000ull * 1024);
  ASSERT_TRUE(ParseMemInfo("MemTotal: 2048 kB\nMemFree: 1024 kB\n", status));
  EXPECT_EQ(status.availPhys, 1024ull * 1024);
  EXPECT_FALSE(ParseMemInfo("", status));
  EXPECT_FALSE(ParseMemInfo("garbage\n:::\n", status));
  ASSERT_TRUE(GlobalMemoryStatusEx(status));
  EXPECT_GT(status.totalPhys, status.availPhys);
}

TEST(Power, SuppliesToLineStatusAndBatteryFlag) {
  auto of = [](std::vector<PowerSupply> s) {
    PowerStatus p = PowerStatusOf(s);
    return std::to_string(p.acLineStatus) + "," + std::to_string(p.batteryFlag);
  };
  EXPECT_EQ(of({}), "1,128"); // no battery: mains powered
  EXPECT_EQ(of({{"Mains", 1, -1, "", true}}), "1,128");
  EXPECT_EQ(of({{"Mains", 0, -1, "", true}, {"Battery", -1, 80, "Discharging", true}}), "0,1");
  EXPECT_EQ(of({{"Mains", 1, -1, "", true}, {"Battery", -1, 50, "Charging", true}}), "1,8");
  EXPECT_EQ(of({{"Mains", 0, -1, "", true}, {"Battery", -1, 20, "Discharging", true}}), "0,2");
  EXPECT_EQ(of({{"Mains", 0, -1, "", true}, {"Battery", -1, 3, "Discharging", true}}), "0,4");
  EXPECT_EQ(of({{"Battery", -1, -1, "Unknown", true}}), "255,255");
  EXPECT_EQ(of({{"Mains", 1, -1, "", true}, {"Battery", -1, 90, "", false}}), "1,128"); // slot empty
  PowerStatus status;
  EXPECT_TRUE(GetSystemPowerStatus(status) || ReadSmallFile("/sys/class/power_supply/.") == std::nullopt);
}

TEST(DiskSpace, WindowsRootFormAndMissingDirectories) {
  std::uint64_t freeToCaller = 0, total = 0, totalFree = 0;
  // The profile asks for the system drive's root: "C:\\" on Windows, "/" standing in for it here.
#ifdef _WIN32
  ASSERT_TRUE(GetDiskFreeSpaceEx("C:\\", freeToCaller, total, totalFree));
#else
  ASSERT_TRUE(GetDiskFreeSpaceEx("/\\", freeToCaller, total, totalFree));
#endif
  EXPECT_GT(total, 0u);
  EXPECT_GE(totalFree, freeToCaller);
  EXPECT_FALSE(GetDiskFreeSpaceEx("/no/such/directory\\", freeToCaller, total, totalFree));
  EXPECT_FALSE(GetDiskFreeSpaceEx("", freeToCaller, total, totalFree));
}

TEST(ProcessorLoad, ShareOfBusyTicksBetweenReadings) {
  EXPECT_FALSE(ParseProcStat(""));
  EXPECT_FALSE(ParseProcStat("cpu0 1 2 3 4\n"));
  EXPECT_FALSE(ParseProcStat("cpu 1 2\n"));
  auto ticks = ParseProcStat("cpu  10 5 5 70 10 0 0 0 3 0\ncpu0 1 1 1 1\n");
  ASSERT_TRUE(ticks);
  EXPECT_EQ(ticks->total, 100u);
  EXPECT_EQ(ticks->busy, 20u); // idle and iowait are not busy

  std::vector<std::optional<std::string>> texts = {"cpu 0 0 0 100 0\n", std::nullopt, "cpu 25 0 25 150 0\n",
                                                   "cpu 25 0 25 150 0\n"};
  std::size_t next = 0;
  PdhQuery query([&] { return texts[next++]; });
  double value = -1;
  EXPECT_FALSE(query.collect()); // no counter yet
  EXPECT_FALSE(query.addCounter("\\Memory\\Available Bytes"));
  ASSERT_TRUE(query.addCounter(kProcessorTimeCounter));
  EXPECT_TRUE(query.collect());
  EXPECT_FALSE(query.formattedDouble(value)); // one reading is only a reference
  EXPECT_FALSE(query.collect());              // /proc/stat unreadable
  EXPECT_TRUE(query.collect());
  ASSERT_TRUE(query.formattedDouble(value));
  EXPECT_DOUBLE_EQ(value, 50.0);
  EXPECT_TRUE(query.collect());
  EXPECT_FALSE(query.formattedDouble(value)); // no time passed
  query.removeCounter();
  EXPECT_FALSE(query.collect());
}

TEST(ProcessorLoad, RealCounterStaysWithinBounds) {
  PdhQuery query;
  ASSERT_TRUE(query.addCounter(kProcessorTimeCounter));
  ASSERT_TRUE(query.collect());
  volatile double spin = 0;
  for (int i = 0; i < 20000000; ++i)
    spin = spin + i;
  ASSERT_TRUE(query.collect());
  double value = -1;
  if (query.formattedDouble(value)) {
    EXPECT_GE(value, 0.0);
    EXPECT_LE(value, 100.0);
  }
}

TEST(SmallFiles, MissingFilesAndCpuModel) {
  EXPECT_FALSE(ReadSmallFile("/proc/no-such-entry"));
  EXPECT_FALSE(ReadSmallFile("/sys/class/net/no-such-link/speed"));
  EXPECT_EQ(CpuModelName("processor : 0\nmodel name\t: Example CPU @ 2.0GHz\n"), "Example CPU @ 2.0GHz");
  EXPECT_EQ(CpuModelName("processor : 0\n"), "");
  EXPECT_EQ(CpuModelName("model name\n"), "");
}

TEST(ExecutableVersion, TheProjectVersionFromTheResource) {
  std::optional<FileVersionInfo> version = ExecutableFileVersion();
  ASSERT_TRUE(version);
  EXPECT_EQ(version->major, unsigned{ZELVO_VERSION_MAJOR});
  EXPECT_EQ(version->minor, unsigned{ZELVO_VERSION_MINOR});
  EXPECT_EQ(version->release, unsigned{ZELVO_VERSION_RELEASE});
}

} // namespace
} // namespace zelvo::platform
