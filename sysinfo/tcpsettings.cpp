#include "sysinfo/tcpsettings.h"

#include "platform/cp950.h"

#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace zelvo {

namespace {

using platform::RegistryHive;
using platform::RegistryValue;

struct StateRow {
  std::size_t slot; // position in netshState
  std::vector<std::string> labels;
  std::vector<const char*> words; // codes 0, 1, ...; no word found gives words.size()
};

// In matching order; the first row one of whose labels the line's label contains takes the line.
const std::vector<StateRow>& stateRows() {
  static const std::vector<StateRow> rows = {
      {0,
       {"Receive-Side Scaling State", platform::Cp950Literal("接收端的縮放狀態")},
       {"disabled", "enabled"}},
      {1, {"Chimney"}, {"disabled", "enabled", "automatic"}},
      {4, {"NetDMA"}, {"disabled", "enabled"}},
      {5, {"DCA"}, {"disabled", "enabled"}},
      {2,
       {"Receive Window Auto-Tuning Level", platform::Cp950Literal("接收窗口自動調整層級"),
        platform::Cp950Literal("接收視窗自動調整層級")},
       {"disabled", "highlyrestricted", "restricted", "normal"}},
      {3,
       {"Add-On Congestion Control Provider", platform::Cp950Literal("附加元件壅塞控制提供者"),
        platform::Cp950Literal("附加元件阻塞控制提供者")},
       {"none", "ctcp"}},
      {6, {"RFC 1323"}, {"disabled", "enabled"}},
  };
  return rows;
}

// Tokens the way the command's text was always cut: delimiters at the start are skipped, a token runs
// to the next delimiter (consumed) or to the end.
class Tokens {
public:
  explicit Tokens(std::string_view text) : text_(text) {}
  bool next(char delimiter, std::string_view& token) {
    while (pos_ < text_.size() && text_[pos_] == delimiter)
      ++pos_;
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find(delimiter, pos_);
    if (end == std::string_view::npos) end = text_.size();
    token = text_.substr(pos_, end - pos_);
    pos_ = end < text_.size() ? end + 1 : end;
    return true;
  }

private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string numberText(std::int32_t value) {
  return std::to_string(value);
}

void readNumber(const platform::RegistryView& registry, RegistryHive hive, const char* key, const char* name,
                std::int32_t& target) {
  auto value = registry.readValue(hive, key, name);
  // A value of another type is no number: the target keeps its sentinel.
  if (value && value->type == RegistryValue::Number) target = static_cast<std::int32_t>(value->number);
}

} // namespace

NetshState ParseNetshState(const std::string& output) {
  NetshState state;
  state.fill(-1);
  std::string_view text(output.data(), std::min(output.size(), kNetshOutputLimit));
  Tokens tokens(text);
  std::string_view piece;
  for (int header = 0; header < 4; ++header)
    if (!tokens.next('\n', piece)) return state;

  std::string_view label, value;
  // A label with no value after it (a footnote at the end) ends the text.
  while (tokens.next(':', label) && tokens.next('\r', value)) {
    for (const auto& row : stateRows()) {
      bool matches = false;
      for (const auto& name : row.labels)
        if (label.find(name) != std::string_view::npos) matches = true;
      if (!matches) continue;
      std::int32_t code = static_cast<std::int32_t>(row.words.size());
      for (std::size_t i = 0; i < row.words.size(); ++i) {
        if (value.find(row.words[i]) != std::string_view::npos) {
          code = static_cast<std::int32_t>(i);
          break;
        }
      }
      state[row.slot] = code;
      break;
    }
  }
  return state;
}

std::string FormatNetshState(const NetshState& s) {
  char text[96];
  std::snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d,%d", s[0], s[1], s[2], s[3], s[4], s[5], s[6]);
  return text;
}

void vGetRegistryInfo(TestRecord& record, WindowProfile& window) {
  const platform::RegistryView& registry = *window.sources.registry;
  record.tcp1323Opts = record.globalMaxTcpWindowSize = record.tcpWindowSize = record.enablePmtuDiscovery =
      record.defaultReceiveWindows = -1;
  window.enableWsd = -1;
  record.proxyServer = "null";

  const auto lm = RegistryHive::LocalMachine;
  if (registry.openKey(lm, platform::kTcpipParametersKey)) {
    const char* key = platform::kTcpipParametersKey;
    readNumber(registry, lm, key, "Tcp1323Opts", record.tcp1323Opts);
    readNumber(registry, lm, key, "GlobalMaxTcpWindowSize", record.globalMaxTcpWindowSize);
    readNumber(registry, lm, key, "TcpWindowSize", record.tcpWindowSize);
    readNumber(registry, lm, key, "EnablePMTUDiscovery", record.enablePmtuDiscovery);
    readNumber(registry, lm, key, "EnableWsd", window.enableWsd);
  }
  if (registry.openKey(lm, platform::kAfdParametersKey))
    readNumber(registry, lm, platform::kAfdParametersKey, "DefaultReceiveWindows",
               record.defaultReceiveWindows);

  const auto cu = RegistryHive::CurrentUser;
  if (registry.openKey(cu, platform::kInternetSettingsKey)) {
    std::int32_t proxyEnable = 0;
    readNumber(registry, cu, platform::kInternetSettingsKey, "ProxyEnable", proxyEnable);
    auto server = registry.readValue(cu, platform::kInternetSettingsKey, "ProxyServer");
    if (server && proxyEnable == 1 && server->type == RegistryValue::String)
      record.proxyServer = server->text;
  }

  if (window.isOs6OrLater) return;
  if (registry.openKey(lm, platform::kCentralProcessorKey)) {
    auto name = registry.readValue(lm, platform::kCentralProcessorKey, "ProcessorNameString");
    if (name && name->type == RegistryValue::String) record.cpuName = name->text;
  }
}

void vGetNetshState(WindowProfile& window) {
  auto output = window.sources.netsh->tcpShowGlobal(window.routeIfIndex);
  if (!output) return;
  window.netshState = FormatNetshState(ParseNetshState(*output));
}

void ComposeNetParameters(TestRecord& record, const WindowProfile& window) {
  record.tcp1323OptsText = numberText(record.tcp1323Opts);
  record.globalMaxTcpWindowSizeText = numberText(record.globalMaxTcpWindowSize);
  record.tcpWindowSizeText = numberText(record.tcpWindowSize);
  record.defaultReceiveWindowsText = numberText(record.defaultReceiveWindows);
  record.enablePmtuDiscoveryText = numberText(record.enablePmtuDiscovery);
  record.mtuText = record.nicMtu == 0xFFFFFFFFu ? std::string("-1") : std::to_string(record.nicMtu);
  record.netParameters = record.tcp1323OptsText + "," + record.globalMaxTcpWindowSizeText + "," +
                         record.tcpWindowSizeText + "," + record.defaultReceiveWindowsText + "," +
                         record.enablePmtuDiscoveryText + "," + record.mtuText + "," +
                         numberText(window.enableWsd) + "," + window.netshState;
}

} // namespace zelvo
