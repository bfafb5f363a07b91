#pragma once
// CHttpThread: one progress notice, a single GET of the notice address with the service's cookie, on
// a thread of its own that frees itself when done. Nothing comes back from it.

#include "platform/thread.h"

#include <functional>
#include <memory>
#include <string>

namespace zelvo {

namespace platform {
class WinHttpRequest;
}

class CHttpThread : public platform::Thread {
public:
  using RequestFactory = std::function<std::unique_ptr<platform::WinHttpRequest>()>;

  // cookie: the engine's sessionCookie; noticeUrl: the decoded notice address (CP950). The factory
  // makes the request object (the libcurl one when empty); it runs on the notice's thread.
  CHttpThread(std::string cookie, const std::string& noticeUrl, RequestFactory factory = {});

  // Creates a notice thread, starts it and lets it go: it frees itself when its request ends.
  static void Start(std::string cookie, const std::string& noticeUrl, RequestFactory factory = {});

  std::string cookie;
  std::string url; // the address in the form the request object takes (UTF-8)

protected:
  // Runs on the notice's own thread; touches nothing but this object.
  void Execute() override;

private:
  RequestFactory factory_;
};

} // namespace zelvo
