// The download and upload phases: starting and stopping the sessions, the per-second samples with
// their plausibility filter against the adapter counters, and the failure classification.

#include "engine/workthread.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zelvo {

namespace {

constexpr int kFirstUpload = 0;   // "FTP1"
constexpr int kFirstDownload = 3; // "FTP4"

std::string FormatRounded(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

void AppendSample(std::string& list, const std::string& sample) {
  if (!list.empty()) list += ",";
  list += sample;
}

} // namespace

bool CWorkThread::PrepareSession(int index) {
  TransferSession* s = sessions[index].get();
  if (!s) return false;
  if (s->Connected()) s->Disconnect();
  s->SetHost(testParameters.url);
  s->SetUsername(testParameters.uid);
  s->SetPort(21);
  s->SetPassword(testParameters.pwd);
  s->SetAbortMode(false);
  s->SetPassive(true);
  s->SetRecvBufferSize(131072);
  s->SetSendBufferSize(65536);
  return s->Connect();
}

namespace {

// Connects and starts up to three sessions of a phase from `first`, the lead first. `count` holds the
// sessions wanted (0 counts as one) and afterwards the sessions started. False only when the lead
// could not connect. `pause` waits between sessions and answers false when the run is given up.
template <typename Prepare, typename Start, typename Pause>
bool StartSessions(int first, std::int32_t& count, Prepare prepare, Start start, Pause pause) {
  std::int32_t wanted = count;
  count = 0;
  if (wanted == 0) wanted = 1;
  if (wanted > 0) {
    if (!prepare(first)) return false;
    count += start(first);
  }
  if (wanted > 1) {
    if (!pause(100)) return true;
    if (!prepare(first + 1)) {
      count = 1;
      return true;
    }
    count += start(first + 1);
  }
  if (wanted > 2) {
    if (!pause(100)) return true;
    if (!prepare(first + 2))
      count = 2;
    else
      count += start(first + 2);
  }
  return true;
}

} // namespace

bool CWorkThread::StartDownloadSessions() {
  const std::string& path = testParameters.dl_path;
  const std::string remote = path.empty() ? path : path.substr(1);
  return StartSessions(
      kFirstDownload, testParameters.dl_session, [this](int i) { return PrepareSession(i); },
      [&](int index) {
        TransferSession* s = sessions[index].get();
        if (!s || !s->Connected()) return 0;
        s->SetDownloadFile(remote);
        s->SetUploadFile("");
        s->StartDownload();
        return 1;
      },
      [this](int ms) { return Pause(ms); });
}

std::string CWorkThread::UploadFileName() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d%02d%02d%02d%02d%02d%d.txt", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
  return buffer;
}

bool CWorkThread::StartUploadSessions() {
  const std::string name = UploadFileName();
  return StartSessions(
      kFirstUpload, testParameters.ul_session, [this](int i) { return PrepareSession(i); },
      [&](int index) {
        TransferSession* s = sessions[index].get();
        if (!s || !s->Connected()) return 0;
        // A refused directory leaves the session out instead of ending the engine's thread.
        if (!s->ChangeDir("uploads")) return 0;
        s->SetDownloadFile("");
        s->SetUploadFile(name + std::to_string(index - kFirstUpload + 1));
        s->StartUpload();
        return 1;
      },
      [this](int ms) { return Pause(ms); });
}

bool CWorkThread::PhaseSessionsTransferring(bool download) {
  const int first = download ? kFirstDownload : kFirstUpload;
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  for (int i = first; i < first + 3; ++i)
    if (sessions[i] && sessions[i]->Running() && !sessions[i]->Transferring()) return false;
  return true;
}

void CWorkThread::StopSessions(bool download, bool abortRunningOnly) {
  const int first = download ? kFirstDownload : kFirstUpload;
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  for (int i = first; i < first + 3; ++i)
    if (sessions[i] && (!abortRunningOnly || sessions[i]->Running())) sessions[i]->RequestAbort();
  for (int i = first; i < first + 3; ++i)
    if (sessions[i] && sessions[i]->Connected()) sessions[i]->Disconnect();
}

void CWorkThread::StopPhaseSessions() {
  StopSessions(downloadPhase, true);
}

std::optional<std::uint32_t> CWorkThread::ReadNicCounter(bool download) {
  if (!context_.readInterfaceCounters) return std::nullopt;
  std::optional<OctetCounters> counters = context_.readInterfaceCounters(record().bestIfPos);
  if (!counters) return std::nullopt;
  return download ? counters->inOctets : counters->outOctets;
}

