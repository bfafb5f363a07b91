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
#include <optional>
#include <string>

namespace zelvo {

namespace platform {
class WinHttpRequest;
}

// The received and sent octet counters of one interface row.
struct OctetCounters {
  std::uint32_t inOctets = 0;
  std::uint32_t outOctets = 0;
};

// What the engine is given besides the shared record: its built-in addresses, the maker of its six
// transfer sessions and the reader of the interface table's counters.
// What the engine made of a sample it read the adapter counter for.
enum class SampleVerdict { Baseline, Accepted, Rejected };

struct EngineContext {
  EngineConfig config = EngineConfig::BuiltIn();
  std::function<std::unique_ptr<TransferSession>()> newSession;
  // Counters of the row at a position of a fresh interface table; nothing when there is no such row.
  // Called on the engine thread and on the lead session's worker thread.
  std::function<std::optional<OctetCounters>(std::int32_t position)> readInterfaceCounters;
  // For observers, told on the lead session's worker thread before the sample's messages; may be empty.
  std::function<void(SampleVerdict)> sampleJudged;
};

// The real engine's context: the given addresses, CFTPSession sessions and fresh interface tables.
EngineContext ProductionEngineContext(EngineConfig config = EngineConfig::BuiltIn());

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
  // True while the phase's sessions are being started, until each one's data flows: slow logins must not
  // eat the measured time, so the lead's samples until then only move the baseline, and the phase clock
  // starts afterwards. A session whose data has not flowed within kStartWaitSeconds joins late.
  bool sessionsStarting = false;
  static constexpr double kStartWaitSeconds = 5.0;

  std::string verServer, verMin, agreement, announcement;
  bool permitted = false;
  std::string ulFtpSamples, dlFtpSamples, ulNicSamples, dlNicSamples;
  std::uint64_t dlNicKbits = 0, ulNicKbits = 0;
  double dlNicSpeed = 0.0, ulNicSpeed = 0.0;
  std::uint32_t lastNicOctets = 0;
  Stopwatch noticeClock;

  // The settings of this run: from the test document or the fallback values.
  TestParameters testParameters;

  TestRecord& record() { return *record_; }
  const EngineConfig& config() const { return context_.config; }

  // Destroys each of the six sessions that exists, then forgets all six.
  void ReleaseSessions();

  // Transfer phases. Sessions are addressed by position: 0-2 are "FTP1".."FTP3" (upload), 3-5 are
  // "FTP4".."FTP6" (download); the first of each group leads.
  bool PrepareSession(int index);
  bool StartDownloadSessions();
  bool StartUploadSessions();
  // Stops the three sessions of the current phase (downloadPhase selects them).
  void StopPhaseSessions();
  // The name stored by the upload sessions, before their digit: local time to the millisecond.
  static std::string UploadFileName();
  // Whether a phase measured too little by its time limit (the fallback run has its own limits).
  static bool PhaseFailed(bool download, bool fallback, std::int32_t duration, float measuredSeconds);
  // The code of a failed phase: 2 for the download; 1, 12 or 13 for the upload by what was measured
  // and the kind of connection.
  static ErrorCode PhaseFailureCode(bool download, float measuredSeconds, const std::string& connectionType,
                                    std::uint32_t nicMtu);

  // Fills testParameters from a parsed test document. A duration, session count or time-out that is
  // not a decimal integer, and a duration that is not positive, keeps its fallback value.
  void FillTestParameters(const ParsedDocument& document);

protected:
  void Execute() override;

  // The steps of the run that the other parts of the engine supply; tests replace them.
  // System profile of the computer, once per program start, on this thread.
  virtual void SystemProfile();
  // One synchronous GET or POST; failures are results, never exceptions.
  virtual HttpResult HttpRequest(const std::string& url, bool isGet, const std::string& body,
                                 bool readResponse, bool captureCookie);
  // The download and the upload phase, with the fallback run's limits when fallback is set.
  virtual PhaseEnd DownloadPhase(bool fallback) { return RunPhase(true, fallback); }
  virtual PhaseEnd UploadPhase(bool fallback) { return RunPhase(false, fallback); }
  // Composes, scrambles and posts the report; ends with 1029 (1, result) or code 5 and 1029 (2, 0).
  virtual void Report();
  // The lead session's OnProgress handler; runs on that session's worker thread.
  virtual void OnSpeedSample(WorkMode mode, std::int64_t totalBytes, std::int64_t elapsedMs,
                             double bitsPerSecond);

  // Polls every 10 ms until the condition holds (true) or a terminate request is pending (false).
  bool WaitUntil(const std::function<bool()>& condition);
  // Sleeps in 10 ms steps; false, at once, when a terminate request is pending.
  bool Pause(int ms);
  void Post(unsigned message, WParam wParam = 0, LParam lParam = 0);
  void Send(unsigned message, WParam wParam = 0, LParam lParam = 0);

private:
  // The request object of one HttpRequest; tests hand in their own.
  virtual std::unique_ptr<platform::WinHttpRequest> CreateHttpRequest();

  void RunAfterServiceDocument();
  void FallbackRun();
  PhaseEnd RunPhase(bool download, bool fallback);
  // Aborts and disconnects the three sessions of a phase; safe from a session's worker thread.
  bool PhaseSessionsTransferring(bool download);
  void StopSessions(bool download, bool abortRunningOnly);
  std::optional<std::uint32_t> ReadNicCounter(bool download);
  // The FTP and adapter rates of the phase from its counters; called with phaseMutex held.
  void StorePhaseRates(bool download);

  // Guards the session slots: the lead session's worker stops the others while the engine thread may
  // release them. Sessions are destroyed outside it.
  std::mutex sessionsMutex_;

  std::shared_ptr<TestRecord> record_;
  EngineContext context_;
};

} // namespace zelvo
