#include "ui/win32view.h"

#include "engine/config.h"
#include "engine/document.h"
#include "frontend/settings.h"
#include "platform/cp950.h"
#include "ui/version.h"

#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <utility>

namespace zelvo {

namespace {

constexpr wchar_t kFormClass[] = L"TMainForm";
constexpr UINT_PTR kExecuteTimer = 1;
constexpr UINT_PTR kDisableTimer = 2;
constexpr UINT_PTR kCloseTimer = 3;
// The application title: the caption of the boxes the program shows for an unexpected failure.
constexpr const char* kApplicationTitle = "Zelvo測速軟體";

Win32FormView* theView = nullptr; // the one window of the process, for the key preview hook

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::wstring wideOfUtf8(const std::string& utf8) {
  const auto text = platform::Utf8ToUtf16(utf8);
  return text ? std::wstring(text->begin(), text->end()) : std::wstring();
}

// Texts inside the program are CP950; the window's controls take UTF-16. Bytes the conversion rejects
// are shown through the system's own code page 950 rather than not at all.
std::wstring wideOfCp950(const std::string& cp950) {
  if (auto text = platform::Cp950ToUtf16(cp950)) return std::wstring(text->begin(), text->end());
  const int length = ::MultiByteToWideChar(950, 0, cp950.data(), static_cast<int>(cp950.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(950, 0, cp950.data(), static_cast<int>(cp950.size()), out.data(), length);
  return out;
}

std::wstring tableText(const char* letters) {
  return letters ? wideOfCp950(decodeLetterPairs(letters)) : std::wstring();
}

// A multi-line edit wants CR LF; the texts break lines with either or both.
std::wstring crlf(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\r') {
      out += L"\r\n";
      if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
    } else if (c == L'\n') {
      out += L"\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

// A top-down 32-bit DIB section of premultiplied BGRA pixels: what AlphaBlend draws with alpha.
HBITMAP bitmapOf(const Picture& picture, const PictureFrame& frame) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = picture.width;
  info.bmiHeader.biHeight = -picture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) return bitmap;
  auto* out = static_cast<std::uint32_t*>(bits);
  const std::uint8_t* src = frame.rgba.data();
  const std::size_t pixels = static_cast<std::size_t>(picture.width) * picture.height;
  for (std::size_t i = 0; i < pixels; ++i, src += 4) {
    const unsigned a = picture.hasAlpha ? src[3] : 255;
    auto pre = [a](unsigned c) { return (c * a + 127) / 255; };
    out[i] = (a << 24) | (pre(src[0]) << 16) | (pre(src[1]) << 8) | pre(src[2]);
  }
  return bitmap;
}

const void* sourceOf(const Component& c) {
  return c.image.picture.empty() ? nullptr : c.image.picture.frames.front().rgba.data();
}

HFONT fontOf(const std::string& face, int px, bool bold, BYTE charset) {
  return ::CreateFontW(-px, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, charset,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       wideOfUtf8(face).c_str());
}

} // namespace

Win32FormView::Win32FormView(FormModel& form, std::shared_ptr<platform::MainLoop> loop)
    : form_(form), loop_(std::move(loop)) {
  theView = this;
  if (const char* path = std::getenv("ZELVO_WINDOW_TRACE"); path && *path) trace_ = std::fopen(path, "a");
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = &Win32FormView::windowProc;
  c.hInstance = instance;
  c.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  c.hIcon = ::LoadIconW(instance, L"MAINICON");
  c.hbrBackground = nullptr; // the back buffer covers the client area
  c.lpszClassName = kFormClass;
  ::RegisterClassExW(&c);

  // A single fixed border with the system menu only, the client area 520 x 420, centred.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  ::AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  const int x = std::max(0, (::GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  const int y = std::max(0, (::GetSystemMetrics(SM_CYSCREEN) - height) / 2);
  window_ = ::CreateWindowExW(0, kFormClass, wideOfUtf8(kWindowTitle).c_str(), style, x, y, width, height,
                              nullptr, nullptr, instance, this);
  form_.setOuterWidth(width);

  HDC screen = ::GetDC(nullptr);
  form_.setScreenDpi(::GetDeviceCaps(screen, LOGPIXELSX));
  backDc_ = ::CreateCompatibleDC(screen);
  ::ReleaseDC(nullptr, screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kClientWidth;
  info.bmiHeader.biHeight = -kClientHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  backBitmap_ = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  backOld_ = ::SelectObject(backDc_, backBitmap_);
  white_ = ::CreateSolidBrush(RGB(255, 255, 255));

  for (const Component& comp : form_.components()) {
    if (comp.kind == ComponentKind::Label) {
      HWND label = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_NOPREFIX, comp.left, comp.top,
                                     std::max(comp.width(), 1), std::max(comp.height(), 1), window_, nullptr,
                                     instance, nullptr);
      HFONT font = fontOf(comp.fontName, comp.fontPx, comp.bold, DEFAULT_CHARSET);
      ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
      labels_[comp.name] = label;
      fonts_[comp.name] = font;
    } else if (comp.kind == ComponentKind::Memo) {
      memo_ = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                comp.left, comp.top, std::max(comp.width(), 1), std::max(comp.height(), 1),
                                window_, nullptr, instance, nullptr);
      // Asked for with the Traditional Chinese character set, the face falls back to the system's
      // Chinese font for the texts it cannot draw itself.
      memoFont_ = fontOf(comp.fontName, comp.fontPx, false, CHINESEBIG5_CHARSET);
      ::SendMessageW(memo_, WM_SETFONT, reinterpret_cast<WPARAM>(memoFont_), FALSE);
    }
  }
  // The form sees every key first, whichever control has the focus.
  keyHook_ = ::SetWindowsHookExW(WH_GETMESSAGE, &Win32FormView::keyPreview, nullptr, ::GetCurrentThreadId());
}

Win32FormView::~Win32FormView() {
  if (keyHook_) ::UnhookWindowsHookEx(keyHook_);
  adPanel_.reset();
  infoPanel_.reset();
  for (auto& [name, f] : frames_)
    freeFrames(f);
  if (window_) ::DestroyWindow(window_);
  for (auto& [name, font] : fonts_)
    ::DeleteObject(font);
  if (memoFont_) ::DeleteObject(memoFont_);
  if (white_) ::DeleteObject(white_);
  if (backDc_) {
    ::SelectObject(backDc_, backOld_);
    ::DeleteDC(backDc_);
  }
  if (backBitmap_) ::DeleteObject(backBitmap_);
  if (trace_) std::fclose(trace_);
  theView = nullptr;
}

void Win32FormView::ensurePanels() {
  // Made when the service's configuration arrives, which the engine posts after its system profile:
  // the profile's COM security set-up must come before the control marshals anything, or it is
  // refused for the whole process.
  if (adPanel_) return;
  Win32WebPanel::Handlers ad;
  ad.documentComplete = [this] { onAdvertComplete(); };
  ad.newWindow = [this](const std::wstring& address) { openWide(address, SW_SHOWNORMAL); };
  adPanel_ = std::make_unique<Win32WebPanel>(window_, ad);
  Win32WebPanel::Handlers info;
  info.newWindow = ad.newWindow;
  infoPanel_ = std::make_unique<Win32WebPanel>(window_, info);
  trace(std::string("panel Ad_WebBrowser ") + (adPanel_->available() ? "created" : "unavailable"));
  trace(std::string("panel Info_WebBrowser ") + (infoPanel_->available() ? "created" : "unavailable"));
}

void Win32FormView::trace(const std::string& line) {
  if (!trace_) return;
  std::fprintf(trace_, "%s\n", line.c_str());
  std::fflush(trace_);
}

LRESULT CALLBACK Win32FormView::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32FormView*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && self->window_ == window) return self->handle(message, wParam, lParam);
  return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK Win32FormView::keyPreview(int code, WPARAM wParam, LPARAM lParam) {
  Win32FormView* self = theView;
  if (code == HC_ACTION && wParam == PM_REMOVE && self && self->window_ && !self->closing_) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    const bool ours = msg->hwnd == self->window_ || ::IsChild(self->window_, msg->hwnd);
    if (ours && msg->message == WM_CHAR && msg->wParam >= 0x20 && msg->wParam <= 0x7e) {
      // The key still goes on to the control that has the focus; the action runs after it, from the
      // loop, so that a box it shows is not nested in this hook.
      const char key = static_cast<char>(msg->wParam);
      self->loop_->post([self, key] {
        if (theView == self && !self->closing_) self->perform(self->form_.onKeyPress(key));
      });
    }
    // A click into a web panel does not leave the keyboard there.
    if (ours && msg->hwnd != self->window_ &&
        (msg->message == WM_LBUTTONUP || msg->message == WM_RBUTTONUP || msg->message == WM_MBUTTONUP)) {
      for (Win32WebPanel* panel : {self->adPanel_.get(), self->infoPanel_.get()})
        if (panel && (msg->hwnd == panel->window() || ::IsChild(panel->window(), msg->hwnd)))
          self->loop_->post([self] {
            if (theView == self && self->window_) ::SetFocus(self->window_);
          });
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT Win32FormView::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_ERASEBKGND:
    return 1;
  case WM_PAINT: {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window_, &paint);
    ::BitBlt(dc, 0, 0, kClientWidth, kClientHeight, backDc_, 0, 0, SRCCOPY);
    ::EndPaint(window_, &paint);
    return 0;
  }
  case WM_CTLCOLORSTATIC: {
    HDC dc = reinterpret_cast<HDC>(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    // Black text whatever the desktop's colours: the labels lie on light pictures.
    ::SetTextColor(dc, RGB(0, 0, 0));
    if (control == memo_) {
      ::SetBkColor(dc, RGB(255, 255, 255));
      return reinterpret_cast<LRESULT>(white_);
    }
    // A transparent label: what the form drew beneath it, then the text over that.
    RECT rect;
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
    ::BitBlt(dc, 0, 0, rect.right - rect.left, rect.bottom - rect.top, backDc_, rect.left, rect.top, SRCCOPY);
    ::SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
  }
  case WM_MOUSEMOVE: {
    if (closing_) return 0;
    if (!tracking_) {
      TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window_, 0};
      tracking_ = ::TrackMouseEvent(&track) != FALSE;
    }
    hover(form_.componentAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))));
    return 0;
  }
  case WM_MOUSELEAVE:
    tracking_ = false;
    if (!closing_) hover(nullptr);
    return 0;
  case WM_LBUTTONDOWN:
  case WM_RBUTTONDOWN:
  case WM_MBUTTONDOWN: {
    const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
    if (message == WM_LBUTTONDOWN) {
      const Component* c = form_.componentAt(x, y);
      pressedLeft_ = c ? c->name : std::string();
    }
    onMouseDown(x, y);
    return 0;
  }
  case WM_LBUTTONUP:
    onLeftUp(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
    return 0;
  case WM_SETCURSOR:
    // The link to the about page shows the hand, like a link.
    if (LOWORD(lParam) == HTCLIENT && hovered_ == "ImgCopyright") {
      ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
      return TRUE;
    }
    break;
  case WM_TIMER:
    onTimer(wParam);
    return 0;
  case WM_CLOSE:
    closeApp();
    return 0;
  default:
    break;
  }
  return ::DefWindowProcW(window_, message, wParam, lParam);
}

