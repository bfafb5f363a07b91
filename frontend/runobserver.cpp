#include "frontend/runobserver.h"

#include "workers/tcpstats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>

namespace zelvo {

LatencyStats ComputeLatencyStats(const std::vector<EchoOutcome>& echoes) {
  LatencyStats s;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  s.minMs = s.medianMs = s.iqmMs = s.p90Ms = s.maxMs = s.jitterMs = nan;
  std::vector<double> rtts;
  double jitterSum = 0;
  for (const EchoOutcome& e : echoes) {
    ++s.sent;
    if (!e.answered) continue;
    if (!rtts.empty()) jitterSum += std::fabs(e.rttMs - rtts.back());
    rtts.push_back(e.rttMs);
  }
  s.answered = static_cast<int>(rtts.size());
  s.loss = s.sent ? static_cast<double>(s.sent - s.answered) / s.sent : 0.0;
  if (rtts.empty()) return s;
  s.jitterMs = rtts.size() > 1 ? jitterSum / static_cast<double>(rtts.size() - 1) : 0.0;
  std::sort(rtts.begin(), rtts.end());
  const std::size_t n = rtts.size();
  s.minMs = rtts.front();
  s.maxMs = rtts.back();
  s.medianMs = n % 2 ? rtts[n / 2] : (rtts[n / 2 - 1] + rtts[n / 2]) / 2;
  // Nearest rank.
  s.p90Ms = rtts[static_cast<std::size_t>(std::ceil(0.9 * static_cast<double>(n))) - 1];
  // The middle half, a quarter cut from each end; fewer than four keep them all.
  const std::size_t cut = n / 4;
  double sum = 0;
  for (std::size_t i = cut; i < n - cut; ++i)
    sum += rtts[i];
  s.iqmMs = sum / static_cast<double>(n - 2 * cut);
  return s;
}

std::string LatencyGrade(double increaseMs) {
  if (increaseMs < 5) return "A+";
  if (increaseMs < 30) return "A";
  if (increaseMs < 60) return "B";
  if (increaseMs < 200) return "C";
  if (increaseMs < 400) return "D";
  return "F";
}

// ---- the tap ----

struct SampleTap::Shared {
  std::mutex mutex;
  std::shared_ptr<platform::MainLoop> loop; // guarded by mutex; none once the tap is gone
  std::deque<TappedSample> queue;           // guarded by mutex
  bool scheduled = false;                   // guarded by mutex: a dispatch is pending
  Handler handler;                          // main thread only

  // Runs on the loop's thread.
  static void dispatch(const std::shared_ptr<Shared>& shared) {
    std::deque<TappedSample> taken;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      taken.swap(shared->queue);
      shared->scheduled = false;
    }
    for (const TappedSample& s : taken)
      if (shared->handler) shared->handler(s);
  }
};

SampleTap::SampleTap(std::shared_ptr<platform::MainLoop> loop) : shared_(std::make_shared<Shared>()) {
  shared_->loop = loop ? std::move(loop) : platform::MainLoop::current();
}

SampleTap::~SampleTap() {
  shared_->handler = nullptr;
  // Pending dispatches hold their own reference to the shared part.
  std::shared_ptr<platform::MainLoop> loop;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  loop.swap(shared_->loop);
}

void SampleTap::setHandler(Handler handler) {
  shared_->handler = std::move(handler);
}

void SampleTap::push(TappedSample sample) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (!shared_->loop) return;
  shared_->queue.push_back(std::move(sample));
  if (shared_->scheduled) return;
  shared_->scheduled = true;
  shared_->loop->post([shared = shared_] { Shared::dispatch(shared); });
}

namespace {

// What the engine's counter reader returned last on this thread, and whether it was asked.
thread_local std::optional<OctetCounters> tlsCounters;
thread_local std::optional<SampleVerdict> tlsVerdict;

// A session that forwards everything to the real one and copies its progress events to the tap.
class TappedSession : public TransferSession {
public:
  TappedSession(std::unique_ptr<TransferSession> inner, std::shared_ptr<SampleTap> tap)
      : inner_(std::move(inner)), tap_(std::move(tap)) {}

