// The WinHTTP request object over COM, reached through IDispatch by name (the object's own type
// library is not needed that way). The request is opened asynchronously underneath so that Send can
// wait for the response in short steps and honour the cancel check; to the caller it stays synchronous.
#include "platform/winhttp.h"

#include "platform/cp950.h"

#include <windows.h>

#include <oleauto.h>

#include <array>
#include <cctype>
#include <cstring>
#include <vector>

namespace zelvo::platform {

namespace {
constexpr UINT kCp950 = 950;
constexpr double kWaitStepSeconds = 0.025;

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), units);
  return out;
}

std::string utf8Of(const wchar_t* text, int units) {
  if (!text || units <= 0) return {};
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), bytes, nullptr, nullptr);
  return out;
}

// Owns one VARIANT.
struct Var {
  VARIANT v;
  Var() { ::VariantInit(&v); }
  ~Var() { ::VariantClear(&v); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  static void text(VARIANT& out, const std::string& utf8) {
    ::VariantInit(&out);
    out.vt = VT_BSTR;
    std::wstring w = wide(utf8);
    out.bstrVal = ::SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }
  static void integer(VARIANT& out, long value) {
    ::VariantInit(&out);
    out.vt = VT_I4;
    out.lVal = value;
  }
  static void boolean(VARIANT& out, bool value) {
    ::VariantInit(&out);
    out.vt = VT_BOOL;
    out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  }
};

// Arguments in the caller's order; IDispatch wants them reversed.
HRESULT invoke(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
               VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (SUCCEEDED(hr)) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
  }
  for (VARIANT& arg : args)
    ::VariantClear(&arg);
  return hr;
}

// COM is initialised around each request; the count balances on every path.
class ComScope {
public:
  ComScope() : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  // A thread already in a single-threaded apartment keeps it; the object works there too.
  bool usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }

private:
  HRESULT hr_;
};

class ComRequest final : public WinHttpRequest {
public:
  ~ComRequest() override {
    if (object_) object_->Release();
  }

  bool SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) override {
    if (resolveMs < -1 || connectMs < -1 || sendMs < -1 || receiveMs < -1) return false;
    timeouts_ = {resolveMs, connectMs, sendMs, receiveMs};
    return true;
  }

  bool Open(const std::string& method, const std::string& url, bool async) override {
    if (async || (method != "GET" && method != "POST")) return false;
    std::string scheme = url.substr(0, url.find(':'));
    for (char& c : scheme)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (url.find(':') == std::string::npos || (scheme != "http" && scheme != "https")) return false;
    method_ = method;
    url_ = url;
    headers_.clear();
    opened_ = true;
    status_ = 0;
    text_.reset();
    responseHeaders_.clear();
    return true;
  }

  bool SetRequestHeader(const std::string& name, const std::string& value) override {
    return opened_ && SetHeader(headers_, name, value);
  }

  void SetCancelCheck(std::function<bool()> cancelled) override { cancelled_ = std::move(cancelled); }

  bool Send(const std::optional<std::string>& body) override {
    if (!opened_) return false;
    status_ = 0;
    text_.reset();
    responseHeaders_.clear();
    ComScope com;
    if (!com.usable() || !create()) return false;
    bool ok = perform(body);
    object_->Release();
    object_ = nullptr;
    return ok;
  }

  long Status() const override { return status_; }

  std::optional<std::string> GetResponseHeader(const std::string& name) const override {
    return FindHeader(responseHeaders_, name);
  }

  std::optional<std::string> ResponseText() const override { return text_; }

