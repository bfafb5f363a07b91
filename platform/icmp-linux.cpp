#include "platform/icmp.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <glib-unix.h>
#include <glib.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zelvo::platform {

namespace {

constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr std::size_t kIcmpHeader = 8;
constexpr std::size_t kMaxPacket = 65536;

class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

std::int64_t nowNs(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::uint16_t checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16)
    sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::uint16_t read16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// The status an ICMP error message stands for.
std::uint32_t icmpErrorStatus(std::uint8_t type, std::uint8_t code) {
  switch (type) {
  case kDestUnreachable:
    switch (code) {
    case 0: // net
    case 6: // net unknown
    case 9: // net prohibited
    case 11:
      return kIpDestNetUnreachable;
    case 2:
      return kIpDestProtUnreachable;
    case 3:
      return kIpDestPortUnreachable;
    case 4:
      return kIpPacketTooBig;
    case 5:
      return kIpBadRoute;
    default:
      return kIpDestHostUnreachable;
    }
  case kTimeExceeded:
    return code == 0 ? kIpTtlExpiredTransit : kIpTtlExpiredReassem;
  case kParameterProblem:
    return kIpParamProblem;
  case kSourceQuench:
    return kIpSourceQuench;
  default:
    return kIpGeneralFailure;
  }
}

// The status of an echo whose sending the local stack refused (no route, a prohibiting rule, no
// buffers): the echo completes with it like any other failed echo.
std::uint32_t sendErrorStatus(int error) {
  switch (error) {
  case ENETUNREACH:
    return kIpDestNetUnreachable;
  case EHOSTUNREACH:
  case EACCES:
  case EPERM:
    return kIpDestHostUnreachable;
  case ENOBUFS:
  case ENOMEM:
  case EAGAIN:
    return kIpNoResources;
  case EMSGSIZE:
    return kIpPacketTooBig;
  default:
    return kIpGeneralFailure;
  }
}

std::atomic<std::uint16_t> nextIdent{static_cast<std::uint16_t>(::getpid() * 2654435761u >> 16)};
std::atomic<std::uint16_t> nextSequence{1};

} // namespace

struct IcmpFile::State {
  UniqueFd fd;
  IcmpSocketKind kind = IcmpSocketKind::Datagram;
  bool pending = false;
  bool finished = false;
  bool closed = false;
  IcmpEchoReply reply;
  IcmpCompletion completion;
  std::uint32_t destination = 0;
  std::uint16_t ident = 0; // raw sockets only: the kernel picks it for datagram sockets
  std::uint16_t sequence = 0;
  std::int64_t sentMonoNs = 0, deadlineMonoNs = 0;
  std::int64_t sentRealNs = 0; // the clock of the kernel's receive timestamps
  GSource* watch = nullptr;    // reads the reply as it arrives, on the sending thread's main context

  ~State() { unwatch(); }
  void unwatch() {
    if (!watch) return;
    g_source_destroy(watch);
    g_source_unref(watch);
    watch = nullptr;
  }
  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    self->poll();
    if (!self->finished) return G_SOURCE_CONTINUE;
    // Finished: the completion waits in the queue for the next alertable sleep.
    g_source_unref(self->watch);
    self->watch = nullptr;
    return G_SOURCE_REMOVE;
  }

  void finish(const IcmpEchoReply& result) {
    reply = result;
    finished = true;
  }
  void poll();

private:
  bool matchesEcho(const std::uint8_t* icmp, std::size_t size) const;
  void takeReply(std::size_t size, int ttl, std::int64_t arrivalRealNs);
  void readErrorQueue();
};

namespace {

// The echoes started by this thread that have not been delivered yet, in start order. Handles own
// their state; a closed handle's entry expires and is skipped.
thread_local std::vector<std::weak_ptr<IcmpFile::State>> pendingEchoes;

} // namespace

bool IcmpFile::State::matchesEcho(const std::uint8_t* icmp, std::size_t size) const {
  if (size < kIcmpHeader) return false;
  if (read16(icmp + 6) != sequence) return false;
  return kind == IcmpSocketKind::Datagram || read16(icmp + 4) == ident;
}

void IcmpFile::State::takeReply(std::size_t size, int ttl, std::int64_t arrivalRealNs) {
  // The kernel's receive time, not the time a busy main loop got round to the reply. Without one, or
  // when the wall clock was stepped in between (outside 0 .. the time read), the time read counts.
  std::int64_t elapsedNs = nowNs(CLOCK_MONOTONIC) - sentMonoNs;
  if (arrivalRealNs > 0) {
    std::int64_t kernelNs = arrivalRealNs - sentRealNs;
    if (kernelNs >= 0 && kernelNs <= elapsedNs) elapsedNs = kernelNs;
  }
  if (elapsedNs > deadlineMonoNs - sentMonoNs) {
    finish({kIpReqTimedOut, 0, 0, 0});
    return;
  }
  IcmpEchoReply result;
  result.status = kIpSuccess;
  result.roundTripMs = static_cast<std::uint32_t>(elapsedNs / 1000000);
  result.dataSize = static_cast<std::uint16_t>(size - kIcmpHeader);
  result.ttl = static_cast<std::uint8_t>(ttl);
  finish(result);
}

