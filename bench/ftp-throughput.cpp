// Throughput, processor time and memory of the FTP transfer sessions against a real vsftpd in a
// network namespace of its own (root only).
//   build/bench/ftp-throughput [--rounds N]   (3 rounds unless told)
//   build/bench/ftp-throughput --shaped-only  just the 1 Gbit/s run, for profiling it
// Unshaped, three sessions and three parallel curl programs (the same file from the same vsftpd, or
// uploads into the same folder) take turns for 8 s each, N rounds per direction, each first in every
// other round. Prints a line per round, then name=value lines of the medians:
//   unshaped_download_gbit, unshaped_upload_gbit   the sessions
//   curl_download_gbit, curl_upload_gbit           curl
//   download_of_curl, upload_of_curl   the median of the rounds' ratios (the client is never the limit)
//   cpu_percent_per_gbit_download, cpu_percent_per_gbit_upload   the sessions' processor time per Gbit/s
//   curl_cpu_percent_per_gbit_download, curl_cpu_percent_per_gbit_upload   the same of the curl programs
// and then:
//   shaped_download_gbit    three download sessions with the loopback shaped to 1 Gbit/s (30 s)
//   cpu_percent_at_1gbit    the client's processor time over wall time in that run (100 = one core)
//   rss_growth_kib          resident memory at the end of that run minus after its first 3 s
// A session whose transfer ends is started again, so each figure covers the whole interval.

#include "workers/ftpthread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int sh(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long rssKib() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long v = 0;
      in >> v;
      return v;
    }
    std::getline(in, key);
  }
  return -1;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Bed {
public:
  Bed() {
    std::random_device rd;
    ns_ = "zelvo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(rd() % 100000);
    dir_ = "/tmp/" + ns_;
    ok_ = sh("ip netns add " + ns_) == 0 && sh("ip -n " + ns_ + " link set lo up") == 0 &&
          sh(std::string(ZELVO_SOURCE_DIR) + "/service/vsftpd/prepare " + dir_ + " >/dev/null") == 0;
    if (!ok_) return;
    vsftpd_ = spawn({"ip", "netns", "exec", ns_, "vsftpd", dir_ + "/vsftpd.conf"});
    janitor_ = spawn({std::string(ZELVO_SOURCE_DIR) + "/service/vsftpd/janitor", dir_ + "/root/uploads"});
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = ::open(("/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = home_ >= 0 && fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    ok_ = ok_ && sh("bash -c 'for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/21) 2>/dev/null && exit 0; "
                    "sleep 0.05; done; exit 1'") == 0;
  }
  ~Bed() {
    for (pid_t pid : {janitor_, vsftpd_})
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    // Back home first: a shell started inside would list itself among the namespace's processes and
    // be killed before it removed the namespace.
    if (home_ >= 0) {
      ::setns(home_, CLONE_NEWNET);
      ::close(home_);
    }
    sh("pids=$(ip netns pids " + ns_ +
       " 2>/dev/null); [ -z \"$pids\" ] || kill -9 $pids 2>/dev/null; ip netns del " + ns_ +
       " 2>/dev/null; rm -rf " + dir_);
  }
  bool ok() const { return ok_; }
  bool shape(const std::string& rate) {
    return sh("tc qdisc replace dev lo root tbf rate " + rate + " burst 256kb latency 20ms") == 0;
  }

private:
  static pid_t spawn(std::vector<std::string> argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (auto& a : argv)
        args.push_back(a.data());
      args.push_back(nullptr);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    return pid;
  }
  std::string ns_, dir_;
  pid_t vsftpd_ = -1, janitor_ = -1;
  int home_ = -1;
  bool ok_ = false;
};

struct Run {
  double gbit = 0;
  double cpuPercent = 0;
  long rssGrowthKib = 0;
};

// Runs three sessions in one direction for the given time, restarting each transfer that ends.
Run transfer(bool upload, int seconds) {
  zelvo::CFTPSession sessions[3];
  const char* names[3] = {upload ? "FTP1" : "FTP4", upload ? "FTP2" : "FTP5", upload ? "FTP3" : "FTP6"};
  for (int i = 0; i < 3; ++i) {
    auto& s = sessions[i];
    s.SetName(names[i]);
    s.SetHost("127.0.0.1");
    s.SetUsername("ftp");
    s.SetPassword("bench@");
    s.SetPort(21);
    s.SetPassive(true);
    s.SetRecvBufferSize(131072);
    s.SetSendBufferSize(65536);
    s.SetOnLog([](zelvo::TransferSession&, const std::string&) {});
    s.SetOnProgress([](zelvo::TransferSession&, zelvo::WorkMode, std::int64_t, std::int64_t, double) {});
  }
  auto begin = [&](zelvo::CFTPSession& s) {
    if (!s.Connected() && !s.Connect()) return;
    if (upload) {
      if (!s.ChangeDir("uploads")) return;
      // The server's anonymous user may not overwrite a file: every upload gets a name of its own.
      static int uploads = 0;
      s.SetUploadFile("bench" + std::to_string(++uploads) + ".txt");
      s.StartUpload();
    } else {
      s.SetDownloadFile("test_1024m.zip");
      s.StartDownload();
    }
  };
  for (int i = 0; i < 3; ++i)
    begin(sessions[i]);
  auto start = Clock::now();
  double cpuStart = cpuSeconds();
  std::int64_t bytesStart = 0;
  for (auto& s : sessions)
    bytesStart += s.TransferredBytes();
  long rssEarly = -1;
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (rssEarly < 0 && Clock::now() - start >= std::chrono::seconds(3)) rssEarly = rssKib();
    for (int i = 0; i < 3; ++i)
      if (!sessions[i].WorkerActive()) {
        if (upload && sessions[i].Connected()) sessions[i].Disconnect(); // a fresh CWD for the next
        begin(sessions[i]);
      }
  }
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  Run run;
  std::int64_t bytes = -bytesStart;
  for (auto& s : sessions)
    bytes += s.TransferredBytes();
  run.cpuPercent = (cpuSeconds() - cpuStart) / wall * 100.0;
  if (std::getenv("ZELVO_BENCH_VERBOSE")) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::fprintf(stderr, "user=%ld.%06ld sys=%ld.%06ld\n", u.ru_utime.tv_sec, u.ru_utime.tv_usec,
                 u.ru_stime.tv_sec, u.ru_stime.tv_usec);
  }
  run.rssGrowthKib = rssKib() - rssEarly;
  run.gbit = static_cast<double>(bytes) * 8 / wall / 1e9;
  for (auto& s : sessions)
    if (s.Running()) s.RequestAbort();
  for (auto& s : sessions)
    s.Disconnect();
  return run;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

