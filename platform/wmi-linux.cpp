#include "platform/wmi.h"

#include "platform/cp950.h"
#include "platform/kernel.h"
#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <sys/utsname.h>

namespace zelvo::platform {

namespace {

using Property = FixedClassObject::Property;

Property textProperty(const std::string& name, const std::string& value, const std::string& origin) {
  return {name, TextVariant(value), kCimString, origin};
}
// WMI hands 64-bit numbers over as decimal strings, typed Uint64.
Property uint64Property(const std::string& name, std::uint64_t value, const std::string& origin) {
  return {name, TextVariant(std::to_string(value)), kCimUint64, origin};
}

std::string cp950(const std::string& utf8) {
  return Utf8ToCp950(utf8).value_or(utf8);
}

std::vector<std::shared_ptr<WbemClassObject>> operatingSystems() {
  auto release = ReadSmallFile("/etc/os-release");
  if (!release) release = ReadSmallFile("/usr/lib/os-release");
  utsname name{};
  std::string kernel = ::uname(&name) == 0 ? name.release : "";
  std::string machine = ::uname(&name) == 0 ? name.machine : "";
  MemoryStatus memory;
  GlobalMemoryStatusEx(memory);
  const std::string origin = "Win32_OperatingSystem";
  std::vector<Property> props = {
      {"BootDevice", NullVariant(), kCimString, "CIM_OperatingSystem"},
      textProperty("Caption", cp950(OsCaptionFromOsRelease(release.value_or(""))),
                   "CIM_ManagedSystemElement"),
      {"CSDVersion", NullVariant(), kCimString, "CIM_OperatingSystem"},
      textProperty("OSArchitecture", machine == "x86_64" || machine == "aarch64" ? "64-bit" : "32-bit",
                   origin),
      textProperty("SystemDrive", "/", origin),
      uint64Property("TotalVisibleMemorySize", memory.totalPhys / 1024, "CIM_OperatingSystem"),
      textProperty("Version", kernel, "CIM_OperatingSystem"),
  };
  return {std::make_shared<FixedClassObject>(std::move(props))};
}

std::vector<std::shared_ptr<WbemClassObject>> processors() {
  std::vector<std::shared_ptr<WbemClassObject>> out;
  auto names = ProcessorNamesFromCpuInfo(ReadSmallFile("/proc/cpuinfo").value_or(""));
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::vector<Property> props = {
        textProperty("DeviceID", "CPU" + std::to_string(i), "Win32_Processor"),
        textProperty("Name", cp950(names[i]), "CIM_ManagedSystemElement"),
    };
    out.push_back(std::make_shared<FixedClassObject>(std::move(props)));
  }
  return out;
}

std::vector<std::shared_ptr<WbemClassObject>> logicalDisks() {
  std::vector<std::shared_ptr<WbemClassObject>> out;
  for (const auto& point : DiskMountPoints(ReadSmallFile("/proc/self/mounts").value_or(""))) {
    std::uint64_t freeToCaller = 0, total = 0, totalFree = 0;
    bool measured = GetDiskFreeSpaceEx(point, freeToCaller, total, totalFree);
    std::vector<Property> props = {
        textProperty("Caption", cp950(point), "CIM_ManagedSystemElement"),
        textProperty("DeviceID", cp950(point), "CIM_LogicalDevice"),
    };
    // A disk that cannot be measured has no figures, as WMI shows an empty drive.
    props.push_back(measured ? uint64Property("FreeSpace", totalFree, "Win32_LogicalDisk")
                             : Property{"FreeSpace", NullVariant(), kCimUint64, "Win32_LogicalDisk"});
    props.push_back(measured ? uint64Property("Size", total, "Win32_LogicalDisk")
                             : Property{"Size", NullVariant(), kCimUint64, "Win32_LogicalDisk"});
    out.push_back(std::make_shared<FixedClassObject>(std::move(props)));
  }
  return out;
}

std::string lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

enum class Space { Cimv2, SecurityCenter };

class LocalServices : public WbemServices {
public:
  explicit LocalServices(Space space) : space_(space) {}
  HResult ExecQuery(const std::string& language, const std::string& query, std::int32_t,
                    std::unique_ptr<EnumWbemClassObject>& result) override {
    if (lower(language) != "wql") return kWbemEInvalidQueryType;
    // "select <properties> from <class> [where ...]"; the profile asks for whole objects only.
    std::istringstream words(query);
    std::string select, what, from, className;
    if (!(words >> select >> what >> from >> className) || lower(select) != "select" || lower(from) != "from")
      return kWbemEInvalidQuery;
    std::string rest;
    if (words >> rest) return kWbemEInvalidQuery; // conditions are not offered here
    std::string cls = lower(className);
    std::vector<std::shared_ptr<WbemClassObject>> objects;
    if (space_ == Space::Cimv2 && cls == "win32_operatingsystem")
      objects = operatingSystems();
    else if (space_ == Space::Cimv2 && cls == "win32_processor")
      objects = processors();
    else if (space_ == Space::Cimv2 && cls == "win32_logicaldisk")
      objects = logicalDisks();
    else if (space_ == Space::SecurityCenter && cls == "antivirusproduct")
      objects = {}; // none installed
    else
      return kWbemEInvalidClass;
    result = std::make_unique<FixedEnumerator>(std::move(objects));
    return kSOk;
  }

private:
  Space space_;
};

class LocalLocator : public WbemLocator {
public:
  HResult ConnectServer(const std::u16string& nameSpace, std::unique_ptr<WbemServices>& services) override {
    std::string name = lower(Utf16ToCp950(nameSpace).value_or(""));
    if (name == "root\\cimv2")
      services = std::make_unique<LocalServices>(Space::Cimv2);
    else if (name == "root\\securitycenter" || name == "root\\securitycenter2")
      services = std::make_unique<LocalServices>(Space::SecurityCenter);
    else
      return kWbemEInvalidNamespace;
    return kSOk;
  }
};

class LocalStatusText : public WbemStatusCodeText {
public:
  HResult GetErrorCodeText(HResult code, std::int32_t, std::int32_t, std::string& text) override {
    switch (static_cast<std::uint32_t>(code)) {
    case 0x8004100Eu:
      text = "Invalid namespace ";
      return kSOk;
    case 0x80041010u:
      text = "Invalid class ";
      return kSOk;
    case 0x80041017u:
      text = "Invalid query ";
      return kSOk;
    case 0x80041018u:
      text = "Invalid query language ";
      return kSOk;
    default:
      return kWbemENotFound;
    }
  }
};

class LinuxCom : public ComPlatform {
public:
  HResult CoInitializeEx(std::int32_t) override { return initCount_++ == 0 ? kSOk : kSFalse; }
  void CoUninitialize() override {
    if (initCount_ > 0) --initCount_;
  }
  HResult CoInitializeSecurity(std::int32_t, std::int32_t, std::int32_t) override { return kSOk; }
  HResult CreateLocator(std::unique_ptr<WbemLocator>& locator) override {
    locator = std::make_unique<LocalLocator>();
    return kSOk;
  }
  HResult CoSetProxyBlanket(WbemServices&, std::int32_t, std::int32_t, std::int32_t, std::int32_t) override {
    return kSOk;
  }
  HResult CreateStatusCodeText(std::unique_ptr<WbemStatusCodeText>& object) override {
    object = std::make_unique<LocalStatusText>();
    return kSOk;
  }
  bool FormatSystemMessage(std::uint32_t code, std::size_t limit, std::string& text) override {
    // The generic COM codes; the system's message table ends each text with CR LF.
    const char* message = nullptr;
    switch (code) {
    case 0x80004001u:
      message = "Not implemented\r\n";
      break;
    case 0x80004002u:
      message = "No such interface supported\r\n";
      break;
    case 0x80004003u:
      message = "Invalid pointer\r\n";
      break;
    case 0x80004005u:
      message = "Unspecified error\r\n";
      break;
    case 0x8007000Eu:
      message = "Not enough memory resources are available to complete this operation.\r\n";
      break;
    case 0x80070057u:
      message = "The parameter is incorrect.\r\n";
      break;
    default:
      return false;
    }
    text = std::string(message).substr(0, limit);
    return true;
  }

private:
  static thread_local int initCount_;
};

thread_local int LinuxCom::initCount_ = 0;

} // namespace

ComPlatform& SystemCom() {
  static LinuxCom com;
  return com;
}

} // namespace zelvo::platform
