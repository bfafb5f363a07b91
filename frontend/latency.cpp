#include "frontend/latency.h"

#include "config/builtin_config.h"
#include "engine/document.h"

#include <algorithm>
#include <cstdio>

namespace zelvo {

ProbeHosts builtinProbeHosts() {
  return {decodeLetterPairs(builtin::primaryProbeHost), decodeLetterPairs(builtin::alternateProbeHost)};
}

LatencySequence::LatencySequence(TestRecord& record, ProbeHosts hosts)
    : LatencySequence(record, std::move(hosts), Options{}) {}

LatencySequence::LatencySequence(TestRecord& record, ProbeHosts hosts, Options options)
    : record_(record), hosts_(std::move(hosts)), options_(options) {}

LatencySequence::~LatencySequence() = default;

void LatencySequence::begin(std::function<void()> openGate) {
  // A prober of the earlier sequence may still be running: stop it, so that only this sequence's
  // echoes are counted.
  pingProber_.reset();
  openGate_ = std::move(openGate);
  finished_ = false;
  record_.pingRound = 0;
  ResetRoundCounters(record_);
  pingTarget_ = hosts_.primary;
  startLatencyProbe();
}

void LatencySequence::ResetRoundCounters(TestRecord& r) {
  r.pingCount = 0;
  r.pingLost = 0;
  r.pingAvgMs = -1.0f;
  r.pingMaxMs = -1;
  r.pingMinMs = 1000000;
  r.pingSumMs = 0;
}

void LatencySequence::startLatencyProbe() {
  pingProber_.reset();
  auto prober = std::make_unique<TICMPSENDECHO2>();
  prober->Host = pingTarget_;
  prober->Interval = options_.interval;
  prober->socketKind = options_.socketKind;
  prober->OnReply = [this](TICMPSENDECHO2* sender, const std::string& sendTime, std::uint32_t status,
                           std::uint32_t roundTripMs, std::uint16_t dataSize, std::uint8_t ttl,
                           const std::string& host) {
    onLatencyReply(sender, sendTime, status, roundTripMs, dataSize, ttl, host);
  };
  pingProber_ = std::move(prober);
  pingProber_->Start();
}

void LatencySequence::onLatencyReply(TICMPSENDECHO2* sender, const std::string&, std::uint32_t status,
                                     std::uint32_t roundTripMs, std::uint16_t, std::uint8_t,
                                     const std::string&) {
  if (!sender || sender != pingProber_.get()) return;
  pingProber_.reset(); // stops it; the prober machinery no longer touches the sender

  TestRecord& r = record_;
  if (r.pingCount == 6) {
    ++r.pingRound;
    if (r.pingRound == 1 && r.pingLost == 5) {
      ResetRoundCounters(r);
      pingTarget_ = hosts_.alternate;
      startLatencyProbe();
      return;
    }
    std::int32_t succeeded = r.pingCount - r.pingLost - 1;
    if (succeeded > 0) r.pingAvgMs = static_cast<float>(r.pingSumMs / succeeded);
    char summary[64];
    std::snprintf(summary, sizeof summary, "%d,%.0f,%d", r.pingMinMs, static_cast<double>(r.pingAvgMs.load()),
                  r.pingMaxMs);
    r.pingSummary = summary;
    finished_ = true;
    if (openGate_) openGate_();
    return;
  }

  ++r.pingCount;
  if (r.pingCount != 1) {
    if (status != 0) {
      ++r.pingLost;
    } else {
      std::int32_t rtt = static_cast<std::int32_t>(std::min<std::uint32_t>(roundTripMs, 1000000));
      r.pingMaxMs = std::max(r.pingMaxMs, rtt);
      r.pingMinMs = std::min(r.pingMinMs, rtt);
      r.pingSumMs += rtt;
    }
    if (onCountedEcho) onCountedEcho(r.pingRound, status, status == 0 ? roundTripMs : 0);
  }
  if (r.pingCount <= 6) startLatencyProbe();
}

} // namespace zelvo
