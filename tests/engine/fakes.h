#pragma once
// Fakes for the engine's tests: transfer sessions that only record what they are asked, and an engine
// whose requests, phases, profile and report are scripted.

#include "engine/workthread.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelvo::test {

// Counts live sessions so a test can see that the engine released all six.
struct SessionCensus {
  std::atomic<int> alive{0};
  std::atomic<int> created{0};
};

class FakeSession : public TransferSession {
public:
  explicit FakeSession(std::shared_ptr<SessionCensus> census) : census_(std::move(census)) {
    ++census_->alive;
    ++census_->created;
  }
  ~FakeSession() override { --census_->alive; }

  void SetName(const std::string& name) override { name_ = name; }
  void SetHost(const std::string& host) override { host_ = host; }
  void SetUsername(const std::string& user) override { user_ = user; }
  void SetPassword(const std::string& password) override { password_ = password; }
  void SetPort(int port) override { port_ = port; }
  void SetPassive(bool passive) override { passive_ = passive; }
  void SetRecvBufferSize(int bytes) override { recvBuffer_ = bytes; }
  void SetSendBufferSize(int bytes) override { sendBuffer_ = bytes; }
  void SetAbortMode(bool byDataChannel) override { abortByDataChannel_ = byDataChannel; }
  void SetDownloadFile(const std::string& path) override { downloadFile_ = path; }
  void SetUploadFile(const std::string& path) override { uploadFile_ = path; }
  bool Connect() override {
    connected_ = reachable_;
    return reachable_ || (name_ != "FTP1" && name_ != "FTP4");
  }
  void Disconnect() override { connected_ = false; }
  bool ChangeDir(const std::string& directory) override {
    dir_ = directory;
    return connected_;
  }
  void StartDownload() override { running_ = true; }
  void StartUpload() override { running_ = true; }
  void RequestAbort() override {
    ++aborts_;
    running_ = false;
  }
  bool Connected() const override { return connected_; }
  bool Running() const override { return running_; }
  bool Transferring() const override { return running_ && dataFlows_; }
  std::string Name() const override { return name_; }
  void SetOnLog(LogHandler h) override { onLog_ = std::move(h); }
  void SetOnConnected(EventHandler h) override { onConnected_ = std::move(h); }
  void SetOnDisconnected(EventHandler h) override { onDisconnected_ = std::move(h); }
  void SetOnProgress(ProgressHandler h) override { onProgress_ = std::move(h); }
  void SetCancelCheck(std::function<bool()> cancelled) override { cancelled_ = std::move(cancelled); }

  void raiseProgress(WorkMode mode, std::int64_t total, std::int64_t ms, double bps) {
    if (onProgress_) onProgress_(*this, mode, total, ms, bps);
  }

  bool reachable_ = true;
  std::string name_, host_, user_, password_, downloadFile_, uploadFile_, dir_;
  int port_ = 0, recvBuffer_ = 0, sendBuffer_ = 0;
  bool passive_ = false, abortByDataChannel_ = true;
  std::atomic<bool> connected_{false}, running_{false};
  std::atomic<bool> dataFlows_{true}; // a started transfer's data flows at once unless a test says not
  std::atomic<int> aborts_{0};
  LogHandler onLog_;
  EventHandler onConnected_, onDisconnected_;
  ProgressHandler onProgress_;
  std::function<bool()> cancelled_;

private:
  std::shared_ptr<SessionCensus> census_;
};

inline EngineContext FakeContext(std::shared_ptr<SessionCensus> census) {
  EngineContext c;
  c.config = EngineConfig::FromPlain("http://service/doc", "http://service/test", "http://service/prep1",
                                     "http://service/prep2", "http://service/report", "http://service/notice",
                                     "fallback.host");
  c.newSession = [census] { return std::make_unique<FakeSession>(census); };
  return c;
}

// An engine whose outside steps are scripted by the test.
class ScriptedEngine : public CWorkThread {
public:
  using CWorkThread::CWorkThread;

  struct Request {
    std::string url;
    bool isGet, readResponse, captureCookie;
  };

  // Responses by address; an address without one fails.
  std::map<std::string, std::string> responses;
  // Each phase: its outcome; by default it completes.
  std::function<PhaseEnd(CWorkThread&, bool download, bool fallback)> phase;
  std::atomic<int> profileRuns{0};
  // Runs inside each request before it is answered (on the engine's thread).
  std::function<void(CWorkThread&, const std::string& url)> duringRequest;

  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<std::string> phases() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return phases_;
  }
  TestParameters parametersAtFirstPhase() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parametersAtFirstPhase_;
  }

protected:
  void SystemProfile() override { ++profileRuns; }
  HttpResult HttpRequest(const std::string& url, bool isGet, const std::string&, bool readResponse,
                         bool captureCookie) override {
    if (duringRequest) duringRequest(*this, url);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back({url, isGet, readResponse, captureCookie});
    auto it = responses.find(url);
    if (it == responses.end()) return {false, ""};
    return {true, it->second};
  }
  PhaseEnd DownloadPhase(bool fallback) override { return runPhase(true, fallback); }
  PhaseEnd UploadPhase(bool fallback) override { return runPhase(false, fallback); }
  void Report() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      phases_.push_back("report");
    }
    Post(kMsgReporting, 0, 0);
    Post(kMsgResult, 1, NewText("http://service/result"));
  }
  void OnSpeedSample(WorkMode, std::int64_t, std::int64_t, double) override {}

private:
  PhaseEnd runPhase(bool download, bool fallback) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (phases_.empty()) parametersAtFirstPhase_ = testParameters;
      phases_.push_back(std::string(download ? "download" : "upload") + (fallback ? "-fallback" : ""));
    }
    Send(kMsgPhase, download ? 1 : 0, 0);
    return phase ? phase(*this, download, fallback) : PhaseEnd::Completed;
  }

  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<std::string> phases_;
  TestParameters parametersAtFirstPhase_;
};

} // namespace zelvo::test
