// zelvo-pathemu: the test bed's path with distance. Runs in a router namespace with one interface
// towards the client and one towards the server and forwards Ethernet frames between them as a long
// wire would: each frame is held for its direction's one-way delay (plus jitter), some are lost at
// random, and everything is lost inside outage windows. The rate and the bottleneck queue are tbf's on
// the same interfaces, which the frames enter when they leave this program.
//
//   zelvo-pathemu --client DEV --server DEV [--delay MS | --delay-up MS --delay-down MS]
//                 [--jitter MS] [--reorder] [--loss PERCENT | --loss-up P --loss-down P]
//                 [--outage T:S]... [--queue FRAMES] [--seed N]
//   zelvo-pathemu --offloads-off DEV...
//
// "up" is client to server. Outage windows count from the moment "ready" is printed, or from SIGUSR2
// when it comes (the test bed sends it as its command starts). SIGUSR1 prints the figures so far;
// SIGTERM or SIGINT prints them and exits. The second form turns off the
// offloads (GRO, GSO, TSO, scatter-gather, checksums) of the current namespace's interfaces, so that
// every frame that crosses a leg is a real frame of at most 1514 bytes with its checksums filled in.
//
// Each direction is one thread: it reads batches of frames (recvmmsg) into preallocated slots, keeps
// them in a heap ordered by the time they are due, and hands the due ones to the far interface in
// batches (sendmmsg). When every slot is taken (the wire holds --queue frames) a new frame is dropped
// and counted, as a router's full queue drops the newest.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <memory>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <sched.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kSlotBytes = 2048; // a frame of 1514 bytes and room to see a larger one
constexpr unsigned kBatch = 64;

std::int64_t nowNs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct DirectionOptions {
  double delayMs = 0, lossPercent = 0;
};

struct Outage {
  double start = 0, length = 0; // seconds
};

struct Options {
  std::string client, server;
  DirectionOptions up, down;
  double jitterMs = 0;
  bool reorder = false;
  std::vector<Outage> outages;
  std::size_t queueFrames = 32768;
  std::uint64_t seed = 0;
};

