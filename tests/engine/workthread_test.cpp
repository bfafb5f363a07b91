#include "tests/engine/fakes.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace zelvo;
using namespace zelvo::test;
using namespace std::chrono_literals;

namespace {

const std::string kServiceDoc = "ver_server=0.91;ver_min=0.9;Update_URL=http://service/update;"
                                "Ad_URL1=http://service/ad1;Ad_URL2=NULL;Ad_End_URL=http://service/end;"
                                "Info_URL=http://service/info;announcement=EMPTY;agreement=TERMS;";
const std::string kTestDoc = "test_permission=T;url=ftp.host;uid=user;pwd=secret;ul_duration=4;"
                             "dl_duration=5;timeout=30;ul_session=0;dl_session=3;ul_path=/up;"
                             "dl_path=/test_1024m.zip;report_url=x;";

// One engine run with a recording window, a first-run record and scripted steps.
struct EngineRunner {
  std::shared_ptr<SessionCensus> census = std::make_shared<SessionCensus>();
  std::shared_ptr<TestRecord> record = std::make_shared<TestRecord>();
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<ScriptedEngine> engine;

  EngineRunner() {
    record->appVersion = "0.91";
    record->introPending = 1;
    record->profilePending = 1;
    record->pingAvgMs = -1.0f;
    engine = std::make_shared<ScriptedEngine>(record, FakeContext(census));
    engine->notifyWindow = window;
    engine->responses["http://service/doc"] = kServiceDoc;
    engine->responses["http://service/test"] = kTestDoc;
  }
  // The window's answers of a normal run: the profile gate after the verdict, the latency gate at once.
  void answerLikeAWindow() {
    std::weak_ptr<ScriptedEngine> weak = engine;
    window->setHook([weak](const RecordedMessage& m) {
      if (m.message != kMsgVersion || m.wParam == 0) return;
      if (auto e = weak.lock()) {
        e->startGate = true;
        e->pingDone = true;
      }
    });
  }
  void start() { engine->Resume(); }
  bool finish(std::chrono::milliseconds timeout = 30s) {
    return engine->WaitFor(static_cast<int>(timeout.count()));
  }
  std::vector<std::pair<unsigned, WParam>> sequence() const {
    std::vector<std::pair<unsigned, WParam>> s;
    for (const auto& m : window->messages())
      s.emplace_back(m.message, m.wParam);
    return s;
  }
  std::vector<std::string> urls() const {
    std::vector<std::string> u;
    for (const auto& r : engine->requests())
      u.push_back(r.url);
    return u;
  }
};

using Seq = std::vector<std::pair<unsigned, WParam>>;

} // namespace

