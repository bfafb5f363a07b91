#pragma once
// CWorkThread: the test engine. One object carries one run on its own thread, from the service
// document to the posted report, and tells the window everything through EngineWindow messages.

#include "engine/config.h"
#include "engine/document.h"
#include "engine/stopwatch.h"
#include "engine/testrecord.h"
#include "engine/window.h"
#include "platform/thread.h"
#include "workers/transfersession.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zelvo {

namespace platform {
class WinHttpRequest;
}

// What the engine is given besides the shared record: its built-in addresses and the maker of its
// six transfer sessions.
struct EngineContext {
  EngineConfig config = EngineConfig::BuiltIn();
  std::function<std::unique_ptr<TransferSession>()> newSession;
};

struct HttpResult {
  bool success = false;
  std::string response;
};

// How a transfer phase ended.
enum class PhaseEnd {
  Completed,  // measured; the run goes on
  Failed,     // errorCode set by the phase
  Terminated, // a terminate request ended the watch loop
};

class CWorkThread : public platform::Thread {
public:
  CWorkThread(std::shared_ptr<TestRecord> record, EngineContext context);
  ~CWorkThread() override;

  // Set by the window before Resume.
  std::shared_ptr<EngineWindow> notifyWindow;

  // Gates set by the window's thread, polled by the engine every 10 ms.
  std::atomic<bool> startGate{false};
  std::atomic<bool> pingDone{false};

  std::array<std::unique_ptr<TransferSession>, 6> sessions; // "FTP1" .. "FTP6"
  std::atomic<bool> osIsNt6{false};
  std::string sessionCookie;
  std::atomic<bool> noticesOn{true};
  std::atomic<bool> downloadPhase{false};

  // Phase counters: written by OnSpeedSample on the lead session's worker thread, read by the engine
  // thread at the phase's time limit; phaseMutex guards both.
  std::mutex phaseMutex;
  std::int32_t warmupLeft = 0;
  std::int64_t baselineMs = 0, lastSampleMs = 0;
  float measuredSeconds = 0.0f;
  std::uint64_t measuredBytes = 0;
  std::int64_t lastTotalBytes = 0;
  Stopwatch phaseClock;

  std::string verServer, verMin, agreement, announcement;
  bool permitted = false;
  std::string ulFtpSamples, dlFtpSamples, ulNicSamples, dlNicSamples;
  std::uint64_t dlNicKbits = 0, ulNicKbits = 0;
  double dlNicSpeed = 0.0, ulNicSpeed = 0.0;
  double lastNicOctets = 0.0;
  Stopwatch noticeClock;

  // The settings of this run: from the test document or the fallback values.
  TestParameters testParameters;

  TestRecord& record() { return *record_; }
  const EngineConfig& config() const { return context_.config; }

  // Destroys each of the six sessions that exists, then forgets all six.
  void ReleaseSessions();

  // Fills testParameters from a parsed test document. A duration, session count or time-out that is
  // not a decimal integer, and a duration that is not positive, keeps its fallback value.
  void FillTestParameters(const ParsedDocument& document);

protected:
  void Execute() override;

  // The steps of the run that the other parts of the engine supply; tests replace them.
  // System profile of the computer, once per program start, on this thread.
  virtual void SystemProfile() = 0;
  // One synchronous GET or POST; failures are results, never exceptions.
  virtual HttpResult HttpRequest(const std::string& url, bool isGet, const std::string& body,
                                 bool readResponse, bool captureCookie);
  // The download and the upload phase, with the fallback run's limits when fallback is set.
  virtual PhaseEnd DownloadPhase(bool fallback) = 0;
  virtual PhaseEnd UploadPhase(bool fallback) = 0;
  // Composes, scrambles and posts the report; ends with 1029 (1, result) or code 5 and 1029 (2, 0).
  virtual void Report();
  // The lead session's OnProgress handler; runs on that session's worker thread.
  virtual void OnSpeedSample(WorkMode mode, std::int64_t totalBytes, std::int64_t elapsedMs,
                             double bitsPerSecond) = 0;

  // Polls every 10 ms until the condition holds (true) or a terminate request is pending (false).
  bool WaitUntil(const std::function<bool()>& condition);
  void Post(unsigned message, WParam wParam = 0, LParam lParam = 0);
  void Send(unsigned message, WParam wParam = 0, LParam lParam = 0);

private:
  // The request object of one HttpRequest; tests hand in their own.
  virtual std::unique_ptr<platform::WinHttpRequest> CreateHttpRequest();

  // The run's steps after the service document; false when the run ended inside.
  void RunAfterServiceDocument();
  void FallbackRun();

  std::shared_ptr<TestRecord> record_;
  EngineContext context_;
};

} // namespace zelvo
