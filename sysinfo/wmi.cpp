#include "sysinfo/wmi.h"

#include "platform/cp950.h"

#include <cmath>
#include <cstdio>

namespace zelvo {

namespace {

using platform::ComPlatform;
using platform::Variant;

// Embedded objects nest; a provider that hands out a cycle must not recurse without end.
constexpr int kMaxObjectDepth = 16;

const char* const kWbemNames1[] = {"WBEM_E_FAILED",
                                   "WBEM_E_NOT_FOUND",
                                   "WBEM_E_ACCESS_DENIED",
                                   "WBEM_E_PROVIDER_FAILURE",
                                   "WBEM_E_TYPE_MISMATCH",
                                   "WBEM_E_OUT_OF_MEMORY",
                                   "WBEM_E_INVALID_CONTEXT",
                                   "WBEM_E_INVALID_PARAMETER",
                                   "WBEM_E_NOT_AVAILABLE",
                                   "WBEM_E_CRITICAL_ERROR",
                                   "WBEM_E_INVALID_STREAM",
                                   "WBEM_E_NOT_SUPPORTED",
                                   "WBEM_E_INVALID_SUPERCLASS",
                                   "WBEM_E_INVALID_NAMESPACE",
                                   "WBEM_E_INVALID_OBJECT",
                                   "WBEM_E_INVALID_CLASS",
                                   "WBEM_E_PROVIDER_NOT_FOUND",
                                   "WBEM_E_INVALID_PROVIDER_REGISTRATION",
                                   "WBEM_E_PROVIDER_LOAD_FAILURE",
                                   "WBEM_E_INITIALIZATION_FAILURE",
                                   "WBEM_E_TRANSPORT_FAILURE",
                                   "WBEM_E_INVALID_OPERATION",
                                   "WBEM_E_INVALID_QUERY",
                                   "WBEM_E_INVALID_QUERY_TYPE",
                                   "WBEM_E_ALREADY_EXISTS",
                                   "WBEM_E_OVERRIDE_NOT_ALLOWED",
                                   "WBEM_E_PROPAGATED_QUALIFIER",
                                   "WBEM_E_PROPAGATED_PROPERTY",
                                   "WBEM_E_UNEXPECTED",
                                   "WBEM_E_ILLEGAL_OPERATION",
                                   "WBEM_E_CANNOT_BE_KEY",
                                   "WBEM_E_INCOMPLETE_CLASS",
                                   "WBEM_E_INVALID_SYNTAX",
                                   "WBEM_E_NONDECORATED_OBJECT",
                                   "WBEM_E_READ_ONLY",
                                   "WBEM_E_PROVIDER_NOT_CAPABLE",
                                   "WBEM_E_CLASS_HAS_CHILDREN",
                                   "WBEM_E_CLASS_HAS_INSTANCES",
                                   "WBEM_E_QUERY_NOT_IMPLEMENTED",
                                   "WBEM_E_ILLEGAL_NULL",
                                   "WBEM_E_INVALID_QUALIFIER_TYPE",
                                   "WBEM_E_INVALID_PROPERTY_TYPE",
                                   "WBEM_E_VALUE_OUT_OF_RANGE",
                                   "WBEM_E_CANNOT_BE_SINGLETON",
                                   "WBEM_E_INVALID_CIM_TYPE",
                                   "WBEM_E_INVALID_METHOD",
                                   "WBEM_E_INVALID_METHOD_PARAMETERS",
                                   "WBEM_E_SYSTEM_PROPERTY",
                                   "WBEM_E_INVALID_PROPERTY",
                                   "WBEM_E_CALL_CANCELLED",
                                   "WBEM_E_SHUTTING_DOWN",
                                   "WBEM_E_PROPAGATED_METHOD",
                                   "WBEM_E_UNSUPPORTED_PARAMETER",
                                   "WBEM_E_MISSING_PARAMETER_ID",
                                   "WBEM_E_INVALID_PARAMETER_ID",
                                   "WBEM_E_NONCONSECUTIVE_PARAMETER_IDS",
                                   "WBEM_E_PARAMETER_ID_ON_RETVAL",
                                   "WBEM_E_INVALID_OBJECT_PATH",
                                   "WBEM_E_OUT_OF_DISK_SPACE",
                                   "WBEM_E_BUFFER_TOO_SMALL",
                                   "WBEM_E_UNSUPPORTED_PUT_EXTENSION",
                                   "WBEM_E_UNKNOWN_OBJECT_TYPE",
                                   "WBEM_E_UNKNOWN_PACKET_TYPE",
                                   "WBEM_E_MARSHAL_VERSION_MISMATCH",
                                   "WBEM_E_MARSHAL_INVALID_SIGNATURE",
                                   "WBEM_E_INVALID_QUALIFIER",
                                   "WBEM_E_INVALID_DUPLICATE_PARAMETER",
                                   "WBEM_E_TOO_MUCH_DATA",
                                   "WBEM_E_SERVER_TOO_BUSY",
                                   "WBEM_E_INVALID_FLAVOR",
                                   "WBEM_E_CIRCULAR_REFERENCE",
                                   "WBEM_E_UNSUPPORTED_CLASS_UPDATE",
                                   "WBEM_E_CANNOT_CHANGE_KEY_INHERITANCE"}; // 0x80041001 .. 0x80041049
const char* const kWbemNames2[] = {"WBEM_E_CANNOT_CHANGE_INDEX_INHERITANCE",
                                   "WBEM_E_TOO_MANY_PROPERTIES",
                                   "WBEM_E_UPDATE_TYPE_MISMATCH",
                                   "WBEM_E_UPDATE_OVERRIDE_NOT_ALLOWED",
                                   "WBEM_E_UPDATE_PROPAGATED_METHOD",
                                   "WBEM_E_METHOD_NOT_IMPLEMENTED",
                                   "WBEM_E_METHOD_DISABLED"}; // 0x80041050 .. 0x80041056
static_assert(std::size(kWbemNames1) == 0x49);
static_assert(std::size(kWbemNames2) == 7);

std::string hex8(HResult code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<std::uint32_t>(code)));
  return text;
}