TEST(EngineRun, NormalRunPostsEveryMessageInOrder) {
  EngineRunner run;
  run.answerLikeAWindow();
  run.start();
  ASSERT_TRUE(run.finish());

  EXPECT_EQ(run.sequence(), (Seq{{kMsgServiceStored, 0},
                                 {kMsgVersion, 3},
                                 {kMsgPhase, 1},
                                 {kMsgPhase, 0},
                                 {kMsgReporting, 0},
                                 {kMsgResult, 1}}));
  auto messages = run.window->messages();
  EXPECT_EQ(messages[1].lText, "TERMS");
  EXPECT_TRUE(messages[2].sent);
  EXPECT_TRUE(messages[3].sent);
  EXPECT_FALSE(messages[0].sent);
  EXPECT_EQ(messages.back().lText, "http://service/result");

  // Requests in order, each with its reading and cookie rules.
  auto requests = run.engine->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(run.urls(), (std::vector<std::string>{"http://service/doc", "http://service/test",
                                                  "http://service/prep1", "http://service/prep2"}));
  EXPECT_TRUE(requests[0].readResponse && requests[0].captureCookie);
  EXPECT_TRUE(requests[1].readResponse && !requests[1].captureCookie);
  EXPECT_FALSE(requests[2].readResponse || requests[3].readResponse);

  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download", "upload", "report"}));
  EXPECT_EQ(run.engine->profileRuns, 1);
  EXPECT_EQ(run.record->profilePending, 0);
  EXPECT_EQ(run.record->errorCode, kNoError);
  EXPECT_EQ(run.record->announcementText, "");
  EXPECT_EQ(run.record->agreementText, "TERMS");
  EXPECT_EQ(run.record->updateUrl, "http://service/update");
  EXPECT_EQ(run.record->adUrl1, "http://service/ad1");
  EXPECT_EQ(run.record->adUrl2, "NULL");
  EXPECT_EQ(run.record->adEndUrl, "http://service/end");
  EXPECT_EQ(run.record->infoUrl, "http://service/info");
  EXPECT_TRUE(run.engine->permitted);

  TestParameters p = run.engine->parametersAtFirstPhase();
  EXPECT_EQ(p.url, "ftp.host");
  EXPECT_EQ(p.uid, "user");
  EXPECT_EQ(p.pwd, "secret");
  EXPECT_EQ(p.ul_duration, 4);
  EXPECT_EQ(p.dl_duration, 5);
  EXPECT_EQ(p.ul_session, 0);
  EXPECT_EQ(p.dl_session, 3);
  EXPECT_EQ(p.dl_path, "/test_1024m.zip");
  EXPECT_EQ(p.ul_path, "/up");

  // The six sessions were named in order and released at the end.
  EXPECT_EQ(run.census->created, 6);
  EXPECT_EQ(run.census->alive, 0);
}

TEST(EngineRun, SessionsAreNamedAndWired) {
  EngineRunner run;
  for (int i = 0; i < 6; ++i) {
    auto* s = dynamic_cast<FakeSession*>(run.engine->sessions[i].get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Name(), "FTP" + std::to_string(i + 1));
    EXPECT_TRUE(s->onProgress_ && s->onLog_ && s->onConnected_ && s->onDisconnected_);
  }
  run.engine->ReleaseSessions();
  EXPECT_EQ(run.census->alive, 0);
  for (auto& s : run.engine->sessions)
    EXPECT_EQ(s, nullptr);
}

TEST(EngineRun, VersionVerdictsCarryTheirTexts) {
  struct Case {
    std::string limits;
    WParam verdict;
    std::string text;
    std::string agreementText;
  };
  for (const Case& c : {Case{"ver_min=1;ver_server=1;", 1, "http://u", ""},
                        Case{"ver_min=0.9;ver_server=0.92;", 2, "http://u", "T&C"},
                        Case{"ver_min=0.100;ver_server=0.910;", 3, "T&C", "T&C"}}) {
    EngineRunner run;
    run.engine->responses["http://service/doc"] =
        c.limits + "Update_URL=http://u;announcement=Hello;agreement=T&C;";
    run.engine->responses.erase("http://service/test"); // end early: test document fails
    run.start();
    ASSERT_TRUE(run.window->waitForMessage(kMsgVersion, std::nullopt, 5s));
    run.engine->Terminate();
    ASSERT_TRUE(run.finish());
    auto m = run.window->messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].message, kMsgVersion);
    EXPECT_EQ(m[1].wParam, c.verdict) << c.limits;
    EXPECT_EQ(m[1].lText, c.text) << c.limits;
    EXPECT_EQ(run.record->agreementText, c.agreementText) << c.limits;
    EXPECT_EQ(run.record->announcementText, "Hello");
  }
}

TEST(EngineRun, ServiceDocumentFailureEndsWithCode6) {
  EngineRunner run;
  run.engine->responses.clear();
  run.start();
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.sequence(), (Seq{{kMsgVersion, 0}}));
  EXPECT_EQ(run.window->messages()[0].lParam, 0);
  EXPECT_EQ(run.record->errorCode, kServiceDocumentFailed);
  EXPECT_EQ(run.record->introPending, 0);
  EXPECT_FALSE(run.engine->noticesOn);
  EXPECT_EQ(run.urls().size(), 1u);
  EXPECT_EQ(run.census->alive, 0);
}

