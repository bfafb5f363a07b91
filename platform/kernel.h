#pragma once
// Kernel stand-ins: platform version, memory status, power status, free disk space and the
// executable's version resource.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvo::platform {

struct OsVersionInfo {
  std::uint32_t majorVersion = 0, minorVersion = 0, buildNumber = 0;
};
// The kernel's major.minor (and patch level as the build).
bool GetVersionEx(OsVersionInfo& info);
// "6.1.0-13-amd64" and the like; false when the text starts with no major.minor.
bool ParseKernelRelease(const std::string& release, OsVersionInfo& info);

struct MemoryStatus {
  std::uint64_t totalPhys = 0, availPhys = 0;
};
bool GlobalMemoryStatusEx(MemoryStatus& status);
// From /proc/meminfo text (MemTotal, MemAvailable in kB); false when MemTotal is missing.
bool ParseMemInfo(const std::string& meminfo, MemoryStatus& status);

struct PowerStatus {
  std::uint8_t acLineStatus = 255; // 0 offline, 1 online, 255 unknown
  std::uint8_t batteryFlag = 255;  // 1 high, 2 low, 4 critical, 8 charging, 128 no battery, 255 unknown
  std::uint8_t batteryLifePercent = 255;
};
// One entry of /sys/class/power_supply.
struct PowerSupply {
  std::string type;   // "Mains", "Battery", "USB", ...
  int online = -1;    // mains: 1 or 0, -1 unknown
  int capacity = -1;  // battery percent, -1 unknown
  std::string status; // battery: "Charging", "Discharging", "Full", ...
  bool present = true;
};
// False when the power supply class cannot be read at all.
bool GetSystemPowerStatus(PowerStatus& status);
PowerStatus PowerStatusOf(const std::vector<PowerSupply>& supplies);

// Free and total bytes of the file system holding the directory; a trailing backslash (the Windows
// form of a drive's root) is ignored.
bool GetDiskFreeSpaceEx(const std::string& directory, std::uint64_t& freeToCaller, std::uint64_t& total,
                        std::uint64_t& totalFree);

// The fixed file version of the running executable's version resource; none when it has no resource.
// Linux executables carry none: the build's one version definition stands in for it.
struct FileVersionInfo {
  unsigned major = 0, minor = 0, release = 0, build = 0;
};
std::optional<FileVersionInfo> ExecutableFileVersion();
// The local time of day as "HH:MM:SS".
std::string LocalTimeText();

} // namespace zelvo::platform
