#include "platform/winhttp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <curl/curl.h>
#include <iconv.h>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <vector>

namespace zelvo::platform {

namespace {

// How often a waiting request asks its cancel check.
constexpr int kCancelPollMs = 25;

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlStringDeleter {
  void operator()(char* s) const { curl_free(s); }
};
struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Length of the UTF-8 sequence at p (at least 1, at most left), stopping at the first byte that is
// not a continuation byte, so that a malformed sequence never swallows the next character.
std::size_t Utf8SkipLength(const unsigned char* p, std::size_t left) {
  std::size_t want = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 1;
  std::size_t n = 1;
  while (n < want && n < left && (p[n] & 0xC0) == 0x80)
    ++n;
  return n;
}

// iconv over the whole text, putting the replacement in place of each sequence that cannot be
// converted; nullopt only when iconv does not know one of the charsets.
std::optional<std::string> ConvertLossy(const std::string& text, const char* from, const char* to,
                                        const char* replacement) {
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::unique_ptr<void, IconvCloser> cd(raw);
  const bool fromUtf8 = std::strcmp(from, "UTF-8") == 0;
  std::string in = text;
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  char buffer[8192];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t rc = iconv(raw, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    out += replacement;
    if (errno == EINVAL) break; // a character cut off at the end
    std::size_t skip =
        fromUtf8 ? Utf8SkipLength(reinterpret_cast<const unsigned char*>(inPtr), inLeft) : std::size_t{1};
    inPtr += skip;
    inLeft -= skip;
    iconv(raw, nullptr, nullptr, nullptr, nullptr); // back to the initial state
  }
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(raw, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, sizeof buffer - outLeft);
  return out;
}

// The iconv name for a Content-Type charset. Big5 labels mean code page 950, as on the platform.
std::string IconvCharset(const std::string& label) {
  std::string l = Lower(label);
  if (l.empty() || l == "big5" || l == "x-big5" || l == "cn-big5" || l == "csbig5" || l == "ms950" ||
      l == "cp950" || l == "windows-950" || l == "x-windows-950")
    return "CP950";
  return l;
}

// The charset parameter of a Content-Type value; empty when there is none.
std::string CharsetOf(const std::string& contentType) {
  std::size_t pos = 0;
  while ((pos = contentType.find(';', pos)) != std::string::npos) {
    ++pos;
    std::size_t end = contentType.find(';', pos);
    std::string param =
        Trim(contentType.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    std::size_t eq = param.find('=');
    if (eq != std::string::npos && Lower(Trim(param.substr(0, eq))) == "charset") {
      std::string value = Trim(param.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return value;
    }
  }
  return {};
}

bool IsNumericHost(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  std::string h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  return inet_pton(AF_INET, h.c_str(), buf) == 1 || inet_pton(AF_INET6, h.c_str(), buf) == 1;
}

// One name lookup on its own thread, so that a caller can stop waiting for it. The thread keeps the
// shared state alive when the caller has given up.
struct ResolveJob {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::vector<std::string> addresses;
};

// The addresses of host, in the form CURLOPT_RESOLVE takes; nullopt when the lookup failed or took
// longer than limitMs.
std::optional<std::string> ResolveWithin(const std::string& host, int limitMs,
                                         const std::function<bool()>& cancelled) {
  auto job = std::make_shared<ResolveJob>();
  std::thread([job, host] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::vector<std::string> found;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0) {
      for (addrinfo* a = list; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        if (a->ai_family == AF_INET) {
          inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
          found.emplace_back(text);
        } else if (a->ai_family == AF_INET6) {
          inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, text, sizeof text);
          found.push_back(std::string("[") + text + "]");
        }
      }
      freeaddrinfo(list);
    }
    std::lock_guard<std::mutex> lock(job->mutex);
    job->addresses = std::move(found);
    job->finished = true;
    job->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(job->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  // Looked at in short steps so that a cancelled request does not sit out the whole limit.
  while (!job->finished) {
    if (cancelled && cancelled()) return std::nullopt;
    auto step =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(kCancelPollMs));
    if (job->done.wait_until(lock, step, [&] { return job->finished; })) break;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  }
  if (job->addresses.empty()) return std::nullopt;
  std::string joined;
  for (const std::string& a : job->addresses) {
    if (joined.find(a) != std::string::npos) continue; // one entry per address
    if (!joined.empty()) joined += ",";
    joined += a;
  }
  return joined;
}

class CurlRequest final : public WinHttpRequest {
public:
  explicit CurlRequest(CurlHandle handle) : curl_(std::move(handle)) {}

  bool SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) override {
    if (resolveMs < -1 || connectMs < -1 || sendMs < -1 || receiveMs < -1) return false;
    auto limit = [](int ms) { return ms <= 0 ? 0 : ms; };
    resolveMs_ = limit(resolveMs);
    connectMs_ = limit(connectMs);
    sendMs_ = limit(sendMs);
    receiveMs_ = limit(receiveMs);
    return true;
  }

  bool Open(const std::string& method, const std::string& url, bool async) override {
    opened_ = false;
    headers_.clear();
    ClearResponse();
    if (async) return false;
    std::string m = Lower(method);
    if (m != "get" && m != "post") return false;
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    std::string scheme = Part(parsed.get(), CURLUPART_SCHEME, 0);
    host_ = Part(parsed.get(), CURLUPART_HOST, 0);
    port_ = Part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if ((scheme != "http" && scheme != "https") || host_.empty() || port_.empty()) return false;
    isPost_ = m == "post";
    url_ = url;
    opened_ = true;
    return true;
  }

  bool SetRequestHeader(const std::string& name, const std::string& value) override {
    return opened_ && SetHeader(headers_, name, value);
  }

  void SetCancelCheck(std::function<bool()> cancelled) override { cancelled_ = std::move(cancelled); }

  bool Send(const std::optional<std::string>& body) override {
    ClearResponse();
    if (!opened_) return false;
    CURL* c = curl_.get();
    curl_easy_reset(c);

    Slist resolve;
    if (resolveMs_ > 0 && !IsNumericHost(host_)) {
      std::optional<std::string> addresses = ResolveWithin(host_, resolveMs_, cancelled_);
      if (!addresses) return false;
      resolve.reset(curl_slist_append(nullptr, (host_ + ":" + port_ + ":" + *addresses).c_str()));
      if (!resolve) return false;
      curl_easy_setopt(c, CURLOPT_RESOLVE, resolve.get());
    }

    Slist headers;
    // The platform sends no Expect header; an empty value keeps libcurl from adding one.
    headers.reset(curl_slist_append(nullptr, "Expect:"));
    for (const auto& h : headers_) {
      std::string line = h.first + ":" + (h.second.empty() ? "" : " " + h.second);
      if (h.second.empty()) line = h.first + ";"; // libcurl's way of sending an empty header
      curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
      if (!grown) return false;
      headers.release();
      headers.reset(grown);
    }

    curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROXY, ""); // direct, whatever the environment says
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    if (connectMs_ > 0) curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs_));
    if (isPost_) {
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      const std::string& data = body ? *body : empty_;
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, data.data());
    } else {
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlRequest::OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, &CurlRequest::OnConnected);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlRequest::OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    CURLcode rc = Perform(c);
    // The lists above die with this call; libcurl must not keep pointers to them.
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_RESOLVE, nullptr);
    if (rc != CURLE_OK) {
      ClearResponse();
      return false;
    }
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    status_ = code;
    responded_ = true;
    return true;
  }

  long Status() const override { return status_; }

  std::optional<std::string> GetResponseHeader(const std::string& name) const override {
    if (!responded_) return std::nullopt;
    return FindHeader(responseHeaders_, name);
  }

  std::optional<std::string> ResponseText() const override {
    if (!responded_) return std::nullopt;
    std::string charset = IconvCharset(CharsetOf(GetResponseHeader("Content-Type").value_or("")));
    if (charset == "utf-8" || charset == "utf8") charset = "UTF-8";
    if (auto text = ConvertLossy(body_, charset.c_str(), "UTF-8", "\xEF\xBF\xBD")) return text;
    return ConvertLossy(body_, "CP950", "UTF-8", "\xEF\xBF\xBD"); // a charset iconv does not know
  }