TEST(EngineRun, RepeatedRunSkipsVersionAndDoesNotWaitForTheProfileGate) {
  EngineRunner run;
  run.record->introPending = 0;
  run.record->termsAccepted = 1;
  run.record->profilePending = 0;
  run.engine->pingDone = true; // startGate is never set
  run.start();
  ASSERT_TRUE(run.finish());
  auto seq = run.sequence();
  ASSERT_GE(seq.size(), 2u);
  EXPECT_EQ(seq[0], std::make_pair(kMsgServiceStored, WParam{0}));
  EXPECT_EQ(seq[1], std::make_pair(kMsgVersion, WParam{3}));
  EXPECT_EQ(run.window->messages()[1].lParam, 0);
  EXPECT_EQ(seq.back(), std::make_pair(kMsgResult, WParam{1}));
  EXPECT_EQ(run.engine->profileRuns, 0);
}

TEST(EngineRun, DeniedTestEndsWithCode10) {
  for (const std::string permission : {"t", "T ", "", "F"}) {
    EngineRunner run;
    run.answerLikeAWindow();
    run.engine->responses["http://service/test"] = "test_permission=" + permission + ";url=x;";
    run.start();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.sequence(), (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}, {kMsgDenied, 0}})) << permission;
    EXPECT_EQ(run.record->errorCode, kTestDenied);
    EXPECT_FALSE(run.engine->permitted);
    EXPECT_TRUE(run.engine->phases().empty());
    EXPECT_EQ(run.census->alive, 0);
  }
}

TEST(EngineRun, FailedTestDocumentMakesAFallbackRunWithoutReport) {
  EngineRunner run;
  run.answerLikeAWindow();
  run.engine->responses.erase("http://service/test");
  run.start();
  ASSERT_TRUE(run.window->waitForMessage(kMsgTestDocFailed, 0, 10s));
  EXPECT_EQ(run.record->errorCode, kTestDocumentFailed);
  EXPECT_EQ(run.record->introPending, 0);
  // The engine waits for the window's acknowledgement.
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(run.engine->phases().empty());
  run.record->windowAck = 1;
  ASSERT_TRUE(run.finish());

  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download-fallback", "upload-fallback"}));
  TestParameters p = run.engine->parametersAtFirstPhase();
  EXPECT_EQ(p.url, "fallback.host");
  EXPECT_EQ(p.uid, "ftp");
  EXPECT_EQ(p.pwd, "kqv");
  EXPECT_EQ(p.dl_duration, 10);
  EXPECT_EQ(p.ul_duration, 10);
  EXPECT_EQ(p.dl_session, 3);
  EXPECT_EQ(p.ul_session, 1);
  EXPECT_EQ(p.dl_path, "/test_1024m.zip");
  EXPECT_EQ(run.sequence().back(), std::make_pair(kMsgResult, WParam{2}));
  for (const auto& m : run.window->messages())
    EXPECT_NE(m.message, kMsgReporting);
  // No preparation request in a fallback run.
  EXPECT_EQ(run.urls().size(), 2u);
}

TEST(EngineRun, FailedFallbackDownloadSkipsTheUploadAndEndsWithItsCode) {
  EngineRunner run;
  run.answerLikeAWindow();
  run.engine->responses.erase("http://service/test");
  run.engine->phase = [](CWorkThread& e, bool download, bool) {
    e.record().errorCode = kDownloadTooLittle;
    return download ? PhaseEnd::Failed : PhaseEnd::Completed;
  };
  run.window->setHook([&run](const RecordedMessage& m) {
    if (m.message == kMsgVersion) run.engine->startGate = true, run.engine->pingDone = true;
    if (m.message == kMsgTestDocFailed) run.record->windowAck = 1;
  });
  run.start();
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download-fallback"}));
  EXPECT_EQ(run.sequence().back(), std::make_pair(kMsgResult, WParam{3}));
  EXPECT_EQ(run.record->errorCode, kDownloadTooLittle);
}

