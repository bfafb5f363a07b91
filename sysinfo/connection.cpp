#include "sysinfo/connection.h"

#include "platform/cp950.h"
#include "platform/ipv4.h"

#include <array>
#include <cstring>

namespace zelvo {

namespace {
constexpr std::uint32_t kLoopbackAdapterType = 24;
}

namespace {
bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

bool hasWirelessMarker(const std::string& description) {
  for (const char* marker : {"Wireless", "WiFi", "802.11", "Wi-Fi"})
    if (contains(description, marker)) return true;
  return false;
}

std::string rowDescription(const platform::IfRow& row) {
  std::size_t len = std::min<std::size_t>(row.descrLen, row.descr.size());
  return std::string(row.descr.data(), strnlen(row.descr.data(), len));
}
} // namespace

const std::string& ConnectionText(ConnectionKind kind) {
  static const std::array<std::string, 8> texts = {
      platform::Cp950Literal("PPPoE(Enternet300)"), platform::Cp950Literal("PPPoE(cFOS)"),
      platform::Cp950Literal("PPPoE(Raspppoe)"),    platform::Cp950Literal("PPPoE(Windows 內建)"),
      platform::Cp950Literal("無線網路介面"),       platform::Cp950Literal("乙太網路介面"),
      platform::Cp950Literal("其他撥號網路"),       platform::Cp950Literal("其他網路介面"),
  };
  return texts[static_cast<std::size_t>(kind)];
}

bool IsPppoe(ConnectionKind kind) {
  return kind == ConnectionKind::PppoeEnternet || kind == ConnectionKind::PppoeCfos ||
         kind == ConnectionKind::PppoeRaspppoe || kind == ConnectionKind::PppoeBuiltIn;
}

bool IsStandardEthernetRate(std::uint32_t rateKbps) {
  // 10 Mbit/s to 100 Gbit/s; from 5 Gbit/s on the 32-bit speed saturates at 2^32 - 1 bit/s.
  static constexpr std::uint32_t kRates[] = {10000,    100000,   1000000,  2500000,   5000000, 10000000,
                                             25000000, 40000000, 50000000, 100000000, 4294967};
  for (std::uint32_t rate : kRates)
    if (rateKbps == rate) return true;
  return false;
}

ConnectionKind ClassifyConnection(std::uint32_t type, std::uint32_t rateKbps, std::uint32_t mtu,
                                  const std::string& description, bool isOs6OrLater, bool wirelessTyped) {
  if (type == platform::kIfTypeEthernet) {
    if (contains(description, "P.P.P.o.E")) return ConnectionKind::PppoeEnternet;
    if (hasWirelessMarker(description)) return ConnectionKind::Wireless;
    // Where wireless links have a type of their own, an Ethernet-typed one is wired whatever its rate
    // (unknown, 2.5 GbE, a saturated 10 GbE); elsewhere any other rate counts as wireless.
    if (wirelessTyped) return ConnectionKind::Ethernet;
    return IsStandardEthernetRate(rateKbps) ? ConnectionKind::Ethernet : ConnectionKind::Wireless;
  }
  if (type == platform::kIfTypePpp) {
    if (!IsStandardEthernetRate(rateKbps)) return ConnectionKind::OtherDialUp;
    if (mtu <= 1480) return ConnectionKind::PppoeBuiltIn;
    return isOs6OrLater ? ConnectionKind::PppoeCfos : ConnectionKind::PppoeRaspppoe;
  }
  return hasWirelessMarker(description) ? ConnectionKind::Wireless : ConnectionKind::OtherInterface;
}

void vGetIpHlpInfo(TestRecord& record, WindowProfile& window) {
  const IpHelperSource& ip = *window.sources.ipHelper;
  record.nicMtu = 0xFFFFFFFFu;

  // The references are read as the prober reads its hosts: a text it would not ping has no route.
  auto routeTo = [&ip](const std::string& reference, std::uint32_t& index) {
    std::optional<std::uint32_t> address = platform::InetAddr(reference);
    return address && ip.bestInterface(*address, index) == platform::kNoError;
  };
  std::uint32_t routeIf = 0;
  if (!routeTo(window.primaryReference, routeIf) && !routeTo(window.alternateReference, routeIf)) return;
  window.routeIfIndex = routeIf;

  // The search starts at the second row, as the engine's readers expect; no match leaves the row
  // count, which designates no row (readers check it against the table size).
  std::vector<InterfaceRow> rows;
  ip.interfaceTable(rows);
  std::size_t position = 1;
  while (position < rows.size() && rows[position].friendlyIndex != routeIf)
    ++position;
  // The search skips the first row, which on the original platform is a loopback that never carries
  // the route. Here the first row is the real loopback, and it carries the route when the service
  // runs on this machine (the test bed): without it the engine would have no counters to read.
  if (position >= rows.size() && !rows.empty() && rows[0].friendlyIndex == routeIf) position = 0;
  record.bestIfPos = static_cast<std::int32_t>(position);

  platform::IfRow row{};
  row.index = routeIf;
  // An interface that vanished since the route lookup has no row to describe; keep the old values.
  if (ip.ifEntry(row) != platform::kNoError) return;
  record.nicRateKbps = row.speed / 1000;
  record.nicMtu = row.mtu;
  record.nicDescription = rowDescription(row);

  ConnectionKind kind = ClassifyConnection(row.type, record.nicRateKbps, record.nicMtu, record.nicDescription,
                                           window.isOs6OrLater, platform::WirelessLinksAreTyped());
  record.connectionType = ConnectionText(kind);

  std::vector<AdapterInfo> adapters;
  if (IsPppoe(kind)) {
    // The physical adapter that carries the PPPoE session: the first other adapter that is up.
    ip.adapterList(adapters);
    bool found = false;
    for (const auto& adapter : adapters) {
      if (adapter.index == routeIf || adapter.type == kLoopbackAdapterType) continue;
      for (const auto& candidate : rows) {
        if (candidate.friendlyIndex == adapter.index &&
            (candidate.operStatusText == "Operational" || candidate.operStatusText == "Connected")) {
          record.nicDescription = candidate.description;
          record.nicRateKbps = candidate.speed / 1000;
          found = true;
          break;
        }
      }
      if (found) break;
    }
  }

  adapters.clear();
  ip.adapterList(adapters);
  for (const auto& adapter : adapters) {
    if (adapter.index != routeIf) continue;
    record.localIp = adapter.ipList.empty() ? std::string() : adapter.ipList.front();
    break;
  }
}

platform::LinkFacts RouteLinkFacts(const WindowProfile& window) {
  if (window.routeIfIndex == 0) return {};
  platform::IfRow row{};
  row.index = window.routeIfIndex;
  if (window.sources.ipHelper->ifEntry(row) != platform::kNoError) return {};
  return platform::ReadLinkFacts(row.index, row.ifName, row.type);
}

std::string szGetAdapterConnectStatus(std::uint32_t index, const WindowProfile& window) {
  platform::IfRow row{};
  row.index = index;
  window.sources.ipHelper->ifEntry(row); // a failed read leaves the cleared row
  static const char* const texts[] = {"NON OPERATIONAL", "UNREACHABLE", "DISCONNECTED",
                                      "CONNECTING",      "CONNECTED",   "OPERATIONAL"};
  return row.operStatus < 6 ? texts[row.operStatus] : "UNKNOWN";
}

std::int32_t iNICConnect(const WindowProfile& window) {
  std::vector<AdapterInfo> adapters;
  window.sources.ipHelper->adapterList(adapters);
  std::int32_t connected = 0;
  for (const auto& adapter : adapters) {
    // A loopback is no network connection.
    if (adapter.type == kLoopbackAdapterType) continue;
    std::string status = szGetAdapterConnectStatus(adapter.index, window);
    if (status == "OPERATIONAL" || status == "CONNECTED") ++connected;
  }
  return connected;
}

std::optional<std::string> getIPByName(const std::string& hostName, const WindowProfile& window) {
  auto address = window.sources.ipHelper->resolveIpv4(hostName);
  if (!address) return std::nullopt;
  return platform::inet_ntoa(*address);
}

} // namespace zelvo
