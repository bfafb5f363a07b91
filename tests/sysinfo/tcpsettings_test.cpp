#include "sysinfo/tcpsettings.h"

#include "platform/cp950.h"
#include "platform/netsh.h"
#include "tests/support/support.h"
#include "tests/sysinfo/fakes.h"

#include <gtest/gtest.h>

namespace zelvo {
namespace {

using platform::RegistryHive;
using test::FakeWindow;

std::string parse(const std::string& text) {
  return FormatNetshState(ParseNetshState(text));
}

const std::string kHeader = "Querying active state...\r\n\r\nTCP Global Parameters\r\n------\r\n";

TEST(NetshParser, RealWindowsOutputs) {
  // RSS, Chimney, AutoTuning, CongestionProvider, NetDMA, DCA, RFC1323.
  EXPECT_EQ(parse(test::readTestData("netsh/windows8-aligned.txt")), "1,2,3,1,1,0,0");
  EXPECT_EQ(parse(test::readTestData("netsh/server2012-aligned.txt")), "1,0,3,0,0,0,0");
  // Flattened: only two header lines, so the first two value lines are cut off with the header.
  EXPECT_EQ(parse(test::readTestData("netsh/windows7-flattened.txt")), "-1,-1,3,0,1,0,0");
  // No NetDMA or DCA lines; the provider "default" is neither none nor ctcp.
  EXPECT_EQ(parse(test::readTestData("netsh/windows10-flattened.txt")), "1,0,3,2,-1,-1,0");
}

TEST(NetshParser, TraditionalChineseLabelsInCp950) {
  EXPECT_EQ(parse(test::readTestData("netsh/zh-tw-composed.txt")), "1,2,1,1,1,0,1");
  std::string other = kHeader + platform::Utf8ToCp950("接收窗口自動調整層級 : restricted\r\n"
                                                      "附加元件阻塞控制提供者 : none\r\n")
                                    .value();
  EXPECT_EQ(parse(other), "-1,-1,2,0,-1,-1,-1");
}

TEST(NetshParser, WordsAndLabelsInTableOrder) {
  EXPECT_EQ(parse(kHeader + "Chimney Offload State : default\r\n"), "-1,3,-1,-1,-1,-1,-1");
  EXPECT_EQ(parse(kHeader + "Receive Window Auto-Tuning Level : experimental\r\n"), "-1,-1,4,-1,-1,-1,-1");
  EXPECT_EQ(parse(kHeader + "Add-On Congestion Control Provider : compound\r\n"), "-1,-1,-1,2,-1,-1,-1");
  // A label holding both NetDMA and DCA belongs to NetDMA.
  EXPECT_EQ(parse(kHeader + "NetDMA and DCA : enabled\r\n"), "-1,-1,-1,-1,1,-1,-1");
  // "Direct Cache Acess (DCA)" as Windows misspells it still holds DCA.
  EXPECT_EQ(parse(kHeader + "Direct Cache Acess (DCA) : enabled\r\n"), "-1,-1,-1,-1,-1,1,-1");
  // A later line for the same row overwrites; matching is case-sensitive.
  EXPECT_EQ(parse(kHeader + "RFC 1323 Timestamps : enabled\r\nRFC 1323 again : disabled\r\n"),
            "-1,-1,-1,-1,-1,-1,0");
  EXPECT_EQ(parse(kHeader + "RFC 1323 Timestamps : Enabled\r\n"), "-1,-1,-1,-1,-1,-1,2");
}

TEST(NetshParser, HeaderOnlyEmptyAndOddText) {
  EXPECT_EQ(parse(kHeader), "-1,-1,-1,-1,-1,-1,-1");
  EXPECT_EQ(parse(""), "-1,-1,-1,-1,-1,-1,-1");
  EXPECT_EQ(parse("\n\n\n\n\n"), "-1,-1,-1,-1,-1,-1,-1");
  // Runs of line feeds are one cut: blank lines do not count as header lines.
  EXPECT_EQ(parse("a\n\n\nb\nc\nd\nRFC 1323 : enabled\r\n"), "-1,-1,-1,-1,-1,-1,1");
  // Lines without a colon join the next label; a trailing one without a value ends the text.
  EXPECT_EQ(
      parse(kHeader + "** footnote without colon\r\nChimney State : enabled\r\n** another footnote\r\n"),
      "-1,1,-1,-1,-1,-1,-1");
  // A label at the very end with no value at all.
  EXPECT_EQ(parse(kHeader + "Chimney Offload State"), "-1,-1,-1,-1,-1,-1,-1");
  // Runs of colons count as one.
  EXPECT_EQ(parse(kHeader + "NetDMA State ::: enabled\r\n"), "-1,-1,-1,-1,1,-1,-1");
}

// Header and filler lines of exactly the given size, ending with a line end.
std::string paddedTo(std::size_t size) {
  std::string text = kHeader;
  while (text.size() + 21 + 8 <= size)
    text += "Filler line : value\r\n";
  text += "Pad : " + std::string(size - text.size() - 8, 'x') + "\r\n";
  return text;
}

TEST(NetshParser, OnlyTheFirst4196BytesAreRead) {
  const std::string line = "RFC 1323 Timestamps : enabled\r\n"; // 31 bytes
  ASSERT_EQ(paddedTo(4000).size(), 4000u);
  EXPECT_EQ(ParseNetshState(paddedTo(kNetshOutputLimit - 31) + line + std::string(100000, 'x'))[6], 1);
  // The value is cut to " en", which holds no word.
  EXPECT_EQ(ParseNetshState(paddedTo(kNetshOutputLimit - 25) + line)[6], 2);
  // Only the label fits: no value, nothing taken.
  EXPECT_EQ(ParseNetshState(paddedTo(kNetshOutputLimit - 21) + line)[6], -1);
  EXPECT_EQ(ParseNetshState(paddedTo(kNetshOutputLimit) + line)[6], -1);
}

TEST(NetshParser, ReadsTheLinuxStandInLayout) {
  platform::TcpGlobals globals;
  globals.receiveQueues = 4;
  globals.moderateReceiveBuffer = true;
  globals.congestionControl = "cubic";
  globals.timestamps = true;
  EXPECT_EQ(parse(platform::FormatTcpGlobals(globals)), "1,0,3,2,0,0,1");
  globals.receiveQueues = 1;
  globals.moderateReceiveBuffer = false;
  globals.timestamps = false;
  EXPECT_EQ(parse(platform::FormatTcpGlobals(globals)), "0,0,0,2,0,0,0");
}

TEST(NetshState, CommandThatCannotRunLeavesTheTextAndOtherwiseReplacesIt) {
  FakeWindow fake;
  fake.window.netshState = "previous";
  vGetNetshState(fake.window);
  EXPECT_EQ(fake.window.netshState, "previous");
  fake.netsh.output = kHeader;
  vGetNetshState(fake.window);
  EXPECT_EQ(fake.window.netshState, "-1,-1,-1,-1,-1,-1,-1");
}

struct Registry : ::testing::Test {
  FakeWindow fake;
  TestRecord record;
  const RegistryHive lm = RegistryHive::LocalMachine, cu = RegistryHive::CurrentUser;
};

TEST_F(Registry, OnlyTcp1323OptsPresentComposesTheDocumentedText) {
  fake.registry.setNumber(lm, platform::kTcpipParametersKey, "Tcp1323Opts", 3);
  fake.window.isOs6OrLater = true;
  vGetRegistryInfo(record, fake.window);
  record.nicMtu = 1500;
  fake.window.netshState = "1,1,3,0,2,2,0";
  ComposeNetParameters(record, fake.window);
  EXPECT_EQ(record.netParameters, "3,-1,-1,-1,-1,1500,-1,1,1,3,0,2,2,0");
  EXPECT_EQ(record.proxyServer, "null");
  EXPECT_EQ(record.tcp1323OptsText, "3");
  EXPECT_EQ(record.mtuText, "1500");
}

TEST_F(Registry, EveryValueFromItsKeyInReportOrder) {
  const char* tcpip = platform::kTcpipParametersKey;
  fake.registry.setNumber(lm, tcpip, "Tcp1323Opts", 1);
  fake.registry.setNumber(lm, tcpip, "GlobalMaxTcpWindowSize", 6291456);
  fake.registry.setNumber(lm, tcpip, "TcpWindowSize", 131072);
  fake.registry.setNumber(lm, tcpip, "EnablePMTUDiscovery", 0);
  fake.registry.setNumber(lm, tcpip, "EnableWsd", 0);
  fake.registry.setNumber(lm, tcpip, "DefaultReceiveWindows", 111); // the wrong key: ignored
  fake.registry.setNumber(lm, platform::kAfdParametersKey, "DefaultReceiveWindows", 212992);
  fake.registry.setNumber(lm, platform::kAfdParametersKey, "DefaultReceiveWindow", 5);
  vGetRegistryInfo(record, fake.window);
  record.nicMtu = 0xFFFFFFFFu;
  fake.window.netshState = "";
  ComposeNetParameters(record, fake.window);
  // The AFD value comes before EnablePMTUDiscovery; an all-bits MTU prints -1; an empty state ends
  // the text with a comma.
  EXPECT_EQ(record.netParameters, "1,6291456,131072,212992,0,-1,0,");
  EXPECT_EQ(record.defaultReceiveWindowsText, "212992");
  EXPECT_EQ(record.mtuText, "-1");
}

TEST_F(Registry, SentinelsForAbsentWrongTypeAndHugeValues) {
  const char* tcpip = platform::kTcpipParametersKey;
  record.tcp1323Opts = 77;
  fake.registry.setString(lm, tcpip, "Tcp1323Opts", "3");
  fake.registry.setNumber(lm, tcpip, "GlobalMaxTcpWindowSize", 0x80000000u);
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.tcp1323Opts, -1);
  EXPECT_EQ(record.tcpWindowSize, -1);
  EXPECT_EQ(fake.window.enableWsd, -1);
  record.nicMtu = 4294967294u;
  fake.window.netshState = "-1,-1,-1,-1,-1,-1,-1";
  ComposeNetParameters(record, fake.window);
  EXPECT_EQ(record.netParameters, "-1,-2147483648,-1,-1,-1,4294967294,-1,-1,-1,-1,-1,-1,-1,-1");
}

TEST_F(Registry, ProxyNeedsSwitchExactlyOneAndAServerValue) {
  const char* inet = platform::kInternetSettingsKey;
  fake.registry.setNumber(cu, inet, "ProxyEnable", 1);
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "null");

