#pragma once
// The real pieces behind a front-end's run: FTP sessions over libcurl, the interface table, the system
// profiles, ICMP probes of the built-in hosts and the notice threads.

#include "frontend/latency.h"
#include "frontend/runcontroller.h"
#include "sysinfo/windowprofile.h"

#include <memory>

namespace zelvo {

class ProductionServices {
public:
  explicit ProductionServices(ProbeHosts hosts = builtinProbeHosts(),
                              EngineConfig config = EngineConfig::BuiltIn());
  ~ProductionServices();

  // Services bound to this object, which must outlive the controller that uses them. All run on the
  // thread of the front-end's main loop.
  FrontendServices services();
  WindowProfile& windowProfile() { return profile_; }
  // A front-end without a testing page (the console) has the processor-load query opened with the
  // profile; the window opens it when its testing page shows.
  bool openProcessorQueryWithProfile = true;
  // Why the current run's latency probe could not send (LatencySequence::probeOpenError); 0 otherwise.
  std::uint32_t latencyProbeError() const { return latency_ ? latency_->probeOpenError() : 0; }
  // Given to each latency sequence (see LatencySequence::onCountedEcho).
  std::function<void(std::int32_t round, std::uint32_t status, std::uint32_t roundTripMs)> onLatencyEcho;

private:
  ProbeHosts hosts_;
  EngineConfig config_;
  WindowProfile profile_;
  std::unique_ptr<LatencySequence> latency_;
};

} // namespace zelvo
