#pragma once
// One web panel of the Windows window: the system's WebBrowser control hosted in place in a child
// window of the form. The panel loads only http and https addresses, hands a new-window request to the
// caller (the user's browser), keeps no tab stop and reports each completed document. Where the control
// cannot be created the panel is an empty child window and every call still succeeds, so the window
// works the same without an HTML engine.
// Everything here runs on the window thread, which has initialised COM for a single-threaded apartment.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace zelvo {

class Win32WebPanel {
public:
  struct Handlers {
    // A document of the panel completed (the top document or one of its frames).
    std::function<void()> documentComplete;
    // A page asked for a new window; the address (UTF-16) is the page's.
    std::function<void(const std::wstring& address)> newWindow;
  };

  Win32WebPanel(HWND parent, Handlers handlers);
  ~Win32WebPanel();
  Win32WebPanel(const Win32WebPanel&) = delete;
  Win32WebPanel& operator=(const Win32WebPanel&) = delete;

  // Whether the control was created; without it the panel shows nothing.
  bool available() const;
  HWND window() const { return host_; }
  // Navigates to a web address; anything else is refused (false). The address is what was asked for.
  bool navigate(const std::wstring& address);
  const std::wstring& lastAddress() const { return lastAddress_; }
  // Place and size in the parent's client coordinates; a panel of no size is hidden.
  void place(int left, int top, int width, int height, bool visible);
  // Hides the document's scroll bars and border (the body's scroll, overflow and border), when the
  // control holds an HTML document; false otherwise.
  bool styleDocument();

  // The control's event sink (DWebBrowserEvents2): what the control calls, for tests that fire events.
  IDispatch* eventSink() const;

  class Site;

private:
  HWND host_ = nullptr;
  std::wstring lastAddress_;
  Site* site_ = nullptr; // reference counted; the panel holds one reference
};

// Only http and https addresses are loaded into a panel or handed to the shell.
bool IsWebAddressW(const std::wstring& address);

} // namespace zelvo
