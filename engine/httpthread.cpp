#include "engine/httpthread.h"

#include "platform/winhttp.h"

namespace zelvo {

CHttpThread::CHttpThread(std::string cookieText, const std::string& noticeUrl, RequestFactory factory)
    : cookie(std::move(cookieText)), url(platform::AnsiToUtf8(noticeUrl)), factory_(std::move(factory)) {}

void CHttpThread::Start(std::string cookie, const std::string& noticeUrl, RequestFactory factory) {
  std::make_shared<CHttpThread>(std::move(cookie), noticeUrl, std::move(factory))->Resume();
}

void CHttpThread::Execute() {
  std::unique_ptr<platform::WinHttpRequest> request =
      factory_ ? factory_() : platform::CreateWinHttpRequest();
  if (!request) return;
  request->SetTimeouts(3000, 10000, 3000, 3000);
  if (!request->Open("GET", url, false)) return;
  // Without the service's cookie a notice means nothing to the service: send nothing at all.
  if (cookie.empty()) return;
  cookie += ' ';
  if (request->SetRequestHeader("Cookie", platform::AnsiToUtf8(cookie))) request->Send(std::nullopt);
}

} // namespace zelvo
