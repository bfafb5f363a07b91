#pragma once
// What every front-end does besides showing things: it owns the shared record, prepares and starts each
// run, opens the engine's gates, acknowledges the engine's notices and takes the samples and background
// fetch of each progress notice. The window and the console front-end differ only in their Presenter.
// Everything here runs on the front-end's main thread (the thread of its main loop).

#include "engine/testrecord.h"
#include "engine/window.h"
#include "engine/workthread.h"
#include "platform/mainloop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelvo {

class MainLoopWindow;

// One engine message as the front-end received it, its texts taken over.
struct EngineMessage {
  unsigned message = 0;
  WParam wParam = 0;
  LParam lParam = 0;
  std::optional<std::string> wText, lText;
};

class Presenter {
public:
  virtual ~Presenter() = default;
  // Runs on the main thread after the controller did its part of the message.
  virtual void present(const EngineMessage& message) = 0;
};

// The pieces a controller drives; tests give their own.
struct FrontendServices {
  // A new engine, suspended, for the shared record.
  std::function<std::shared_ptr<CWorkThread>(std::shared_ptr<TestRecord>)> newEngine;
  // The window-side profile of the computer and its connection, before the engine may measure.
  std::function<void(TestRecord&)> collectProfile;
  // One processor-load and memory sample, at every progress notice.
  std::function<void(TestRecord&)> sampleResources;
  // Number of network adapters that are up.
  std::function<int()> connectedAdapters;
  // A background GET of the notice address with the service's cookie.
  std::function<void(const std::string& cookie, const std::string& url)> startNotice;
  // Starts the latency sequence of a run; it calls gateOpened once the summary is written.
  std::function<void(TestRecord&, std::function<void()> gateOpened)> startLatency;
  // Stops a latency sequence still running (a new run, or the end).
  std::function<void()> stopLatency;
};

class RunController {
public:
  RunController(std::shared_ptr<TestRecord> record, FrontendServices services, Presenter& presenter,
                std::shared_ptr<platform::MainLoop> loop = nullptr);
  ~RunController();

  TestRecord& record() { return *record_; }
  std::shared_ptr<TestRecord> sharedRecord() { return record_; }

  // Start-up of the program: a connected adapter is needed (else code 8 and false), then the first run.
  bool startFirstRun(const std::string& appVersion, bool autoTest);
  // Resets the latency and sample fields and starts the latency sequence.
  void prepareTestRun();
  // Asks the previous engine to stop (without waiting) and starts a new one.
  void vStartTest();
  // Collects the window-side profile, then opens the engine's start gate.
  void vExecute();
  // Another run from the result or an error: false (code 8) without a connected adapter.
  bool restartTest();
  // Gives the current run up: terminate request, no waiting.
  void abandonRun();
  // The current engine; kept after its run ended so its results can be read, until the next run.
  std::shared_ptr<CWorkThread> engine() const { return engine_; }

private:
  void handle(unsigned message, WParam wParam, LParam lParam);

  std::shared_ptr<TestRecord> record_;
  FrontendServices services_;
  Presenter& presenter_;
  std::shared_ptr<MainLoopWindow> window_;
  std::shared_ptr<CWorkThread> engine_;
  bool latencyDone_ = false; // this run's latency summary is written
};

} // namespace zelvo