bool CWorkThread::PhaseFailed(bool download, bool fallback, std::int32_t duration, float measuredSeconds) {
  if (!fallback) return 0.3 * duration > measuredSeconds;
  if (download) return duration / 2 > measuredSeconds;
  return measuredSeconds <= 3.0f;
}

ErrorCode CWorkThread::PhaseFailureCode(bool download, float measuredSeconds,
                                        const std::string& connectionType, std::uint32_t nicMtu) {
  if (download) return kDownloadTooLittle;
  if (measuredSeconds != 0.0f) return kUploadTooLittle;
  if (connectionType.compare(0, 5, "PPPoE") != 0) return kUploadNothingNotPppoe;
  if (nicMtu > 1460) return kUploadNothingPppoeMtu;
  return kUploadTooLittle;
}

void CWorkThread::StorePhaseRates(bool download) {
  // The transfer cannot have carried more than the adapter did over the same seconds. Bytes that
  // waited in a socket (behind a lost segment on a long path, or through a rejected sample) and were
  // read inside the counted seconds would otherwise read as a speed above the line's.
  const double nicBits = static_cast<double>(download ? dlNicKbits : ulNicKbits) * 1000;
  double bits = static_cast<double>(measuredBytes) * 8;
  if (nicBits > 0 && bits > nicBits) bits = nicBits;
  const double rate = bits / measuredSeconds;
  if (download) {
    testParameters.dlBitsPerSecond = rate;
    dlNicSpeed = static_cast<double>(dlNicKbits) / measuredSeconds;
    record().downloadSpeed = rate * 0.001;
  } else {
    testParameters.ulBitsPerSecond = rate;
    ulNicSpeed = static_cast<double>(ulNicKbits) / measuredSeconds;
    record().uploadSpeed = rate * 0.001;
  }
}

PhaseEnd CWorkThread::RunPhase(bool download, bool fallback) {
  TestRecord& r = record();
  const std::int32_t duration = download ? testParameters.dl_duration : testParameters.ul_duration;

  if (Terminated()) return PhaseEnd::Terminated;
  // 1. The window prepares its progress display before anything is measured.
  Send(kMsgPhase, download ? 1 : 0, 0);

  // 2, 3.
  {
    std::lock_guard<std::mutex> lock(phaseMutex);
    lastNicOctets = ReadNicCounter(download).value_or(0);
    lastSampleMs = 0;
    warmupLeft = 1;
    sessionsStarting = true;
    phaseClock.Start();
    measuredSeconds = 0.0f;
    measuredBytes = 0;
    lastTotalBytes = 0;
    dlNicKbits = 0;
    ulNicKbits = 0;
  }
  downloadPhase = download;

  // 4. The lead session gets a second chance.
  auto startSessions = [&] { return download ? StartDownloadSessions() : StartUploadSessions(); };
  bool started = startSessions();
  if (Terminated()) return PhaseEnd::Terminated;
  if (!started) {
    StopPhaseSessions();
    if (!Pause(100)) return PhaseEnd::Terminated;
    {
      std::lock_guard<std::mutex> lock(phaseMutex);
      phaseClock.Start();
    }
    started = startSessions();
    if (Terminated()) return PhaseEnd::Terminated;
    if (!started) {
      r.errorCode = kNoSessionStarted;
      // Without sessions the upload's time limit below turns the code into 1, 12 or 13.
      if (download) return PhaseEnd::Failed;
    }
  }
  // 5. Watch loop.
  std::atomic<std::uint8_t>& done = download ? r.downloadDone : r.uploadDone;
  Stopwatch watch;
  bool starting = true;
  while (!done && !Terminated()) {
    if (starting && (PhaseSessionsTransferring(download) || watch.ElapsedSeconds() >= kStartWaitSeconds)) {
      starting = false;
      std::lock_guard<std::mutex> lock(phaseMutex);
      sessionsStarting = false;
      // Data that reached a session before its transfer began waited in its socket and is read in one
      // go when it begins: the next sample is a fresh baseline, so that backlog does not read as speed.
      warmupLeft = 1;
      phaseClock.Start();
    }
    if (watch.ElapsedSeconds() > duration + 10) {
      std::lock_guard<std::mutex> lock(phaseMutex);
      if (PhaseFailed(download, fallback, duration, measuredSeconds)) {
        std::lock_guard<std::mutex> profile(r.profileMutex); // the window may be replacing them
        r.errorCode = PhaseFailureCode(download, measuredSeconds, r.connectionType, r.nicMtu);
        return PhaseEnd::Failed;
      }
      // Enough was measured, but no sample reached the full duration: the rate from the counters.
      StorePhaseRates(download);
      break;
    }
    platform::SleepMs(20);
  }

  // 6.
  StopPhaseSessions();
  if (Terminated() && !done) return PhaseEnd::Terminated;
  return PhaseEnd::Completed;
}

