#include "tests/engine/http_support.h"

#include "engine/document.h"
#include "platform/cp950.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelvo::test {

// ---- scripted request objects ----------------------------------------------------------------

class ScriptedRequest : public platform::WinHttpRequest {
public:
  ScriptedRequest(RequestScript& script, std::shared_ptr<ScriptedCall> call) : script_(script), call_(call) {}

  bool SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs) override {
    std::lock_guard<std::mutex> lock(script_.mutex_);
    call_->timeouts = std::vector<int>{resolveMs, connectMs, sendMs, receiveMs};
    return call_->timeoutsResult;
  }
  bool Open(const std::string& method, const std::string& url, bool) override {
    std::lock_guard<std::mutex> lock(script_.mutex_);
    call_->method = method;
    call_->url = url;
    opened_ = call_->openResult;
    return opened_;
  }
  bool SetRequestHeader(const std::string& name, const std::string& value) override {
    std::lock_guard<std::mutex> lock(script_.mutex_);
    call_->headers.emplace_back(name, value);
    return opened_ && call_->headerResult;
  }
  void SetCancelCheck(std::function<bool()>) override {}
  bool Send(const std::optional<std::string>& body) override {
    std::lock_guard<std::mutex> lock(script_.mutex_);
    call_->sent = true;
    call_->body = body;
    responded_ = call_->sendResult;
    return responded_;
  }
  long Status() const override { return responded_ ? call_->status : 0; }
  std::optional<std::string> GetResponseHeader(const std::string& name) const override {
    std::string lower = name;
    for (char& c : lower)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto it = call_->responseHeaders.find(lower);
    if (!responded_ || it == call_->responseHeaders.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> ResponseText() const override {
    if (!responded_) return std::nullopt;
    return call_->responseText;
  }

private:
  RequestScript& script_;
  std::shared_ptr<ScriptedCall> call_;
  bool opened_ = false, responded_ = false;
};

void RequestScript::push(ScriptedCall call) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(call));
}

std::unique_ptr<platform::WinHttpRequest> RequestScript::create() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto call = std::make_shared<ScriptedCall>();
  if (!queue_.empty()) {
    *call = queue_.front();
    queue_.erase(queue_.begin());
  }
  calls_.push_back(call);
  return std::make_unique<ScriptedRequest>(*this, call);
}

std::vector<ScriptedCall> RequestScript::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ScriptedCall> out;
  for (const auto& c : calls_)
    out.push_back(*c);
  return out;
}

int RequestScript::created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(calls_.size());
}

// ---- raw loopback server ---------------------------------------------------------------------

RawServer::RawServer(std::function<void(int fd)> handler, int backlog) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listenFd_, backlog);
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (!handler_) return; // connections stay in the listen queue
  acceptor_ = std::thread([this] {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, fd] {
        handler_(fd);
        ::close(fd);
      });
    }
  });
}

RawServer::~RawServer() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& w : workers_)
      w.join();
  }
  ::close(listenFd_);
}

std::string RawServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ReadRequestHead(int fd) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
    head.push_back(c);
  return head;
}

void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data.data() + done, data.size() - done); // a pipe
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// ---- the web service as a child process ------------------------------------------------------

namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

std::optional<std::string> CurlFetch(const std::string& url, const std::string* postBody) {
  CURL* c = curl_easy_init();
  if (!c) return std::nullopt;
  std::string body;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  if (postBody) curl_easy_setopt(c, CURLOPT_POSTFIELDS, postBody->c_str());
  CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  if (rc != CURLE_OK || status != 200) return std::nullopt;
  return body;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out.push_back(s[i]);
      continue;
    }
    char n = s[++i];
    out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n);
  }
  return out;
}

// Starts argv with its standard output on a pipe; the pid, and the pipe's read end in outFd.
pid_t Spawn(const std::vector<std::string>& args, int& outFd, int inFd = -1) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (inFd >= 0) posix_spawn_file_actions_adddup2(&actions, inFd, 0);
  std::vector<char*> argv;
  for (const auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  outFd = out[0];
  return pid;
}

std::string ServiceScript() {
  return std::string(ZELVO_SOURCE_DIR) + "/service/zelvo_service.py";
}

} // namespace

ServiceProcess::ServiceProcess(const std::string& configJson) {
  sandbox_.write("config.json", configJson);
  int outFd = -1;
  pid_ = Spawn({"python3", ServiceScript(), "--host", "127.0.0.1", "--port", "0", "--config",
                sandbox_.file("config.json").string(), "--reports", sandbox_.file("reports").string()},
               outFd);
  if (pid_ < 0) return;
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{outFd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = ::read(outFd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(outFd);
  unsigned port = 0;
  if (std::sscanf(line.c_str(), "listening on %*s %u", &port) == 1) port_ = static_cast<int>(port);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string ServiceProcess::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::optional<std::string> ServiceProcess::get(const std::string& path) const {
  return CurlFetch(url(path), nullptr);
}

void ServiceProcess::configure(const std::string& json) const {
  CurlFetch(url("/zelvo/_config"), &json);
}

std::vector<ServiceProcess::Request> ServiceProcess::requests() const {
  std::vector<Request> out;
  std::istringstream lines(get("/zelvo/_requests.txt").value_or(""));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) continue;
    Request r;
    r.method = line.substr(0, t1);
    r.path = line.substr(t1 + 1, t2 - t1 - 1);
    std::string cookie = line.substr(t2 + 1);
    if (cookie.size() >= 2 && cookie.front() == '[' && cookie.back() == ']')
      r.cookie = Unescape(cookie.substr(1, cookie.size() - 2));
    if (r.path.rfind("/zelvo/_", 0) != 0) out.push_back(r); // the tests' own requests are not wanted
  }
  return out;
}

std::map<std::string, std::string> ServiceProcess::lastReport() const {
  std::map<std::string, std::string> out;
  std::istringstream lines(get("/zelvo/_reports.txt").value_or(""));
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t tab = line.find('\t');
    if (tab != std::string::npos) out[line.substr(0, tab)] = Unescape(line.substr(tab + 1));
  }
  return out;
}

