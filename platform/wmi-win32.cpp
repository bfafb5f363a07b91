// WMI over the system's COM objects: thin adapters that turn VARIANTs and BSTRs into the stand-in's
// shapes (texts in CP950).
#include "platform/wmi.h"

#include "platform/cp950.h"

#include <windows.h>

#include <oleauto.h>
#include <wbemcli.h>

#include <algorithm>
#include <vector>

namespace zelvo::platform {

namespace {
template <typename T> struct ComPtr {
  T* p = nullptr;
  ComPtr() = default;
  explicit ComPtr(T* raw) : p(raw) {}
  ~ComPtr() {
    if (p) p->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T** out() { return &p; }
};

struct Bstr {
  BSTR b = nullptr;
  explicit Bstr(const std::u16string& text)
      : b(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                              static_cast<UINT>(text.size()))) {}
  ~Bstr() { ::SysFreeString(b); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
};

std::u16string u16(const std::string& cp950) {
  return Cp950ToUtf16(cp950).value_or(std::u16string());
}

// Characters CP950 cannot hold become "?", as the ANSI conversion does (never a best-fit look-alike).
std::string cp950Of(const wchar_t* text, std::size_t units) {
  if (!text || units == 0) return {};
  return Utf16ToAnsi(std::u16string(text, text + units));
}

std::string cp950Of(BSTR text) {
  return cp950Of(text, ::SysStringLen(text));
}

class ComClassObject;

Variant element(VARTYPE type, const void* data);

Variant fromVariant(const VARIANT& in) {
  Variant out;
  if (in.vt & VT_ARRAY) {
    out.isArray = true;
    SAFEARRAY* array = in.parray;
    LONG low = 0, high = -1;
    if (array && ::SafeArrayGetDim(array) == 1) {
      ::SafeArrayGetLBound(array, 1, &low);
      ::SafeArrayGetUBound(array, 1, &high);
    }
    out.lowerBound = low;
    VARTYPE type = static_cast<VARTYPE>(in.vt & VT_TYPEMASK);
    for (LONG i = low; i <= high; ++i) {
      VARIANT item;
      ::VariantInit(&item);
      if (type == VT_VARIANT) {
        ::SafeArrayGetElement(array, &i, &item);
      } else {
        // A typed array: read the element into a VARIANT of that type.
        item.vt = type;
        ::SafeArrayGetElement(array, &i, &item.lVal);
      }
      out.elements.push_back(fromVariant(item));
      ::VariantClear(&item);
    }
    return out;
  }
  return element(in.vt, &in);
}

class ComClassObject : public WbemClassObject {
public:
  explicit ComClassObject(IWbemClassObject* object) : object_(object) {}

  HResult GetNames(std::int32_t flags, std::vector<std::string>& names) const override {
    SAFEARRAY* array = nullptr;
    HRESULT hr = object_.p->GetNames(nullptr, flags, nullptr, &array);
    if (FAILED(hr)) return hr;
    LONG low = 0, high = -1;
    ::SafeArrayGetLBound(array, 1, &low);
    ::SafeArrayGetUBound(array, 1, &high);
    names.clear();
    for (LONG i = low; i <= high; ++i) {
      BSTR name = nullptr;
      if (SUCCEEDED(::SafeArrayGetElement(array, &i, &name))) names.push_back(cp950Of(name));
      ::SysFreeString(name);
    }
    ::SafeArrayDestroy(array);
    return kSOk;
  }

  HResult Get(const std::string& name, Variant& value, std::int32_t& cimType) const override {
    VARIANT raw;
    ::VariantInit(&raw);
    CIMTYPE type = 0;
    std::u16string wideName = u16(name);
    HRESULT hr = object_.p->Get(reinterpret_cast<LPCWSTR>(wideName.c_str()), 0, &raw, &type, nullptr);
    if (FAILED(hr)) return hr;
    value = fromVariant(raw);
    cimType = type;
    ::VariantClear(&raw);
    return hr;
  }

  HResult GetPropertyOrigin(const std::string& name, std::string& origin) const override {
    BSTR text = nullptr;
    std::u16string wideName = u16(name);
    HRESULT hr = object_.p->GetPropertyOrigin(reinterpret_cast<LPCWSTR>(wideName.c_str()), &text);
    if (SUCCEEDED(hr)) origin = cp950Of(text);
    ::SysFreeString(text);
    return hr;
  }

private:
  ComPtr<IWbemClassObject> object_;
};

Variant element(VARTYPE type, const void* data) {
  const auto& in = *static_cast<const VARIANT*>(data);
  Variant out;
  switch (type) {
  case VT_EMPTY:
    out.kind = Variant::Empty;
    break;
  case VT_NULL:
    out.kind = Variant::Null;
    break;
  case VT_I1:
  case VT_I2:
  case VT_I4:
  case VT_INT:
  case VT_UI1:
  case VT_UI2:
  case VT_UI4:
  case VT_UINT:
  case VT_I8:
  case VT_UI8: {
    VARIANT copy;
    ::VariantInit(&copy);
    out.kind = Variant::Integer;
    if (SUCCEEDED(::VariantChangeType(&copy, const_cast<VARIANT*>(&in), 0, VT_I8))) out.integer = copy.llVal;
    break;
  }
  case VT_R4:
    out.kind = Variant::Real;
    out.real = in.fltVal;
    break;
  case VT_R8:
    out.kind = Variant::Real;
    out.real = in.dblVal;
    break;
  case VT_BOOL:
    out.kind = Variant::Boolean;
    out.boolean = in.boolVal != VARIANT_FALSE;
    break;
  case VT_BSTR:
    out.kind = Variant::Text;
    out.text = cp950Of(in.bstrVal);
    break;
  case VT_DATE:
    out.kind = Variant::Date;
    out.date = in.date;
    break;
  case VT_UNKNOWN: {
    IWbemClassObject* object = nullptr;
    if (in.punkVal &&
        SUCCEEDED(in.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&object)))) {
      out.kind = Variant::Object;
      out.object = std::make_shared<ComClassObject>(object);
    } else {
      out.kind = Variant::Unknown;
    }
    break;
  }
  default:
    out.kind = Variant::Unknown;
  }
  return out;
}

class ComEnumerator : public EnumWbemClassObject {
public:
  explicit ComEnumerator(IEnumWbemClassObject* e) : enum_(e) {}
  HResult Reset() override { return enum_.p->Reset(); }
  HResult Next(std::int32_t timeout, std::shared_ptr<WbemClassObject>& object,
               std::uint32_t& returned) override {
    IWbemClassObject* raw = nullptr;
    ULONG count = 0;
    HRESULT hr = enum_.p->Next(timeout, 1, &raw, &count);
    returned = count;
    object = count && raw ? std::make_shared<ComClassObject>(raw) : nullptr;
    return hr;
  }

private:
  ComPtr<IEnumWbemClassObject> enum_;
};

class ComServices : public WbemServices {
public:
  explicit ComServices(IWbemServices* services) : services_(services) {}
  HResult ExecQuery(const std::string& language, const std::string& query, std::int32_t flags,
                    std::unique_ptr<EnumWbemClassObject>& result) override {
    Bstr lang(u16(language)), text(u16(query));
    IEnumWbemClassObject* e = nullptr;
    HRESULT hr = services_.p->ExecQuery(lang.b, text.b, flags, nullptr, &e);
    if (SUCCEEDED(hr) && e) result = std::make_unique<ComEnumerator>(e);
    return hr;
  }
  IWbemServices* raw() const { return services_.p; }

private:
  ComPtr<IWbemServices> services_;
};

class ComLocator : public WbemLocator {
public:
  explicit ComLocator(IWbemLocator* locator) : locator_(locator) {}
  HResult ConnectServer(const std::u16string& nameSpace, std::unique_ptr<WbemServices>& services) override {
    Bstr name(nameSpace);
    IWbemServices* raw = nullptr;
    HRESULT hr = locator_.p->ConnectServer(name.b, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &raw);
    if (SUCCEEDED(hr) && raw) services = std::make_unique<ComServices>(raw);
    return hr;
  }

private:
  ComPtr<IWbemLocator> locator_;
};

class ComStatusText : public WbemStatusCodeText {
public:
  explicit ComStatusText(IWbemStatusCodeText* object) : object_(object) {}
  HResult GetErrorCodeText(HResult code, std::int32_t locale, std::int32_t flags,
                           std::string& text) override {
    BSTR raw = nullptr;
    HRESULT hr = object_.p->GetErrorCodeText(code, static_cast<LCID>(locale), flags, &raw);
    if (SUCCEEDED(hr)) text = cp950Of(raw);
    ::SysFreeString(raw);
    return hr;
  }

private:
  ComPtr<IWbemStatusCodeText> object_;
};

class Win32Com : public ComPlatform {
public:
  HResult CoInitializeEx(std::int32_t model) override {
    return ::CoInitializeEx(nullptr, static_cast<DWORD>(model));
  }
  void CoUninitialize() override { ::CoUninitialize(); }
  HResult CoInitializeSecurity(std::int32_t authnServices, std::int32_t authnLevel,
                               std::int32_t impLevel) override {
    return ::CoInitializeSecurity(nullptr, authnServices, nullptr, nullptr, static_cast<DWORD>(authnLevel),
                                  static_cast<DWORD>(impLevel), nullptr, EOAC_NONE, nullptr);
  }
  HResult CreateLocator(std::unique_ptr<WbemLocator>& locator) override {
    IWbemLocator* raw = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    reinterpret_cast<void**>(&raw));
    if (SUCCEEDED(hr) && raw) locator = std::make_unique<ComLocator>(raw);
    return hr;
  }
  HResult CoSetProxyBlanket(WbemServices& services, std::int32_t authnService, std::int32_t authzService,
                            std::int32_t authnLevel, std::int32_t impLevel) override {
    auto* com = dynamic_cast<ComServices*>(&services);
    if (!com) return kEInvalidArg;
    return ::CoSetProxyBlanket(com->raw(), static_cast<DWORD>(authnService), static_cast<DWORD>(authzService),
                               nullptr, static_cast<DWORD>(authnLevel), static_cast<DWORD>(impLevel), nullptr,
                               EOAC_NONE);
  }
  HResult CreateStatusCodeText(std::unique_ptr<WbemStatusCodeText>& object) override {
    IWbemStatusCodeText* raw = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_WbemStatusCodeText, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWbemStatusCodeText, reinterpret_cast<void**>(&raw));
    if (SUCCEEDED(hr) && raw) object = std::make_unique<ComStatusText>(raw);
    return hr;
  }
  bool FormatSystemMessage(std::uint32_t code, std::size_t limit, std::string& text) override {
    // The wide text, so that the CP950 text does not depend on the system's ANSI code page; the cut
    // keeps whole characters.
    wchar_t* message = nullptr;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (length == 0 || !message) return false;
    text = CutCp950(cp950Of(message, length), limit);
    ::LocalFree(message);
    return true;
  }
};
} // namespace

ComPlatform& SystemCom() {
  static Win32Com com;
  return com;
}

} // namespace zelvo::platform
