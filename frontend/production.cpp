#include "frontend/production.h"

#include "engine/httpthread.h"
#include "sysinfo/connection.h"
#include "sysinfo/systemprofile.h"

namespace zelvo {

ProductionServices::ProductionServices(ProbeHosts hosts, EngineConfig config)
    : hosts_(std::move(hosts)), config_(std::move(config)) {
  // The route that decides the measured interface is the route to the probe hosts.
  profile_.primaryReference = hosts_.primary;
  profile_.alternateReference = hosts_.alternate;
}

ProductionServices::~ProductionServices() {
  CloseProcessorQuery(profile_);
}

FrontendServices ProductionServices::services() {
  FrontendServices s;
  s.newEngine = [this](std::shared_ptr<TestRecord> record) {
    return std::make_shared<CWorkThread>(std::move(record), ProductionEngineContext(config_));
  };
  s.collectProfile = [this](TestRecord& record) {
    if (openProcessorQueryWithProfile) OpenProcessorQuery(profile_);
    vGetSystemInfo(record, profile_);
  };
  s.sampleResources = [this](TestRecord& record) { vGetSystemResource(record, profile_); };
  s.connectedAdapters = [this] { return static_cast<int>(iNICConnect(profile_)); };
  s.startNotice = [](const std::string& cookie, const std::string& url) { CHttpThread::Start(cookie, url); };
  s.startLatency = [this](TestRecord& record, std::function<void()> gateOpened) {
    latency_ = std::make_unique<LatencySequence>(record, hosts_);
    latency_->onCountedEcho = onLatencyEcho;
    latency_->begin(std::move(gateOpened));
  };
  s.stopLatency = [this] { latency_.reset(); };
  return s;
}

} // namespace zelvo