TEST(EngineRun, FailedPhaseEndsWithItsCodeAndNoReport) {
  EngineRunner run;
  run.answerLikeAWindow();
  run.engine->phase = [](CWorkThread& e, bool download, bool) {
    if (download) return PhaseEnd::Completed;
    e.record().errorCode = kUploadNothingNotPppoe;
    return PhaseEnd::Failed;
  };
  run.start();
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download", "upload"}));
  EXPECT_EQ(run.sequence().back(), std::make_pair(kMsgResult, WParam{3}));
  EXPECT_EQ(run.census->alive, 0);
}

TEST(EngineRun, LatencyGateTimesOutWithCode11AndWaitsForTheAcknowledgement) {
  EngineRunner run;
  std::weak_ptr<ScriptedEngine> weak = run.engine;
  run.window->setHook([weak](const RecordedMessage& m) {
    if (m.message == kMsgVersion && m.wParam == 3)
      if (auto e = weak.lock()) e->startGate = true; // pingDone never comes
  });
  auto started = std::chrono::steady_clock::now();
  run.start();
  ASSERT_TRUE(run.window->waitForMessage(kMsgVersion, 0, 25s));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(waited, 15.0);
  EXPECT_EQ(run.record->errorCode, kLatencyTimeout);
  EXPECT_EQ(run.record->introPending, 0);
  EXPECT_FALSE(run.engine->noticesOn);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(run.urls().size(), 1u) << "the test document waits for windowAck";

  run.record->windowAck = 1;
  ASSERT_TRUE(run.finish());
  // The run goes on and keeps code 11: phases, then 1029 (3, 0) and no report.
  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download", "upload"}));
  EXPECT_EQ(run.sequence().back(), std::make_pair(kMsgResult, WParam{3}));
  EXPECT_EQ(run.record->errorCode, kLatencyTimeout);
}

TEST(EngineRun, TerminateInEachWaitEndsSilentlyWithSessionsReleased) {
  enum Wait { StartGate, LatencyGate, TestDocAck, FallbackStartGate, Preparation };
  for (Wait wait : {StartGate, LatencyGate, TestDocAck, FallbackStartGate, Preparation}) {
    EngineRunner run;
    if (wait == TestDocAck || wait == FallbackStartGate) run.engine->responses.erase("http://service/test");
    if (wait == TestDocAck || wait == Preparation) run.answerLikeAWindow();
    if (wait == LatencyGate) {
      std::weak_ptr<ScriptedEngine> weak = run.engine;
      run.window->setHook([weak](const RecordedMessage& m) {
        if (m.message == kMsgVersion && m.wParam == 3)
          if (auto e = weak.lock()) e->startGate = true; // pingDone never comes
      });
    }
    if (wait == FallbackStartGate) {
      // The latency gate passes without the profile gate only on a repeated run.
      run.record->introPending = 0;
      run.record->termsAccepted = 1;
      run.engine->pingDone = true;
    }
    unsigned last = wait == TestDocAck || wait == FallbackStartGate ? kMsgTestDocFailed : kMsgVersion;
    run.start();
    ASSERT_TRUE(run.window->waitForMessage(last, std::nullopt, 10s)) << wait;
    if (wait == FallbackStartGate) run.record->windowAck = 1;
    if (wait == Preparation) { // in the pause after the second preparation request
      ASSERT_TRUE(waitFor([&] { return run.urls().size() == 4; }, 5s));
    }
    std::this_thread::sleep_for(50ms);
    size_t before = run.window->messages().size();
    run.engine->Terminate();
    // The latency gate alone would hold the run for 15 s, the preparation for 2 s.
    ASSERT_TRUE(run.finish(1s)) << wait;
    if (wait != TestDocAck && wait != FallbackStartGate) {
      EXPECT_EQ(run.record->errorCode, kNoError) << wait;
    }
    EXPECT_EQ(run.window->messages().size(), before) << wait;
    EXPECT_EQ(run.window->messages().back().message, last) << wait;
    EXPECT_TRUE(run.engine->phases().empty()) << wait;
    EXPECT_EQ(run.census->alive, 0) << wait;
  }
}