private:
  bool create() {
    CLSID clsid;
    if (FAILED(::CLSIDFromProgID(L"WinHttp.WinHttpRequest.5.1", &clsid))) return false;
    return SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(&object_)));
  }

  bool call(const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr,
            WORD flags = DISPATCH_METHOD) {
    return SUCCEEDED(invoke(object_, name, flags, std::move(args), result));
  }

  bool perform(const std::optional<std::string>& body) {
    std::vector<VARIANT> limits(4);
    for (std::size_t i = 0; i < 4; ++i)
      Var::integer(limits[i], timeouts_[i] < 0 ? 0 : timeouts_[i]);
    if (!call(L"SetTimeouts", std::move(limits))) return false;
    std::vector<VARIANT> open(3);
    Var::text(open[0], method_);
    Var::text(open[1], url_);
    Var::boolean(open[2], true);
    if (!call(L"Open", std::move(open))) return false;
    for (const auto& header : headers_) {
      std::vector<VARIANT> args(2);
      Var::text(args[0], header.first);
      Var::text(args[1], header.second);
      if (!call(L"SetRequestHeader", std::move(args))) return false;
    }
    std::vector<VARIANT> sendArgs;
    if (body) {
      // The body goes out as the bytes given, not re-encoded: a byte array, not a string.
      VARIANT bytes;
      ::VariantInit(&bytes);
      SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(body->size()));
      if (!array) return false;
      void* data = nullptr;
      if (FAILED(::SafeArrayAccessData(array, &data)) || (!data && !body->empty())) {
        ::SafeArrayDestroy(array);
        return false;
      }
      if (!body->empty()) std::memcpy(data, body->data(), body->size());
      ::SafeArrayUnaccessData(array);
      bytes.vt = VT_ARRAY | VT_UI1;
      bytes.parray = array;
      sendArgs.push_back(bytes);
    }
    if (!call(L"Send", std::move(sendArgs))) return false;
    if (!waitForResponse()) return false;

    Var status;
    if (!call(L"Status", {}, &status.v, DISPATCH_PROPERTYGET) ||
        FAILED(::VariantChangeType(&status.v, &status.v, 0, VT_I4)))
      return false;
    Var headers;
    if (call(L"GetAllResponseHeaders", {}, &headers.v) && headers.v.vt == VT_BSTR)
      parseHeaders(headers.v.bstrVal);
    // The body's bytes, decoded here by the charset the header names: the object's own text decodes
    // only the charsets it knows (Wine's only UTF-8) and reads the rest in the system's code page.
    Var answer;
    if (!call(L"ResponseBody", {}, &answer.v, DISPATCH_PROPERTYGET)) return false;
    std::string bytes;
    if (answer.v.vt == (VT_ARRAY | VT_UI1) && answer.v.parray) {
      LONG low = 0, high = -1;
      ::SafeArrayGetLBound(answer.v.parray, 1, &low);
      ::SafeArrayGetUBound(answer.v.parray, 1, &high);
      const std::size_t size = high >= low ? static_cast<std::size_t>(high - low + 1) : 0;
      if (size > kMaxResponseBytes) return false;
      void* data = nullptr;
      if (size > 0) {
        if (FAILED(::SafeArrayAccessData(answer.v.parray, &data))) return false;
        bytes.assign(static_cast<const char*>(data), size);
        ::SafeArrayUnaccessData(answer.v.parray);
      }
    } else if (answer.v.vt != VT_EMPTY) {
      return false;
    }
    status_ = status.v.lVal;
    text_ = decodeBody(bytes, CharsetCodePage(GetResponseHeader("Content-Type").value_or("")));
    return true;
  }

  // Bytes of a code page as UTF-8; a byte sequence the page cannot decode becomes U+FFFD.
  static std::string decodeBody(const std::string& bytes, UINT page) {
    if (bytes.empty()) return {};
    if (page == kCp950) return AnsiToUtf8(bytes);
    const int size = static_cast<int>(bytes.size());
    int units = ::MultiByteToWideChar(page, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) ::MultiByteToWideChar(page, 0, bytes.data(), size, wide.data(), units);
    return utf8Of(wide.data(), static_cast<int>(wide.size()));
  }

  // Waits in short steps so the cancel check is asked about every 25 ms. The object's own limits end
  // the wait with a failure; as a backstop (Wine does not time out an asynchronous receive) the wait
  // also ends once the four limits together have run out.
  bool waitForResponse() {
    long long budgetMs = 0;
    for (int limit : timeouts_) {
      if (limit <= 0) {
        budgetMs = -1;
        break;
      }
      budgetMs += limit;
    }
    ULONGLONG start = ::GetTickCount64();
    for (;;) {
      if ((cancelled_ && cancelled_()) ||
          (budgetMs > 0 && ::GetTickCount64() - start > static_cast<ULONGLONG>(budgetMs))) {
        call(L"Abort", {});
        return false;
      }
      std::vector<VARIANT> args(1);
      args[0].vt = VT_R8;
      args[0].dblVal = kWaitStepSeconds;
      Var done;
      if (!call(L"WaitForResponse", std::move(args), &done.v)) return false;
      if (done.v.vt == VT_BOOL && done.v.boolVal != VARIANT_FALSE) return true;
    }
  }

  // "Name: value" lines separated by CR LF; the first header of a name wins.
  void parseHeaders(const wchar_t* all) {
    std::string text = utf8Of(all, static_cast<int>(::SysStringLen(const_cast<BSTR>(all))));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 2;
      auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string value = line.substr(colon + 1);
      std::size_t first = value.find_first_not_of(" \t");
      responseHeaders_.emplace_back(line.substr(0, colon),
                                    first == std::string::npos ? "" : value.substr(first));
    }
  }

  IDispatch* object_ = nullptr;
  std::array<int, 4> timeouts_{0, 60000, 30000, 30000};
  std::string method_, url_;
  bool opened_ = false;
  HeaderList headers_;
  std::function<bool()> cancelled_;
  long status_ = 0;
  std::optional<std::string> text_;
  HeaderList responseHeaders_;
};
} // namespace

