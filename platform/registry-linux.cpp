#include "platform/registry.h"

#include "platform/cp950.h"

#include <cstdlib>
#include <fstream>
#include <gio/gio.h>
#include <sstream>

namespace zelvo::platform {

namespace {

std::optional<std::int64_t> sysctlNumber(const std::string& name, int field = 0) {
  auto text = ReadSmallFile("/proc/sys/" + name);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  std::int64_t value = 0;
  for (int i = 0; i <= field; ++i)
    if (!(in >> value)) return std::nullopt;
  return value;
}

std::optional<RegistryValue> number(std::optional<std::int64_t> value) {
  if (!value) return std::nullopt;
  RegistryValue out;
  out.type = RegistryValue::Number;
  out.number = static_cast<std::uint32_t>(*value);
  return out;
}

// The desktop's manual HTTP proxy. Asked only inside a desktop session, where the settings store is
// the user's; elsewhere GSettings would only have its defaults to offer.
std::string desktopProxy() {
  if (!std::getenv("XDG_CURRENT_DESKTOP") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) return {};
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return {};
  g_autoptr(GSettingsSchema) schema = g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE);
  if (!schema || !g_settings_schema_has_key(schema, "mode")) return {};
  g_autoptr(GSettings) settings = g_settings_new_full(schema, nullptr, nullptr);
  g_autofree gchar* mode = g_settings_get_string(settings, "mode");
  if (g_strcmp0(mode, "manual") != 0) return {};
  g_autoptr(GSettings) http = g_settings_get_child(settings, "http");
  if (!http) return {};
  g_autofree gchar* host = g_settings_get_string(http, "host");
  int port = g_settings_get_int(http, "port");
  if (!host || !*host || port <= 0) return {};
  return std::string(host) + ":" + std::to_string(port);
}

// The proxy that programs of this session are told to use: the environment first, then the desktop.
std::string environmentProxy() {
  for (const char* name : {"http_proxy", "HTTP_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return ProxyHostPort(value);
  }
  return desktopProxy();
}

class LinuxRegistry : public RegistryView {
public:
  bool openKey(RegistryHive hive, const std::string& path) const override {
    if (hive == RegistryHive::LocalMachine)
      return path == kTcpipParametersKey || path == kAfdParametersKey || path == kCentralProcessorKey;
    return path == kInternetSettingsKey;
  }

  std::optional<RegistryValue> readValue(RegistryHive hive, const std::string& path,
                                         const std::string& name) const override {
    if (hive == RegistryHive::LocalMachine && path == kTcpipParametersKey) {
      if (name == "Tcp1323Opts") {
        auto scaling = sysctlNumber("net/ipv4/tcp_window_scaling");
        auto stamps = sysctlNumber("net/ipv4/tcp_timestamps");
        if (!scaling || !stamps) return std::nullopt;
        return number((*scaling ? 1 : 0) | (*stamps ? 2 : 0));
      }
      if (name == "GlobalMaxTcpWindowSize") return number(sysctlNumber("net/ipv4/tcp_rmem", 2));
      if (name == "TcpWindowSize") return number(sysctlNumber("net/ipv4/tcp_rmem", 1));
      if (name == "EnablePMTUDiscovery") {
        auto disabled = sysctlNumber("net/ipv4/ip_no_pmtu_disc");
        if (!disabled) return std::nullopt;
        return number(*disabled == 0 ? 1 : 0);
      }
      return std::nullopt;
    }
    if (hive == RegistryHive::LocalMachine && path == kAfdParametersKey) {
      if (name == "DefaultReceiveWindows") return number(sysctlNumber("net/core/rmem_default"));
      return std::nullopt;
    }
    if (hive == RegistryHive::LocalMachine && path == kCentralProcessorKey) {
      if (name != "ProcessorNameString") return std::nullopt;
      auto cpuinfo = ReadSmallFile("/proc/cpuinfo");
      std::string model = cpuinfo ? CpuModelName(*cpuinfo) : std::string();
      if (model.empty()) return std::nullopt;
      RegistryValue out;
      out.type = RegistryValue::String;
      out.text = Utf8ToCp950(model).value_or(model);
      return out;
    }
    if (hive == RegistryHive::CurrentUser && path == kInternetSettingsKey) {
      std::string proxy = environmentProxy();
      if (name == "ProxyEnable") return number(proxy.empty() ? 0 : 1);
      if (name == "ProxyServer" && !proxy.empty()) {
        RegistryValue out;
        out.type = RegistryValue::String;
        out.text = proxy;
        return out;
      }
    }
    return std::nullopt;
  }
};

} // namespace

const RegistryView& SystemRegistry() {
  static const LinuxRegistry registry;
  return registry;
}

} // namespace zelvo::platform