  fake.registry.setString(cu, inet, "ProxyServer", "proxy.example:3128");
  fake.registry.setNumber(cu, inet, "ProxyEnable", 2);
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "null");

  fake.registry.setNumber(cu, inet, "ProxyEnable", 1);
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "proxy.example:3128");

  fake.registry.setString(cu, inet, "ProxyServer", "");
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "");

  // A switch that is no number counts as off.
  fake.registry.setString(cu, inet, "ProxyEnable", "1");
  fake.registry.setString(cu, inet, "ProxyServer", "proxy.example:3128");
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "null");
}

TEST_F(Registry, ProcessorNameOnlyBeforeVersionSix) {
  fake.registry.setString(lm, platform::kCentralProcessorKey, "ProcessorNameString", "Registry CPU");
  record.cpuName = "WMI CPU";
  fake.window.isOs6OrLater = true;
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.cpuName, "WMI CPU");
  fake.window.isOs6OrLater = false;
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.cpuName, "Registry CPU");
}

TEST(LinuxRegistryView, ProxyFromTheEnvironment) {
  const auto& registry = platform::SystemRegistry();
  const char* inet = platform::kInternetSettingsKey;
  std::string saved[2];
  const char* names[2] = {"http_proxy", "HTTP_PROXY"};
  for (int i = 0; i < 2; ++i) {
    const char* value = std::getenv(names[i]);
    saved[i] = value ? value : "";
    ::unsetenv(names[i]);
  }
  ::setenv("HTTP_PROXY", "http://proxy.example:3128/", 1);
  auto enable = registry.readValue(RegistryHive::CurrentUser, inet, "ProxyEnable");
  auto server = registry.readValue(RegistryHive::CurrentUser, inet, "ProxyServer");
  ASSERT_TRUE(enable && server);
  EXPECT_EQ(enable->number, 1u);
  EXPECT_EQ(server->text, "proxy.example:3128");
  FakeWindow fake;
  fake.window.sources.registry = &registry;
  TestRecord record;
  vGetRegistryInfo(record, fake.window);
  EXPECT_EQ(record.proxyServer, "proxy.example:3128");
  ::unsetenv("HTTP_PROXY");
  for (int i = 0; i < 2; ++i)
    if (!saved[i].empty()) ::setenv(names[i], saved[i].c_str(), 1);
}

