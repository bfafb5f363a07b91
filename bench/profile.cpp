// Prints every profile value the report carries, read from this machine, and the cost of one
// interface table snapshot. Usage: profile [PRIMARY [ALTERNATE]] to route by other reference
// addresses than the built-in probe hosts (a route lookup sends nothing).

#include "platform/cp950.h"
#include "sysinfo/connection.h"
#include "sysinfo/iphlpapi.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/tcpsettings.h"
#include "sysinfo/windowprofile.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using namespace zelvo;

namespace {
std::string utf8(const std::string& cp950) {
  return platform::Cp950ToUtf8(cp950).value_or("<not CP950>");
}
void print(const char* name, const std::string& value) {
  std::printf("%s=%s\n", name, value.c_str());
}
} // namespace

int main(int argc, char** argv) {
  TestRecord record;
  bool osIsNt6 = false;
  RunEngineSystemProfile(record, osIsNt6);

  WindowProfile window;
  if (argc > 1) window.primaryReference = window.alternateReference = argv[1];
  if (argc > 2) window.alternateReference = argv[2];
  OpenProcessorQuery(window);
  vGetSystemInfo(record, window);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  record.sampleCount = 1;
  vGetSystemResource(record, window);

  print("referenceHosts", window.primaryReference + "," + window.alternateReference);
  print("osCaption", utf8(record.osCaption));
  print("antivirus", utf8(record.antivirus));
  print("cpuName", utf8(record.cpuName));
  print("systemDrive", utf8(record.systemDrive));
  print("diskFreeGb", HdFreeSpaceValue(record));
  print("totalMemMb", std::to_string(record.totalMemMb));
  print("memory", MemoryValue(record));
  print("cpuUsage", std::to_string(CpuUsageValue(record, osIsNt6)));
  print("powerStatus", record.powerStatus);
  print("osIsNt6", osIsNt6 ? "1" : "0");
  print("isOs6OrLater", window.isOs6OrLater ? "1" : "0");
  print("localIp", record.localIp);
  print("connectionType", utf8(record.connectionType));
  print("nicDescription", utf8(record.nicDescription));
  print("nicRateKbps", std::to_string(record.nicRateKbps));
  print("nicMtu", record.nicMtu == 0xFFFFFFFFu ? std::string("-1") : std::to_string(record.nicMtu));
  print("bestIfPos", std::to_string(record.bestIfPos));
  print("routeIfIndex", std::to_string(window.routeIfIndex));
  print("netshState", window.netshState);
  print("netParameters", record.netParameters);
  print("proxyServer", utf8(record.proxyServer));
  print("connectedAdapters", std::to_string(iNICConnect(window)));

  for (const auto& row : GetInterfaceTable())
    std::printf(
        "interface index=%u type=%u(%s) mtu=%u speed=%u oper=%s admin=%s mac=%s in=%u out=%u descr=%s\n",
        row.friendlyIndex, row.type, row.typeText.c_str(), row.mtu, row.speed, row.operStatusText.c_str(),
        row.adminStatusText.c_str(), row.macText.c_str(), row.inOctets, row.outOctets,
        utf8(row.description).c_str());
  for (const auto& adapter : GetAdapterList()) {
    std::string ips, gateways;
    for (const auto& ip : adapter.ipList)
      ips += (ips.empty() ? "" : " ") + ip;
    for (const auto& gw : adapter.gatewayList)
      gateways += (gateways.empty() ? "" : " ") + gw;
    std::printf("adapter index=%u name=%s friendly=%s type=%s mac=%s ips=[%s] gateways=[%s] dhcp=%d\n",
                adapter.index, adapter.adapterName.c_str(), utf8(adapter.friendlyName).c_str(),
                adapter.typeText.c_str(), adapter.macText.c_str(), ips.c_str(), gateways.c_str(),
                adapter.dhcpEnabled ? 1 : 0);
  }

  constexpr int kCalls = 2000;
  auto start = std::chrono::steady_clock::now();
  std::size_t rows = 0;
  for (int i = 0; i < kCalls; ++i)
    rows += GetInterfaceTable().size();
  double micros =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kCalls;
  std::printf("interfaceTableRows=%zu\ninterfaceTableMicrosPerCall=%.1f\n", rows / kCalls, micros);
  CloseProcessorQuery(window);
  return 0;
}