void IcmpFile::State::readErrorQueue() {
  // Datagram sockets hear of ICMP errors about their echo through the error queue (IP_RECVERR).
  std::uint8_t buffer[576];
  alignas(cmsghdr) char control[512];
  for (;;) {
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd.get(), &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err error{};
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      if (error.ee_origin == SO_EE_ORIGIN_ICMP && !finished)
        finish({icmpErrorStatus(error.ee_type, error.ee_code), 0, 0, 0});
      else if (error.ee_origin == SO_EE_ORIGIN_LOCAL && !finished)
        finish({sendErrorStatus(static_cast<int>(error.ee_errno)), 0, 0, 0});
    }
  }
}

void IcmpFile::State::poll() {
  if (!pending || finished) return;
  if (kind == IcmpSocketKind::Datagram) readErrorQueue();
  static thread_local std::vector<std::uint8_t> buffer(kMaxPacket);
  alignas(cmsghdr) char control[256];
  while (!finished) {
    sockaddr_in from{};
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(fd.get(), &msg, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      // A pending socket error is the stack's verdict on the echo.
      if (errno != EAGAIN && errno != EWOULDBLOCK) finish({sendErrorStatus(errno), 0, 0, 0});
      break;
    }
    int ttl = 0;
    std::int64_t arrivalRealNs = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TTL) {
        std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        arrivalRealNs = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
        timeval tv{};
        std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
        arrivalRealNs = static_cast<std::int64_t>(tv.tv_sec) * 1000000000 + tv.tv_usec * 1000;
      }
    }
    const std::uint8_t* icmp = buffer.data();
    std::size_t size = static_cast<std::size_t>(got);
    if (kind == IcmpSocketKind::Raw) {
      // Raw sockets see the IP header, and every ICMP message of the host, our own request included.
      if (size < sizeof(iphdr)) continue;
      std::size_t headerSize = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
      if (headerSize < sizeof(iphdr) || size < headerSize) continue;
      ttl = buffer[8];
      icmp += headerSize;
      size -= headerSize;
    }
    if (size < kIcmpHeader) continue;
    std::uint8_t type = icmp[0];
    if (type == kEchoReply) {
      if (from.sin_addr.s_addr != destination || !matchesEcho(icmp, size)) continue;
      takeReply(size, ttl, arrivalRealNs);
    } else if (kind == IcmpSocketKind::Raw && (type == kDestUnreachable || type == kTimeExceeded ||
                                               type == kParameterProblem || type == kSourceQuench)) {
      // The error quotes our request's IP header and the first 8 bytes of its ICMP header.
      const std::uint8_t* quoted = icmp + kIcmpHeader;
      std::size_t quotedSize = size - kIcmpHeader;
      if (quotedSize < sizeof(iphdr)) continue;
      std::size_t quotedHeader = static_cast<std::size_t>(quoted[0] & 0x0f) * 4;
      if (quotedHeader < sizeof(iphdr) || quotedSize < quotedHeader + kIcmpHeader) continue;
      if (quoted[9] != IPPROTO_ICMP) continue;
      std::uint32_t quotedDestination;
      std::memcpy(&quotedDestination, quoted + 16, sizeof quotedDestination);
      const std::uint8_t* quotedIcmp = quoted + quotedHeader;
      if (quotedDestination != destination || quotedIcmp[0] != kEchoRequest ||
          !matchesEcho(quotedIcmp, kIcmpHeader))
        continue;
      finish({icmpErrorStatus(type, icmp[1]), 0, 0, 0});
    }
  }
  if (!finished && nowNs(CLOCK_MONOTONIC) >= deadlineMonoNs) finish({kIpReqTimedOut, 0, 0, 0});
}

IcmpFile::IcmpFile(std::shared_ptr<State> state) : state_(std::move(state)) {}
IcmpFile::~IcmpFile() {
  // Another completion of the same delivery may still hold the state: mark it so nothing runs.
  state_->closed = true;
  state_->completion = nullptr;
}

IcmpSocketKind IcmpFile::kind() const {
  return state_->kind;
}

namespace {

int openSocket(IcmpSocketKind kind) {
  int type = kind == IcmpSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM;
  return ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
}

} // namespace