void CWorkThread::OnSpeedSample(WorkMode mode, std::int64_t total, std::int64_t ms, double bps) {
  TestRecord& r = record();
  const bool upload = mode == WorkMode::Write;
  const bool download = !upload;
  // A run given up posts nothing more and leaves the shared record to the next run.
  if (Terminated()) return;

  // 1. Progress notice, for every sample.
  double sinceNotice = noticeClock.ElapsedSeconds();
  if (sinceNotice > 3.0 && noticesOn) {
    noticeClock.Start();
    Post(kMsgNotice, NewTextW(sessionCookie), NewText(decodeLetterPairs(config().noticeUrl)));
  }

  // A sample of the other phase, or one that comes after the phase ended, would corrupt its counters.
  if (download != downloadPhase.load()) return;
  std::atomic<std::uint8_t>& done = download ? r.downloadDone : r.uploadDone;
  if (done) return;

  const std::int32_t duration = download ? testParameters.dl_duration : testParameters.ul_duration;
  // 2.
  std::optional<std::uint32_t> counterRead = ReadNicCounter(download);

  bool accepted = false, endPhase = false, stopAfterRejects = false;
  int percent = 0;
  {
    std::lock_guard<std::mutex> lock(phaseMutex);
    const std::uint32_t counter = counterRead.value_or(lastNicOctets);
    // 3. The first sample of a phase is only the baseline, and so is every sample that comes while
    // later sessions are still logging in.
    if (warmupLeft > 0 || sessionsStarting) {
      if (warmupLeft > 0) --warmupLeft;
      if (warmupLeft < 1) {
        baselineMs = ms;
        lastSampleMs = ms;
        lastNicOctets = counter;
        lastTotalBytes = total;
      }
      if (context_.sampleJudged) context_.sampleJudged(SampleVerdict::Baseline);
      return;
    }

    // 4, 5. The counter difference is taken modulo 2^32, so a wrap is not a bogus sample.
    const double ftpKbits = bps * 0.001;
    std::string ftpText = FormatRounded(ftpKbits);
    if (ftpText == "0" || ftpText == "-0") ftpText.clear();
    std::string nicText;
    percent = static_cast<int>((ms - baselineMs) / (static_cast<std::int64_t>(duration) * 10));
    const std::uint32_t octets = counter - lastNicOctets;
    const std::uint64_t nicKbits = static_cast<std::uint64_t>(octets * 0.001 * 8);
    const float dt = static_cast<float>((ms - lastSampleMs) * 0.001);
    if (nicKbits != 0) nicText = FormatRounded(static_cast<double>(nicKbits) / dt);
    lastNicOctets = counter;
    lastSampleMs = ms;

    // 6, 7.
    const std::int64_t phaseSeconds = static_cast<std::int64_t>(phaseClock.ElapsedSeconds());
    const long long nicK = nicText.empty() ? 0 : std::strtoll(nicText.c_str(), nullptr, 10);
    const long long ftpK = static_cast<long long>(ftpKbits);
    accepted = 2 * nicK > ftpK && bps > 0 && (nicK < 2 * ftpK || phaseSeconds > 3);

    if (accepted) {
      // 8.
      measuredSeconds += dt;
      if (total > lastTotalBytes) measuredBytes += static_cast<std::uint64_t>(total - lastTotalBytes);
      lastTotalBytes = total;
      if (download) {
        dlNicKbits += nicKbits;
        AppendSample(dlFtpSamples, ftpText);
        AppendSample(dlNicSamples, nicText);
      } else {
        ulNicKbits += nicKbits;
        AppendSample(ulFtpSamples, ftpText);
        AppendSample(ulNicSamples, nicText);
      }
      if (ms - baselineMs >= static_cast<std::int64_t>(duration) * 1000) {
        endPhase = true;
        StorePhaseRates(download);
      }
    } else {
      // 9. A rejected sample adds neither time nor bytes, now or later.
      lastTotalBytes = total;
      stopAfterRejects = phaseSeconds >= duration;
    }
  }

  if (context_.sampleJudged) context_.sampleJudged(accepted ? SampleVerdict::Accepted : SampleVerdict::Rejected);
  if (accepted) Post(kMsgPhase, download ? 1 : 0, percent);
  if (endPhase || stopAfterRejects) StopSessions(download, true);
  if (endPhase) done = 1;
}

} // namespace zelvo
