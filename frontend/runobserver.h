#pragma once
// Watches a run from the side without changing it: round-trip statistics of the latency sequence's
// echoes, a light echo stream of its own while each phase transfers (latency under load), and every
// speed sample of the phases with both rates and the plausibility filter's verdict, mirrored from what
// the engine saw. Nothing here is waited for by the engine, its gates or the window.
// Unless a comment says otherwise, everything runs on the front-end's main thread.

#include "engine/testrecord.h"
#include "engine/workthread.h"
#include "frontend/runcontroller.h"
#include "platform/mainloop.h"
#include "workers/icmpsendecho2.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// One echo in the order it was sent: answered with a round trip, or not answered.
struct EchoOutcome {
  bool answered = false;
  double rttMs = 0.0;
};

struct LatencyStats {
  int sent = 0;     // echoes that completed, answered or not
  int answered = 0; // the figures below are of these; all NaN without any
  double minMs = 0, medianMs = 0, iqmMs = 0, p90Ms = 0, maxMs = 0;
  double jitterMs = 0; // mean absolute difference of consecutive answered round trips
  double loss = 0;     // unanswered / sent, 0 when nothing was sent
};

LatencyStats ComputeLatencyStats(const std::vector<EchoOutcome>& echoes);

// The usual bufferbloat grade of added latency in ms: "A+" below 5, "A" below 30, "B" below 60, "C"
// below 200, "D" below 400, "F" from 400.
std::string LatencyGrade(double increaseMs);

// One progress event of a lead session, as the engine's sample handler got it.
struct TappedSample {
  bool download = false;
  std::int64_t totalBytes = 0, elapsedMs = 0;
  double bitsPerSecond = 0;
  // What the engine made of it (nothing for a sample of another phase or after the phase ended) and
  // the adapter counters it read for it.
  std::optional<SampleVerdict> verdict;
  std::optional<OctetCounters> counters;
};

// Hands the sessions' progress events from their worker threads to the main loop.
class SampleTap : public std::enable_shared_from_this<SampleTap> {
public:
  // Runs on the main loop's thread, in the order the events happened.
  using Handler = std::function<void(const TappedSample&)>;

  // A null loop means the creating thread's current loop.
  explicit SampleTap(std::shared_ptr<platform::MainLoop> loop = nullptr);
  ~SampleTap();
  void setHandler(Handler handler);
  // Runs on a session's worker thread: queues the event; never waits for the main thread.
  void push(TappedSample sample);

private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// The engine context with every session's progress events and the counters read for them copied to
// the tap; the engine's own handlers run first and unchanged.
EngineContext ObservedEngineContext(EngineContext base, std::shared_ptr<SampleTap> tap);

// One sample of a phase as the plausibility filter judged it.
struct PhaseSample {
  bool download = false;
  bool baseline = false; // the first of a phase only sets the starting point
  std::int64_t elapsedMs = 0;
  double ftpKbps = 0, nicKbps = 0;
  bool accepted = false;
};

// The tapped samples with the engine's verdicts, and their figures from the engine's own counter
// arithmetic, counted from the latest baseline.
class FilterMirror {
public:
  // Nothing for samples the engine ignored.
  std::optional<PhaseSample> judge(const TappedSample& s);

private:
  std::int64_t baselineMs_ = 0, lastSampleMs_ = 0;
  std::uint32_t lastNicOctets_ = 0;
};

struct PhaseObservation {
  bool started = false, ended = false;
  std::vector<PhaseSample> samples;
  std::vector<EchoOutcome> echoes; // the loaded-latency stream's
  // The run's processor-load sum and sample count when the phase started and ended.
  double cpuSumAtStart = 0, cpuSumAtEnd = 0;
  int cpuSamplesAtStart = 0, cpuSamplesAtEnd = 0;
  int rejected() const;
  int accepted() const;
  // Mean processor load of the samples taken while the phase ran; none without any.
  std::optional<double> cpuPercent() const;
};

class RunObserver {
public:
  struct Options {
    bool loadedLatency = true;
    std::int32_t interval = 100; // ms between the stream's echoes
    std::int32_t requestSize = 32;
    platform::IcmpSocketKind socketKind = platform::IcmpSocketKind::Automatic;
  };

  enum class Phase { Idle, Download, Upload };
  struct Event {
    enum Kind { PhaseStart, Sample, Echo, PhaseEnd } kind = Sample;
    Phase phase = Phase::Idle;
    PhaseSample sample; // Sample
    EchoOutcome echo;   // Echo
    int echoIndex = 0;  // Echo: its place in the phase's echoes (idle: in the round)
  };

  RunObserver(TestRecord& record, std::string probeHost, Options options);
  ~RunObserver();
  RunObserver(const RunObserver&) = delete;
  RunObserver& operator=(const RunObserver&) = delete;

  // Where the events go as they happen.
  std::function<void(const Event&)> onEvent;

  // Every engine message, before the presenter shows it.
  void onMessage(const EngineMessage& m);
  // A counted echo of the latency sequence (round 0 the primary host's, 1 the alternate's).
  void onIdleEcho(std::int32_t round, std::uint32_t status, std::uint32_t roundTripMs);
  std::shared_ptr<SampleTap> tap() const { return tap_; }

  // Ends a phase still running (the result, a failure, or the end of the program).
  void endPhases();

  const std::vector<EchoOutcome>& idleEchoes() const { return idle_; }
  const PhaseObservation& download() const { return phases_[0]; }
  const PhaseObservation& upload() const { return phases_[1]; }

private:
  void startPhase(bool download);
  void endPhase();
  void onSample(const TappedSample& s);
  void onStreamReply(TICMPSENDECHO2* sender, std::uint32_t status, std::uint32_t roundTripMs);
  void checkDone();
  void emit(const Event& e) {
    if (onEvent) onEvent(e);
  }
  PhaseObservation& current() { return phases_[current_ == Phase::Upload ? 1 : 0]; }

  TestRecord& record_;
  std::string host_;
  Options options_;
  std::shared_ptr<SampleTap> tap_;
  FilterMirror mirrors_[2]; // download, upload
  Phase current_ = Phase::Idle;
  std::int32_t idleRound_ = -1;
  std::vector<EchoOutcome> idle_;
  PhaseObservation phases_[2];
  std::unique_ptr<TICMPSENDECHO2> stream_;
};

} // namespace zelvo