private:
  static std::string Part(CURLU* u, CURLUPart what, unsigned flags) {
    char* raw = nullptr;
    if (curl_url_get(u, what, &raw, flags) != CURLUE_OK || !raw) return {};
    std::unique_ptr<char, CurlStringDeleter> owned(raw);
    return Lower(raw);
  }

  void ClearResponse() {
    responded_ = false;
    status_ = 0;
    responseHeaders_.clear();
    body_.clear();
    connected_ = false;
    lastUpload_ = -1;
    uploadTotal_ = 0;
  }

  void Touch() { lastActivity_ = Clock::now(); }

  // The callbacks below run on the thread that called Send, inside curl_easy_perform.
  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlRequest*>(self);
    size_t n = size * count;
    if (r->body_.size() + n > kMaxResponseBytes) return 0; // fails the transfer
    r->body_.append(data, n);
    r->Touch();
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlRequest*>(self);
    size_t n = size * count;
    std::string line(data, n);
    r->Touch();
    if (line.rfind("HTTP/", 0) == 0) {
      r->responseHeaders_.clear(); // a new response: a redirect's or an interim one ends here
      return n;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    if (line.empty()) return n;
    if ((line[0] == ' ' || line[0] == '\t') && !r->responseHeaders_.empty()) {
      r->responseHeaders_.back().second += " " + Trim(line); // folded continuation line
      return n;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    std::string value = line.substr(colon + 1);
    std::size_t start = value.find_first_not_of(" \t");
    r->responseHeaders_.emplace_back(line.substr(0, colon),
                                     start == std::string::npos ? std::string() : value.substr(start));
    return n;
  }

  static int OnConnected(void* self, char*, char*, int, int) {
    auto* r = static_cast<CurlRequest*>(self);
    r->connected_ = true;
    r->lastUpload_ = -1;
    r->Touch();
    return CURL_PREREQFUNC_OK;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* r = static_cast<CurlRequest*>(self);
    if (ulnow != r->lastUpload_) {
      r->lastUpload_ = ulnow;
      r->Touch();
    }
    r->uploadTotal_ = ultotal;
    return r->Stalled() ? 1 : 0;
  }

  // True when the send or the receive limit has run out. Before the connection stands, the connect
  // limit is libcurl's own.
  bool Stalled() const {
    if (!connected_) return false;
    bool sending = uploadTotal_ > 0 && lastUpload_ < uploadTotal_;
    int limit = sending ? sendMs_ : receiveMs_;
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity_).count();
    return limit > 0 && idle > limit;
  }

  // Runs the transfer on a multi handle so that the send and receive limits are looked at every
  // kPollMs; libcurl's own progress callback alone comes only about once a second when idle.
  CURLcode Perform(CURL* c) {
    struct MultiDeleter {
      void operator()(CURLM* m) const { curl_multi_cleanup(m); }
    };
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!multi || curl_multi_add_handle(multi.get(), c) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    CURLcode result = CURLE_OPERATION_TIMEDOUT;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
        result = CURLE_RECV_ERROR;
        break;
      }
      if (running == 0) {
        int queued = 0;
        result = CURLE_RECV_ERROR;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
          if (message->msg == CURLMSG_DONE && message->easy_handle == c) result = message->data.result;
        break;
      }
      if (Stalled() || (cancelled_ && cancelled_())) break;
      curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
    }
    curl_multi_remove_handle(multi.get(), c);
    return result;
  }

  static constexpr int kPollMs = 25;

  CurlHandle curl_;
  std::function<bool()> cancelled_;
  int resolveMs_ = 0, connectMs_ = 0, sendMs_ = 0, receiveMs_ = 0;
  bool opened_ = false;
  bool isPost_ = false;
  std::string url_, host_, port_;
  HeaderList headers_;
  const std::string empty_;

  bool responded_ = false;
  long status_ = 0;
  HeaderList responseHeaders_;
  std::string body_;
  bool connected_ = false;
  curl_off_t lastUpload_ = -1;
  curl_off_t uploadTotal_ = 0;
  Clock::time_point lastActivity_ = Clock::now();
};

} // namespace

std::unique_ptr<WinHttpRequest> CreateWinHttpRequest() {
  GlobalInit();
  CurlHandle handle(curl_easy_init());
  if (!handle) return nullptr;
  return std::make_unique<CurlRequest>(std::move(handle));
}

std::string Utf8ToAnsi(const std::string& utf8) {
  return ConvertLossy(utf8, "UTF-8", "CP950", "?").value_or(std::string());
}

std::string AnsiToUtf8(const std::string& ansi) {
  return ConvertLossy(ansi, "CP950", "UTF-8", "\xEF\xBF\xBD").value_or(std::string());
}

} // namespace zelvo::platform
