#include "tests/engine/http_support.h"

#include "engine/document.h"
#include "platform/cp950.h"

#include <cstring>
#include <fstream>
#include <sstream>

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

RawServer::RawServer(std::function<void(platform::SocketHandle fd)> handler, int backlog)
    : handler_(std::move(handler)) {
  listenFd_ = platform::ListenTcp4("127.0.0.1", 0, backlog, port_);
  if (!handler_ || listenFd_ == platform::kNoSocket) return; // connections stay in the listen queue
  acceptor_ = std::thread([this] {
    while (!stop_) {
      int error = 0;
      if (platform::WaitReadable(listenFd_, 50, error) != platform::WaitResult::Ready) continue;
      platform::SocketHandle fd = platform::Accept(listenFd_);
      if (fd == platform::kNoSocket) continue;
      ++accepted_;
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, fd] {
        handler_(fd);
        platform::CloseSocket(fd);
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
  if (listenFd_ != platform::kNoSocket) platform::CloseSocket(listenFd_);
}

std::string RawServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ReadRequestHead(platform::SocketHandle fd) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && platform::Receive(fd, &c, 1) == 1)
    head.push_back(c);
  return head;
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
    : CWorkThread(std::move(record), EngineContext{std::move(config), {}, {}, {}}), script_(script) {}

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