void Win32FormView::start(const std::string& appVersion, const std::string& settingsFile) {
  const bool autoTest = ReadAutoTestSetting(settingsFile);
  form_.setVersionTexts(FileVersionText(), kReleaseDateText);
  // Without a connected adapter the code-8 box comes before any page is drawn.
  if (!controller_->startFirstRun(appVersion, autoTest)) {
    showBox(FormBox{kNoConnectedAdapter, 0x10, BoxFollowUp::Close});
    return;
  }
  form_.startUp();
  refresh();
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::UpdateWindow(window_);
  ::SetForegroundWindow(window_);
  ::SetFocus(window_);
}

void Win32FormView::bringForward() {
  trace("bring-forward");
  if (closing_ || !::IsWindowVisible(window_)) return;
  if (::IsIconic(window_)) ::ShowWindow(window_, SW_RESTORE);
  ::SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ::SetForegroundWindow(window_);
}

void Win32FormView::present(const EngineMessage& m) {
  if (closing_) return;
  switch (m.message) {
  case kMsgVersion: {
    VerdictReaction reaction = form_.onVersionVerdict(static_cast<int>(m.wParam));
    refresh();
    bool retry = false;
    if (reaction.box) retry = showBox(*reaction.box);
    if (reaction.collapseAdvertUnlessRetry && !retry) form_.get("Ad_WebBrowser").setSize(0, 0);
    break;
  }
  case kMsgResult: {
    ResultReaction reaction = form_.onResult(static_cast<int>(m.wParam), m.lText.value_or(""), nowSeconds());
    refresh();
    if (reaction.navigateAdvert && adPanel_) {
      const std::wstring address = wideOfCp950(form_.record().adUrl2);
      if (adPanel_->navigate(address)) trace("navigate Ad_WebBrowser " + form_.record().adUrl2);
    }
    if (reaction.box) showBox(*reaction.box);
    break;
  }
  case kMsgServiceStored: {
    ensurePanels();
    const ConfigurationReaction reaction = form_.onConfiguration();
    TestRecord& r = form_.record();
    if (reaction.navigateInfo && infoPanel_->navigate(wideOfCp950(r.infoUrl)))
      trace("navigate Info_WebBrowser " + r.infoUrl);
    if (reaction.navigateAdvert && adPanel_->navigate(wideOfCp950(r.adUrl1)))
      trace("navigate Ad_WebBrowser " + r.adUrl1);
    break;
  }
  case kMsgPhase:
    form_.onProgress(static_cast<int>(m.wParam), static_cast<int>(m.lParam));
    break;
  case kMsgDenied: {
    FormBox box = form_.onDenied();
    refresh();
    showBox(box);
    break;
  }
  case kMsgReporting:
    form_.onAnalysis(nowSeconds());
    break;
  default:
    break;
  }
  refresh();
}

