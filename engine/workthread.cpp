#include "engine/workthread.h"

#include <cstdio>

namespace zelvo {

namespace {
const char* const kSessionNames[6] = {"FTP1", "FTP2", "FTP3", "FTP4", "FTP5", "FTP6"};
}

CWorkThread::CWorkThread(std::shared_ptr<TestRecord> record, EngineContext context)
    : record_(std::move(record)), context_(std::move(context)) {
  for (int i = 0; i < 6; ++i) {
    if (!context_.newSession) break;
    sessions[i] = context_.newSession();
    if (!sessions[i]) continue;
    sessions[i]->SetName(kSessionNames[i]);
    sessions[i]->SetOnLog([](TransferSession&, const std::string&) {});
    sessions[i]->SetOnConnected([](TransferSession&) {});
    sessions[i]->SetOnDisconnected([](TransferSession&) {});
    // Only the lead sessions raise it, on their worker threads; the sessions die before the engine.
    // Every wait inside a session ends soon after a terminate request.
    sessions[i]->SetCancelCheck([this] { return Terminated(); });
    sessions[i]->SetOnProgress([this](TransferSession&, WorkMode mode, std::int64_t total, std::int64_t ms,
                                      double bps) { OnSpeedSample(mode, total, ms, bps); });
  }
  phaseClock.Start();
  noticeClock.Start();
}

CWorkThread::~CWorkThread() {
  ReleaseSessions();
}

void CWorkThread::ReleaseSessions() {
  std::array<std::unique_ptr<TransferSession>, 6> released;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    released.swap(sessions);
  }
  // Destroying a session waits for its worker, which may be inside OnSpeedSample wanting the lock.
  for (auto& session : released)
    session.reset();
}

void CWorkThread::Post(unsigned message, WParam wParam, LParam lParam) {
  if (notifyWindow)
    notifyWindow->post(message, wParam, lParam);
  else
    ReleaseMessageTexts(message, wParam, lParam);
}

void CWorkThread::Send(unsigned message, WParam wParam, LParam lParam) {
  if (notifyWindow)
    notifyWindow->send(message, wParam, lParam);
  else
    ReleaseMessageTexts(message, wParam, lParam);
}

bool CWorkThread::WaitUntil(const std::function<bool()>& condition) {
  for (;;) {
    if (condition()) return true;
    if (Terminated()) return false;
    platform::SleepMs(10);
  }
}

bool CWorkThread::Pause(int ms) {
  Stopwatch clock;
  while (!Terminated()) {
    double left = ms - clock.ElapsedSeconds() * 1000.0;
    if (left <= 0) return true;
    platform::SleepMs(left < 10 ? static_cast<int>(left) + 1 : 10);
  }
  return false;
}

void CWorkThread::FillTestParameters(const ParsedDocument& document) {
  auto integer = [&](const char* key, std::int32_t& target, bool positive) {
    std::optional<int> value = ParseDecimalInt(LookupValue(key, document));
    // Not a decimal integer, or a duration that is not positive: the fallback value stays.
    if (value && (!positive || *value > 0)) target = *value;
  };
  TestParameters p = TestParameters::Fallback(decodeLetterPairs(config().fallbackFtpHost));
  p.url = LookupValue("url", document);
  p.uid = LookupValue("uid", document);
  p.pwd = LookupValue("pwd", document);
  integer("ul_duration", p.ul_duration, true);
  integer("dl_duration", p.dl_duration, true);
  integer("timeout", p.timeout, false);
  integer("ul_session", p.ul_session, false);
  integer("dl_session", p.dl_session, false);
  p.dl_path = LookupValue("dl_path", document);
  p.ul_path = LookupValue("ul_path", document);
  testParameters = p;
}

