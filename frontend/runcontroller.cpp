#include "frontend/runcontroller.h"

#include "frontend/mainloopwindow.h"

namespace zelvo {

RunController::RunController(std::shared_ptr<TestRecord> record, FrontendServices services,
                             Presenter& presenter, std::shared_ptr<platform::MainLoop> loop)
    : record_(std::move(record)), services_(std::move(services)), presenter_(presenter) {
  window_ = std::make_shared<MainLoopWindow>(
      std::move(loop),
      [this](unsigned message, WParam wParam, LParam lParam) { handle(message, wParam, lParam); });
}

RunController::~RunController() {
  abandonRun();
  if (services_.stopLatency) services_.stopLatency();
  window_->detach();
}

bool RunController::startFirstRun(const std::string& appVersion, bool autoTest) {
  TestRecord& r = *record_;
  r.appVersion = appVersion;
  r.autoTest = autoTest ? 1 : 0;
  if (services_.connectedAdapters && services_.connectedAdapters() == 0) {
    r.errorCode = kNoConnectedAdapter;
    return false;
  }
  r.introPending = 1;
  r.profilePending = 1;
  r.termsAccepted = 0;
  r.systemDrive.clear();
  prepareTestRun();
  vStartTest();
  return true;
}

void RunController::prepareTestRun() {
  TestRecord& r = *record_;
  r.sampleCount = 0;
  r.availMemSumMb = 0;
  r.cpuLoadSum = 0.0;
  // An earlier run's echoes must not reach this run's sequence.
  if (services_.stopLatency) services_.stopLatency();
  latencyDone_ = false;
  if (services_.startLatency) {
    services_.startLatency(r, [this] {
      latencyDone_ = true;
      if (engine_) engine_->pingDone = true;
    });
  }
}

void RunController::vStartTest() {
  abandonRun();
  if (!services_.newEngine) return;
  std::shared_ptr<CWorkThread> engine = services_.newEngine(record_);
  if (!engine) return;
  engine->notifyWindow = window_;
  engine->startGate = false;
  // The summary of this run's sequence may already be written.
  engine->pingDone = latencyDone_;
  engine_ = engine;
  engine->Resume();
}

void RunController::vExecute() {
  if (services_.collectProfile) services_.collectProfile(*record_);
  if (engine_) engine_->startGate = true;
}

bool RunController::restartTest() {
  if (services_.connectedAdapters && services_.connectedAdapters() == 0) {
    record_->errorCode = kNoConnectedAdapter;
    return false;
  }
  prepareTestRun();
  vStartTest();
  return true;
}

void RunController::abandonRun() {
  if (engine_) engine_->Terminate();
  engine_.reset();
}

void RunController::handle(unsigned message, WParam wParam, LParam lParam) {
  EngineMessage m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  MessageTextValues texts = TakeMessageTexts(message, wParam, lParam);
  m.wText = std::move(texts.wText);
  m.lText = std::move(texts.lText);

  TestRecord& r = *record_;
  switch (message) {
  case kMsgVersion:
    if (wParam == 0) {
      // The service could not be reached (6) or the latency gate timed out (11): the run is given up;
      // after 11 the engine still waits for the acknowledgement.
      abandonRun();
      if (r.errorCode == kLatencyTimeout) r.windowAck = 1;
    }
    break;
  case kMsgNotice:
    r.sampleCount += 1;
    if (services_.sampleResources) services_.sampleResources(r);
    if (services_.startNotice && m.wText && m.lText) services_.startNotice(*m.wText, *m.lText);
    break;
  case kMsgTestDocFailed:
    r.windowAck = 1;
    break;
  default:
    break;
  }
  presenter_.present(m);
}

} // namespace zelvo