bool Win32FormView::showBox(const FormBox& box) {
  const std::wstring caption = tableText(BuiltInCaption(box.code));
  const std::wstring text = tableText(BuiltInText(box.code));
  // Before the window is shown (no adapter at start-up) the box stands on its own.
  HWND owner = ::IsWindowVisible(window_) ? window_ : nullptr;
  trace("box " + std::to_string(box.code));
  const int answer = ::MessageBoxW(owner, text.c_str(), caption.c_str(), box.flags);
  const bool retry = answer == IDRETRY;
  switch (box.followUp) {
  case BoxFollowUp::Stay:
    break;
  case BoxFollowUp::RetryOrClose:
    if (retry)
      restart();
    else
      postClose();
    break;
  case BoxFollowUp::Close:
    postClose();
    break;
  case BoxFollowUp::CloseApp:
    closeApp();
    break;
  }
  return retry && box.followUp == BoxFollowUp::RetryOrClose;
}

void Win32FormView::perform(FormAction action) {
  switch (action) {
  case FormAction::Close:
    closeApp();
    return;
  case FormAction::Restart:
    restart();
    break;
  case FormAction::OpenDownloadAndClose:
    openUri(form_.downloadUrl(), SW_SHOWDEFAULT);
    postClose();
    break;
  case FormAction::OpenReport:
    openUri(form_.reportUrl(), SW_SHOWNORMAL);
    break;
  default:
    break;
  }
  refresh();
}

