#pragma once
// TCP statistics of one connected socket, as the kernel keeps them.

#include "platform/socket.h"

#include <cstdint>
#include <optional>

namespace zelvo::platform {

struct TcpInfoSnapshot {
  uint32_t totalRetrans;            // segments retransmitted over the connection's life
  uint32_t rttUs;                   // smoothed round-trip time
  uint32_t rttVarUs;                // its variation
  uint64_t deliveryRateBytesPerSec; // the kernel's latest delivery-rate estimate
  uint32_t notSentBytes;            // in the send queue, not yet sent
  uint32_t unackedBytes;            // sent, not yet acknowledged by the peer
};

// Nothing for a socket that is not a TCP socket, or is closed, or when the system keeps no figures.
std::optional<TcpInfoSnapshot> queryTcpInfo(SocketHandle socket);

} // namespace zelvo::platform
