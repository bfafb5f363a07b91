#pragma once
// What the ICMP tests share: a namespace the test thread lives in for one test, with datagram ICMP
// allowed or not, a distinctive reply TTL and a host that never answers; a raw listener that sees
// the echo requests as they arrive; and a pump for the thread's main loop.

#include "platform/mainloop.h"
#include "tests/support/netns.h"
#include "tests/support/support.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelvo::test {

// The TTL every reply from inside the namespace carries, so a test can tell it was read from the reply.
inline constexpr int kNamespaceReplyTtl = 77;
// Routed into a veth end whose peer drops everything: echoes to it are sent and never answered.
inline constexpr const char* kSilentHost = "192.0.2.7";
// On the veth's subnet without a neighbour: address resolution fails fast and the stack reports the
// host unreachable by an ICMP error, as a router would.
inline constexpr const char* kUnresolvedHost = "192.0.2.8";
// Has no route in the namespace: the stack refuses to send.
inline constexpr const char* kUnroutedHost = "203.0.113.9";
// Routed as unreachable inside the namespace.
inline constexpr const char* kUnreachableHost = "198.51.100.9";

// A fresh namespace that the calling thread enters for the object's life.
class IcmpNamespace {
public:
  explicit IcmpNamespace(bool allowDatagram) : ns_("icmp") {
    if (!ns_.ok()) return;
    std::string range = allowDatagram ? "0 2147483647" : "1 0";
    bool configured =
        ns_.run("sysctl -q -w net.ipv4.ping_group_range=\"" + range + "\"") == 0 &&
        ns_.run("sysctl -q -w net.ipv4.ip_default_ttl=" + std::to_string(kNamespaceReplyTtl)) == 0 &&
        ns_.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up && "
                "ip addr add 192.0.2.1/24 dev va && "
                "ip neigh add 192.0.2.7 lladdr 02:00:00:00:00:07 dev va nud permanent && "
                "ip route add unreachable 198.51.100.9 && "
                "sysctl -q -w net.ipv4.neigh.va.mcast_solicit=1 net.ipv4.neigh.va.retrans_time_ms=100") == 0;
    if (!configured) return;
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    entered_ = original_ >= 0 && ns_.enter();
  }
  ~IcmpNamespace() {
    if (original_ >= 0) {
      ::setns(original_, CLONE_NEWNET);
      ::close(original_);
    }
  }
  IcmpNamespace(const IcmpNamespace&) = delete;
  IcmpNamespace& operator=(const IcmpNamespace&) = delete;

  bool ok() const { return entered_; }
  NetNamespace& netns() { return ns_; }

private:
  NetNamespace ns_;
  int original_ = -1;
  bool entered_ = false;
};

// One echo request as it arrived in the namespace.
struct SeenRequest {
  int ttl = 0;
  std::uint32_t destination = 0;
  std::string data;
};

// A raw ICMP socket of the current namespace that collects the echo requests arriving there.
class RequestListener {
public:
  RequestListener() : fd_(::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP)) {}
  ~RequestListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Everything that arrived since the last call.
  std::vector<SeenRequest> take() {
    std::vector<SeenRequest> seen;
    unsigned char buffer[2048];
    for (;;) {
      ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got < 0) break;
      std::size_t size = static_cast<std::size_t>(got);
      if (size < 20) continue;
      std::size_t header = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
      if (size < header + 8 || buffer[header] != 8) continue;
      SeenRequest request;
      request.ttl = buffer[8];
      std::memcpy(&request.destination, buffer + 16, 4);
      request.data.assign(reinterpret_cast<const char*>(buffer + header + 8), size - header - 8);
      seen.push_back(request);
    }
    all_.insert(all_.end(), seen.begin(), seen.end());
    return seen;
  }
  const std::vector<SeenRequest>& all() {
    take();
    return all_;
  }

private:
  int fd_;
  std::vector<SeenRequest> all_;
};

// Runs this thread's main loop until the condition holds; false after the time-out.
inline bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!platform::MainLoop::current()->iterate(false))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs the main context for the whole time.
inline void pumpFor(std::chrono::milliseconds time) {
  pumpUntil([] { return false; }, time);
}

inline std::uint32_t ipv4(const char* text) {
  in_addr address{};
  ::inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

} // namespace zelvo::test
