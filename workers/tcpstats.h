#pragma once
// TCP statistics of the transfers' data connections, gathered per direction for the whole process:
// retransmits summed over the connections, round-trip time and its variation averaged over them,
// delivery rates summed. Each connection's figures are read from its socket by the thread that drives
// it, during the transfer and once more right before the socket closes; a closed connection keeps its
// last figures until resetTcpStats.

#include "platform/tcpinfo.h"

#include <cstdint>

namespace zelvo {

struct TcpPhaseStats {
  uint64_t retransmits = 0;
  double rttMs = 0;
  double rttVarMs = 0;
  uint64_t deliveryRateKbps = 0;
  int connections = 0;
};

// Any thread.
TcpPhaseStats tcpStatsSnapshot(bool upload);
void resetTcpStats();

// For the sessions: a fresh id for a data connection, and its latest figures (any thread).
uint64_t tcpStatsNewConnection();
void tcpStatsRecord(uint64_t connection, bool upload, const platform::TcpInfoSnapshot& snapshot);

} // namespace zelvo
