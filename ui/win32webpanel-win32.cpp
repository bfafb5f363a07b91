#include "ui/win32webpanel.h"

#include <exdisp.h>
#include <exdispid.h>
#include <mshtmhst.h>
#include <mshtml.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <cwctype>

namespace zelvo {

namespace {

constexpr wchar_t kHostClass[] = L"ZelvoWebPanelHost";

void registerHostClass() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = ::DefWindowProcW;
  c.hInstance = ::GetModuleHandleW(nullptr);
  c.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  c.lpszClassName = kHostClass;
  registered = ::RegisterClassExW(&c) != 0;
}

// A string argument of an event: the control passes addresses by value or by reference.
std::wstring stringOf(const VARIANT& v) {
  const VARIANT* value = &v;
  if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal) value = value->pvarVal;
  if (value->vt == VT_BSTR && value->bstrVal)
    return std::wstring(value->bstrVal, ::SysStringLen(value->bstrVal));
  if (value->vt == (VT_BYREF | VT_BSTR) && value->pbstrVal && *value->pbstrVal)
    return std::wstring(*value->pbstrVal, ::SysStringLen(*value->pbstrVal));
  return std::wstring();
}

void cancel(const VARIANT& v) {
  if (v.vt == (VT_BYREF | VT_BOOL) && v.pboolVal) *v.pboolVal = VARIANT_TRUE;
}

// A BSTR that frees itself.
struct Bstr {
  explicit Bstr(const wchar_t* text) : value(::SysAllocString(text)) {}
  ~Bstr() { ::SysFreeString(value); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR value;
};

template <class T> void release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

} // namespace

bool IsWebAddressW(const std::wstring& address) {
  auto startsWith = [&address](const wchar_t* prefix) {
    std::size_t i = 0;
    for (; prefix[i]; ++i)
      if (i >= address.size() || std::towlower(address[i]) != prefix[i]) return false;
    return address.size() > i;
  };
  return startsWith(L"http://") || startsWith(L"https://");
}