TEST(EngineRun, TerminatedPhaseEndsTheRunWithoutAFurtherMessage) {
  EngineRunner run;
  run.answerLikeAWindow();
  run.engine->phase = [](CWorkThread& e, bool, bool) {
    e.Terminate();
    return PhaseEnd::Terminated;
  };
  run.start();
  ASSERT_TRUE(run.finish());
  EXPECT_EQ(run.engine->phases(), (std::vector<std::string>{"download"}));
  EXPECT_EQ(run.sequence().back(), std::make_pair(kMsgPhase, WParam{1}));
  EXPECT_EQ(run.census->alive, 0);
}

TEST(EngineRun, TestParametersFallBackOnBadNumbers) {
  EngineRunner run;
  auto fill = [&](const std::string& doc) {
    run.engine->FillTestParameters(ParseDocument(doc));
    return run.engine->testParameters;
  };
  TestParameters p = fill("url=h;dl_duration=0;ul_duration=-5;timeout=abc;dl_session=2x;ul_session=;");
  EXPECT_EQ(p.dl_duration, 10);
  EXPECT_EQ(p.ul_duration, 10);
  EXPECT_EQ(p.timeout, 30);
  EXPECT_EQ(p.dl_session, 3);
  EXPECT_EQ(p.ul_session, 1);
  EXPECT_EQ(p.url, "h");
  p = fill("dl_duration=7;ul_duration=3;timeout=0;dl_session=5;ul_session=0;");
  EXPECT_EQ(p.dl_duration, 7);
  EXPECT_EQ(p.ul_duration, 3);
  EXPECT_EQ(p.timeout, 0);
  EXPECT_EQ(p.dl_session, 5); // the phases cap it at three
  EXPECT_EQ(p.ul_session, 0); // the phases count it as one
  // Missing text keys read as empty texts, as a document lookup gives them.
  EXPECT_EQ(p.url, "");
  EXPECT_EQ(p.dl_path, "");
}

#ifdef __GLIBC__ // reads glibc's heap figures
TEST(EngineRun, WindowlessEngineFreesItsTexts) {
  // Without a window the engine frees its messages' texts itself. Texts of 1 MiB make a lost one
  // plain in the heap figures (which the sanitizer builds do not keep; their leak check does).
  const std::string terms(1u << 20, 't');
  auto heapInUse = [] {
    struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
  };
  const long long before = heapInUse();
  for (int i = 0; i < 3; ++i) {
    EngineRunner run;
    run.engine->notifyWindow.reset();
    run.engine->responses["http://service/doc"] = "ver_server=0.91;ver_min=0.9;agreement=" + terms + ";";
    run.engine->responses["http://service/test"] = "test_permission=F;"; // the run ends there
    run.engine->startGate = true;
    run.engine->pingDone = true;
    run.start();
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.record->agreementText, terms); // the verdict with the terms went out
    EXPECT_EQ(run.record->errorCode, kTestDenied);
  }
  // Helpers of a run may end a little after it: a lost text never goes.
  EXPECT_TRUE(waitFor([&] { return heapInUse() - before < static_cast<long long>(terms.size()); }, 10s))
      << heapInUse() - before;
}
#endif

TEST(EngineRun, RunGivenUpDuringARequestLeavesTheSharedRecordAlone) {
  // The window starts the next run on the same record without waiting for this one.
  for (const std::string url : {"http://service/doc", "http://service/test"}) {
    EngineRunner run;
    run.answerLikeAWindow();
    run.engine->duringRequest = [url](CWorkThread& e, const std::string& requested) {
      if (requested == url) e.Terminate();
    };
    run.start();
    ASSERT_TRUE(run.finish());
    auto seq = run.sequence();
    if (url == "http://service/doc") {
      EXPECT_TRUE(seq.empty());
      EXPECT_EQ(run.record->updateUrl, "");
      EXPECT_EQ(run.record->errorCode, kNoError);
    } else {
      EXPECT_EQ(seq, (Seq{{kMsgServiceStored, 0}, {kMsgVersion, 3}}));
      EXPECT_TRUE(run.engine->phases().empty());
    }
    EXPECT_EQ(run.census->alive, 0);
  }
}
