// The WebBrowser control's host, driven through the events the control itself would fire. Under Wine
// there is no HTML engine, so a document never completes by itself; the events are fired here.
#include "ui/win32webpanel.h"

#include <gtest/gtest.h>

#include <exdispid.h>
#include <ole2.h>

#include <string>
#include <vector>

namespace zelvo {
namespace {

class Win32WebPanelTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr)));
    parent_ = ::CreateWindowExW(0, L"STATIC", L"panel test", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr,
                                nullptr, ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    Win32WebPanel::Handlers handlers;
    handlers.documentComplete = [this] { ++completed_; };
    handlers.newWindow = [this](const std::wstring& address) { newWindows_.push_back(address); };
    panel_ = std::make_unique<Win32WebPanel>(parent_, handlers);
  }
  void TearDown() override {
    panel_.reset();
    if (parent_) ::DestroyWindow(parent_);
    ::OleUninitialize();
  }

  // Fires an event at the sink with its arguments given first to last, as the control does (the
  // control hands them over last first).
  HRESULT fire(DISPID id, std::vector<VARIANT> args) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return panel_->eventSink()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                       nullptr, nullptr);
  }

  HWND parent_ = nullptr;
  std::unique_ptr<Win32WebPanel> panel_;
  int completed_ = 0;
  std::vector<std::wstring> newWindows_;
};

VARIANT byRef(VARIANT* value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BYREF | VT_VARIANT;
  v.pvarVal = value;
  return v;
}

VARIANT text(BSTR value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = value;
  return v;
}

VARIANT flag(VARIANT_BOOL* value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BYREF | VT_BOOL;
  v.pboolVal = value;
  return v;
}

VARIANT empty() {
  VARIANT v;
  ::VariantInit(&v);
  return v;
}

TEST_F(Win32WebPanelTest, HostsTheControlAndNavigatesOnlyToWebAddresses) {
  // The system has the control (Wine's too, without an engine to render with).
  EXPECT_TRUE(panel_->available());
  EXPECT_TRUE(panel_->navigate(L"http://192.0.2.2/zelvo/ad1.html"));
  EXPECT_EQ(panel_->lastAddress(), L"http://192.0.2.2/zelvo/ad1.html");
  for (const wchar_t* refused : {L"file:///C:/windows/win.ini", L"javascript:alert(1)", L"about:blank",
                                 L"http:", L"ftp://192.0.2.2/test_1024m.zip", L""})
    EXPECT_FALSE(panel_->navigate(refused)) << refused;
  EXPECT_EQ(panel_->lastAddress(), L"http://192.0.2.2/zelvo/ad1.html");
  EXPECT_TRUE(IsWebAddressW(L"HTTPS://192.0.2.2/"));
}

TEST_F(Win32WebPanelTest, EveryCompletedDocumentReachesTheWindow) {
  BSTR address = ::SysAllocString(L"http://192.0.2.2/zelvo/ad1.html");
  VARIANT url = text(address);
  EXPECT_EQ(fire(DISPID_DOCUMENTCOMPLETE, {empty(), byRef(&url)}), S_OK);
  EXPECT_EQ(fire(DISPID_DOCUMENTCOMPLETE, {empty(), byRef(&url)}), S_OK);
  EXPECT_EQ(completed_, 2);
  // Nothing is loaded under Wine: there is no document to style, and that is no failure of the panel.
  panel_->styleDocument();
  ::SysFreeString(address);
}

TEST_F(Win32WebPanelTest, PageNavigationIsLimitedToTheWeb) {
  auto cancelled = [this](const wchar_t* target) {
    BSTR address = ::SysAllocString(target);
    VARIANT url = text(address);
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT none = empty();
    fire(DISPID_BEFORENAVIGATE2,
         {empty(), byRef(&url), byRef(&none), byRef(&none), byRef(&none), byRef(&none), flag(&cancel)});
    ::SysFreeString(address);
    return cancel == VARIANT_TRUE;
  };
  EXPECT_FALSE(cancelled(L"https://192.0.2.2/zelvo/info.html"));
  EXPECT_FALSE(cancelled(L"about:blank"));
  EXPECT_TRUE(cancelled(L"file:///C:/windows/win.ini"));
  EXPECT_TRUE(cancelled(L"res://ieframe.dll/navcancl.htm"));
}

TEST_F(Win32WebPanelTest, ANewWindowGoesToTheUsersBrowserInstead) {
  BSTR address = ::SysAllocString(L"http://192.0.2.2/zelvo/more.html");
  BSTR context = ::SysAllocString(L"http://192.0.2.2/zelvo/ad1.html");
  VARIANT_BOOL cancel = VARIANT_FALSE;
  VARIANT flags;
  ::VariantInit(&flags);
  flags.vt = VT_I4;
  EXPECT_EQ(fire(DISPID_NEWWINDOW3, {empty(), flag(&cancel), flags, text(context), text(address)}), S_OK);
  EXPECT_EQ(cancel, VARIANT_TRUE);
  ASSERT_EQ(newWindows_.size(), 1u);
  EXPECT_EQ(newWindows_[0], L"http://192.0.2.2/zelvo/more.html");
  // The older request names no address: it is refused and nothing opens.
  cancel = VARIANT_FALSE;
  EXPECT_EQ(fire(DISPID_NEWWINDOW2, {empty(), flag(&cancel)}), S_OK);
  EXPECT_EQ(cancel, VARIANT_TRUE);
  EXPECT_EQ(newWindows_.size(), 1u);
  ::SysFreeString(address);
  ::SysFreeString(context);
}

TEST_F(Win32WebPanelTest, APanelWithoutSizeIsHidden) {
  panel_->place(208, 8, 0, 0, true);
  EXPECT_FALSE(::IsWindowVisible(panel_->window()));
  ::ShowWindow(parent_, SW_SHOWNA);
  panel_->place(208, 8, 300, 250, true);
  EXPECT_TRUE(::IsWindowVisible(panel_->window()));
  RECT rect;
  ::GetWindowRect(panel_->window(), &rect);
  ::MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&rect), 2);
  EXPECT_EQ(rect.left, 208);
  EXPECT_EQ(rect.top, 8);
  EXPECT_EQ(rect.right - rect.left, 300);
  EXPECT_EQ(rect.bottom - rect.top, 250);
  // No tab stop: the keyboard stays with the window's own keys.
  EXPECT_EQ(::GetWindowLongW(panel_->window(), GWL_STYLE) & WS_TABSTOP, 0);
  panel_->place(208, 8, 300, 250, false);
  EXPECT_FALSE(::IsWindowVisible(panel_->window()));
}

} // namespace
} // namespace zelvo
