#pragma once
// The platform facilities the profile probes read. Each default member reads this machine; tests
// derive and answer with fixed data.

#include "platform/iphlpapi.h"
#include "platform/kernel.h"
#include "platform/pdh.h"
#include "platform/registry.h"
#include "sysinfo/iphlpapi.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

class IpHelperSource {
public:
  virtual ~IpHelperSource() = default;
  virtual std::uint32_t bestInterface(std::uint32_t destination, std::uint32_t& index) const {
    return platform::GetBestInterface(destination, index);
  }
  virtual std::uint32_t ifEntry(platform::IfRow& row) const { return platform::GetIfEntry(row); }
  virtual bool interfaceTable(std::vector<InterfaceRow>& rows) const { return GetInterfaceTable(rows); }
  virtual bool adapterList(std::vector<AdapterInfo>& adapters) const { return GetAdapterList(adapters); }
  virtual std::optional<std::uint32_t> resolveIpv4(const std::string& host) const {
    return platform::ResolveIpv4(host);
  }
};

class KernelSource {
public:
  virtual ~KernelSource() = default;
  virtual bool version(platform::OsVersionInfo& info) const { return platform::GetVersionEx(info); }
  virtual bool memoryStatus(platform::MemoryStatus& status) const {
    return platform::GlobalMemoryStatusEx(status);
  }
  virtual bool powerStatus(platform::PowerStatus& status) const {
    return platform::GetSystemPowerStatus(status);
  }
  virtual bool diskFreeSpace(const std::string& directory, std::uint64_t& freeToCaller, std::uint64_t& total,
                             std::uint64_t& totalFree) const {
    return platform::GetDiskFreeSpaceEx(directory, freeToCaller, total, totalFree);
  }
  // A new processor load query (reading /proc/stat).
  virtual std::unique_ptr<platform::PdhQuery> openProcessorQuery() const {
    return std::make_unique<platform::PdhQuery>();
  }
};

class NetshSource {
public:
  virtual ~NetshSource() = default;
  // The output of "netsh int tcp show global"; none when the command could not be started.
  virtual std::optional<std::string> tcpShowGlobal(std::uint32_t routeInterfaceIndex) const;
};

// Which facilities a probe reads; all point at this machine's unless a test says otherwise.
struct ProfileSources {
  const IpHelperSource* ipHelper;
  const KernelSource* kernel;
  const platform::RegistryView* registry;
  const NetshSource* netsh;
  static ProfileSources System();
};

} // namespace zelvo
