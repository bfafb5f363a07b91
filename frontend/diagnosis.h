#pragma once
// What limited each direction of a run, judged from the figures the run has: the measured rate against
// the link facts of the adapter, the adapter's counters against the transfer, the processor load, and
// (as evidence) TCP retransmissions and the latency increase under load. Every rule is here.

#include "platform/linkfacts.h"

#include <optional>
#include <string>

namespace zelvo {

// The figures of one direction; an empty one was not measured.
struct DirectionFigures {
  bool download = true;
  std::optional<double> measuredKbps;      // the transfer rate
  std::optional<double> nicOverFtp;        // adapter rate / transfer rate
  std::optional<double> cpuPercent;        // mean processor load while the phase ran
  std::optional<long long> retransmits;    // TCP segments retransmitted by the phase's connections
  std::optional<double> latencyIncreaseMs; // loaded median minus idle median
  std::optional<double> echoLoss;          // loaded echoes lost, 0 to 1
};

struct Diagnosis {
  std::string limit;    // line, ethernet_link, wifi_link, computer, other_traffic, unknown
  std::string evidence; // CP950: the figures the verdict rests on
  std::string advice;   // CP950: one sentence
};

Diagnosis Diagnose(const platform::LinkFacts& link, const DirectionFigures& figures);

// The verdict's name for people, CP950.
std::string LimitText(const std::string& limit);

// The rate a Wi-Fi link of this PHY rate carries as TCP goodput in practice.
double WifiPracticalKbps(double phyKbps);

} // namespace zelvo