std::unique_ptr<IcmpFile> IcmpCreateFile(IcmpSocketKind kind) {
  int fd = -1;
  IcmpSocketKind opened = kind;
  if (kind == IcmpSocketKind::Automatic) {
    // Datagram ICMP needs the caller's group in net.ipv4.ping_group_range; raw needs CAP_NET_RAW.
    opened = IcmpSocketKind::Datagram;
    fd = openSocket(opened);
    if (fd < 0) {
      opened = IcmpSocketKind::Raw;
      fd = openSocket(opened);
    }
  } else {
    fd = openSocket(kind);
  }
  if (fd < 0) return nullptr;
  auto state = std::make_shared<IcmpFile::State>();
  state->fd.reset(fd);
  state->kind = opened;
  int on = 1;
  // Replies carry the kernel's receive time; microseconds where nanoseconds are not offered.
  if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  if (opened == IcmpSocketKind::Datagram) {
    ::setsockopt(fd, SOL_IP, IP_RECVTTL, &on, sizeof on);
    ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
  } else {
    // Only what can concern an echo: replies and the errors that quote a request.
    icmp_filter filter{};
    filter.data = ~((1u << kEchoReply) | (1u << kDestUnreachable) | (1u << kSourceQuench) |
                    (1u << kTimeExceeded) | (1u << kParameterProblem));
    ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  }
  return std::unique_ptr<IcmpFile>(new IcmpFile(std::move(state)));
}

std::uint32_t IcmpSendEcho2(IcmpFile& handle, std::uint32_t destination, const void* data, std::uint16_t size,
                            const IpOptionInformation& options, std::uint32_t timeoutMs,
                            IcmpCompletion completion) {
  IcmpFile::State& state = *handle.state_;
  if (state.pending || !completion) return kIpGeneralFailure;
  if (size > kMaxPacket - kIcmpHeader - 60) return kIpPacketTooBig;
  int ttl = options.ttl;
  int tos = options.tos;
  if (::setsockopt(state.fd.get(), SOL_IP, IP_TTL, &ttl, sizeof ttl) != 0 ||
      ::setsockopt(state.fd.get(), SOL_IP, IP_TOS, &tos, sizeof tos) != 0)
    return kIpGeneralFailure;

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  // Raw sockets stay unconnected: a connected one would not hear the errors that routers (or the
  // local stack) send about the request.
  if (state.kind == IcmpSocketKind::Raw) state.ident = nextIdent.fetch_add(1);
  state.sequence = nextSequence.fetch_add(1);

  std::vector<std::uint8_t> packet(kIcmpHeader + size);
  packet[0] = kEchoRequest;
  packet[4] = static_cast<std::uint8_t>(state.ident >> 8);
  packet[5] = static_cast<std::uint8_t>(state.ident);
  packet[6] = static_cast<std::uint8_t>(state.sequence >> 8);
  packet[7] = static_cast<std::uint8_t>(state.sequence);
  if (size) std::memcpy(packet.data() + kIcmpHeader, data, size);
  std::uint16_t sum = checksum(packet.data(), packet.size()); // datagram sockets redo it
  packet[2] = static_cast<std::uint8_t>(sum >> 8);
  packet[3] = static_cast<std::uint8_t>(sum);

  state.destination = destination;
  state.completion = std::move(completion);
  state.pending = true;
  state.finished = false;
  state.sentRealNs = nowNs(CLOCK_REALTIME);
  state.sentMonoNs = nowNs(CLOCK_MONOTONIC);
  state.deadlineMonoNs = state.sentMonoNs + static_cast<std::int64_t>(timeoutMs) * 1000000;
  ssize_t sent;
  do {
    sent = ::sendto(state.fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    state.finish({sendErrorStatus(errno), 0, 0, 0});
  } else {
    state.watch = g_unix_fd_source_new(state.fd.get(), static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
    g_source_set_callback(state.watch, G_SOURCE_FUNC(&IcmpFile::State::onReadable), &state, nullptr);
    GMainContext* context = g_main_context_ref_thread_default();
    g_source_attach(state.watch, context);
    g_main_context_unref(context);
  }
  pendingEchoes.push_back(handle.state_);
  return kErrorIoPending;
}

void SleepEx(int ms, bool alertable) {
  if (ms > 0) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  if (!alertable) return;
  // Take out every finished echo first: a completion may close handles or start new echoes.
  std::vector<std::shared_ptr<IcmpFile::State>> ready;
  std::vector<std::weak_ptr<IcmpFile::State>> still;
  for (auto& entry : pendingEchoes) {
    std::shared_ptr<IcmpFile::State> state = entry.lock();
    if (!state) continue;
    state->poll();
    if (state->finished) {
      state->unwatch();
      ready.push_back(std::move(state));
    } else {
      still.push_back(entry);
    }
  }
  pendingEchoes.swap(still);
  for (auto& state : ready) {
    state->pending = false;
    if (state->closed) continue;
    IcmpCompletion completion = std::move(state->completion);
    state->completion = nullptr;
    completion(state->reply);
  }
}

} // namespace zelvo::platform
