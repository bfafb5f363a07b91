#pragma once
// The WMI query layer: runs a WQL query against a namespace and returns every property of every
// object as text, in one flat ordered list, with readable texts for COM and WMI result codes.
// Every call must come from the thread that called InitializeWmi (the engine's thread).

#include "platform/wmi.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelvo {

using platform::HResult;

struct WmiProperty {
  std::string name; // with "[i]" for an array element
  std::string value;
  std::int32_t cimType = 0;
  std::string cimTypeName;
  std::string origin;
};
// Reading past the end with at() raises std::out_of_range, as the list's range error.
using WmiPropertyList = std::vector<WmiProperty>;

// An error the layer raised: the composed text (CP950).
struct WmiError {
  bool raised = false;
  std::string text;
};

std::string CimTypeName(std::int32_t type);
// The symbolic name of a WMI result code, or the system's text for any other code.
std::string WbemErrorName(HResult code, platform::ComPlatform& com = platform::SystemCom());
std::string WbemStatusText(HResult code, platform::ComPlatform& com = platform::SystemCom());
std::string SystemErrorText(HResult code, platform::ComPlatform& com = platform::SystemCom());
// Doubles every backslash (WQL string escaping).
std::string EscapeWqlBackslashes(const std::string& query);

// Prepares COM on the calling thread; false with the error text on failure.
bool InitializeWmi(WmiError* error = nullptr, platform::ComPlatform& com = platform::SystemCom());
void UninitializeWmi(platform::ComPlatform& com = platform::SystemCom());

HResult ConnectWmi(const std::string& nameSpace, std::unique_ptr<platform::WbemServices>& services,
                   WmiError* error = nullptr, platform::ComPlatform& com = platform::SystemCom());
HResult ExecWmiQuery(platform::WbemServices& services, const std::string& query, WmiPropertyList& list,
                     WmiError* error = nullptr, platform::ComPlatform& com = platform::SystemCom());
HResult AddObjectProperties(const platform::WbemClassObject& object, WmiPropertyList& list,
                            platform::ComPlatform& com = platform::SystemCom());
HResult AddPropertyValue(const platform::WbemClassObject& object, const std::string& name,
                         WmiPropertyList& list, platform::ComPlatform& com = platform::SystemCom());

// Empties the list, connects, runs the query and fills the list. False when a step raised an error
// (the list keeps what was filled), true otherwise, also when no object matched.
bool RunWmiQuery(const std::string& nameSpace, const std::string& query, WmiPropertyList& list,
                 platform::ComPlatform& com = platform::SystemCom());

} // namespace zelvo
