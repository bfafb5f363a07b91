#include "workers/tcpstats.h"

#include <atomic>
#include <map>
#include <mutex>

namespace zelvo {

namespace {

std::mutex statsMutex;
std::map<uint64_t, platform::TcpInfoSnapshot> latest[2]; // [upload]
std::atomic<uint64_t> nextConnection{1};

} // namespace

uint64_t tcpStatsNewConnection() {
  return nextConnection.fetch_add(1);
}

void tcpStatsRecord(uint64_t connection, bool upload, const platform::TcpInfoSnapshot& snapshot) {
  std::lock_guard<std::mutex> lock(statsMutex);
  latest[upload ? 1 : 0][connection] = snapshot;
}

TcpPhaseStats tcpStatsSnapshot(bool upload) {
  std::lock_guard<std::mutex> lock(statsMutex);
  TcpPhaseStats s;
  uint64_t bytesPerSec = 0;
  for (const auto& [id, info] : latest[upload ? 1 : 0]) {
    s.retransmits += info.totalRetrans;
    s.rttMs += info.rttUs / 1000.0;
    s.rttVarMs += info.rttVarUs / 1000.0;
    bytesPerSec += info.deliveryRateBytesPerSec;
    ++s.connections;
  }
  if (s.connections > 0) {
    s.rttMs /= s.connections;
    s.rttVarMs /= s.connections;
  }
  s.deliveryRateKbps = bytesPerSec * 8 / 1000;
  return s;
}

void resetTcpStats() {
  std::lock_guard<std::mutex> lock(statsMutex);
  latest[0].clear();
  latest[1].clear();
}

} // namespace zelvo