void raise(WmiError* error, std::string text) {
  if (!error) return;
  error->raised = true;
  error->text = std::move(text);
}

std::string detailed(const char* call, HResult code, ComPlatform& com) {
  return std::string(call) + hex8(code) + " (" + WbemErrorName(code, com) + ") - " +
         WbemStatusText(code, com);
}

std::string dateText(double days) {
  // Days since 1899-12-30; the fraction is the time of day.
  double whole = std::floor(days);
  long long seconds = std::llround((days - whole) * 86400.0);
  long long z = static_cast<long long>(whole) - 25569 + 719468; // to the civil-from-days epoch
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long day = doy - (153 * mp + 2) / 5 + 1;
  long long month = mp < 10 ? mp + 3 : mp - 9;
  long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[160];
  std::snprintf(text, sizeof text, "%04lld/%02lld/%02lld %02lld:%02lld:%02lld", year, month, day,
                seconds / 3600, (seconds / 60) % 60, seconds % 60);
  return text;
}

std::string variantText(const Variant& v) {
  switch (v.kind) {
  case Variant::Integer:
    return std::to_string(v.integer);
  case Variant::Real: {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v.real);
    return text;
  }
  case Variant::Boolean:
    return v.boolean ? "True" : "False";
  case Variant::Text:
    return v.text;
  case Variant::Date:
    return dateText(v.date);
  case Variant::Unknown:
    return "Unknown";
  default:
    return {};
  }
}

HResult addObjectProperties(const platform::WbemClassObject& object, WmiPropertyList& list, ComPlatform& com,
                            int depth);

