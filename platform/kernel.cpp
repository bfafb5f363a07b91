// Parsers shared by every platform.
#include "platform/kernel.h"

#include <cstdio>
#include <sstream>

namespace zelvo::platform {

bool ParseKernelRelease(const std::string& release, OsVersionInfo& info) {
  unsigned major = 0, minor = 0, patch = 0;
  int fields = std::sscanf(release.c_str(), "%u.%u.%u", &major, &minor, &patch);
  if (fields < 2) return false;
  info.majorVersion = major;
  info.minorVersion = minor;
  info.buildNumber = fields == 3 ? patch : 0;
  return true;
}

bool ParseMemInfo(const std::string& meminfo, MemoryStatus& status) {
  std::istringstream lines(meminfo);
  std::string line;
  bool haveTotal = false, haveAvail = false;
  std::uint64_t total = 0, avail = 0, freeKb = 0;
  while (std::getline(lines, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "MemTotal: %llu", &kb) == 1)
      total = kb, haveTotal = true;
    else if (std::sscanf(line.c_str(), "MemAvailable: %llu", &kb) == 1)
      avail = kb, haveAvail = true;
    else if (std::sscanf(line.c_str(), "MemFree: %llu", &kb) == 1)
      freeKb = kb;
  }
  if (!haveTotal) return false;
  status.totalPhys = total * 1024;
  // Kernels before 3.14 have no MemAvailable; free memory is the closest figure there.
  status.availPhys = (haveAvail ? avail : freeKb) * 1024;
  return true;
}

PowerStatus PowerStatusOf(const std::vector<PowerSupply>& supplies) {
  PowerStatus out;
  int mains = -1; // -1 none reported
  const PowerSupply* battery = nullptr;
  for (const auto& supply : supplies) {
    if (supply.type == "Mains" || supply.type == "USB") {
      if (supply.online == 1)
        mains = 1;
      else if (supply.online == 0 && mains != 1)
        mains = 0;
    } else if (supply.type == "Battery" && supply.present && !battery) {
      battery = &supply;
    }
  }
  if (!battery) {
    out.batteryFlag = 128;
    // A machine that runs without a battery runs on mains power.
    out.acLineStatus = mains == 0 ? 0 : 1;
    return out;
  }
  out.acLineStatus = mains == -1 ? 255 : static_cast<std::uint8_t>(mains);
  if (battery->capacity >= 0) {
    out.batteryLifePercent = static_cast<std::uint8_t>(battery->capacity > 100 ? 100 : battery->capacity);
    out.batteryFlag =
        battery->capacity > 66 ? 1 : (battery->capacity < 5 ? 4 : (battery->capacity < 33 ? 2 : 0));
  }
  if (battery->status == "Charging")
    out.batteryFlag = static_cast<std::uint8_t>((out.batteryFlag == 255 ? 0 : out.batteryFlag) | 8);
  return out;
}

} // namespace zelvo::platform
