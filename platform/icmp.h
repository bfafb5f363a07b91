#pragma once
// ICMP echo stand-in: open a handle, start one asynchronous echo on it with a completion, close it.
// A handle is an ICMP datagram socket (with IP_RECVTTL for the reply's time to live), or, where the
// system does not allow datagram ICMP for our group, the process's one raw ICMP socket, which every raw
// handle shares and which hands each reply to its echo by identifier and sequence. The raw socket may
// be opened at start-up, while the process still holds CAP_NET_RAW, and kept after the process gave the
// capability up (IcmpReserveRawSocket). Completions are queued to the thread that started the echo
// and run only inside that thread's alertable sleep (SleepEx), the way the prober's tick expects them.
// Replies are read by a watch on that thread's GLib main context and timed by the kernel's receive
// timestamp, so a busy main loop does not lengthen the round trip.

#include "platform/ipv4.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelvo::platform {

// Echo statuses. 0 is a reply; the others keep the numbers the prober's callers know.
inline constexpr std::uint32_t kIpSuccess = 0;
inline constexpr std::uint32_t kErrorIoPending = 997; // the echo started; one completion follows
inline constexpr std::uint32_t kIpDestNetUnreachable = 11002;
inline constexpr std::uint32_t kIpDestHostUnreachable = 11003;
inline constexpr std::uint32_t kIpDestProtUnreachable = 11004;
inline constexpr std::uint32_t kIpDestPortUnreachable = 11005;
inline constexpr std::uint32_t kIpNoResources = 11006;
inline constexpr std::uint32_t kIpPacketTooBig = 11009;
inline constexpr std::uint32_t kIpReqTimedOut = 11010;
inline constexpr std::uint32_t kIpBadRoute = 11012;
inline constexpr std::uint32_t kIpTtlExpiredTransit = 11013;
inline constexpr std::uint32_t kIpTtlExpiredReassem = 11014;
inline constexpr std::uint32_t kIpParamProblem = 11015;
inline constexpr std::uint32_t kIpSourceQuench = 11016;
inline constexpr std::uint32_t kIpGeneralFailure = 11050;

// Why IcmpCreateFile opened nothing (IcmpCreateFileError).
inline constexpr std::uint32_t kErrorAccessDenied = 5; // the process may open no ICMP socket of the kind
inline constexpr std::uint32_t kErrorGenFailure = 31;  // anything else (no descriptors, no memory)

enum class IcmpSocketKind {
  Automatic, // datagram ICMP, falling back to raw when datagram ICMP is not allowed
  Datagram,
  Raw,
};

// The first reply entry of a completed echo. For a status other than 0 the other three are 0.
struct IcmpEchoReply {
  std::uint32_t status = kIpSuccess;
  std::uint32_t roundTripMs = 0;
  std::uint16_t dataSize = 0;
  std::uint8_t ttl = 0;
};

struct IpOptionInformation {
  std::uint8_t ttl = 128;
  std::uint8_t tos = 0;
};

// Runs on the thread that started the echo, inside its SleepEx(.., true).
using IcmpCompletion = std::function<void(const IcmpEchoReply& reply)>;

class IcmpFile {
public:
  ~IcmpFile(); // closes the socket; a pending echo's completion is dropped
  IcmpFile(const IcmpFile&) = delete;
  IcmpFile& operator=(const IcmpFile&) = delete;

  IcmpSocketKind kind() const;

  struct State;

private:
  friend std::unique_ptr<IcmpFile> IcmpCreateFile(IcmpSocketKind kind);
  friend std::uint32_t IcmpSendEcho2(IcmpFile& handle, std::uint32_t destination, const void* data,
                                     std::uint16_t size, const IpOptionInformation& options,
                                     std::uint32_t timeoutMs, IcmpCompletion completion);
  explicit IcmpFile(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// Opens a handle; null when no ICMP socket of the asked kind can be opened. Closing = destroying it.
std::unique_ptr<IcmpFile> IcmpCreateFile(IcmpSocketKind kind = IcmpSocketKind::Automatic);

// The reason the calling thread's last IcmpCreateFile returned null: kErrorAccessDenied when every
// kind it tried was refused for want of permission (no CAP_NET_RAW, the group outside
// net.ipv4.ping_group_range), kErrorGenFailure otherwise; 0 after it opened a handle.
std::uint32_t IcmpCreateFileError();

// For start-up, before the process gives up its privileges: where datagram ICMP is not allowed for the
// process's groups, opens the shared raw socket and keeps it for the rest of the process, so raw
// handles can still be opened without CAP_NET_RAW. False when neither kind of echo will be possible.
bool IcmpReserveRawSocket();

// Starts one echo to the IPv4 address (network order) carrying size bytes of data, with the
// options' TTL and type of service. Returns kErrorIoPending when the echo is under way: exactly one
// completion follows (a reply, a time-out after timeoutMs, or the failure the route reported).
// Any other return value means nothing was started and no completion follows. One echo at a time
// per handle.
std::uint32_t IcmpSendEcho2(IcmpFile& handle, std::uint32_t destination, const void* data, std::uint16_t size,
                            const IpOptionInformation& options, std::uint32_t timeoutMs,
                            IcmpCompletion completion);

// Sleeps, then, when alertable, runs the completions of the calling thread's finished echoes in the
// order the echoes were started.
void SleepEx(int ms, bool alertable);

} // namespace zelvo::platform
