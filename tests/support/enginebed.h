#pragma once
// A whole engine run over a veth pair: the real engine with CFTPSession sessions in a client namespace,
// vsftpd and the web service in the server namespace, a recording window that plays the user (root).

#include "engine/workthread.h"
#include "sysinfo/systemprofile.h"
#include "sysinfo/windowprofile.h"
#include "tests/support/ftpserver.h"
#include "tests/support/support.h"

#include <chrono>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelvo::test {

inline constexpr int kServicePort = 8080;

// A client namespace and a server namespace joined by veth; vsftpd and the web service on the far end.
struct VethBed {
  Sandbox box;
  VethPair pair;
  pid_t service = -1;
  std::shared_ptr<TestRecord> record = std::make_shared<TestRecord>();
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<CWorkThread> engine;
  bool finished = false;

  VethBed(const std::string& tag, const std::string& upRate, const std::string& downRate,
          const std::string& serviceJson, std::optional<RoutedPath> path = std::nullopt)
      : pair(tag, upRate, downRate, VsftpdServer::Options{}, path) {
    if (!pair.ok()) return;
    box.write("service.json", serviceJson);
    service = pair.far().spawn(
        "exec python3 " + std::string(ZELVO_SOURCE_DIR) + "/service/zelvo_service.py --host " +
        VethPair::kServerAddress + " --port " + std::to_string(kServicePort) + " --config " +
        box.file("service.json").string() + " >" + box.file("service.log").string() + " 2>&1");
  }
  bool ready() {
    return pair.ok() &&
           waitForPort(&pair.client(), VethPair::kServerAddress, kServicePort, std::chrono::seconds(10));
  }
  std::string url(const std::string& path) const {
    return std::string("http://") + VethPair::kServerAddress + ":" + std::to_string(kServicePort) + path;
  }
  // Runs one engine inside the client namespace, playing the window: the profile of the route to the
  // server (its adapter is the measured one) and an immediate latency result.
  void run(std::function<void(const RecordedMessage&, VsftpdServer&)> onMessage = {}) {
    runIn(&pair.client(), [&] {
      record->appVersion = "0.91";
      record->introPending = 1;
      record->profilePending = 1;
      record->pingAvgMs = 1.0f;
      record->pingSummary = "1,1,1";
      WindowProfile profile;
      profile.primaryReference = profile.alternateReference = VethPair::kServerAddress;
      EngineConfig config = EngineConfig::FromPlain(
          url("/zelvo/service.txt"), url("/zelvo/test.txt"), url("/zelvo/prepare1.txt"),
          url("/zelvo/prepare2.txt"), url("/zelvo/report"), url("/zelvo/notice"), VethPair::kServerAddress);
      engine = std::make_shared<CWorkThread>(record, ProductionEngineContext(config));
      engine->notifyWindow = window;
      std::weak_ptr<CWorkThread> weak = engine;
      window->setHook([&, weak](const RecordedMessage& m) {
        if (m.message == kMsgVersion && m.wParam == 3)
          if (auto e = weak.lock()) {
            vGetSystemInfo(*record, profile);
            e->startGate = true;
            e->pingDone = true;
          }
        if (onMessage) onMessage(m, pair.server());
      });
      engine->Resume();
      finished = engine->WaitFor(120000);
    });
  }
  std::optional<RecordedMessage> last() const {
    auto m = window->messages();
    if (m.empty()) return std::nullopt;
    return m.back();
  }
};

// A slow path's server: a second address of the far end, 192.0.2.3 (the ftp_host the service names),
// where an FTP server greets greetingDelayMs after each connect and serves files no phase runs out of.
struct LateGreetingBed : VethBed {
  static constexpr const char* kFtpAddress = "192.0.2.3";
  std::unique_ptr<FaultyFtpServer> ftp;

  LateGreetingBed(const std::string& tag, const std::string& upRate, const std::string& downRate,
                  const std::string& serviceJson, int greetingDelayMs)
      : VethBed(tag, upRate, downRate, serviceJson) {
    if (!pair.ok() || pair.far().run(std::string("ip addr add ") + kFtpAddress + "/24 dev veth-s") != 0)
      return;
    FaultyFtpServer::Options late;
    late.greetingDelayMs = greetingDelayMs;
    late.fileSize = 64ull << 30;
    late.address = kFtpAddress;
    late.port = 21;
    ftp = std::make_unique<FaultyFtpServer>(late, &pair.far());
  }
  bool ready() { return ftp && ftp->ok() && VethBed::ready(); }
};

} // namespace zelvo::test
