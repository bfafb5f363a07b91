#include "platform/kernel.h"

#include "platform/registry.h"

#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <sstream>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include "zelvo_version.h"

namespace zelvo::platform {

bool GetVersionEx(OsVersionInfo& info) {
  utsname name{};
  if (::uname(&name) != 0) return false;
  return ParseKernelRelease(name.release, info);
}

bool GlobalMemoryStatusEx(MemoryStatus& status) {
  auto text = ReadSmallFile("/proc/meminfo");
  return text && ParseMemInfo(*text, status);
}

namespace {
std::string trimmed(std::optional<std::string> text) {
  if (!text) return {};
  while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
    text->pop_back();
  return *text;
}
int numberOr(const std::string& text, int fallback) {
  try {
    return text.empty() ? fallback : std::stoi(text);
  } catch (...) {
    return fallback;
  }
}
} // namespace

bool GetSystemPowerStatus(PowerStatus& status) {
  const std::string base = "/sys/class/power_supply";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.c_str()), ::closedir);
  if (!dir) return false;
  std::vector<PowerSupply> supplies;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = base + "/" + name + "/";
    PowerSupply supply;
    supply.type = trimmed(ReadSmallFile(path + "type"));
    supply.online = numberOr(trimmed(ReadSmallFile(path + "online")), -1);
    supply.capacity = numberOr(trimmed(ReadSmallFile(path + "capacity")), -1);
    supply.status = trimmed(ReadSmallFile(path + "status"));
    supply.present = numberOr(trimmed(ReadSmallFile(path + "present")), 1) != 0;
    supplies.push_back(std::move(supply));
  }
  status = PowerStatusOf(supplies);
  return true;
}

bool GetDiskFreeSpaceEx(const std::string& directory, std::uint64_t& freeToCaller, std::uint64_t& total,
                        std::uint64_t& totalFree) {
  std::string path = directory.size() > 1 && directory.back() == '\\'
                         ? directory.substr(0, directory.size() - 1)
                         : directory;
  if (path == "\\") path.assign(1, '/');
  struct statvfs fs {};
  if (path.empty() || ::statvfs(path.c_str(), &fs) != 0) return false;
  std::uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
  freeToCaller = static_cast<std::uint64_t>(fs.f_bavail) * unit;
  total = static_cast<std::uint64_t>(fs.f_blocks) * unit;
  totalFree = static_cast<std::uint64_t>(fs.f_bfree) * unit;
  return true;
}

std::optional<FileVersionInfo> ExecutableFileVersion() {
  return FileVersionInfo{ZELVO_VERSION_MAJOR, ZELVO_VERSION_MINOR, ZELVO_VERSION_RELEASE, 0};
}

std::string LocalTimeText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[16] = "00:00:00";
  if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

} // namespace zelvo::platform