HResult addPropertyValue(const platform::WbemClassObject& object, const std::string& name,
                         WmiPropertyList& list, ComPlatform& com, int depth) {
  Variant value;
  std::int32_t cimType = 0;
  HResult read = object.Get(name, value, cimType);
  if (read < 0 || value.kind == Variant::Null) {
    list.push_back({name, "(Null)", cimType, CimTypeName(cimType), {}});
    return read;
  }
  std::int32_t flags = cimType & 0xF000, base = cimType & 0xFFF;
  bool isArray = flags == platform::kCimFlagArray;
  std::vector<const Variant*> elements;
  std::int32_t lower = 0;
  if (isArray && value.isArray) {
    lower = value.lowerBound;
    for (const auto& element : value.elements)
      elements.push_back(&element);
  } else {
    elements.push_back(&value);
  }
  std::string origin;
  object.GetPropertyOrigin(name, origin);
  static const std::string kObjectText = platform::Cp950Literal("Object -- 如下 --");
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const Variant& element = *elements[i];
    std::string recordName =
        isArray ? name + "[" + std::to_string(lower + static_cast<std::int64_t>(i)) + "]" : name;
    list.push_back({recordName, base == platform::kCimObject ? kObjectText : variantText(element), cimType,
                    CimTypeName(cimType), origin});
    if (base == platform::kCimObject && element.object && depth < kMaxObjectDepth)
      addObjectProperties(*element.object, list, com, depth + 1);
  }
  return 0;
}

HResult addObjectProperties(const platform::WbemClassObject& object, WmiPropertyList& list, ComPlatform& com,
                            int depth) {
  std::vector<std::string> names;
  HResult result = object.GetNames(0x40, names);
  if (result < 0) {
    // The object contributes nothing; the text is built as for every error, and not raised.
    WmiError ignored;
    raise(&ignored, detailed("IWbemClassObject::GetNames(): ", result, com));
    return result;
  }
  for (const auto& name : names)
    result = addPropertyValue(object, name, list, com, depth);
  return result;
}

} // namespace

std::string CimTypeName(std::int32_t type) {
  std::string prefix;
  switch (type & 0xF000) {
  case 0x2000:
    prefix = "Array - ";
    break;
  case 0x4000:
    prefix = "Reference - ";
    break;
  default:
    break;
  }
  const char* base = nullptr;
  switch (type & 0xFFF) {
  case 0:
    base = "Empty (null)";
    break;
  case 1:
    base = "Null";
    break;
  case 2:
    base = "Sint16";
    break;
  case 3:
    base = "Sint32";
    break;
  case 4:
    base = "Real32";
    break;
  case 5:
    base = "Real64";
    break;
  case 8:
    base = "String";
    break;
  case 11:
    base = "Boolean";
    break;
  case 13:
    base = "Object";
    break;
  case 16:
    base = "Sint8";
    break;
  case 17:
    base = "Uint8";
    break;
  case 18:
    base = "Uint16";
    break;
  case 19:
    base = "Uint32";
    break;
  case 20:
    base = "Sint64";
    break;
  case 21:
    base = "Uint64";
    break;
  case 101:
    base = "DateTime";
    break;
  case 102:
    base = "Reference";
    break;
  case 103:
    base = "Char16";
    break;
  case 4095:
    base = "Illegal";
    break;
  default: {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(type));
    return prefix + text;
  }
  }
  return prefix + base;
}

std::string WbemErrorName(HResult code, ComPlatform& com) {
  auto value = static_cast<std::uint32_t>(code);
  if (value >= 0x80041001u && value <= 0x80041049u) return kWbemNames1[value - 0x80041001u];
  if (value >= 0x80041050u && value <= 0x80041056u) return kWbemNames2[value - 0x80041050u];
  if (value == 0x80042001u) return "WBEMESS_E_REGISTRATION_TOO_BROAD";
  if (value == 0x80042002u) return "WBEMESS_E_REGISTRATION_TOO_PRECISE";
  return SystemErrorText(code, com);
}

std::string WbemStatusText(HResult code, ComPlatform& com) {
  std::unique_ptr<platform::WbemStatusCodeText> status;
  if (com.CreateStatusCodeText(status) < 0 || !status) return {};
  std::string text;
  if (status->GetErrorCodeText(code, 0, 0, text) < 0)
    return platform::Cp950Literal("無法取得 Error Code Text!!!");
  return text;
}

std::string SystemErrorText(HResult code, ComPlatform& com) {
  std::string text;
  if (!com.FormatSystemMessage(static_cast<std::uint32_t>(code), 256, text)) return {};
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  return text;
}

