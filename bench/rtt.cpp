// Round-trip time of the latency sequence against ping on the same path, in a network namespace of
// this process (root only): loopback as it is, then loopback shaped by a small token bucket, which
// holds each reply back for a few tens of milliseconds. Prints name=value lines.

#include "frontend/latency.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <glib.h>
#include <memory>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// The mean of "rtt min/avg/max/mdev = a/b/c/d ms", or -1.
double pingMean(const std::string& host) {
  std::string command = "ping -q -n -c 5 -s 32 -i 0.5 " + host + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  double mean = -1;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    double min = 0, avg = 0;
    if (std::sscanf(line, "rtt min/avg/max/mdev = %lf/%lf", &min, &avg) == 2) mean = avg;
  }
  ::pclose(pipe);
  return mean;
}

struct SequenceResult {
  std::string summary;
  float mean = -1;
  double seconds = 0;
  bool finished = false;
};

SequenceResult runSequence(const std::string& host) {
  zelvo::TestRecord record;
  zelvo::LatencySequence sequence(record, {host, host});
  bool gate = false;
  auto started = std::chrono::steady_clock::now();
  sequence.begin([&] { gate = true; });
  auto deadline = started + std::chrono::seconds(30);
  while (!gate && std::chrono::steady_clock::now() < deadline)
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  SequenceResult result;
  result.finished = gate;
  result.summary = record.pingSummary;
  result.mean = record.pingAvgMs.load();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

void measure(const std::string& prefix, const std::string& host) {
  SequenceResult sequence = runSequence(host);
  double ping = pingMean(host);
  std::printf("%szelvo_rtt_ms=%.0f\n", prefix.c_str(), static_cast<double>(sequence.mean));
  std::printf("%sping_mean_ms=%.3f\n", prefix.c_str(), ping);
  std::printf("%szelvo_summary=%s\n", prefix.c_str(), sequence.finished ? sequence.summary.c_str() : "none");
  std::printf("%ssequence_seconds=%.2f\n", prefix.c_str(), sequence.seconds);
  std::fflush(stdout);
}

} // namespace

int main() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "rtt: needs root (it makes its own network namespace)\n");
    return 2;
  }
  // A namespace of our own: nothing can leave it, and it goes away with the process.
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0 ||
      std::system("sysctl -q -w net.ipv4.ping_group_range='0 2147483647'") != 0) {
    std::fprintf(stderr, "rtt: cannot set up the namespace\n");
    return 1;
  }
  auto handle = zelvo::platform::IcmpCreateFile();
  std::printf("socket=%s\n", !handle                                                       ? "none"
                             : handle->kind() == zelvo::platform::IcmpSocketKind::Datagram ? "datagram"
                                                                                           : "raw");
  handle.reset();
  const std::string host = "127.0.0.1";
  std::printf("path=loopback %s\n", host.c_str());
  measure("", host);

  // 8 kbit/s with a 128-byte bucket: a request of 32 data bytes passes at once, its reply waits for
  // the tokens it lacks (about 20 ms).
  if (std::system("tc qdisc add dev lo root tbf rate 8kbit burst 128 limit 3000") == 0) {
    std::printf("shaped_path=loopback %s, tbf rate 8kbit burst 128\n", host.c_str());
    measure("shaped_", host);
  }
  return 0;
}
