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
#include <mutex>
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

class RawEchoSocket;

struct IcmpFile::State {
  UniqueFd fd;                        // a datagram handle's own socket
  std::shared_ptr<RawEchoSocket> raw; // a raw handle's: the socket the process shares
  IcmpSocketKind kind = IcmpSocketKind::Datagram;
  // The sending thread's alone.
  bool pending = false;
  bool closed = false;
  IcmpCompletion completion;
  GSource* watch = nullptr; // reads the reply as it arrives, on the sending thread's main context
  // Set before the echo is sent; read by whichever thread reads its reply.
  std::uint32_t destination = 0;
  std::uint16_t ident = 0; // raw sockets only: the kernel picks it for datagram sockets
  std::uint16_t sequence = 0;
  std::int64_t sentMonoNs = 0, deadlineMonoNs = 0;
  std::int64_t sentRealNs = 0; // the clock of the kernel's receive timestamps
  // The outcome. For a raw handle any thread's read of the shared socket may write it, under that
  // socket's lock; once finished nobody else touches the state.
  bool finished = false;
  IcmpEchoReply reply;

  ~State();
  int socket() const;
  void unwatch() {
    if (!watch) return;
    g_source_destroy(watch);
    g_source_unref(watch);
    watch = nullptr;
  }
  static gboolean onReadable(gint, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    if (!self->poll()) return G_SOURCE_CONTINUE;
    // Finished: the completion waits in the queue for the next alertable sleep.
    g_source_unref(self->watch);
    self->watch = nullptr;
    return G_SOURCE_REMOVE;
  }

  void finish(const IcmpEchoReply& result) {
    reply = result;
    finished = true;
  }
  // Reads what has arrived and checks the deadline; true once the echo has finished.
  bool poll();
  bool matchesEcho(const std::uint8_t* icmp, std::size_t size) const;
  void takeReply(std::size_t size, int ttl, std::int64_t arrivalRealNs);

private:
  void pollDatagram();
  void readErrorQueue();
};

namespace {

struct ReceivedPacket {
  std::size_t size = 0;
  int ttl = 0;
  std::int64_t arrivalRealNs = 0;
  sockaddr_in from{};
};

// One message from the socket with its TTL and the kernel's receive time; false when none is waiting
// (errno tells why).
bool receive(int fd, std::vector<std::uint8_t>& buffer, ReceivedPacket& packet) {
  alignas(cmsghdr) char control[256];
  for (;;) {
    packet = ReceivedPacket{};
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_name = &packet.from;
    msg.msg_namelen = sizeof packet.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(fd, &msg, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    packet.size = static_cast<std::size_t>(got);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TTL) {
        std::memcpy(&packet.ttl, CMSG_DATA(c), sizeof packet.ttl);
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        packet.arrivalRealNs = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
        timeval tv{};
        std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
        packet.arrivalRealNs = static_cast<std::int64_t>(tv.tv_sec) * 1000000000 + tv.tv_usec * 1000;
      }
    }
    return true;
  }
}

void enableTimestamps(int fd) {
  int on = 1;
  // Replies carry the kernel's receive time; microseconds where nanoseconds are not offered.
  if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
}

int openSocket(IcmpSocketKind kind) {
  int type = kind == IcmpSocketKind::Raw ? SOCK_RAW : SOCK_DGRAM;
  return ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
}

} // namespace

// The raw ICMP socket of the process. A raw socket hears every echo reply and ICMP error that reaches
// the host, so one serves all raw handles: each message goes to the waiting echo whose destination,
// identifier and sequence it carries, whichever thread reads it. Opened on first use (in the calling
// thread's network namespace) and closed with its last handle, unless start-up reserved it.
class RawEchoSocket {
public:
  explicit RawEchoSocket(int fd) : fd_(fd) {}
  int fd() const { return fd_.get(); }

  // The socket the process shares, opened when there is none; null with errno set when it cannot be.
  static std::shared_ptr<RawEchoSocket> acquire();
  static void reserve(std::shared_ptr<RawEchoSocket> socket);

  // Sends the echo's packet with its TTL and type of service and has it wait for its reply. False
  // when the options were refused and nothing was sent; sendError is then, or when the stack refused the
  // packet, errno (and the echo does not wait), else 0.
  bool send(IcmpFile::State& echo, const std::vector<std::uint8_t>& packet, int ttl, int tos,
            const sockaddr_in& to, std::int64_t timeoutNs, int& sendError);
  // Hands out what has arrived and finishes the echo at its deadline; true once it has finished.
  bool poll(IcmpFile::State& echo);
  void forget(IcmpFile::State& echo);

private:
  void drainLocked();
  void finishLocked(IcmpFile::State& echo, const IcmpEchoReply& result);
  IcmpFile::State* findLocked(std::uint32_t destination, const std::uint8_t* icmp);

  UniqueFd fd_;
  std::mutex mutex_;
  std::vector<IcmpFile::State*> waiting_; // guarded by mutex_
};

