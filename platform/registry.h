#pragma once
// Registry stand-in: a read-only view of exactly the keys and values the TCP settings read, taken
// from the matching Linux sysctls, the proxy named by the environment and /proc/cpuinfo.

#include <cstdint>
#include <optional>
#include <string>

namespace zelvo::platform {

enum class RegistryHive { LocalMachine, CurrentUser };

struct RegistryValue {
  enum Type { Number, String } type = Number;
  std::uint32_t number = 0;
  std::string text; // CP950
};

class RegistryView {
public:
  virtual ~RegistryView() = default;
  // True when the view has the key (paths as Windows writes them, from the hive's root).
  virtual bool openKey(RegistryHive hive, const std::string& path) const = 0;
  // The value, or none when the key or the value is absent.
  virtual std::optional<RegistryValue> readValue(RegistryHive hive, const std::string& path,
                                                 const std::string& name) const = 0;
};

// The view of this machine; any thread.
const RegistryView& SystemRegistry();

inline constexpr const char* kTcpipParametersKey = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
inline constexpr const char* kAfdParametersKey = "SYSTEM\\CurrentControlSet\\Services\\AFD\\Parameters";
inline constexpr const char* kInternetSettingsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
inline constexpr const char* kCentralProcessorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

// "host:port" of a proxy address such as "http://user@proxy.example:3128/"; empty when it names none.
std::string ProxyHostPort(const std::string& url);
// The "model name" of the first processor in /proc/cpuinfo text; empty when there is none.
std::string CpuModelName(const std::string& cpuinfo);
// Reads a whole small file (/proc, /sys); none when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path);

} // namespace zelvo::platform