void CWorkThread::Execute() {
  TestRecord& r = record();
  // A run given up before it began, or while it waited for an answer, ends without touching the
  // shared record again: the window may already have started the next run on it.
  if (Terminated()) return;
  // 1.
  const std::string serviceUrl = decodeLetterPairs(config().serviceDocumentUrl);
  r.downloadDone = 0;
  r.uploadDone = 0;
  r.errorCode = kNoError;
  noticesOn = true;

  // 2. The system profile, once per program start.
  if (r.profilePending) {
    SystemProfile();
    if (Terminated()) return;
    r.profilePending = 0;
  }

  // 3. The service document, capturing the session cookie.
  HttpResult service = HttpRequest(serviceUrl, true, "", true, true);
  if (Terminated()) {
    ReleaseSessions();
    return;
  }
  if (!service.success) {
    r.introPending = 0;
    noticesOn = false;
    r.errorCode = kServiceDocumentFailed;
    Post(kMsgVersion, 0, 0);
    ReleaseSessions();
    return;
  }

  // 4.
  ParsedDocument doc = ParseDocument(service.response);
  verServer = LookupValue("ver_server", doc);
  verMin = LookupValue("ver_min", doc);
  r.updateUrl = LookupValue("Update_URL", doc);
  r.adUrl1 = LookupValue("Ad_URL1", doc);
  r.adUrl2 = LookupValue("Ad_URL2", doc);
  r.adEndUrl = LookupValue("Ad_End_URL", doc);
  r.infoUrl = LookupValue("Info_URL", doc);
  announcement = LookupValue("announcement", doc);
  agreement = LookupValue("agreement", doc);
  Post(kMsgServiceStored, 0, 0);

  // 5. Version check and terms, unless this is a repeated run.
  if (r.introPending || !r.termsAccepted) {
    r.announcementText = (announcement == "EMPTY" || announcement.empty()) ? std::string() : announcement;
    VersionVerdict verdict = CheckVersion(r.appVersion, verMin, verServer);
    if (verdict == kUpdateRequired) {
      Post(kMsgVersion, 1, NewText(r.updateUrl));
    } else {
      r.agreementText = agreement;
      Post(kMsgVersion, static_cast<WParam>(verdict),
           NewText(verdict == kUpdateAvailable ? r.updateUrl : agreement));
    }
    if (!WaitUntil([this] { return startGate.load(); })) {
      ReleaseSessions();
      return;
    }
  } else {
    Post(kMsgVersion, 3, 0);
  }

  RunAfterServiceDocument();
  ReleaseSessions();
}

void CWorkThread::RunAfterServiceDocument() {
  TestRecord& r = record();

  // 6. Latency gate.
  Stopwatch gate;
  while (!pingDone) {
    if (Terminated()) return;
    if (gate.ElapsedSeconds() > 15.0) {
      r.introPending = 0;
      noticesOn = false;
      r.errorCode = kLatencyTimeout;
      Post(kMsgVersion, 0, 0);
      r.windowAck = 0;
      if (!WaitUntil([&r] { return r.windowAck.load() != 0; })) return;
      break;
    }
    platform::SleepMs(10);
  }
  // The window gives a timed-out run up and then acknowledges it: it ends here.
  if (Terminated()) return;

  // 7.
  dlFtpSamples.clear();
  ulFtpSamples.clear();

  // 8. The test document, no cookie capture.
  HttpResult test = HttpRequest(decodeLetterPairs(config().testDocumentUrl), true, "", true, false);
  if (Terminated()) return;
  if (!test.success) {
    r.windowAck = 0;
    r.introPending = 0;
    r.errorCode = kTestDocumentFailed;
    Post(kMsgTestDocFailed, 0, 0);
    if (WaitUntil([&r] { return r.windowAck.load() != 0; })) FallbackRun();
    return;
  }

  // 9. Permission.
  ParsedDocument doc = ParseDocument(test.response);
  permitted = LookupValue("test_permission", doc) == "T";
  if (!permitted) {
    r.errorCode = kTestDenied;
    Post(kMsgDenied, 0, 0);
    return;
  }

  // 10.
  FillTestParameters(doc);

  // 11. Preparation requests; their outcomes are not looked at.
  HttpRequest(decodeLetterPairs(config().firstPrepareUrl), true, "", false, false);
  if (!Pause(500)) return;
  HttpRequest(decodeLetterPairs(config().secondPrepareUrl), true, "", false, false);
  if (!Pause(2000)) return;

  // 12, 13. A phase ended by a terminate request ends the run without a further message: the window
  // has given the run up, and half-measured phases must not be reported.
  PhaseEnd download = DownloadPhase(false);
  if (download == PhaseEnd::Terminated) return;
  if (download == PhaseEnd::Completed) {
    if (!Pause(1000)) return;
    if (UploadPhase(false) == PhaseEnd::Terminated) return;
  }
  if (Terminated()) return;

  // 14.
  if (r.errorCode != kNoError) {
    ReleaseSessions();
    Post(kMsgResult, 3, 0);
    return;
  }

  // 15.
  if (!Pause(500)) return;
  Report();
}

void CWorkThread::FallbackRun() {
  TestRecord& r = record();
  // 16.
  if (!WaitUntil([this] { return startGate.load(); })) return;
  testParameters = TestParameters::Fallback(decodeLetterPairs(config().fallbackFtpHost));
  PhaseEnd download = DownloadPhase(true);
  if (download == PhaseEnd::Terminated) return;
  if (download == PhaseEnd::Completed && UploadPhase(true) == PhaseEnd::Terminated) return;
  if (Terminated()) return;
  ReleaseSessions();
  Post(kMsgResult, r.errorCode == kTestDocumentFailed ? 2 : 3, 0);
}

} // namespace zelvo