// Written by the direction's thread only, read by the main thread for the figures.
struct Counter {
  std::atomic<std::uint64_t> v{0};
  void add(std::uint64_t n = 1) { v.store(v.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
  void max(std::uint64_t n) {
    if (n > v.load(std::memory_order_relaxed)) v.store(n, std::memory_order_relaxed);
  }
  std::uint64_t get() const { return v.load(std::memory_order_relaxed); }
};

struct Counters {
  Counter forwarded, bytes, loss, outage, queueFull, legQueue, sendFailed, oversize, echoForwarded,
      echoDropped, peakQueue, lateSumUs, lateMaxUs;
};

// An ICMP echo request or reply over IPv4, so that the figures can be set against a prober's losses.
bool isEcho(const unsigned char* f, std::size_t n) {
  if (n < 14 + 20 + 8 || f[12] != 0x08 || f[13] != 0x00 || f[23] != 1) return false;
  std::size_t ihl = static_cast<std::size_t>(f[14] & 0x0f) * 4;
  return n >= 14 + ihl + 8 && (f[14 + ihl] == 0 || f[14 + ihl] == 8);
}

class Direction {
public:
  Direction(const char* name, int rx, int tx, DirectionOptions own, const Options& all,
            const std::atomic<std::int64_t>& start, int stopFd)
      : name_(name), rx_(rx), tx_(tx), own_(own), all_(all), start_(start), stopFd_(stopFd),
        pool_(all.queueFrames * kSlotBytes), lengths_(all.queueFrames), rng_(all.seed) {
    free_.reserve(all.queueFrames);
    for (std::size_t i = all.queueFrames; i-- > 0;)
      free_.push_back(static_cast<std::uint32_t>(i));
    heap_.reserve(all.queueFrames);
  }

  void run() {
    // A wire does not wait for the machine's other work: on a busy machine an ordinary thread wakes
    // milliseconds late, and every frame would carry that as extra delay.
    sched_param realtime{};
    realtime.sched_priority = 10;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
    pollfd fds[2] = {{rx_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
      std::int64_t now = nowNs();
      sendDue(now);
      timespec wait{}, *timeout = nullptr;
      if (!heap_.empty()) {
        std::int64_t left = std::max<std::int64_t>(heap_.front().due - now, 0);
        wait.tv_sec = left / 1000000000;
        wait.tv_nsec = left % 1000000000;
        timeout = &wait;
      }
      if (::ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR) break;
      if (fds[1].revents) break;
      if (fds[0].revents & POLLIN) receive();
    }
  }

  void print(FILE* out) {
    tpacket_stats socket{};
    socklen_t size = sizeof socket;
    // The kernel's count of frames it could not queue to this program (read once: it resets).
    if (::getsockopt(rx_, SOL_PACKET, PACKET_STATISTICS, &socket, &size) == 0)
      socketDrops_ += socket.tp_drops;
    std::fprintf(
        out,
        "pathemu %s: forwarded=%llu bytes=%llu dropped_loss=%llu dropped_outage=%llu "
        "dropped_queue_full=%llu dropped_leg_queue=%llu dropped_send=%llu dropped_socket=%llu "
        "dropped_oversize=%llu echo_forwarded=%llu echo_dropped=%llu peak_queue=%llu late_mean_us=%llu "
        "late_max_us=%llu\n",
        name_, u(c.forwarded), u(c.bytes), u(c.loss), u(c.outage), u(c.queueFull), u(c.legQueue),
        u(c.sendFailed), static_cast<unsigned long long>(socketDrops_), u(c.oversize), u(c.echoForwarded),
        u(c.echoDropped), u(c.peakQueue), c.forwarded.get() ? u(c.lateSumUs) / u(c.forwarded) : 0ULL,
        u(c.lateMaxUs));
  }

  Counters c;

private:
  struct Entry {
    std::int64_t due;
    std::uint64_t order;
    std::uint32_t slot;
  };
  // A min-heap on (due, arrival): without reordering the due times never decrease, so it is FIFO.
  static bool later(const Entry& a, const Entry& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
  }
  static unsigned long long u(const Counter& x) { return static_cast<unsigned long long>(x.get()); }
  unsigned char* slot(std::uint32_t i) {
    return reinterpret_cast<unsigned char*>(pool_.data()) + i * kSlotBytes;
  }

  bool inOutage(std::int64_t now) const {
    double t = static_cast<double>(now - start_.load(std::memory_order_relaxed)) / 1e9;
    for (const Outage& o : all_.outages)
      if (t >= o.start && t < o.start + o.length) return true;
    return false;
  }

  void drop(Counter& why, const unsigned char* frame, std::size_t n) {
    why.add();
    if (isEcho(frame, n)) c.echoDropped.add();
  }

  void receive() {
    // A few batches at most, then the due frames go out again: a flood must not hold the wire.
    for (int round = 0; round < 8; ++round) {
      std::uint32_t slots[kBatch];
      unsigned want = 0;
      while (want < kBatch && !free_.empty()) {
        slots[want++] = free_.back();
        free_.pop_back();
      }
      bool full = want == 0;
      if (full) slots[want++] = kScratch;
      iovec iov[kBatch];
      mmsghdr msgs[kBatch];
      sockaddr_ll from[kBatch];
      for (unsigned i = 0; i < want; ++i) {
        iov[i] = {slots[i] == kScratch ? scratch_ : slot(slots[i]), kSlotBytes};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
      }
      int got = ::recvmmsg(rx_, msgs, want, MSG_DONTWAIT | MSG_TRUNC, nullptr);
      std::int64_t now = nowNs();
      bool outage = got > 0 && !all_.outages.empty() && inOutage(now);
      for (int i = 0; i < std::max(got, 0); ++i) {
        std::uint32_t s = slots[i];
        const unsigned char* frame = s == kScratch ? scratch_ : slot(s);
        std::size_t n = msgs[i].msg_len;
        bool keep = false;
        if (from[i].sll_pkttype == PACKET_OUTGOING) {
          // our own sends on this leg: not a frame of this direction
        } else if (full) {
          drop(c.queueFull, frame, n);
        } else if (n > kSlotBytes || (msgs[i].msg_hdr.msg_flags & MSG_TRUNC)) {
          drop(c.oversize, frame, n);
        } else if (outage) {
          drop(c.outage, frame, n);
        } else if (own_.lossPercent > 0 && uniform_(rng_) * 100.0 < own_.lossPercent) {
          drop(c.loss, frame, n);
        } else {
          keep = true;
          lengths_[s] = static_cast<std::uint32_t>(n);
          heap_.push_back({dueTime(now), order_++, s});
          std::push_heap(heap_.begin(), heap_.end(), later);
        }
        if (!keep && s != kScratch) free_.push_back(s);
      }
      for (unsigned i = static_cast<unsigned>(std::max(got, 0)); i < want; ++i)
        if (slots[i] != kScratch) free_.push_back(slots[i]);
      c.peakQueue.max(heap_.size());
      if (got < static_cast<int>(want)) return; // drained (or an error: poll tells again)
    }
  }

  std::int64_t dueTime(std::int64_t now) {
    double ms = own_.delayMs;
    if (all_.jitterMs > 0) ms = std::max(0.0, ms + (uniform_(rng_) * 2 - 1) * all_.jitterMs);
    std::int64_t due = now + static_cast<std::int64_t>(ms * 1e6);
    if (!all_.reorder) due = std::max(due, lastDue_);
    lastDue_ = due;
    return due;
  }

  void sendDue(std::int64_t now) {
    while (!heap_.empty() && heap_.front().due <= now) {
      std::uint32_t slots[kBatch];
      unsigned n = 0;
      while (n < kBatch && !heap_.empty() && heap_.front().due <= now) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        // How late the frame leaves against its due time: the wire's own error, apart from the kernel's.
        std::uint64_t lateUs = static_cast<std::uint64_t>(now - heap_.back().due) / 1000;
        c.lateSumUs.add(lateUs);
        c.lateMaxUs.max(lateUs);
        slots[n++] = heap_.back().slot;
        heap_.pop_back();
      }
      iovec iov[kBatch];
      mmsghdr msgs[kBatch];
      for (unsigned i = 0; i < n; ++i) {
        iov[i] = {slot(slots[i]), lengths_[slots[i]]};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      unsigned done = 0;
      while (done < n) {
        int sent = ::sendmmsg(tx_, msgs + done, n - done, MSG_DONTWAIT);
        if (sent > 0) {
          for (int i = 0; i < sent; ++i) {
            std::uint32_t s = slots[done + i];
            c.forwarded.add();
            c.bytes.add(lengths_[s]);
            if (isEcho(slot(s), lengths_[s])) c.echoForwarded.add();
          }
          done += static_cast<unsigned>(sent);
          continue;
        }
        // The first frame of the rest was refused: a full tbf queue on the leg says ENOBUFS.
        std::uint32_t s = slots[done];
        drop(errno == ENOBUFS ? c.legQueue : c.sendFailed, slot(s), lengths_[s]);
        ++done;
      }
      for (unsigned i = 0; i < n; ++i)
        free_.push_back(slots[i]);
    }
  }

  static constexpr std::uint32_t kScratch = 0xffffffffu;
  const char* name_;
  int rx_, tx_;
  DirectionOptions own_;
  const Options& all_;
  const std::atomic<std::int64_t>& start_;
  int stopFd_;
  std::vector<char> pool_;
  std::vector<std::uint32_t> lengths_;
  std::vector<std::uint32_t> free_;
  std::vector<Entry> heap_;
  unsigned char scratch_[kSlotBytes];
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  std::int64_t lastDue_ = 0;
  std::uint64_t order_ = 0;
  std::uint64_t socketDrops_ = 0;
};

// Turns off the offloads that would let a frame larger than the wire's cross a leg, or one whose
// checksum the far side is left to fill in. A setting the driver does not have is no fault.
bool offloadsOff(const std::string& dev) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct Setting {
    std::uint32_t set, get;
    bool needed;
  };
  const Setting settings[] = {
      {ETHTOOL_STSO, ETHTOOL_GTSO, true},        {ETHTOOL_SGSO, ETHTOOL_GGSO, true},
      {ETHTOOL_SGRO, ETHTOOL_GGRO, true},        {ETHTOOL_STXCSUM, ETHTOOL_GTXCSUM, true},
      {ETHTOOL_SRXCSUM, ETHTOOL_GRXCSUM, false}, {ETHTOOL_SSG, ETHTOOL_GSG, false}};
  bool ok = true;
  for (const Setting& s : settings) {
    ethtool_value value{s.set, 0};
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", dev.c_str());
    request.ifr_data = reinterpret_cast<char*>(&value);
    ::ioctl(fd, SIOCETHTOOL, &request);
    value = {s.get, 1};
    if (s.needed && (::ioctl(fd, SIOCETHTOOL, &request) != 0 || value.data != 0)) {
      std::fprintf(stderr, "pathemu: cannot turn off an offload of %s (ethtool command %u)\n", dev.c_str(),
                   s.set);
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

int openLeg(const std::string& dev) {
  unsigned index = ::if_nametoindex(dev.c_str());
  if (index == 0) {
    std::fprintf(stderr, "pathemu: no interface %s\n", dev.c_str());
    return -1;
  }
  // Protocol 0 until bound: nothing of another interface is queued in between.
  int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    std::perror("pathemu: packet socket");
    return -1;
  }
  int one = 1, buffer = 32 << 20;
  ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  // Room for a burst on receive, and for what the leg's tbf still holds on send (its skbs count
  // against the sending socket until they leave).
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(index);
  packet_mreq promiscuous{};
  promiscuous.mr_ifindex = static_cast<int>(index);
  promiscuous.mr_type = PACKET_MR_PROMISC;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous) != 0) {
    std::perror(("pathemu: " + dev).c_str());
    ::close(fd);
    return -1;
  }
  return fd;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: zelvo-pathemu --client DEV --server DEV [--delay MS | --delay-up MS --delay-down MS]\n"
               "         [--jitter MS] [--reorder] [--loss PERCENT | --loss-up P --loss-down P]\n"
               "         [--outage T:S]... [--queue FRAMES] [--seed N]\n"
               "       zelvo-pathemu --offloads-off DEV...\n");
  std::exit(2);
}

double number(const char* text) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0)) usage();
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  o.seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--client")
      o.client = value();
    else if (a == "--server")
      o.server = value();
    else if (a == "--delay")
      o.up.delayMs = o.down.delayMs = number(value());
    else if (a == "--delay-up")
      o.up.delayMs = number(value());
    else if (a == "--delay-down")
      o.down.delayMs = number(value());
    else if (a == "--jitter")
      o.jitterMs = number(value());
    else if (a == "--reorder")
      o.reorder = true;
    else if (a == "--loss")
      o.up.lossPercent = o.down.lossPercent = number(value());
    else if (a == "--loss-up")
      o.up.lossPercent = number(value());
    else if (a == "--loss-down")
      o.down.lossPercent = number(value());
    else if (a == "--queue")
      o.queueFrames = static_cast<std::size_t>(number(value()));
    else if (a == "--seed")
      o.seed = static_cast<std::uint64_t>(number(value()));
    else if (a == "--outage") {
      std::string t = value();
      auto colon = t.find(':');
      if (colon == std::string::npos) usage();
      o.outages.push_back({number(t.substr(0, colon).c_str()), number(t.substr(colon + 1).c_str())});
    } else
      usage();
  }
  if (o.client.empty() || o.server.empty() || o.queueFrames < kBatch || o.up.lossPercent > 100 ||
      o.down.lossPercent > 100)
    usage();
  return o;
}

} // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--offloads-off") {
    if (argc < 3) usage();
    bool ok = true;
    for (int i = 2; i < argc; ++i)
      ok = offloadsOff(argv[i]) && ok;
    return ok ? 0 : 1;
  }
  Options options = parse(argc, argv);
  if (!offloadsOff(options.client) || !offloadsOff(options.server)) return 1;
  int client = openLeg(options.client), server = openLeg(options.server);
  int stop = ::eventfd(0, EFD_CLOEXEC);
  if (client < 0 || server < 0 || stop < 0) return 1;
  // A timer that fires late holds a frame longer: keep the kernel's grouping of wake-ups small.
  ::prctl(PR_SET_TIMERSLACK, 10000UL);

  // The signals are taken by the main thread alone, with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2})
    sigaddset(&signals, s);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::int64_t born = nowNs();
  std::atomic<std::int64_t> start{born};
  Options upOptions = options, downOptions = options;
  downOptions.seed = options.seed ^ 0x9e3779b97f4a7c15ULL;
  auto up = std::make_unique<Direction>("up", client, server, options.up, upOptions, start, stop);
  auto down = std::make_unique<Direction>("down", server, client, options.down, downOptions, start, stop);
  std::thread upThread([&] { up->run(); });
  std::thread downThread([&] { down->run(); });
  start = nowNs();
  std::printf("pathemu: ready client=%s server=%s delay_up_ms=%g delay_down_ms=%g jitter_ms=%g loss_up=%g "
              "loss_down=%g outages=%zu queue_frames=%zu\n",
              options.client.c_str(), options.server.c_str(), options.up.delayMs, options.down.delayMs,
              options.jitterMs, options.up.lossPercent, options.down.lossPercent, options.outages.size(),
              options.queueFrames);
  std::fflush(stdout);

  auto figures = [&](const char* when) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    double seconds = static_cast<double>(nowNs() - born) / 1e9;
    up->print(stdout);
    down->print(stdout);
    std::printf("pathemu %s: seconds=%.3f cpu_seconds=%.3f cpu_percent=%.1f\n", when, seconds, cpu,
                seconds > 0 ? 100.0 * cpu / seconds : 0.0);
    std::fflush(stdout);
  };
  for (;;) {
    int s = 0;
    if (::sigwait(&signals, &s) != 0) continue;
    if (s == SIGUSR2) {
      start = nowNs();
      continue;
    }
    if (s == SIGUSR1) {
      figures("so far");
      continue;
    }
    break;
  }
  std::uint64_t one = 1;
  if (::write(stop, &one, sizeof one) != sizeof one) std::perror("pathemu: eventfd");
  upThread.join();
  downThread.join();
  figures("end");
  return 0;
}
