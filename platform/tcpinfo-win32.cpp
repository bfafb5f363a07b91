// The declarations of SIO_TCP_INFO come with Windows 10 1703's headers; the call itself is made at run
// time and refused by older systems, so this file alone is compiled against them.
#undef _WIN32_WINNT
#undef NTDDI_VERSION
#define _WIN32_WINNT 0x0A00
#define NTDDI_VERSION 0x0A000003

#include "platform/tcpinfo.h"

#include <winsock2.h>

#include <mstcpip.h> // after winsock2.h, which it needs

namespace zelvo::platform {

// SIO_TCP_INFO answers from Windows 10 1703 on; older systems (and Wine) refuse it, and the caller
// then does without the figures.
std::optional<TcpInfoSnapshot> queryTcpInfo(SocketHandle socket) {
  if (socket == kNoSocket) return std::nullopt;
  DWORD version = 0;
  TCP_INFO_v0 info{};
  DWORD returned = 0;
  if (::WSAIoctl(socket, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned, nullptr,
                 nullptr) != 0 ||
      returned < sizeof info)
    return std::nullopt;
  TcpInfoSnapshot s{};
  // Windows counts retransmitted bytes; in segments as Linux counts them.
  s.totalRetrans = info.Mss > 0 ? (info.BytesRetrans + info.Mss - 1) / info.Mss : 0;
  s.rttUs = info.RttUs;
  s.rttVarUs = 0;                // not kept
  s.deliveryRateBytesPerSec = 0; // not kept
  // The unsent part of the send queue is not reported: everything in flight counts as unacknowledged.
  s.notSentBytes = 0;
  s.unackedBytes = info.BytesInFlight;
  return s;
}

} // namespace zelvo::platform
