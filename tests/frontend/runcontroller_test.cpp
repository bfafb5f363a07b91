#include "frontend/runcontroller.h"
#include "tests/engine/fakes.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace zelvo;
using namespace zelvo::test;

namespace {

const std::string kServiceDoc = "ver_server=0.91;ver_min=0.9;agreement=TERMS;announcement=EMPTY;";
const std::string kTestDoc = "test_permission=T;url=h;uid=u;pwd=p;dl_duration=1;ul_duration=1;";

// Records what the front-end would show and plays the user who agrees at once.
struct AgreeingPresenter : Presenter {
  RunController* controller = nullptr;
  std::vector<EngineMessage> shown;
  void present(const EngineMessage& m) override {
    shown.push_back(m);
    if (m.message == kMsgVersion && m.wParam == 3) {
      controller->record().termsAccepted = 1;
      controller->vExecute();
    }
  }
  bool saw(unsigned message) const {
    for (const auto& m : shown)
      if (m.message == message) return true;
    return false;
  }
};

struct ControllerBench {
  std::shared_ptr<platform::MainLoop> loop = platform::MainLoop::create();
  std::shared_ptr<SessionCensus> census = std::make_shared<SessionCensus>();
  std::shared_ptr<TestRecord> record = std::make_shared<TestRecord>();
  AgreeingPresenter presenter;
  FrontendServices services;
  std::vector<std::shared_ptr<ScriptedEngine>> engines;
  std::vector<std::pair<std::string, std::string>> notices;
  int profiles = 0, samples = 0, latencyStops = 0, adapters = 1;
  std::function<void(ScriptedEngine&)> script;
  std::unique_ptr<RunController> controller;

  ControllerBench() {
    services.newEngine = [this](std::shared_ptr<TestRecord> r) {
      auto e = std::make_shared<ScriptedEngine>(r, FakeContext(census));
      e->responses["http://service/doc"] = kServiceDoc;
      e->responses["http://service/test"] = kTestDoc;
      if (script) script(*e);
      engines.push_back(e);
      return std::static_pointer_cast<CWorkThread>(e);
    };
    services.collectProfile = [this](TestRecord&) { ++profiles; };
    services.sampleResources = [this](TestRecord&) { ++samples; };
    services.connectedAdapters = [this] { return adapters; };
    services.startNotice = [this](const std::string& c, const std::string& u) { notices.emplace_back(c, u); };
    services.startLatency = [](TestRecord& r, std::function<void()> opened) {
      r.pingSummary = "1,2,3";
      opened();
    };
    services.stopLatency = [this] { ++latencyStops; };
  }
  void makeController() {
    controller = std::make_unique<RunController>(record, services, presenter, loop);
    presenter.controller = controller.get();
  }
  ~ControllerBench() {
    controller.reset();
    for (auto& e : engines)
      e->WaitFor(10000);
    while (loop->iterate(false)) {
    }
  }
  bool runUntil(const std::function<bool()>& condition, int timeoutMs = 20000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop->iterate(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
};

} // namespace

TEST(RunControllerTest, FirstRunOpensBothGatesAndHandlesNotices) {
  ControllerBench b;
  b.script = [](ScriptedEngine& e) {
    e.phase = [](CWorkThread& engine, bool download, bool) {
      // A progress notice as the lead session's handler posts it.
      if (download)
        engine.notifyWindow->post(kMsgNotice, NewTextW("sid=abc "), NewText("http://service/notice"));
      return PhaseEnd::Completed;
    };
  };
  b.makeController();
  ASSERT_TRUE(b.controller->startFirstRun("0.91", false));
  ASSERT_TRUE(b.runUntil([&] { return b.presenter.saw(kMsgResult); }));
  // The first run asked for the engine's profile and showed the terms.
  EXPECT_EQ(b.engines[0]->profileRuns, 1);
  EXPECT_EQ(b.presenter.shown[1].lText, "TERMS");
  EXPECT_EQ(b.profiles, 1);
  EXPECT_EQ(b.samples, 1);
  EXPECT_EQ(b.record->sampleCount, 1);
  ASSERT_EQ(b.notices.size(), 1u);
  EXPECT_EQ(b.notices[0].first, "sid=abc ");
  EXPECT_EQ(b.notices[0].second, "http://service/notice");
  EXPECT_EQ(b.presenter.shown.back().lText, "http://service/result");
  EXPECT_TRUE(b.engines[0]->pingDone);
}

TEST(RunControllerTest, AcknowledgesAFailedTestDocumentAndGivesUpAFailedServiceDocument) {
  ControllerBench b;
  b.script = [](ScriptedEngine& e) { e.responses.erase("http://service/test"); };
  b.makeController();
  ASSERT_TRUE(b.controller->startFirstRun("0.91", true));
  // The fallback run goes on without any user action after 1037.
  ASSERT_TRUE(b.runUntil([&] { return b.presenter.saw(kMsgResult); }));
  EXPECT_TRUE(b.presenter.saw(kMsgTestDocFailed));
  EXPECT_EQ(b.record->windowAck, 1);
  EXPECT_EQ(b.presenter.shown.back().wParam, 2u);

  ControllerBench c;
  c.script = [](ScriptedEngine& e) { e.responses.clear(); };
  c.makeController();
  ASSERT_TRUE(c.controller->startFirstRun("0.91", false));
  ASSERT_TRUE(c.runUntil([&] { return c.presenter.saw(kMsgVersion); }));
  EXPECT_EQ(c.record->errorCode, kServiceDocumentFailed);
  EXPECT_EQ(c.controller->engine(), nullptr);
  EXPECT_TRUE(c.engines[0]->Terminated());
}

TEST(RunControllerTest, RestartNeedsAnAdapterAndReplacesTheRun) {
  ControllerBench b;
  // Each run waits in its first request, as a run does while the service answers slowly.
  b.script = [](ScriptedEngine& e) {
    e.duringRequest = [](CWorkThread& engine, const std::string&) {
      for (int i = 0; i < 200 && !engine.Terminated(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
  };
  b.adapters = 0;
  b.makeController();
  EXPECT_FALSE(b.controller->startFirstRun("0.91", false));
  EXPECT_EQ(b.record->errorCode, kNoConnectedAdapter);
  EXPECT_TRUE(b.engines.empty());

  b.adapters = 2;
  b.record->errorCode = 0;
  b.record->sampleCount = 5;
  ASSERT_TRUE(b.controller->restartTest());
  ASSERT_TRUE(b.controller->restartTest());
  ASSERT_EQ(b.engines.size(), 2u);
  EXPECT_TRUE(b.engines[0]->Terminated()) << "a new run asks the previous engine to stop";
  EXPECT_FALSE(b.engines[1]->Terminated());
  EXPECT_EQ(b.record->sampleCount, 0);
  EXPECT_GE(b.latencyStops, 2);
}
