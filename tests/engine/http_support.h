#pragma once
// Helpers of the HTTP, report and notice tests: a scripted request object, a raw loopback server
// that misbehaves on purpose, the test bed's web service run as a child process, and an engine whose
// phases and profile are faked.

#include "engine/workthread.h"
#include "platform/socket.h"
#include "platform/winhttp.h"
#include "tests/support/support.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zelvo::test {

// What one scripted request saw, and what it answers.
struct ScriptedCall {
  // Recorded.
  std::optional<std::vector<int>> timeouts;
  std::string method, url;
  std::vector<std::pair<std::string, std::string>> headers;
  bool sent = false;
  std::optional<std::string> body;
  // Answers.
  bool timeoutsResult = true, openResult = true, headerResult = true, sendResult = true;
  long status = 200;
  std::map<std::string, std::string> responseHeaders; // names in lower case
  std::string responseText;                           // UTF-8, as the object decodes it
};

// Hands out request objects that follow the next queued script (a default one when the queue is
// empty) and records every call. Thread-safe.
class RequestScript {
public:
  void push(ScriptedCall call);
  std::unique_ptr<platform::WinHttpRequest> create();
  std::vector<ScriptedCall> calls() const;
  int created() const;

private:
  friend class ScriptedRequest;
  mutable std::mutex mutex_;
  std::vector<ScriptedCall> queue_;
  std::vector<std::shared_ptr<ScriptedCall>> calls_;
};

// A loopback TCP server whose connections are handled by a function on their own threads.
class RawServer {
public:
  // backlog: the listen queue; a handler of null accepts nothing (connections stay queued).
  explicit RawServer(std::function<void(platform::SocketHandle fd)> handler, int backlog = 16);
  ~RawServer();
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const;
  int accepted() const { return accepted_.load(); }

private:
  platform::SocketHandle listenFd_ = platform::kNoSocket;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::function<void(platform::SocketHandle)> handler_;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
};
// Reads what a client sent up to the end of its headers (and nothing more).
std::string ReadRequestHead(platform::SocketHandle fd);
// Writes to a socket, or to a pipe (Linux only).
void WriteAll(int fd, const std::string& data);

// The test bed's web service as a child process on 127.0.0.1 with a free port.
class ServiceProcess {
public:
  // configJson: overrides of the service's settings (a JSON object).
  explicit ServiceProcess(const std::string& configJson = "{}");
  ~ServiceProcess();
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string url(const std::string& path) const;
  // Plain GET over libcurl (not the object under test); the body, or nullopt on failure.
  std::optional<std::string> get(const std::string& path) const;
  void configure(const std::string& json) const;

  struct Request {
    std::string method, path;
    std::optional<std::string> cookie; // exactly as sent
  };
  std::vector<Request> requests() const;
  // The last report the service decoded: "accepted", "auth_ok", "cookie", "field.<name>", ...
  std::map<std::string, std::string> lastReport() const;
  const Sandbox& sandbox() const { return sandbox_; }

private:
  Sandbox sandbox_;
  int pid_ = -1;
  int port_ = 0;
};

// Runs the service's report decoder on a scrambled text; its UTF-8 text, or nullopt when it refused.
std::optional<std::string> DecodeWithService(const std::string& code, const std::string& cookieValue);

// The report's fields in order, split by their names (values may hold '&' and '=').
std::vector<std::pair<std::string, std::string>> SplitReportQuery(const std::string& query);

// An engine whose system profile and phases are fixed and whose requests are real (or scripted when
// a script is given).
class FakedPhasesEngine : public CWorkThread {
public:
  FakedPhasesEngine(std::shared_ptr<TestRecord> record, EngineConfig config, RequestScript* script = nullptr);

  using CWorkThread::HttpRequest; // tests call single requests
  using CWorkThread::Report;

  std::atomic<int> downloadRuns{0}, uploadRuns{0};
  std::atomic<bool> fallbackSeen{false};
  // Posted from the download phase, as a sample would.
  bool postNotice = false;

protected:
  void SystemProfile() override;
  PhaseEnd DownloadPhase(bool fallback) override;
  PhaseEnd UploadPhase(bool fallback) override;
  void OnSpeedSample(WorkMode, std::int64_t, std::int64_t, double) override {}

private:
  std::unique_ptr<platform::WinHttpRequest> CreateHttpRequest() override;
  RequestScript* script_;
};

// A record as the window leaves it before the first run, with a profile the report carries.
std::shared_ptr<TestRecord> NewRecord();

inline EngineConfig ReportConfig() {
  return EngineConfig::FromPlain("http://127.0.0.1:9/s", "http://127.0.0.1:9/t", "http://127.0.0.1:9/p1",
                                 "http://127.0.0.1:9/p2", "http://127.0.0.1:9/zelvo/report",
                                 "http://127.0.0.1:9/n", "127.0.0.1");
}

// A faked engine with the report's addresses and a record filled as a run leaves it.
class ReportComposition : public ::testing::Test {
protected:
  std::shared_ptr<TestRecord> record = NewRecord();
  RequestScript script;
  std::shared_ptr<FakedPhasesEngine> engine =
      std::make_shared<FakedPhasesEngine>(record, ReportConfig(), &script);

  void FillLikeARun() {
    record->osCaption = "OS";
    record->antivirus = "AV&x=1"; // passed on as it is
    record->nicDescription = "NIC";
    record->nicRateKbps = 100000;
    record->connectionType = "PPPoE";
    record->localIp = "10.0.0.1";
    record->netParameters = "3,1,2,1,4,1492";
    record->pingSummary = "5,6,9";
    record->proxyServer = "null";
    record->cpuName = "CPU";
    record->diskFreeGb = 12.345f;
    record->powerStatus = "AC";
    record->totalMemMb = 4096;
    record->downloadSpeed = 1234.567;
    record->uploadSpeed = 0.004;
    engine->dlNicSpeed = 1300;
    engine->ulNicSpeed = 88.886;
    engine->dlFtpSamples = "1,2";
    engine->ulFtpSamples = "3";
    engine->dlNicSamples = "";
    engine->ulNicSamples = "4";
    engine->testParameters.ul_session = 1;
    engine->testParameters.dl_session = 2;
  }
};

} // namespace zelvo::test