TEST(LinuxRegistryView, NumbersComeFromTheSysctls) {
  const auto& registry = platform::SystemRegistry();
  auto rmem = platform::ReadSmallFile("/proc/sys/net/ipv4/tcp_rmem");
  if (!rmem) GTEST_SKIP() << "no /proc/sys";
  long minimum = 0, standard = 0, maximum = 0;
  ASSERT_EQ(std::sscanf(rmem->c_str(), "%ld %ld %ld", &minimum, &standard, &maximum), 3);
  auto window =
      registry.readValue(RegistryHive::LocalMachine, platform::kTcpipParametersKey, "TcpWindowSize");
  auto global =
      registry.readValue(RegistryHive::LocalMachine, platform::kTcpipParametersKey, "GlobalMaxTcpWindowSize");
  ASSERT_TRUE(window && global);
  EXPECT_EQ(window->number, static_cast<std::uint32_t>(standard));
  EXPECT_EQ(global->number, static_cast<std::uint32_t>(maximum));
  EXPECT_FALSE(registry.readValue(RegistryHive::LocalMachine, platform::kTcpipParametersKey, "EnableWsd"));
  EXPECT_FALSE(registry.openKey(RegistryHive::LocalMachine, "SOFTWARE\\Elsewhere"));
  EXPECT_EQ(platform::ProxyHostPort("http://user:pw@proxy.example:3128/"), "proxy.example:3128");
  EXPECT_EQ(platform::ProxyHostPort("proxy.example:8080"), "proxy.example:8080");
}

} // namespace
} // namespace zelvo
