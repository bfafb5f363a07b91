#include "platform/tcpinfo.h"

#include <cstddef>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace zelvo::platform {

std::optional<TcpInfoSnapshot> queryTcpInfo(SocketHandle socketFd) {
  if (socketFd == kNoSocket) return std::nullopt;
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(socketFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  // The send queue in bytes: written by the program and not yet acknowledged (tcp_info counts the
  // unacknowledged part in segments only).
  int queued = 0;
  if (::ioctl(socketFd, SIOCOUTQ, &queued) != 0) return std::nullopt;
  TcpInfoSnapshot s{};
  s.totalRetrans = info.tcpi_total_retrans;
  s.rttUs = info.tcpi_rtt;
  s.rttVarUs = info.tcpi_rttvar;
  const bool haveRate = length >= offsetof(tcp_info, tcpi_delivery_rate) + sizeof info.tcpi_delivery_rate;
  const bool haveNotSent = length >= offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes;
  s.deliveryRateBytesPerSec = haveRate ? info.tcpi_delivery_rate : 0;
  uint32_t notSent = haveNotSent ? info.tcpi_notsent_bytes : 0;
  uint32_t total = queued > 0 ? static_cast<uint32_t>(queued) : 0;
  if (notSent > total) notSent = total; // the two readings are a moment apart
  s.notSentBytes = notSent;
  s.unackedBytes = total - notSent;
  return s;
}

} // namespace zelvo::platform