  void SetName(const std::string& name) override { inner_->SetName(name); }
  void SetHost(const std::string& host) override { inner_->SetHost(host); }
  void SetUsername(const std::string& user) override { inner_->SetUsername(user); }
  void SetPassword(const std::string& password) override { inner_->SetPassword(password); }
  void SetPort(int port) override { inner_->SetPort(port); }
  void SetPassive(bool passive) override { inner_->SetPassive(passive); }
  void SetRecvBufferSize(int bytes) override { inner_->SetRecvBufferSize(bytes); }
  void SetSendBufferSize(int bytes) override { inner_->SetSendBufferSize(bytes); }
  void SetAbortMode(bool abortByDataChannel) override { inner_->SetAbortMode(abortByDataChannel); }
  void SetDownloadFile(const std::string& path) override { inner_->SetDownloadFile(path); }
  void SetUploadFile(const std::string& path) override { inner_->SetUploadFile(path); }
  bool Connect() override { return inner_->Connect(); }
  void Disconnect() override { inner_->Disconnect(); }
  bool ChangeDir(const std::string& directory) override { return inner_->ChangeDir(directory); }
  void StartDownload() override { inner_->StartDownload(); }
  void StartUpload() override { inner_->StartUpload(); }
  void RequestAbort() override { inner_->RequestAbort(); }
  bool Connected() const override { return inner_->Connected(); }
  bool Running() const override { return inner_->Running(); }
  bool Transferring() const override { return inner_->Transferring(); }
  std::string Name() const override { return inner_->Name(); }
  void SetOnLog(LogHandler handler) override { inner_->SetOnLog(std::move(handler)); }
  void SetOnConnected(EventHandler handler) override { inner_->SetOnConnected(std::move(handler)); }
  void SetOnDisconnected(EventHandler handler) override { inner_->SetOnDisconnected(std::move(handler)); }
  // Runs on the session's worker thread.
  void SetCancelCheck(std::function<bool()> cancelled) override {
    inner_->SetCancelCheck(std::move(cancelled));
  }
  void SetOnProgress(ProgressHandler handler) override {
    std::shared_ptr<SampleTap> tap = tap_;
    inner_->SetOnProgress([handler = std::move(handler), tap](TransferSession& sender, WorkMode mode,
                                                              std::int64_t total, std::int64_t ms,
                                                              double bps) {
      TappedSample s;
      tlsVerdict.reset();
      if (handler) handler(sender, mode, total, ms, bps);
      s.verdict = tlsVerdict;
      s.download = mode == WorkMode::Read;
      s.totalBytes = total;
      s.elapsedMs = ms;
      s.bitsPerSecond = bps;
      s.counters = tlsCounters;
      tap->push(std::move(s));
    });
  }

private:
  std::unique_ptr<TransferSession> inner_;
  std::shared_ptr<SampleTap> tap_;
};

} // namespace

EngineContext ObservedEngineContext(EngineContext base, std::shared_ptr<SampleTap> tap) {
  EngineContext c = std::move(base);
  if (c.newSession) {
    c.newSession = [make = std::move(c.newSession), tap]() -> std::unique_ptr<TransferSession> {
      std::unique_ptr<TransferSession> inner = make();
      if (!inner) return inner;
      return std::make_unique<TappedSession>(std::move(inner), tap);
    };
  }
  if (c.readInterfaceCounters) {
    c.readInterfaceCounters = [read = std::move(c.readInterfaceCounters)](std::int32_t position) {
      std::optional<OctetCounters> counters = read(position);
      tlsCounters = counters;
      return counters;
    };
  }
  c.sampleJudged = [told = std::move(c.sampleJudged)](SampleVerdict verdict) {
    tlsVerdict = verdict;
    if (told) told(verdict);
  };
  return c;
}

// ---- the filter mirror ----

std::optional<PhaseSample> FilterMirror::judge(const TappedSample& s) {
  if (!s.verdict) return std::nullopt;
  PhaseSample out;
  out.download = s.download;
  const std::uint32_t counter =
      s.counters ? (s.download ? s.counters->inOctets : s.counters->outOctets) : lastNicOctets_;
  // Every phase begins with a baseline, and the engine takes a fresh one once its last session's data
  // flows.
  if (*s.verdict == SampleVerdict::Baseline) {
    baselineMs_ = s.elapsedMs;
    lastSampleMs_ = s.elapsedMs;
    lastNicOctets_ = counter;
    out.baseline = true;
    return out;
  }
  // The engine's counter arithmetic, types included.
  const std::uint32_t octets = counter - lastNicOctets_;
  const std::uint64_t nicKbits = static_cast<std::uint64_t>(octets * 0.001 * 8);
  const float dt = static_cast<float>((s.elapsedMs - lastSampleMs_) * 0.001);
  out.elapsedMs = s.elapsedMs - baselineMs_;
  out.ftpKbps = s.bitsPerSecond * 0.001;
  out.nicKbps = dt > 0 ? static_cast<double>(nicKbits) / dt : 0.0;
  lastNicOctets_ = counter;
  lastSampleMs_ = s.elapsedMs;
  out.accepted = *s.verdict == SampleVerdict::Accepted;
  return out;
}

int PhaseObservation::rejected() const {
  return static_cast<int>(std::count_if(samples.begin(), samples.end(),
                                        [](const PhaseSample& s) { return !s.baseline && !s.accepted; }));
}

int PhaseObservation::accepted() const {
  return static_cast<int>(
      std::count_if(samples.begin(), samples.end(), [](const PhaseSample& s) { return s.accepted; }));
}

