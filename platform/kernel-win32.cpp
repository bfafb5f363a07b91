#include "platform/kernel.h"

#include <cstdio>
#include <vector>
#include <windows.h>

// The stand-ins carry the plain names that windows.h maps onto its A/W variants.
#undef GetVersionEx
#undef GetDiskFreeSpaceEx

namespace zelvo::platform {

bool GetVersionEx(OsVersionInfo& info) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!::GetVersionExA(&version)) return false;
  info.majorVersion = version.dwMajorVersion;
  info.minorVersion = version.dwMinorVersion;
  info.buildNumber = version.dwBuildNumber;
  return true;
}

bool GlobalMemoryStatusEx(MemoryStatus& status) {
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (!::GlobalMemoryStatusEx(&memory)) return false;
  status.totalPhys = memory.ullTotalPhys;
  status.availPhys = memory.ullAvailPhys;
  return true;
}

bool GetSystemPowerStatus(PowerStatus& status) {
  SYSTEM_POWER_STATUS power{};
  if (!::GetSystemPowerStatus(&power)) return false;
  status.acLineStatus = power.ACLineStatus;
  status.batteryFlag = power.BatteryFlag;
  status.batteryLifePercent = power.BatteryLifePercent;
  return true;
}

bool GetDiskFreeSpaceEx(const std::string& directory, std::uint64_t& freeToCaller, std::uint64_t& total,
                        std::uint64_t& totalFree) {
  ULARGE_INTEGER callerBytes, totalBytes, freeBytes;
  if (!::GetDiskFreeSpaceExA(directory.c_str(), &callerBytes, &totalBytes, &freeBytes)) return false;
  freeToCaller = callerBytes.QuadPart;
  total = totalBytes.QuadPart;
  totalFree = freeBytes.QuadPart;
  return true;
}

std::optional<FileVersionInfo> ExecutableFileVersion() {
  wchar_t path[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(path, 0, size, block.data())) return std::nullopt;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof *fixed)
    return std::nullopt;
  return FileVersionInfo{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                         HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

std::string LocalTimeText() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(now.wHour),
                static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond));
  return text;
}

} // namespace zelvo::platform