namespace {

std::mutex rawRegistryMutex;
std::weak_ptr<RawEchoSocket> rawShared;     // guarded by rawRegistryMutex
std::shared_ptr<RawEchoSocket> rawReserved; // guarded by rawRegistryMutex; kept for the process's life

} // namespace

std::shared_ptr<RawEchoSocket> RawEchoSocket::acquire() {
  std::lock_guard<std::mutex> lock(rawRegistryMutex);
  if (std::shared_ptr<RawEchoSocket> shared = rawShared.lock()) return shared;
  int fd = openSocket(IcmpSocketKind::Raw);
  if (fd < 0) return nullptr;
  auto socket = std::make_shared<RawEchoSocket>(fd);
  enableTimestamps(fd);
  // Only what can concern an echo: replies and the errors that quote a request.
  icmp_filter filter{};
  filter.data = ~((1u << kEchoReply) | (1u << kDestUnreachable) | (1u << kSourceQuench) |
                  (1u << kTimeExceeded) | (1u << kParameterProblem));
  ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  rawShared = socket;
  return socket;
}

void RawEchoSocket::reserve(std::shared_ptr<RawEchoSocket> socket) {
  std::lock_guard<std::mutex> lock(rawRegistryMutex);
  rawReserved = std::move(socket);
}

bool RawEchoSocket::send(IcmpFile::State& echo, const std::vector<std::uint8_t>& packet, int ttl, int tos,
                         const sockaddr_in& to, std::int64_t timeoutNs, int& sendError) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Nobody reads the socket while no echo waits, so whatever the host heard meanwhile goes first,
  // before it can crowd out this echo's reply.
  drainLocked();
  // The options are the socket's: set and sent under the lock, so each echo leaves with its own.
  if (::setsockopt(fd(), SOL_IP, IP_TTL, &ttl, sizeof ttl) != 0 ||
      ::setsockopt(fd(), SOL_IP, IP_TOS, &tos, sizeof tos) != 0) {
    sendError = errno;
    return false;
  }
  waiting_.push_back(&echo);
  echo.sentRealNs = nowNs(CLOCK_REALTIME);
  echo.sentMonoNs = nowNs(CLOCK_MONOTONIC);
  echo.deadlineMonoNs = echo.sentMonoNs + timeoutNs;
  ssize_t sent;
  do {
    sent = ::sendto(fd(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (sent < 0 && errno == EINTR);
  sendError = sent < 0 ? errno : 0;
  if (sent < 0) std::erase(waiting_, &echo);
  return true;
}

bool RawEchoSocket::poll(IcmpFile::State& echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (echo.finished) return true;
  drainLocked();
  if (!echo.finished && nowNs(CLOCK_MONOTONIC) >= echo.deadlineMonoNs)
    finishLocked(echo, {kIpReqTimedOut, 0, 0, 0});
  return echo.finished;
}

void RawEchoSocket::forget(IcmpFile::State& echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase(waiting_, &echo);
}

void RawEchoSocket::finishLocked(IcmpFile::State& echo, const IcmpEchoReply& result) {
  echo.finish(result);
  std::erase(waiting_, &echo);
}

IcmpFile::State* RawEchoSocket::findLocked(std::uint32_t destination, const std::uint8_t* icmp) {
  for (IcmpFile::State* echo : waiting_)
    if (echo->destination == destination && echo->matchesEcho(icmp, kIcmpHeader)) return echo;
  return nullptr;
}

void RawEchoSocket::drainLocked() {
  static thread_local std::vector<std::uint8_t> buffer(kMaxPacket);
  ReceivedPacket packet;
  while (receive(fd(), buffer, packet)) {
    // Raw sockets see the IP header, and every ICMP message of the host, our own requests included.
    std::size_t size = packet.size;
    if (size < sizeof(iphdr)) continue;
    std::size_t headerSize = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
    if (headerSize < sizeof(iphdr) || size < headerSize + kIcmpHeader) continue;
    const std::uint8_t* icmp = buffer.data() + headerSize;
    size -= headerSize;
    std::uint8_t type = icmp[0];
    if (type == kEchoReply) {
      IcmpFile::State* echo = findLocked(packet.from.sin_addr.s_addr, icmp);
      if (!echo) continue;
      echo->takeReply(size, buffer[8], packet.arrivalRealNs);
      std::erase(waiting_, echo);
    } else if (type == kDestUnreachable || type == kTimeExceeded || type == kParameterProblem ||
               type == kSourceQuench) {
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
      if (quotedIcmp[0] != kEchoRequest) continue;
      IcmpFile::State* echo = findLocked(quotedDestination, quotedIcmp);
      if (echo) finishLocked(*echo, {icmpErrorStatus(type, icmp[1]), 0, 0, 0});
    }
  }
}

IcmpFile::State::~State() {
  unwatch();
  if (raw) raw->forget(*this);
}

int IcmpFile::State::socket() const {
  return raw ? raw->fd() : fd.get();
}

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

bool IcmpFile::State::poll() {
  if (!pending) return finished;
  if (raw) return raw->poll(*this);
  if (!finished) pollDatagram();
  return finished;
}

void IcmpFile::State::pollDatagram() {
  readErrorQueue();
  static thread_local std::vector<std::uint8_t> buffer(kMaxPacket);
  ReceivedPacket packet;
  while (!finished) {
    if (!receive(fd.get(), buffer, packet)) {
      // A pending socket error is the stack's verdict on the echo.
      if (errno != EAGAIN && errno != EWOULDBLOCK) finish({sendErrorStatus(errno), 0, 0, 0});
      break;
    }
    if (packet.size < kIcmpHeader || buffer[0] != kEchoReply) continue;
    if (packet.from.sin_addr.s_addr != destination || !matchesEcho(buffer.data(), packet.size)) continue;
    takeReply(packet.size, packet.ttl, packet.arrivalRealNs);
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

thread_local std::uint32_t lastCreateError = 0;

bool deniedError(int error) {
  return error == EACCES || error == EPERM;
}

} // namespace

std::unique_ptr<IcmpFile> IcmpCreateFile(IcmpSocketKind kind) {
  // Datagram ICMP needs the caller's group in net.ipv4.ping_group_range; raw needs CAP_NET_RAW, or the
  // socket start-up reserved.
  auto state = std::make_shared<IcmpFile::State>();
  bool denied = true;
  if (kind != IcmpSocketKind::Raw) {
    int fd = openSocket(IcmpSocketKind::Datagram);
    if (fd >= 0) {
      state->fd.reset(fd);
      state->kind = IcmpSocketKind::Datagram;
      enableTimestamps(fd);
      int on = 1;
      ::setsockopt(fd, SOL_IP, IP_RECVTTL, &on, sizeof on);
      ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    } else {
      denied = deniedError(errno);
    }
  }
  if (state->fd.get() < 0 && kind != IcmpSocketKind::Datagram) {
    state->raw = RawEchoSocket::acquire();
    if (state->raw)
      state->kind = IcmpSocketKind::Raw;
    else
      denied = denied && deniedError(errno);
  }
  if (state->fd.get() < 0 && !state->raw) {
    lastCreateError = denied ? kErrorAccessDenied : kErrorGenFailure;
    return nullptr;
  }
  lastCreateError = 0;
  return std::unique_ptr<IcmpFile>(new IcmpFile(std::move(state)));
}

std::uint32_t IcmpCreateFileError() {
  return lastCreateError;
}

bool IcmpReserveRawSocket() {
  // Where the group may use datagram ICMP every handle does, and no raw socket is worth keeping.
  int probe = openSocket(IcmpSocketKind::Datagram);
  if (probe >= 0) {
    ::close(probe);
    return true;
  }
  std::shared_ptr<RawEchoSocket> socket = RawEchoSocket::acquire();
  if (!socket) return false;
  RawEchoSocket::reserve(std::move(socket));
  return true;
}

std::uint32_t IcmpSendEcho2(IcmpFile& handle, std::uint32_t destination, const void* data, std::uint16_t size,
                            const IpOptionInformation& options, std::uint32_t timeoutMs,
                            IcmpCompletion completion) {
  IcmpFile::State& state = *handle.state_;
  if (state.pending || !completion) return kIpGeneralFailure;
  if (size > kMaxPacket - kIcmpHeader - 60) return kIpPacketTooBig;
  int ttl = options.ttl;
  int tos = options.tos;

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
  state.finished = false;
  const std::int64_t timeoutNs = static_cast<std::int64_t>(timeoutMs) * 1000000;
  int sendError = 0;
  if (state.raw) {
    if (!state.raw->send(state, packet, ttl, tos, to, timeoutNs, sendError)) return kIpGeneralFailure;
  } else {
    if (::setsockopt(state.fd.get(), SOL_IP, IP_TTL, &ttl, sizeof ttl) != 0 ||
        ::setsockopt(state.fd.get(), SOL_IP, IP_TOS, &tos, sizeof tos) != 0)
      return kIpGeneralFailure;
    state.sentRealNs = nowNs(CLOCK_REALTIME);
    state.sentMonoNs = nowNs(CLOCK_MONOTONIC);
    state.deadlineMonoNs = state.sentMonoNs + timeoutNs;
    ssize_t sent;
    do {
      sent = ::sendto(state.fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to);
    } while (sent < 0 && errno == EINTR);
    sendError = sent < 0 ? errno : 0;
  }
  state.completion = std::move(completion);
  state.pending = true;
  if (sendError) {
    // Refused by the local stack: the echo completes with that, like any other failed echo.
    state.finish({sendErrorStatus(sendError), 0, 0, 0});
  } else {
    state.watch = g_unix_fd_source_new(state.socket(), static_cast<GIOCondition>(G_IO_IN | G_IO_ERR));
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
    if (state->poll()) {
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
