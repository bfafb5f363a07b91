#include "engine/httpresponse.h"
#include "engine/workthread.h"
#include "platform/winhttp.h"

namespace zelvo {

std::string ResponseToDocumentText(const std::string& utf8Response) {
  std::string text = CutCp950(platform::Utf8ToAnsi(utf8Response), kMaxResponseText);
  for (char& c : text) {
    if (c == '\x1E')
      c = ';';
    else if (c == '\x1F')
      c = '=';
  }
  return text;
}

std::string CookieFromSetCookie(const std::string& utf8SetCookie) {
  std::string cookie = CutCp950(platform::Utf8ToAnsi(utf8SetCookie), kMaxCookieHeader);
  std::size_t semicolon = cookie.find(';');
  return semicolon == std::string::npos ? cookie : cookie.substr(0, semicolon);
}

int RequestTimeoutMs(float pingAvgMs) {
  return pingAvgMs > 150.0f ? 15000 : 10000;
}

std::unique_ptr<platform::WinHttpRequest> CWorkThread::CreateHttpRequest() {
  return platform::CreateWinHttpRequest();
}

HttpResult CWorkThread::HttpRequest(const std::string& url, bool isGet, const std::string& body,
                                    bool readResponse, bool captureCookie) {
  HttpResult result;
  // The object is released on every path when it leaves this scope.
  std::unique_ptr<platform::WinHttpRequest> request = CreateHttpRequest();
  if (!request) return result;
  const int t = RequestTimeoutMs(record().pingAvgMs.load());
  if (!request->SetTimeouts(3000, t, t, t)) return result;
  // A run given up mid-request stops waiting for the service at once.
  request->SetCancelCheck([this] { return Terminated(); });

  const bool opened = request->Open(isGet ? "GET" : "POST", platform::AnsiToUtf8(url), false);
  if (!isGet) request->SetRequestHeader("Content-Type", "application/x-www-form-urlencoded");
  if (!opened) return result;
  if (!sessionCookie.empty()) {
    sessionCookie += ' '; // kept: every request carries one more
    if (!request->SetRequestHeader("Cookie", platform::AnsiToUtf8(sessionCookie))) return result;
  }

  const bool sent = request->Send(isGet ? std::nullopt : std::optional<std::string>(body));
  if (Terminated()) return result;
  if (readResponse) {
    if (!sent) return result;
    // An error page is not a document: the run must see a failure, not empty values.
    const long status = request->Status();
    if (status < 200 || status > 299) return result;
    if (captureCookie)
      sessionCookie = CookieFromSetCookie(request->GetResponseHeader("Set-Cookie").value_or(""));
    std::optional<std::string> text = request->ResponseText();
    if (!text) return result;
    result.response = ResponseToDocumentText(*text);
  }
  result.success = true;
  return result;
}

} // namespace zelvo