constexpr int kRoundSeconds = 8;

double childCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Three curl programs in parallel in the same direction, each for the given time; the sum of what they
// moved over that time, and their processor time over wall time in cpuPercent. They run in this
// thread's namespace, like the sessions.
double curlTransfers(bool upload, int seconds, double& cpuPercent) {
  const double cpuStart = childCpuSeconds();
  const std::string dir = "/tmp/zelvo-bench-curl-" + std::to_string(::getpid());
  std::string command = "mkdir -p " + dir + " && for i in 1 2 3; do curl -s --max-time " +
                        std::to_string(seconds) + " -w '%{size_" + (upload ? "upload" : "download") + "}' ";
  static int round = 0;
  ++round;
  command += upload ? "-T - ftp://127.0.0.1/uploads/curl" + std::to_string(round) + "-$i.txt </dev/zero"
                    : "-o /dev/null ftp://127.0.0.1/test_1024m.zip";
  command += " >" + dir + "/$i & done; wait";
  sh(command);
  double bytes = 0;
  for (int i = 1; i <= 3; ++i) {
    std::ifstream in(dir + "/" + std::to_string(i));
    double v = 0;
    if (in >> v) bytes += v;
  }
  cpuPercent = (childCpuSeconds() - cpuStart) / seconds * 100.0;
  sh("rm -rf " + dir);
  return bytes * 8 / seconds / 1e9;
}

} // namespace

int main(int argc, char** argv) {
  // --shaped-only: just the 1 Gbit/s run, for profiling it.
  bool shapedOnly = argc > 1 && std::string(argv[1]) == "--shaped-only";
  int rounds = 3;
  if (argc > 2 && std::string(argv[1]) == "--rounds") rounds = std::max(1, std::atoi(argv[2]));
  if (::geteuid() != 0) {
    std::fprintf(stderr, "ftp-throughput: needs root (network namespaces)\n");
    return 1;
  }
  Bed bed;
  if (!bed.ok()) {
    std::fprintf(stderr, "ftp-throughput: could not set up the namespace with vsftpd\n");
    return 1;
  }
  if (!shapedOnly) {
    // The loopback's rate swings by a third from one run to the next on a shared machine, so the
    // sessions and curl take turns, each first in every other round, and the medians are compared.
    // The first transfers on a fresh bed run slower, whoever makes them: a warm-up that is not counted.
    double warmupCpu = 0;
    curlTransfers(false, 3, warmupCpu);
    for (bool upload : {false, true}) {
      const char* dir = upload ? "upload" : "download";
      std::vector<double> ours, theirs, ratios, ourCpu, theirCpu;
      for (int round = 0; round < rounds; ++round) {
        double curlGbit = 0, curlCpu = 0;
        Run run;
        if (round % 2 == 0) {
          run = transfer(upload, kRoundSeconds);
          curlGbit = curlTransfers(upload, kRoundSeconds, curlCpu);
        } else {
          curlGbit = curlTransfers(upload, kRoundSeconds, curlCpu);
          run = transfer(upload, kRoundSeconds);
        }
        std::printf("round=%d direction=%s sessions_gbit=%.2f curl_gbit=%.2f\n", round + 1, dir, run.gbit, curlGbit);
        std::fflush(stdout);
        ours.push_back(run.gbit);
        theirs.push_back(curlGbit);
        if (curlGbit > 0) ratios.push_back(run.gbit / curlGbit);
        if (run.gbit > 0) ourCpu.push_back(run.cpuPercent / run.gbit);
        if (curlGbit > 0) theirCpu.push_back(curlCpu / curlGbit);
      }
      std::printf("unshaped_%s_gbit=%.2f\n", dir, median(ours));
      std::printf("curl_%s_gbit=%.2f\n", dir, median(theirs));
      std::printf("%s_of_curl=%.3f\n", dir, median(ratios));
      std::printf("cpu_percent_per_gbit_%s=%.2f\n", dir, median(ourCpu));
      std::printf("curl_cpu_percent_per_gbit_%s=%.2f\n", dir, median(theirCpu));
      std::fflush(stdout);
    }
  }
  if (!bed.shape("1gbit")) {
    std::fprintf(stderr, "ftp-throughput: tc failed\n");
    return 1;
  }
  Run shaped = transfer(false, 30);
  std::printf("shaped_download_gbit=%.3f\n", shaped.gbit);
  std::printf("cpu_percent_at_1gbit=%.2f\n", shaped.cpuPercent);
  std::printf("rss_growth_kib=%ld\n", shaped.rssGrowthKib);
  return 0;
}