void Win32FormView::guarded(const std::function<void()>& step) {
  // What a handler throws is shown and the window goes on, as the application's own handler does.
  try {
    step();
  } catch (const std::exception& e) {
    showException(e.what());
  } catch (...) {
    showException("unknown exception");
  }
}

void Win32FormView::showException(const char* what) {
  trace(std::string("exception ") + what);
  const std::wstring text = wideOfUtf8(what).empty() ? wideOfCp950(what) : wideOfUtf8(what);
  ::MessageBoxW(::IsWindowVisible(window_) ? window_ : nullptr, text.c_str(),
                wideOfUtf8(kApplicationTitle).c_str(), MB_OK | MB_ICONERROR);
}

void Win32FormView::restart() {
  guarded([this] {
    if (!controller_->restartTest()) {
      refresh();
      showBox(FormBox{kNoConnectedAdapter, 0x10, BoxFollowUp::Close});
      return;
    }
    form_.beginRestart();
  });
  refresh();
}

void Win32FormView::openUri(const std::string& cp950, int show) {
  openWide(wideOfCp950(cp950), show);
}

void Win32FormView::openWide(const std::wstring& address, int show) {
  if (!IsWebAddressW(address)) return;
  trace("open " + platform::Cp950ToUtf8(
                      platform::Utf16ToCp950(std::u16string(address.begin(), address.end())).value_or(""))
                      .value_or(""));
  ::ShellExecuteW(window_, L"open", address.c_str(), nullptr, nullptr, show);
}