std::string EscapeWqlBackslashes(const std::string& query) {
  std::string out;
  out.reserve(query.size());
  for (char c : query) {
    out.push_back(c);
    if (c == '\\') out.push_back('\\');
  }
  return out;
}

bool InitializeWmi(WmiError* error, ComPlatform& com) {
  com.CoUninitialize(); // the thread may hold an earlier initialisation
  HResult result = com.CoInitializeEx(0);
  if (result < 0) {
    raise(error, "CoInitializeEx(): Failed to initialize COM library - " + hex8(result) + "\n" +
                     WbemErrorName(result, com));
    return false;
  }
  result = com.CoInitializeSecurity(-1, 0, 3);
  if (result < 0) {
    // The caller gets no initialised layer, so it will not uninitialise: leave COM as it was.
    com.CoUninitialize();
    raise(error, "CoInitializeSecurity()- Failed to initialize security: " + hex8(result) + "\n" +
                     WbemErrorName(result, com));
    return false;
  }
  return result == 0;
}

void UninitializeWmi(ComPlatform& com) {
  com.CoUninitialize();
}

HResult ConnectWmi(const std::string& nameSpace, std::unique_ptr<platform::WbemServices>& services,
                   WmiError* error, ComPlatform& com) {
  std::unique_ptr<platform::WbemLocator> locator;
  HResult result = com.CreateLocator(locator);
  if (result < 0 || !locator) {
    if (result >= 0) result = platform::kEFail;
    raise(error, "CoCreateInstance()- Create IWbemLocator object failed: " + hex8(result) + "\n" +
                     WbemErrorName(result, com));
    return result;
  }
  result = locator->ConnectServer(platform::Cp950ToUtf16(nameSpace).value_or(u""), services);
  if (result < 0 || !services) {
    if (result >= 0) result = platform::kEFail;
    raise(error, detailed("IWbemLocator::ConnectServer(): ", result, com));
    return result;
  }
  result = com.CoSetProxyBlanket(*services, 10, 0, 3, 3);
  if (result < 0) {
    raise(error, detailed("CoSetProxyBlanket(): ", result, com));
    return result;
  }
  return result;
}

HResult ExecWmiQuery(platform::WbemServices& services, const std::string& query, WmiPropertyList& list,
                     WmiError* error, ComPlatform& com) {
  std::unique_ptr<platform::EnumWbemClassObject> enumerator;
  HResult result = services.ExecQuery("WQL", EscapeWqlBackslashes(query), 0x30, enumerator);
  if (result < 0 || !enumerator) {
    if (result >= 0) result = platform::kEFail;
    raise(error, detailed("IWbemServices::ExecQuery(): ", result, com));
    return result;
  }
  enumerator->Reset();
  while (true) {
    std::shared_ptr<platform::WbemClassObject> object;
    std::uint32_t returned = 0;
    result = enumerator->Next(-1, object, returned);
    if (result < 0) {
      raise(error, detailed("IEnumWbemClassObject::Next(): ", result, com));
      return result;
    }
    if (returned == 0 || !object) break;
    result = addObjectProperties(*object, list, com, 0);
  }
  return result;
}

HResult AddObjectProperties(const platform::WbemClassObject& object, WmiPropertyList& list,
                            ComPlatform& com) {
  return addObjectProperties(object, list, com, 0);
}

HResult AddPropertyValue(const platform::WbemClassObject& object, const std::string& name,
                         WmiPropertyList& list, ComPlatform& com) {
  return addPropertyValue(object, name, list, com, 0);
}

bool RunWmiQuery(const std::string& nameSpace, const std::string& query, WmiPropertyList& list,
                 ComPlatform& com) {
  list.clear();
  WmiError error;
  std::unique_ptr<platform::WbemServices> services;
  HResult result = ConnectWmi(nameSpace, services, &error, com);
  if (!error.raised && result == 0 && services) ExecWmiQuery(*services, query, list, &error, com);
  return !error.raised;
}

} // namespace zelvo