unsigned CharsetCodePage(const std::string& contentType) {
  // The charset parameter, case and quotes aside.
  std::string lower;
  for (char c : contentType)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  std::size_t at = lower.find("charset=");
  while (at != std::string::npos && at > 0 && lower[at - 1] != ';' && lower[at - 1] != ' ' &&
         lower[at - 1] != '\t')
    at = lower.find("charset=", at + 1);
  if (at == std::string::npos) return kCp950;
  std::string name = lower.substr(at + 8);
  name = name.substr(0, name.find_first_of("; \t"));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  if (name == "utf-8" || name == "utf8") return CP_UTF8;
  if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii") return 28591;
  if (name == "windows-1252" || name == "cp1252") return 1252;
  if (name == "gb2312" || name == "gbk") return 936;
  if (name == "shift_jis") return 932;
  // Big5 and its variants, and any charset the program does not know: the program's own code page.
  return kCp950;
}

std::unique_ptr<WinHttpRequest> CreateWinHttpRequest() {
  return std::make_unique<ComRequest>();
}

std::string Utf8ToAnsi(const std::string& utf8) {
  // Malformed UTF-8 decodes to U+FFFD, which CP950 cannot hold either: both become "?", and so does
  // every character CP950 lacks (no best-fit look-alikes).
  std::wstring w = wide(utf8);
  return Utf16ToAnsi(std::u16string(w.begin(), w.end()));
}

std::string AnsiToUtf8(const std::string& ansi) {
  std::wstring out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(ansi.data());
  std::size_t i = 0;
  while (i < ansi.size()) {
    // One character at a time, so a bad byte costs one U+FFFD and decoding goes on after it.
    std::size_t length = (::IsDBCSLeadByteEx(kCp950, bytes[i]) && i + 1 < ansi.size()) ? 2 : 1;
    wchar_t unit[2];
    int got = ::MultiByteToWideChar(kCp950, MB_ERR_INVALID_CHARS, ansi.data() + i, static_cast<int>(length),
                                    unit, 2);
    if (got > 0) {
      out.append(unit, static_cast<std::size_t>(got));
      i += length;
    } else {
      out.push_back(L'\xFFFD');
      ++i;
    }
  }
  return utf8Of(out.data(), static_cast<int>(out.size()));
}

} // namespace zelvo::platform