void Win32FormView::postClose() {
  loop_->post([this] {
    if (theView == this) closeApp();
  });
}

void Win32FormView::closeApp() {
  if (closing_) return;
  closing_ = true;
  if (closeProcessorQuery_) closeProcessorQuery_();
  ::KillTimer(window_, kExecuteTimer);
  ::KillTimer(window_, kDisableTimer);
  executeTimer_ = disableTimer_ = false;
  if (controller_) {
    abandoned_ = controller_->engine();
    controller_->abandonRun();
  }
  // The window stays until the program ends after the pause; it takes no more input. (Hiding it first
  // would be no quicker: without a window manager Wine waits two seconds for a hidden window.)
  for (auto& [id, name] : animationTimers_)
    ::KillTimer(window_, id);
  animationTimers_.clear();
  animations_.clear();
  ::SetTimer(window_, kCloseTimer, 300, nullptr);
}

void Win32FormView::onTimer(UINT_PTR id) {
  if (id == kCloseTimer) {
    ::KillTimer(window_, kCloseTimer);
    const std::string endUrl = form_.record().adEndUrl;
    if (!endUrl.empty()) openUri(endUrl, SW_SHOWNORMAL);
    loop_->quit();
    return;
  }
  if (closing_) return;
  if (id == kExecuteTimer) {
    ::KillTimer(window_, kExecuteTimer);
    executeTimer_ = false;
    form_.onTimerExecuteTick();
    controller_->vExecute();
    refresh();
  } else if (id == kDisableTimer) {
    if (!form_.onTimerDisableTick(nowSeconds())) return;
    ::KillTimer(window_, kDisableTimer);
    disableTimer_ = false;
    closeApp();
  } else if (auto it = animationTimers_.find(id); it != animationTimers_.end()) {
    const std::string name = it->second;
    ::KillTimer(window_, id);
    animationTimers_.erase(it);
    onAnimationTick(name);
  }
}

void Win32FormView::refresh() {
  if (closing_) return;
  if (form_.page() != shownPage_) {
    shownPage_ = form_.page();
    trace("page " + std::to_string(static_cast<int>(shownPage_)));
    if (shownPage_ == PAGE_TESTING && openProcessorQuery_) openProcessorQuery_();
  }
  showLoadFailures();
  compose();
  syncWidgets();
  syncTimers();
  syncAnimations();
  ::InvalidateRect(window_, nullptr, FALSE);
}

void Win32FormView::showLoadFailures() {
  // A picture that cannot be loaded leaves the previous one and the run goes on; the box comes from
  // the loop, so a refresh never nests one.
  for (const LoadResult& failure : form_.takeLoadFailures()) {
    if (!failure.failed()) continue;
    std::wstring text = wideOfUtf8(failure.message);
    if (text.empty()) text = wideOfCp950(failure.message);
    loop_->post([this, text] {
      if (theView == this && !closing_)
        ::MessageBoxW(window_, text.c_str(), wideOfUtf8(kApplicationTitle).c_str(), MB_OK | MB_ICONERROR);
    });
  }
}

void Win32FormView::freeFrames(Frames& f) {
  for (HBITMAP b : f.bitmaps)
    if (b) ::DeleteObject(b);
  f.bitmaps.clear();
}

