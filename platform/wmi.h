#pragma once
// WMI stand-in: COM-shaped objects (locator, services, enumerator, class objects with CIM-typed
// properties) and a local provider that answers the system profile's WQL queries from this machine:
// "root\CIMV2" Win32_OperatingSystem, Win32_Processor and Win32_LogicalDisk, and the security
// centre's AntiVirusProduct (a successful query with no object). Result codes are HRESULTs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelvo::platform {

using HResult = std::int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kWbemSFalse = 1; // enumeration: fewer objects than asked
constexpr HResult hresult(std::uint32_t code) {
  return static_cast<HResult>(code);
}
inline constexpr HResult kEFail = hresult(0x80004005u);
inline constexpr HResult kEInvalidArg = hresult(0x80070057u);
inline constexpr HResult kWbemEFailed = hresult(0x80041001u);
inline constexpr HResult kWbemENotFound = hresult(0x80041002u);
inline constexpr HResult kWbemEInvalidNamespace = hresult(0x8004100Eu);
inline constexpr HResult kWbemEInvalidClass = hresult(0x80041010u);
inline constexpr HResult kWbemEInvalidQuery = hresult(0x80041017u);
inline constexpr HResult kWbemEInvalidQueryType = hresult(0x80041018u);

// CIM type codes as WMI reports them.
inline constexpr std::int32_t kCimSint32 = 3;
inline constexpr std::int32_t kCimString = 8;
inline constexpr std::int32_t kCimBoolean = 11;
inline constexpr std::int32_t kCimObject = 13;
inline constexpr std::int32_t kCimUint16 = 18;
inline constexpr std::int32_t kCimUint32 = 19;
inline constexpr std::int32_t kCimUint64 = 21;
inline constexpr std::int32_t kCimDateTime = 101;
inline constexpr std::int32_t kCimFlagArray = 0x2000;

class WbemClassObject;

// A property value as a variant: one element, or an array of elements.
struct Variant {
  enum Kind { Empty, Null, Integer, Real, Boolean, Text, Date, Unknown, Object };
  Kind kind = Empty;
  std::int64_t integer = 0;
  double real = 0.0;
  bool boolean = false;
  std::string text;  // CP950
  double date = 0.0; // days since 1899-12-30, fraction for the time of day
  std::shared_ptr<WbemClassObject> object;
  bool isArray = false;
  std::int32_t lowerBound = 0;
  std::vector<Variant> elements;
};

class WbemClassObject {
public:
  virtual ~WbemClassObject() = default;
  // Names of the non-system properties (flag 0x40) in the object's order.
  virtual HResult GetNames(std::int32_t flags, std::vector<std::string>& names) const = 0;
  virtual HResult Get(const std::string& name, Variant& value, std::int32_t& cimType) const = 0;
  virtual HResult GetPropertyOrigin(const std::string& name, std::string& origin) const = 0;
};

class EnumWbemClassObject {
public:
  virtual ~EnumWbemClassObject() = default;
  virtual HResult Reset() = 0;
  // At most one object; returned is 0 at the end.
  virtual HResult Next(std::int32_t timeout, std::shared_ptr<WbemClassObject>& object,
                       std::uint32_t& returned) = 0;
};

class WbemServices {
public:
  virtual ~WbemServices() = default;
  virtual HResult ExecQuery(const std::string& language, const std::string& query, std::int32_t flags,
                            std::unique_ptr<EnumWbemClassObject>& result) = 0;
};

class WbemLocator {
public:
  virtual ~WbemLocator() = default;
  virtual HResult ConnectServer(const std::u16string& nameSpace, std::unique_ptr<WbemServices>& services) = 0;
};

class WbemStatusCodeText {
public:
  virtual ~WbemStatusCodeText() = default;
  virtual HResult GetErrorCodeText(HResult code, std::int32_t locale, std::int32_t flags,
                                   std::string& text) = 0;
};

// The COM calls the WMI layer makes; the layer takes this interface so tests can answer instead.
class ComPlatform {
public:
  virtual ~ComPlatform() = default;
  virtual HResult CoInitializeEx(std::int32_t model) = 0;
  virtual void CoUninitialize() = 0;
  virtual HResult CoInitializeSecurity(std::int32_t authnServices, std::int32_t authnLevel,
                                       std::int32_t impLevel) = 0;
  virtual HResult CreateLocator(std::unique_ptr<WbemLocator>& locator) = 0;
  virtual HResult CoSetProxyBlanket(WbemServices& services, std::int32_t authnService,
                                    std::int32_t authzService, std::int32_t authnLevel,
                                    std::int32_t impLevel) = 0;
  virtual HResult CreateStatusCodeText(std::unique_ptr<WbemStatusCodeText>& object) = 0;
  // The system message of a code, at most `limit` bytes; false when the platform has none.
  virtual bool FormatSystemMessage(std::uint32_t code, std::size_t limit, std::string& text) = 0;
};

// COM on this machine with the local provider. Its per-thread initialisation count is kept per thread.
ComPlatform& SystemCom();

// A class object with fixed properties, for the provider and for tests.
class FixedClassObject : public WbemClassObject {
public:
  struct Property {
    std::string name;
    Variant value;
    std::int32_t cimType = 0;
    std::string origin;
  };
  explicit FixedClassObject(std::vector<Property> properties) : properties_(std::move(properties)) {}
  HResult GetNames(std::int32_t flags, std::vector<std::string>& names) const override;
  HResult Get(const std::string& name, Variant& value, std::int32_t& cimType) const override;
  HResult GetPropertyOrigin(const std::string& name, std::string& origin) const override;

private:
  std::vector<Property> properties_;
};

// An enumerator over fixed objects.
class FixedEnumerator : public EnumWbemClassObject {
public:
  explicit FixedEnumerator(std::vector<std::shared_ptr<WbemClassObject>> objects)
      : objects_(std::move(objects)) {}
  HResult Reset() override {
    next_ = 0;
    return kSOk;
  }
  HResult Next(std::int32_t timeout, std::shared_ptr<WbemClassObject>& object,
               std::uint32_t& returned) override;

private:
  std::vector<std::shared_ptr<WbemClassObject>> objects_;
  std::size_t next_ = 0;
};

Variant TextVariant(const std::string& text);
Variant IntegerVariant(std::int64_t value);
Variant NullVariant();

// The provider's building blocks, exposed for tests: the caption from os-release text, the processors
// from cpuinfo text, the disks from mounts text (statvfs decides which ones can be measured).
std::string OsCaptionFromOsRelease(const std::string& osRelease);
std::vector<std::string> ProcessorNamesFromCpuInfo(const std::string& cpuinfo);
// Mount points of real file systems in mounts text (octal escapes decoded), "/" first, no repeats.
std::vector<std::string> DiskMountPoints(const std::string& mounts);

} // namespace zelvo::platform
