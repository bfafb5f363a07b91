#pragma once
// The latency sequence every front-end runs at the start of a test: rounds of seven echoes, one
// prober per echo (the first warms up, five are counted, the seventh closes the round), a second
// round on the alternate host when all five counted echoes of the first failed, and then the
// latency summary in the shared record, which opens the engine's latency gate.
// Everything here runs on the window thread (the thread whose main loop runs the probers' tick).

#include "engine/testrecord.h"
#include "workers/icmpsendecho2.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zelvo {

struct ProbeHosts {
  std::string primary;   // dotted IPv4
  std::string alternate; // dotted IPv4, probed when every counted echo to the primary failed
};

// The built-in probe hosts, decoded from their letter-pair form.
ProbeHosts builtinProbeHosts();

class LatencySequence {
public:
  struct Options {
    std::int32_t interval = 500; // tick period of every prober of the sequence, ms
    platform::IcmpSocketKind socketKind = platform::IcmpSocketKind::Automatic;
  };

  LatencySequence(TestRecord& record, ProbeHosts hosts);
  LatencySequence(TestRecord& record, ProbeHosts hosts, Options options);
  ~LatencySequence();
  LatencySequence(const LatencySequence&) = delete;
  LatencySequence& operator=(const LatencySequence&) = delete;

  // Begins the sequence of a new run: resets the record's latency fields, stops a prober still left
  // from an earlier sequence, probes the primary host. openGate runs on this thread once the summary
  // is written (the owner points it at the current engine's pingDone).
  void begin(std::function<void()> openGate);

  // Replaces the current prober with a new one aimed at pingTarget and starts it.
  void startLatencyProbe();

  // The current prober's reply event. Replies of any other prober are ignored.
  void onLatencyReply(TICMPSENDECHO2* sender, const std::string& sendTime, std::uint32_t status,
                      std::uint32_t roundTripMs, std::uint16_t dataSize, std::uint8_t ttl,
                      const std::string& host);

  // Observers' view of every counted echo as it completes: the round (0 the primary host's, 1 the
  // alternate's), the status and the round trip. Runs on the window thread; must not touch the sequence.
  std::function<void(std::int32_t round, std::uint32_t status, std::uint32_t roundTripMs)> onCountedEcho;

  TICMPSENDECHO2* pingProber() const { return pingProber_.get(); }
  const std::string& pingTarget() const { return pingTarget_; }
  // Whether this sequence has written its summary.
  bool finished() const { return finished_; }
  // Why the current prober could not send its echo (see TICMPSENDECHO2::LastOpenError); 0 otherwise.
  std::uint32_t probeOpenError() const { return pingProber_ ? pingProber_->LastOpenError() : 0; }

private:
  // The counters of a round, fresh at the start of each.
  static void ResetRoundCounters(TestRecord& r);

  TestRecord& record_;
  ProbeHosts hosts_;
  Options options_;
  std::unique_ptr<TICMPSENDECHO2> pingProber_;
  std::string pingTarget_;
  std::function<void()> openGate_;
  bool finished_ = false;
};

} // namespace zelvo