const Win32FormView::Frames& Win32FormView::framesOf(const Component& c) {
  Frames& cached = frames_[c.name];
  if (cached.source != sourceOf(c) || cached.bitmaps.size() != c.image.picture.frames.size()) {
    freeFrames(cached);
    cached.source = sourceOf(c);
    cached.alpha = c.image.picture.hasAlpha;
    for (const PictureFrame& frame : c.image.picture.frames)
      cached.bitmaps.push_back(bitmapOf(c.image.picture, frame));
  }
  return cached;
}

void Win32FormView::compose() {
  RECT all{0, 0, kClientWidth, kClientHeight};
  ::FillRect(backDc_, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  HDC source = ::CreateCompatibleDC(backDc_);
  for (const Component& c : form_.components()) {
    if (!c.isImage() || !c.visible || c.image.picture.empty()) continue;
    const Frames& f = framesOf(c);
    std::size_t frame = 0;
    if (auto it = animations_.find(c.name); it != animations_.end()) frame = it->second.frame;
    if (frame >= f.bitmaps.size()) frame = 0;
    const int w = std::min(c.width(), c.image.picture.width);
    const int h = std::min(c.height(), c.image.picture.height);
    if (w <= 0 || h <= 0 || !f.bitmaps[frame]) continue;
    HGDIOBJ old = ::SelectObject(source, f.bitmaps[frame]);
    if (f.alpha) {
      BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
      ::GdiAlphaBlend(backDc_, c.left, c.top, w, h, source, 0, 0, w, h, blend);
    } else {
      ::BitBlt(backDc_, c.left, c.top, w, h, source, 0, 0, SRCCOPY);
    }
    ::SelectObject(source, old);
  }
  ::DeleteDC(source);
  ::GdiFlush();
}

void Win32FormView::syncWidgets() {
  for (auto& [name, label] : labels_) {
    const Component& c = form_.get(name);
    ::SetWindowPos(label, nullptr, c.left, c.top, std::max(c.width(), 1), std::max(c.height(), 1),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    std::string& shown = shownText_[name];
    if (shown != c.caption) {
      shown = c.caption;
      ::SetWindowTextW(label, wideOfCp950(c.caption).c_str());
    }
    ::ShowWindow(label, c.visible ? SW_SHOWNA : SW_HIDE);
    // What lies beneath may have changed: the label draws it again.
    if (c.visible) ::InvalidateRect(label, nullptr, FALSE);
  }
  if (memo_) {
    const Component& memo = form_.get("MemoAnouncement");
    ::SetWindowPos(memo_, nullptr, memo.left, memo.top, std::max(memo.width(), 1), std::max(memo.height(), 1),
                   SWP_NOZORDER | SWP_NOACTIVATE);
    std::string& shown = shownText_["MemoAnouncement"];
    if (shown != memo.text) {
      shown = memo.text;
      ::SetWindowTextW(memo_, crlf(wideOfCp950(memo.text)).c_str());
      ::SendMessageW(memo_, EM_SETSEL, 0, 0);
      ::SendMessageW(memo_, EM_SCROLLCARET, 0, 0);
    }
    ::ShowWindow(memo_, memo.visible && memo.width() > 0 && memo.height() > 0 ? SW_SHOWNA : SW_HIDE);
  }
  if (adPanel_) {
    const Component& ad = form_.get("Ad_WebBrowser");
    adPanel_->place(ad.left, ad.top, ad.width(), ad.height(), ad.visible);
  }
  if (infoPanel_) {
    const Component& info = form_.get("Info_WebBrowser");
    infoPanel_->place(info.left, info.top, info.width(), info.height(), info.visible);
  }
}

void Win32FormView::syncTimers() {
  if (closing_) return;
  const Component& execute = form_.get("TimerExecute");
  if (execute.enabled && !executeTimer_) {
    executeTimer_ = ::SetTimer(window_, kExecuteTimer, static_cast<UINT>(execute.intervalMs), nullptr) != 0;
  } else if (!execute.enabled && executeTimer_) {
    ::KillTimer(window_, kExecuteTimer);
    executeTimer_ = false;
  }
  const Component& disable = form_.get("TimerDisable");
  if (disable.enabled && !disableTimer_) {
    disableTimer_ = ::SetTimer(window_, kDisableTimer, static_cast<UINT>(disable.intervalMs), nullptr) != 0;
  } else if (!disable.enabled && disableTimer_) {
    ::KillTimer(window_, kDisableTimer);
    disableTimer_ = false;
  }
}

void Win32FormView::syncAnimations() {
  for (const Component& c : form_.components()) {
    if (!c.isImage()) continue;
    auto it = animations_.find(c.name);
    const bool animate = c.visible && c.image.picture.animated();
    if (it != animations_.end() && (!animate || it->second.source != sourceOf(c))) {
      if (it->second.timer) {
        ::KillTimer(window_, it->second.timer);
        animationTimers_.erase(it->second.timer);
      }
      animations_.erase(it);
      it = animations_.end();
    }
    if (animate && it == animations_.end()) {
      Animation& animation = animations_[c.name];
      animation.source = sourceOf(c);
      const int delay = c.image.picture.frames[0].delayMs;
      // A frame without a delay would spin; browsers and toolkits alike show it for a tenth of a second.
      animation.timer = nextTimer_++;
      animationTimers_[animation.timer] = c.name;
      ::SetTimer(window_, animation.timer, static_cast<UINT>(delay >= 20 ? delay : 100), nullptr);
    }
  }
}

void Win32FormView::onAnimationTick(const std::string& name) {
  auto it = animations_.find(name);
  if (it == animations_.end()) return;
  Animation& animation = it->second;
  animation.timer = 0;
  const Component& c = form_.get(name);
  const Picture& picture = c.image.picture;
  if (picture.frames.empty()) return;
  std::size_t next = animation.frame + 1;
  bool resting = false;
  if (next >= picture.frames.size()) {
    ++animation.loopsDone;
    if (picture.loopCount > 0 && animation.loopsDone >= picture.loopCount)
      resting = true; // the animation rests on its last frame
    else
      next = 0;
  }
  if (!resting) animation.frame = next;
  compose();
  // Only the animation's own rectangle and the labels over it are drawn again.
  RECT rect{c.left, c.top, c.left + c.width(), c.top + c.height()};
  ::InvalidateRect(window_, &rect, FALSE);
  if (resting) return;
  const int delay = picture.frames[animation.frame].delayMs;
  animation.timer = nextTimer_++;
  animationTimers_[animation.timer] = name;
  ::SetTimer(window_, animation.timer, static_cast<UINT>(delay >= 20 ? delay : 100), nullptr);
}

void Win32FormView::hover(const Component* c) {
  const std::string name = c ? c->name : std::string();
  if (name != hovered_) {
    if (!hovered_.empty()) form_.onMouseLeave(hovered_);
    hovered_ = name;
  }
  if (c) {
    if (auto button = buttonOf(c->name)) form_.onMouseMove(*button);
  }
  refresh();
}

void Win32FormView::onMouseDown(int x, int y) {
  if (closing_) return;
  const Component* c = form_.componentAt(x, y);
  if (!c) return;
  // The page buttons react to any mouse button.
  if (auto button = buttonOf(c->name)) perform(form_.onMouseDown(*button));
}

void Win32FormView::onLeftUp(int x, int y) {
  const std::string pressed = std::exchange(pressedLeft_, std::string());
  if (closing_) return;
  const Component* c = form_.componentAt(x, y);
  // The about link is a click: the left button down and up over it.
  if (c && c->name == "ImgCopyright" && pressed == "ImgCopyright") perform(form_.onCopyrightClick());
}

void Win32FormView::onAdvertComplete() {
  if (closing_) return;
  const bool styled = adPanel_ && adPanel_->styleDocument();
  form_.onAdDocumentComplete();
  const Component& ad = form_.get("Ad_WebBrowser");
  trace("document-complete Ad_WebBrowser " + std::string(styled ? "styled" : "unstyled") + " " +
        std::to_string(ad.width()) + "x" + std::to_string(ad.height()) + " at " + std::to_string(ad.left) +
        "," + std::to_string(ad.top));
  refresh();
}

} // namespace zelvo