std::optional<double> PhaseObservation::cpuPercent() const {
  const int count = cpuSamplesAtEnd - cpuSamplesAtStart;
  if (!ended || count <= 0) return std::nullopt;
  return (cpuSumAtEnd - cpuSumAtStart) / count;
}

// ---- the observer ----

RunObserver::RunObserver(TestRecord& record, std::string probeHost, Options options)
    : record_(record), host_(std::move(probeHost)), options_(options), tap_(std::make_shared<SampleTap>()) {
  tap_->setHandler([this](const TappedSample& s) { onSample(s); });
}

RunObserver::~RunObserver() {
  tap_->setHandler(nullptr);
  stream_.reset();
}

void RunObserver::onMessage(const EngineMessage& m) {
  switch (m.message) {
  case kMsgPhase:
    // Each phase opens with a message of 0 per cent; accepted samples carry their percentage.
    if (m.lParam == 0) {
      const Phase phase = m.wParam == 1 ? Phase::Download : Phase::Upload;
      if (phase != current_) startPhase(phase == Phase::Download);
    }
    break;
  case kMsgReporting:
  case kMsgResult:
  case kMsgDenied:
    endPhases();
    break;
  case kMsgVersion:
    if (m.wParam == 0) endPhases();
    break;
  default:
    break;
  }
}

void RunObserver::onIdleEcho(std::int32_t round, std::uint32_t status, std::uint32_t roundTripMs) {
  // The summary is of the last round; a round on the alternate host starts afresh.
  if (round != idleRound_) {
    idleRound_ = round;
    idle_.clear();
  }
  Event e;
  e.kind = Event::Echo;
  e.phase = Phase::Idle;
  e.echo = {status == platform::kIpSuccess, static_cast<double>(roundTripMs)};
  e.echoIndex = static_cast<int>(idle_.size());
  idle_.push_back(e.echo);
  emit(e);
}

void RunObserver::startPhase(bool download) {
  endPhase();
  current_ = download ? Phase::Download : Phase::Upload;
  // The run's first phase: the data connections of each direction are counted from here.
  if (download) resetTcpStats();
  PhaseObservation& p = current();
  p = PhaseObservation{};
  p.started = true;
  p.cpuSumAtStart = record_.cpuLoadSum.load();
  p.cpuSamplesAtStart = record_.sampleCount.load();
  Event e;
  e.kind = Event::PhaseStart;
  e.phase = current_;
  emit(e);
  if (!options_.loadedLatency) return;
  stream_ = std::make_unique<TICMPSENDECHO2>();
  stream_->Host = host_;
  stream_->Interval = options_.interval;
  stream_->RequestSize = options_.requestSize;
  stream_->socketKind = options_.socketKind;
  stream_->OnReply = [this](TICMPSENDECHO2* sender, const std::string&, std::uint32_t status,
                            std::uint32_t roundTripMs, std::uint16_t, std::uint8_t,
                            const std::string&) { onStreamReply(sender, status, roundTripMs); };
  stream_->Start();
}

void RunObserver::endPhase() {
  if (current_ == Phase::Idle) return;
  // Echoes still under way are dropped: neither answered nor lost.
  stream_.reset();
  PhaseObservation& p = current();
  p.ended = true;
  p.cpuSumAtEnd = record_.cpuLoadSum.load();
  p.cpuSamplesAtEnd = record_.sampleCount.load();
  Event e;
  e.kind = Event::PhaseEnd;
  e.phase = current_;
  current_ = Phase::Idle;
  emit(e);
}

void RunObserver::endPhases() {
  endPhase();
}

void RunObserver::checkDone() {
  if (current_ == Phase::Download && record_.downloadDone) endPhase();
  if (current_ == Phase::Upload && record_.uploadDone) endPhase();
}

void RunObserver::onSample(const TappedSample& s) {
  PhaseObservation& p = phases_[s.download ? 0 : 1];
  if (!p.started) return;
  std::optional<PhaseSample> judged = mirrors_[s.download ? 0 : 1].judge(s);
  if (!judged) return;
  p.samples.push_back(*judged);
  Event e;
  e.kind = Event::Sample;
  e.phase = s.download ? Phase::Download : Phase::Upload;
  e.sample = *judged;
  emit(e);
  // The sample that ends a phase sets the done flag before it reaches here; ending the phase on the
  // flag anywhere else could lose it.
  checkDone();
}

void RunObserver::onStreamReply(TICMPSENDECHO2* sender, std::uint32_t status, std::uint32_t roundTripMs) {
  if (sender != stream_.get() || current_ == Phase::Idle) return;
  PhaseObservation& p = current();
  Event e;
  e.kind = Event::Echo;
  e.phase = current_;
  e.echo = {status == platform::kIpSuccess, static_cast<double>(roundTripMs)};
  e.echoIndex = static_cast<int>(p.echoes.size());
  p.echoes.push_back(e.echo);
  emit(e);
}

} // namespace zelvo