std::optional<std::string> DecodeWithService(const std::string& code, const std::string& cookieValue) {
  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  int outFd = -1;
  pid_t pid = Spawn({"python3", ServiceScript(), "--decode-report", cookieValue}, outFd, in[0]);
  ::close(in[0]);
  WriteAll(in[1], code);
  ::close(in[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(outFd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(outFd);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return text;
}

std::vector<std::pair<std::string, std::string>> SplitReportQuery(const std::string& query) {
  static const char* const kFields[] = {"App_ver",
                                        "DL_FTP_speed",
                                        "UL_FTP_speed",
                                        "DL_NIC_speed",
                                        "UL_NIC_speed",
                                        "User_os",
                                        "User_antivir",
                                        "User_nic",
                                        "user_nic_rate",
                                        "User_pppoe",
                                        "User_localip",
                                        "User_net_parameter",
                                        "DL_FTP_speed_interval",
                                        "UL_FTP_speed_interval",
                                        "DL_NIC_speed_interval",
                                        "UL_NIC_speed_interval",
                                        "RTT",
                                        "Tcp_session",
                                        "User_Proxy",
                                        "CPU",
                                        "CPU_usage",
                                        "Memory",
                                        "HD_FreeSpace",
                                        "Power",
                                        "error_code",
                                        "auth_code"};
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    std::string head = (i == 0 ? std::string() : std::string("&")) + kFields[i] + "=";
    if (query.compare(pos, head.size(), head) != 0) return {};
    pos += head.size();
    std::size_t end = query.size();
    if (i + 1 < std::size(kFields)) {
      end = query.find(std::string("&") + kFields[i + 1] + "=", pos);
      if (end == std::string::npos) return {};
    }
    out.emplace_back(kFields[i], query.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

// ---- the engine with faked phases --------------------------------------------------------------

FakedPhasesEngine::FakedPhasesEngine(std::shared_ptr<TestRecord> record, EngineConfig config,
                                     RequestScript* script)
    : CWorkThread(std::move(record), EngineContext{std::move(config), {}, {}}), script_(script) {}

std::unique_ptr<platform::WinHttpRequest> FakedPhasesEngine::CreateHttpRequest() {
  return script_ ? script_->create() : platform::CreateWinHttpRequest();
}

void FakedPhasesEngine::SystemProfile() {
  TestRecord& r = record();
  r.osCaption = "Debian GNU/Linux 12";
  r.antivirus = "null";
  r.nicDescription = platform::Utf8ToCp950("乙太網路介面卡 #2").value_or("");
  r.nicRateKbps = 1000000;
  r.connectionType = platform::Utf8ToCp950("區域網路").value_or("");
  r.localIp = "127.0.0.1";
  r.netParameters = "3,16777216,131072,1,65536,1500";
  r.pingSummary = "1,2,5";
  r.proxyServer = "null";
  r.cpuName = "Test CPU @ 2.40GHz";
  r.diskFreeGb = 123.456f;
  r.powerStatus = "AC";
  r.totalMemMb = 16000;
}

PhaseEnd FakedPhasesEngine::DownloadPhase(bool fallback) {
  ++downloadRuns;
  if (fallback) fallbackSeen = true;
  if (postNotice && noticesOn)
    Post(kMsgNotice, NewTextW(sessionCookie), NewText(decodeLetterPairs(config().noticeUrl)));
  testParameters.dl_session = 2;
  dlFtpSamples = "91234,92345,93456";
  dlNicSamples = "95000,96000,97000";
  dlNicSpeed = 96000.25;
  record().downloadSpeed = 92345.678;
  record().downloadDone = 1;
  return PhaseEnd::Completed;
}

PhaseEnd FakedPhasesEngine::UploadPhase(bool) {
  ++uploadRuns;
  testParameters.ul_session = 1;
  ulFtpSamples = "20480,20481";
  ulNicSamples = "21000,21001";
  ulNicSpeed = 21000.5;
  record().uploadSpeed = 20480.125;
  record().uploadDone = 1;
  return PhaseEnd::Completed;
}

std::shared_ptr<TestRecord> NewRecord() {
  auto r = std::make_shared<TestRecord>();
  r->appVersion = "0.91";
  r->introPending = 1;
  r->profilePending = 1;
  r->pingAvgMs = 2.0f;
  r->sampleCount = 4;
  r->availMemSumMb = 4 * 8000;
  r->cpuLoadSum = 4 * 12.5;
  return r;
}

} // namespace zelvo::test
