#pragma once
// Fixed-data stand-ins for the profile's platform facilities.

#include "sysinfo/sources.h"
#include "sysinfo/windowprofile.h"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::test {

inline platform::IfRow MakeIfRow(std::uint32_t index, std::uint32_t type, std::uint32_t speedBits,
                                 std::uint32_t mtu, const std::string& description,
                                 std::uint32_t operStatus = 5) {
  platform::IfRow row;
  row.index = index;
  row.type = type;
  row.speed = speedBits;
  row.mtu = mtu;
  row.operStatus = operStatus;
  row.adminStatus = 1;
  row.descrLen = static_cast<std::uint32_t>(description.size());
  std::memcpy(row.descr.data(), description.data(), description.size());
  return row;
}

class FakeIpHelper : public IpHelperSource {
public:
  std::map<std::uint32_t, std::uint32_t> routes; // destination (network order) -> interface index
  std::vector<platform::IfRow> rows;
  std::vector<platform::AdapterEntry> adapters;
  bool tableFails = false, adaptersFail = false;
  std::vector<std::uint32_t> vanished; // indexes whose row can no longer be read
  mutable int bestInterfaceCalls = 0;

  std::uint32_t bestInterface(std::uint32_t destination, std::uint32_t& index) const override {
    ++bestInterfaceCalls;
    auto it = routes.find(destination);
    if (it == routes.end()) return platform::kErrorNotFound;
    index = it->second;
    return platform::kNoError;
  }
  std::uint32_t ifEntry(platform::IfRow& row) const override {
    for (auto gone : vanished)
      if (gone == row.index) return platform::kErrorNotFound;
    for (const auto& candidate : rows)
      if (candidate.index == row.index) {
        row = candidate;
        return platform::kNoError;
      }
    return platform::kErrorNotFound;
  }
  bool interfaceTable(std::vector<InterfaceRow>& out) const override {
    if (tableFails) return false;
    out.clear();
    for (const auto& row : rows)
      out.push_back(MakeInterfaceRow(row));
    return true;
  }
  bool adapterList(std::vector<AdapterInfo>& out) const override {
    if (adaptersFail) return false;
    out.clear();
    for (const auto& entry : adapters)
      out.push_back(MakeAdapterInfo(entry, entry.adapterName));
    return true;
  }
  std::optional<std::uint32_t> resolveIpv4(const std::string&) const override { return std::nullopt; }
};

inline platform::AdapterEntry MakeAdapter(std::uint32_t index, const std::string& name,
                                          std::vector<platform::IpAddrString> addresses = {},
                                          std::vector<platform::IpAddrString> gateways = {}) {
  platform::AdapterEntry entry;
  entry.index = index;
  entry.adapterName = name;
  entry.description = name;
  entry.type = 6;
  entry.ipAddresses = std::move(addresses);
  entry.gateways = std::move(gateways);
  return entry;
}

class FakeRegistry : public platform::RegistryView {
public:
  using Key = std::pair<platform::RegistryHive, std::string>;
  std::map<Key, std::map<std::string, platform::RegistryValue>> keys;

  void setNumber(platform::RegistryHive hive, const std::string& key, const std::string& name,
                 std::uint32_t value) {
    platform::RegistryValue v;
    v.type = platform::RegistryValue::Number;
    v.number = value;
    keys[{hive, key}][name] = v;
  }
  void setString(platform::RegistryHive hive, const std::string& key, const std::string& name,
                 const std::string& text) {
    platform::RegistryValue v;
    v.type = platform::RegistryValue::String;
    v.text = text;
    keys[{hive, key}][name] = v;
  }
  bool openKey(platform::RegistryHive hive, const std::string& path) const override {
    return keys.count({hive, path}) > 0;
  }
  std::optional<platform::RegistryValue> readValue(platform::RegistryHive hive, const std::string& path,
                                                   const std::string& name) const override {
    auto key = keys.find({hive, path});
    if (key == keys.end()) return std::nullopt;
    auto value = key->second.find(name);
    if (value == key->second.end()) return std::nullopt;
    return value->second;
  }
};

class FakeNetsh : public NetshSource {
public:
  std::optional<std::string> output;
  mutable int runs = 0;
  std::optional<std::string> tcpShowGlobal(std::uint32_t) const override {
    ++runs;
    return output;
  }
};

class FakeKernel : public KernelSource {
public:
  std::optional<platform::OsVersionInfo> osVersion;
  std::optional<platform::MemoryStatus> memory;
  std::optional<platform::PowerStatus> power;
  std::optional<std::uint64_t> totalFreeBytes;
  std::string askedDirectory;
  std::vector<std::string> statTexts; // one per collection
  mutable std::size_t statRead = 0;

  bool version(platform::OsVersionInfo& info) const override {
    if (!osVersion) return false;
    info = *osVersion;
    return true;
  }
  bool memoryStatus(platform::MemoryStatus& status) const override {
    if (!memory) return false;
    status = *memory;
    return true;
  }
  bool powerStatus(platform::PowerStatus& status) const override {
    if (!power) return false;
    status = *power;
    return true;
  }
  bool diskFreeSpace(const std::string& directory, std::uint64_t& freeToCaller, std::uint64_t& total,
                     std::uint64_t& totalFree) const override {
    const_cast<FakeKernel*>(this)->askedDirectory = directory;
    if (!totalFreeBytes) return false;
    freeToCaller = *totalFreeBytes / 2; // differs on purpose: the total free count is the one used
    total = *totalFreeBytes * 4;
    totalFree = *totalFreeBytes;
    return true;
  }
  std::unique_ptr<platform::PdhQuery> openProcessorQuery() const override {
    return std::make_unique<platform::PdhQuery>([this]() -> std::optional<std::string> {
      if (statRead >= statTexts.size()) return std::nullopt;
      return statTexts[statRead++];
    });
  }
};

// A window profile that reads only the fakes, with two documentation-range reference addresses.
struct FakeWindow {
  FakeIpHelper ip;
  FakeRegistry registry;
  FakeNetsh netsh;
  FakeKernel kernel;
  WindowProfile window;
  FakeWindow() {
    window.sources = ProfileSources{&ip, &kernel, &registry, &netsh};
    window.primaryReference = "198.51.100.7";
    window.alternateReference = "203.0.113.9";
  }
};

} // namespace zelvo::test
