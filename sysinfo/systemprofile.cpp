#include "sysinfo/systemprofile.h"

#include "sysinfo/connection.h"
#include "sysinfo/tcpsettings.h"
#include "sysinfo/wmi.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace zelvo {

namespace {
constexpr double kMib = 1048576.0;
constexpr double kGibInverse = 1.0 / 1073741824.0;

// Runs on the engine's thread after InitializeWmi; false ends the profile.
bool profileQueries(TestRecord& record, bool& osIsNt6, const EngineProfileSources& sources) {
  platform::ComPlatform& com = *sources.com;
  WmiPropertyList list;

  if (RunWmiQuery("root\\CIMV2", "Select * from Win32_OperatingSystem", list, com)) {
    for (const auto& p : list) {
      if (p.name == "Caption") record.osCaption = p.value;
      if (p.name == "CSDVersion") record.csdVersion = p.value;
    }
    // A missing service pack adds nothing, not a lone space.
    if (record.csdVersion != "(Null)" && !record.csdVersion.empty())
      record.osCaption = record.osCaption + " " + record.csdVersion;
  }

  platform::OsVersionInfo version;
  if (!sources.kernel->version(version)) return false;
  osIsNt6 = version.majorVersion >= 6;

  if (!RunWmiQuery(SecurityCenterNamespace(version.majorVersion, version.minorVersion),
                   "Select * from AntiVirusProduct", list, com))
    return false;
  for (const auto& p : list) {
    if (p.name != "displayName") continue;
    if (record.antivirus.empty() || record.antivirus == "null")
      record.antivirus = p.value;
    else
      record.antivirus += "," + p.value;
  }

  if (!RunWmiQuery("root\\CIMV2", "Select * from Win32_Processor", list, com)) return false;
  for (const auto& p : list)
    if (p.name == "Name") {
      record.cpuName = p.value;
      break;
    }

  if (!RunWmiQuery("root\\CIMV2", "Select * from Win32_OperatingSystem", list, com)) return false;
  for (const auto& p : list)
    if (p.name == "SystemDrive") {
      record.systemDrive = p.value;
      break;
    }

  if (!RunWmiQuery("root\\CIMV2", "Select * from Win32_LogicalDisk", list, com)) return false;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].name != "Caption" || list[i].value != record.systemDrive) continue;
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      if (list[j].name != "FreeSpace") continue;
      record.diskFreeGb = static_cast<float>(std::strtod(list[j].value.c_str(), nullptr) * kGibInverse);
      break;
    }
    break;
  }
  return true;
}
} // namespace

EngineProfileSources EngineProfileSources::System() {
  static const KernelSource kernel;
  return EngineProfileSources{&platform::SystemCom(), &kernel};
}

std::string SecurityCenterNamespace(std::uint32_t major, std::uint32_t minor) {
  return major == 6 && minor >= 1 ? "root\\SecurityCenter2" : "root\\SecurityCenter";
}

void RunEngineSystemProfile(TestRecord& record, bool& osIsNt6, const EngineProfileSources& sources) {
  record.osCaption = "null";
  record.antivirus = "null";
  // A COM start that fails ends the profile; the run goes on with the "null" texts.
  if (!InitializeWmi(nullptr, *sources.com)) return;
  profileQueries(record, osIsNt6, sources);
  UninitializeWmi(*sources.com);
}

void vGetSystemInfo(TestRecord& record, WindowProfile& window) {
  std::lock_guard<std::mutex> lock(record.profileMutex);
  const KernelSource& kernel = *window.sources.kernel;
  platform::OsVersionInfo version;
  if (kernel.version(version) && version.majorVersion >= 6) window.isOs6OrLater = true;

  vGetIpHlpInfo(record, window);
  vGetRegistryInfo(record, window);

  platform::MemoryStatus memory;
  if (kernel.memoryStatus(memory)) record.totalMemMb = static_cast<std::int32_t>(memory.totalPhys / 1048576u);

  record.powerStatus = "null";
  platform::PowerStatus power;
  if (kernel.powerStatus(power)) {
    char text[16];
    std::snprintf(text, sizeof text, "%u,%u", static_cast<unsigned>(power.acLineStatus),
                  static_cast<unsigned>(power.batteryFlag));
    record.powerStatus = text;
  }

  if (window.isOs6OrLater)
    vGetNetshState(window);
  else
    window.netshState = "-1,-1,-1,-1,-1,-1,-1";

  ComposeNetParameters(record, window);

  if (!record.systemDrive.empty()) {
    std::uint64_t freeToCaller = 0, total = 0, totalFree = 0;
    if (kernel.diskFreeSpace(record.systemDrive + "\\", freeToCaller, total, totalFree))
      record.diskFreeGb = static_cast<float>(static_cast<double>(totalFree) * kGibInverse);
  }
}

void OpenProcessorQuery(WindowProfile& window) {
  CloseProcessorQuery(window);
  window.processorQuery = window.sources.kernel->openProcessorQuery();
  if (!window.processorQuery) return;
  window.processorQuery->addCounter(platform::kProcessorTimeCounter);
  window.processorQuery->collect();
}

void CloseProcessorQuery(WindowProfile& window) {
  if (!window.processorQuery) return;
  window.processorQuery->removeCounter();
  window.processorQuery.reset();
}

void vGetSystemResource(TestRecord& record, WindowProfile& window) {
  if (window.processorQuery) {
    window.processorQuery->collect();
    window.processorQuery->formattedDouble(window.counterValue); // a failed read keeps the last value
  }
  record.cpuLoadSum = record.cpuLoadSum.load() + window.counterValue;

  platform::MemoryStatus memory;
  if (window.sources.kernel->memoryStatus(memory))
    record.availMemSumMb = static_cast<std::int32_t>(
        std::trunc(static_cast<double>(record.availMemSumMb.load()) + std::floor(memory.availPhys / kMib)));
}

std::int32_t CpuUsageValue(const TestRecord& record, bool osIsNt6) {
  double sum = record.cpuLoadSum.load();
  if (osIsNt6 && sum == 0.0) return -1;
  std::int32_t count = record.sampleCount.load();
  if (count <= 0) return -1;
  return static_cast<std::int32_t>(std::trunc(sum / count));
}

std::string MemoryValue(const TestRecord& record) {
  std::int32_t count = record.sampleCount.load();
  std::int32_t mean = count > 0 ? record.availMemSumMb.load() / count : -1;
  char text[32];
  std::snprintf(text, sizeof text, "%d,%d", mean, record.totalMemMb);
  return text;
}

std::string HdFreeSpaceValue(const TestRecord& record) {
  char text[64];
  std::snprintf(text, sizeof text, "%.02f", static_cast<double>(record.diskFreeGb));
  return text;
}

} // namespace zelvo