// The in-place frame the control asks for: the form's window, with no menus, tool space or status.
class Frame final : public IOleInPlaceFrame {
public:
  explicit Frame(HWND window) : window_(window) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleWindow || iid == IID_IOleInPlaceUIWindow ||
        iid == IID_IOleInPlaceFrame) {
      *out = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = window_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(WINBOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(WINBOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

private:
  std::atomic<ULONG> refs_{1};
  HWND window_;
};

// The control's container: client site, in-place site, document host (no scroll bars, no border, no
// context menu) and the sink of its events.
class Win32WebPanel::Site final : public IOleClientSite,
                                  public IOleInPlaceSite,
                                  public IDocHostUIHandler,
                                  public IDispatch {
public:
  Site(HWND host, Handlers handlers) : host_(host), handlers_(std::move(handlers)) {
    frame_ = new Frame(::GetAncestor(host, GA_ROOT));
  }

  // Creates the control in place; false when the system has none.
  bool create() {
    if (FAILED(::CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&object_))))
      return false;
    if (FAILED(object_->SetClientSite(static_cast<IOleClientSite*>(this)))) return close(), false;
    RECT rect{};
    ::GetClientRect(host_, &rect);
    if (FAILED(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this), 0,
                               host_, &rect)) ||
        FAILED(object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_))))
      return close(), false;
    // Script errors are the page's business, not boxes in front of the user.
    browser_->put_Silent(VARIANT_TRUE);
    browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(
            browser_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
      if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &events_)))
        events_->Advise(static_cast<IDispatch*>(this), &cookie_);
      container->Release();
    }
    return true;
  }

  void close() {
    if (events_) {
      events_->Unadvise(cookie_);
      release(events_);
    }
    release(browser_);
    if (object_) {
      object_->Close(OLECLOSE_NOSAVE);
      object_->SetClientSite(nullptr);
      release(object_);
    }
    release(frame_);
  }

  bool available() const { return browser_ != nullptr; }

  bool navigate(const std::wstring& address) {
    if (!browser_) return false;
    VARIANT url;
    ::VariantInit(&url);
    url.vt = VT_BSTR;
    url.bstrVal = ::SysAllocString(address.c_str());
    VARIANT empty;
    ::VariantInit(&empty);
    const HRESULT hr = browser_->Navigate2(&url, &empty, &empty, &empty, &empty);
    ::VariantClear(&url);
    return SUCCEEDED(hr);
  }

  void resize(int width, int height) {
    RECT rect{0, 0, width, height};
    IOleInPlaceObject* inPlace = nullptr;
    if (object_ &&
        SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
      inPlace->SetObjectRects(&rect, &rect);
      inPlace->Release();
    }
  }

  bool styleDocument() {
    if (!browser_) return false;
    IDispatch* dispatch = nullptr;
    if (FAILED(browser_->get_Document(&dispatch)) || !dispatch) return false;
    bool styled = false;
    IHTMLDocument2* document = nullptr;
    IHTMLElement* body = nullptr;
    IHTMLBodyElement* bodyElement = nullptr;
    IHTMLStyle* style = nullptr;
    if (SUCCEEDED(dispatch->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&document))) &&
        SUCCEEDED(document->get_body(&body)) && body &&
        SUCCEEDED(body->QueryInterface(IID_IHTMLBodyElement, reinterpret_cast<void**>(&bodyElement)))) {
      Bstr no(L"no");
      bodyElement->put_scroll(no.value);
      if (SUCCEEDED(body->get_style(&style)) && style) {
        Bstr hidden(L"hidden"), none(L"none");
        style->put_overflow(hidden.value);
        style->put_border(none.value);
      }
      styled = true;
    }
    release(style);
    release(bodyElement);
    release(body);
    release(document);
    dispatch->Release();
    return styled;
  }

  // IUnknown, one for all the interfaces.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
      *out = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
      *out = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IDocHostUIHandler)
      *out = static_cast<IDocHostUIHandler*>(this);
    else if (iid == IID_IDispatch || iid == DIID_DWebBrowserEvents2)
      *out = static_cast<IDispatch*>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(WINBOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow and IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = host_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(WINBOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    *frame = frame_;
    if (frame_) frame_->AddRef();
    *document = nullptr;
    ::GetClientRect(host_, position);
    ::GetClientRect(host_, clip);
    info->fMDIApp = FALSE;
    info->hwndFrame = ::GetAncestor(host_, GA_ROOT);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return S_OK; }
  STDMETHODIMP OnUIDeactivate(WINBOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT rect) override {
    IOleInPlaceObject* inPlace = nullptr;
    if (object_ &&
        SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace)))) {
      inPlace->SetObjectRects(rect, rect);
      inPlace->Release();
    }
    return S_OK;
  }

  // IDocHostUIHandler: no scroll bars, no 3-D border, no context menu, nothing else of the host.
  STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override {
    if (!info || info->cbSize < sizeof(DOCHOSTUIINFO)) return E_INVALIDARG;
    info->dwFlags = DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_NO3DOUTERBORDER;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    info->pchHostCss = nullptr;
    info->pchHostNS = nullptr;
    return S_OK;
  }
  STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                      IOleInPlaceUIWindow*) override {
    return S_OK;
  }
  STDMETHODIMP HideUI() override { return S_OK; }
  STDMETHODIMP UpdateUI() override { return S_OK; }
  STDMETHODIMP EnableModeless(WINBOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(WINBOOL) override { return S_OK; }
  STDMETHODIMP OnFrameWindowActivate(WINBOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, WINBOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
  STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override {
    *key = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetExternal(IDispatch** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override {
    *out = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override {
    *out = nullptr;
    return S_FALSE;
  }

  // IDispatch: the control's events.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    // Arguments arrive last first.
    auto arg = [params](UINT fromLast) -> const VARIANT* {
      return params && fromLast < params->cArgs ? &params->rgvarg[fromLast] : nullptr;
    };
    switch (id) {
    case DISPID_BEFORENAVIGATE2: // pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel
      if (const VARIANT* url = arg(5); url && !IsWebAddressW(stringOf(*url))) {
        // about:blank is the control's own empty page; nothing else but the web is loaded.
        if (stringOf(*url) != L"about:blank")
          if (const VARIANT* c = arg(0)) cancel(*c);
      }
      break;
    case DISPID_NEWWINDOW3: // ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl
      if (const VARIANT* c = arg(3)) cancel(*c);
      if (const VARIANT* url = arg(0); url && handlers_.newWindow) handlers_.newWindow(stringOf(*url));
      break;
    case DISPID_NEWWINDOW2: // ppDisp, Cancel: older systems say no address; the window stays closed
      if (const VARIANT* c = arg(0)) cancel(*c);
      break;
    case DISPID_DOCUMENTCOMPLETE:
      if (handlers_.documentComplete) handlers_.documentComplete();
      break;
    default:
      return DISP_E_MEMBERNOTFOUND;
    }
    return S_OK;
  }

private:
  ~Site() { close(); }

  std::atomic<ULONG> refs_{1};
  HWND host_;
  Handlers handlers_;
  Frame* frame_ = nullptr;
  IOleObject* object_ = nullptr;
  IWebBrowser2* browser_ = nullptr;
  IConnectionPoint* events_ = nullptr;
  DWORD cookie_ = 0;
};

Win32WebPanel::Win32WebPanel(HWND parent, Handlers handlers) {
  registerHostClass();
  // No tab stop; hidden and without size until a page gives it one.
  host_ = ::CreateWindowExW(0, kHostClass, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 0, 0, parent, nullptr,
                            ::GetModuleHandleW(nullptr), nullptr);
  site_ = new Site(host_, std::move(handlers));
  if (host_ && !site_->create()) site_->close();
}

Win32WebPanel::~Win32WebPanel() {
  if (site_) {
    site_->close();
    site_->Release();
  }
  if (host_) ::DestroyWindow(host_);
}

bool Win32WebPanel::available() const {
  return site_ && site_->available();
}

bool Win32WebPanel::navigate(const std::wstring& address) {
  if (!IsWebAddressW(address)) return false;
  lastAddress_ = address;
  return site_->navigate(address) || !available();
}

void Win32WebPanel::place(int left, int top, int width, int height, bool visible) {
  if (!host_) return;
  const bool shown = visible && width > 0 && height > 0;
  if (shown) {
    ::SetWindowPos(host_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    site_->resize(width, height);
  }
  ::ShowWindow(host_, shown ? SW_SHOWNA : SW_HIDE);
}

bool Win32WebPanel::styleDocument() {
  return site_ && site_->styleDocument();
}

IDispatch* Win32WebPanel::eventSink() const {
  return site_ ? static_cast<IDispatch*>(site_) : nullptr;
}

} // namespace zelvo
