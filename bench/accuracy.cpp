// Accuracy of the engine against iperf3 on the same veth path in the same run, three sessions (and
// three iperf3 streams) each way. Root only: it builds its own pair of namespaces joined by veth.
//   build/bench/accuracy [rate_mbit...]        rows at 20, 100, 500, 2000 Mbit/s and 0 (unshaped)
//   build/bench/accuracy --path RATE:RTT[:LOSS]...
//                                              rows over a routed path with distance (the test bed's
//                                              --rtt layout): RATE Mbit/s (0 unshaped), RTT ms, LOSS %
//                                              of the frames in each direction
//   build/bench/accuracy --path-table          the whole table: 20, 100 and 500 Mbit/s at 0, 20, 50, 150
//                                              and 600 ms, and 1 % loss at 40 ms and 100 Mbit/s
// Where the engine reads below 0.95 of iperf3, iperf3 runs again with socket buffers of the sizes the
// engine gives its sessions (131072 receiving, 65536 sending): the sessions use them as their transfer
// buffers, and the kernel sizes the sockets' own, so the column shows what a socket cap of that size
// would allow on the path, not what limits the engine.
//   build/bench/accuracy --upload-bias [rate_mbit] [runs]
// The second form measures what counting upload bytes when they are handed to the socket adds,
// against counting them as they leave the machine and against the adapter's counters: three upload
// sessions, phases of 5 and 10 s as the engine samples them.

#include "frontend/speeddisplay.h"
#include "tests/support/enginebed.h"
#include "workers/ftpthread.h"
#include "workers/tcpstats.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace zelvo;
using namespace zelvo::test;

namespace {

// iperf3's measured rate (receiver side) in Mbit/s, three streams for ten seconds, the first second
// left out as the engine leaves out its baseline second; window > 0 sets its socket buffers.
double Iperf3Mbit(VethPair& pair, bool download, int window = 0) {
  pid_t server =
      pair.far().spawn(std::string("exec iperf3 -s -1 -B ") + VethPair::kServerAddress + " >/dev/null 2>&1");
  // A test connection would be the one client a one-off server serves: look at its socket instead.
  pair.far().run("for i in $(seq 50); do ss -ltn | grep -q :5201 && exit 0; sleep 0.1; done");
  std::string command =
      "ip netns exec " + pair.client().name() + " iperf3 -c " + VethPair::kServerAddress +
      " -P 3 -t 10 -O 1 -J" + (download ? " -R" : "") + (window > 0 ? " -w " + std::to_string(window) : "") +
      " | python3 -c 'import json,sys; print(json.load(sys.stdin)[\"end\"][\"sum_received\"]"
      "[\"bits_per_second\"] / 1e6)'";
  double mbit = 0;
  if (FILE* p = popen(command.c_str(), "r")) {
    if (std::fscanf(p, "%lf", &mbit) != 1) mbit = 0;
    pclose(p);
  }
  pair.far().kill(server);
  return mbit;
}

std::vector<double> Values(const std::string& list) {
  std::vector<double> out;
  std::stringstream s(list);
  std::string item;
  while (std::getline(s, item, ','))
    out.push_back(std::atof(item.c_str()));
  return out;
}

// How much the first counted second moves the result: the mean of the samples against the mean
// without the first (the samples are about one second each).
double FirstSecondEffect(const std::vector<double>& samples) {
  if (samples.size() < 2) return 0;
  double all = 0;
  for (double v : samples)
    all += v;
  double rest = (all - samples[0]) / static_cast<double>(samples.size() - 1);
  all /= static_cast<double>(samples.size());
  return rest > 0 ? all / rest - 1 : 0;
}

struct Row {
  int rate = 0; // Mbit/s, 0 unshaped
  std::optional<RoutedPath> path;
};

struct TableLine {
  int rate;
  double rtt, loss;
  bool download;
  double engine, iperf, engineBuffers;
};

int AccuracyRows(const std::vector<Row>& rows) {
  double worst = 1.0, worstDistance = 0.0;
  std::vector<TableLine> table;
  for (const Row& row : rows) {
    const int rate = row.rate;
    std::string tc = rate > 0 ? std::to_string(rate) + "mbit" : "";
    VethBed bed("acc", tc, tc,
                R"({"ftp_host":"192.0.2.2","dl_duration":10,"ul_duration":10,"dl_session":3,"ul_session":3})",
                row.path);
    if (!bed.ready()) {
      std::fprintf(stderr, "accuracy: the veth pair did not come up\n");
      return 1;
    }
    resetTcpStats();
    bed.run();
    int code = bed.finished ? int(bed.record->errorCode) : -1;
    const double down = bed.record->downloadSpeed, up = bed.record->uploadSpeed;
    SpeedDigits shownDown = ComputeSpeedDigits(down), shownUp = ComputeSpeedDigits(up);
    const double rtt = row.path ? row.path->rttMs : -1, loss = row.path ? row.path->lossPercent : 0;
    std::printf("rate_mbit=%d rtt_ms=%g loss_percent=%g code=%d in_range=%d shown_down=\"%s %s\" "
                "shown_up=\"%s %s\"\n",
                rate, rtt, loss, code, SpeedsInRange(down, up) ? 1 : 0, shownDown.text().c_str(),
                shownDown.unitText(), shownUp.text().c_str(), shownUp.unitText());
    std::fprintf(stderr, "rate_mbit=%d download_samples=%s upload_samples=%s\n", rate,
                 bed.engine->dlFtpSamples.c_str(), bed.engine->ulFtpSamples.c_str());
    for (bool download : {true, false}) {
      TcpPhaseStats tcp = tcpStatsSnapshot(!download);
      double engine = (download ? down : up) / 1000.0;
      double nic = (download ? bed.engine->dlNicSpeed : bed.engine->ulNicSpeed) / 1000.0;
      auto samples = Values(download ? bed.engine->dlFtpSamples : bed.engine->ulFtpSamples);
      double iperf = Iperf3Mbit(bed.pair, download);
      double ratio = iperf > 0 ? engine / iperf : 0;
      // What socket buffers of the engine's transfer-buffer sizes would allow on this path.
      double buffers = ratio < 0.95 ? Iperf3Mbit(bed.pair, download, download ? 131072 : 65536) : 0;
      std::printf("rate_mbit=%d rtt_ms=%g loss_percent=%g direction=%s engine_mbit=%.2f adapter_mbit=%.2f "
                  "iperf3_mbit=%.2f ratio_iperf3=%.4f iperf3_engine_buffers_mbit=%.2f samples=%zu "
                  "first_second_effect=%+.4f retransmits=%llu tcp_rtt_ms=%.2f connections=%d\n",
                  rate, rtt, loss, download ? "down" : "up", engine, nic, iperf, ratio, buffers,
                  samples.size(), FirstSecondEffect(samples),
                  static_cast<unsigned long long>(tcp.retransmits), tcp.rttMs, tcp.connections);
      std::fflush(stdout);
      table.push_back({rate, rtt, loss, download, engine, iperf, buffers});
      double distance = ratio > 1 ? ratio - 1 : 1 - ratio;
      if (distance > worstDistance) {
        worstDistance = distance;
        worst = ratio;
      }
    }
    if (row.path) {
      // The emulator's own figures for the row: frames, drops, peak queue, CPU.
      std::string figures = bed.pair.stopPath();
      std::printf("%s", figures.c_str());
    }
  }
  std::printf("worst_ratio_iperf3=%.4f\n", worst);
  std::printf("\n%8s %8s %6s %5s %12s %12s %7s %16s\n", "Mbit/s", "rtt ms", "loss%", "dir", "engine",
              "iperf3 -P 3", "ratio", "iperf3 (buffers)");
  for (const TableLine& t : table) {
    std::string rtt = t.rtt < 0 ? "veth" : std::to_string(static_cast<int>(t.rtt));
    std::printf("%8d %8s %6g %5s %12.2f %12.2f %7.4f %16s\n", t.rate, rtt.c_str(), t.loss,
                t.download ? "down" : "up", t.engine, t.iperf, t.iperf > 0 ? t.engine / t.iperf : 0,
                t.engineBuffers > 0 ? std::to_string(t.engineBuffers).substr(0, 8).c_str() : "-");
  }
  return 0;
}

// "RATE:RTT[:LOSS]"
std::optional<Row> ParseRow(const std::string& text) {
  Row row;
  RoutedPath path;
  char extra = 0;
  int n = std::sscanf(text.c_str(), "%d:%lf:%lf%c", &row.rate, &path.rttMs, &path.lossPercent, &extra);
  if (n < 2 || n > 3) return std::nullopt;
  row.path = path;
  return row;
}

// One upload phase of three sessions sampled as the engine samples it: the lead's reports give the
// count of bytes that left the machine; the sessions' handed-over bytes give the count the client
// used to make; the adapter's sent bytes are the reference.
struct BiasRun {
  double leftMbit = 0, handedMbit = 0, adapterMbit = 0, worstSampleRatio = 0, worstHandedSampleRatio = 0;
};

BiasRun UploadBias(VethPair& pair, int duration) {
  static int phase = 0;
  ++phase;
  BiasRun result;
  runIn(&pair.client(), [&] {
    CFTPSession sessions[3];
    const char* names[3] = {"FTP1", "FTP2", "FTP3"};
    std::mutex mutex;
    bool based = false, done = false;
    std::int64_t baseMs = 0, lastMs = 0, baseTotal = 0, lastTotal = 0, baseHanded = 0, lastHanded = 0;
    std::uint64_t baseTx = 0, lastTx = 0;
    auto handed = [&] {
      std::int64_t sum = 0;
      for (auto& s : sessions)
        sum += s.TransferredBytes();
      return sum;
    };
    for (int i = 0; i < 3; ++i) {
      auto& s = sessions[i];
      s.SetName(names[i]);
      s.SetHost(VethPair::kServerAddress);
      s.SetUsername("ftp");
      s.SetPassword("bench@");
      s.SetPort(21);
      s.SetSendBufferSize(65536);
      s.SetOnProgress([&](TransferSession&, WorkMode, std::int64_t total, std::int64_t ms, double) {
        std::lock_guard<std::mutex> lock(mutex);
        if (done) return;
        std::int64_t h = handed();
        std::uint64_t tx = interfaceBytes("veth-c").value_or(InterfaceBytes{}).tx;
        if (based) {
          double dt = (ms - lastMs) / 1000.0;
          double left = (total - lastTotal) * 8 / dt, byHand = (h - lastHanded) * 8 / dt;
          double adapter = static_cast<double>(tx - lastTx) * 8 / dt;
          if (adapter > 0) {
            result.worstSampleRatio = std::max(result.worstSampleRatio, left / adapter);
            result.worstHandedSampleRatio = std::max(result.worstHandedSampleRatio, byHand / adapter);
          }
        } else {
          based = true;
          baseMs = ms, baseTotal = total, baseHanded = h, baseTx = tx;
        }
        lastMs = ms, lastTotal = total, lastHanded = h, lastTx = tx;
        if (ms - baseMs >= duration * 1000) done = true;
      });
    }
    for (auto& s : sessions) {
      if (!s.Connect() || !s.Connected() || !s.ChangeDir("uploads")) continue;
      // The anonymous user may not overwrite: a new name for every phase.
      s.SetUploadFile("bias" + std::to_string(phase) + ".txt" + s.Name().back());
      s.StartUpload();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    waitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return done;
        },
        std::chrono::seconds(duration + 15));
    for (auto& s : sessions)
      if (s.Running()) s.RequestAbort();
    for (auto& s : sessions)
      s.Disconnect();
    std::lock_guard<std::mutex> lock(mutex);
    double seconds = (lastMs - baseMs) / 1000.0;
    if (seconds > 0) {
      result.leftMbit = (lastTotal - baseTotal) * 8 / seconds / 1e6;
      result.handedMbit = (lastHanded - baseHanded) * 8 / seconds / 1e6;
      result.adapterMbit = static_cast<double>(lastTx - baseTx) * 8 / seconds / 1e6;
    }
  });
  return result;
}

int UploadBiasRows(int rate, int runs) {
  std::string tc = rate > 0 ? std::to_string(rate) + "mbit" : "";
  VsftpdServer::Options server;
  server.protocolLog = false;
  VethPair pair("bias", tc, "", server);
  if (!pair.ok()) {
    std::fprintf(stderr, "accuracy: the veth pair did not come up\n");
    return 1;
  }
  // The stored files would fill the disk: they are truncated as they grow.
  pid_t janitor = pair.far().spawn("exec " + std::string(ZELVO_SOURCE_DIR) + "/service/vsftpd/janitor " +
                                   pair.server().uploads().string());
  for (int duration : {5, 10})
    for (int run = 1; run <= runs; ++run) {
      BiasRun r = UploadBias(pair, duration);
      std::printf("rate_mbit=%d d=%d run=%d adapter_mbit=%.2f left_mbit=%.2f handed_mbit=%.2f "
                  "left_ratio=%.4f handed_ratio=%.4f worst_sample_left=%.3f worst_sample_handed=%.3f\n",
                  rate, duration, run, r.adapterMbit, r.leftMbit, r.handedMbit,
                  r.adapterMbit > 0 ? r.leftMbit / r.adapterMbit : 0,
                  r.adapterMbit > 0 ? r.handedMbit / r.adapterMbit : 0, r.worstSampleRatio,
                  r.worstHandedSampleRatio);
      std::fflush(stdout);
    }
  pair.far().kill(janitor);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (!isRoot()) {
    std::fprintf(stderr, "accuracy: needs root (network namespaces)\n");
    return 1;
  }
  if (argc > 1 && std::string(argv[1]) == "--upload-bias") {
    int rate = argc > 2 ? std::atoi(argv[2]) : 100;
    int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    return UploadBiasRows(rate, runs);
  }
  std::vector<Row> rows;
  if (argc > 1 && std::string(argv[1]) == "--path-table") {
    // The rows most asked about first, so that a run cut short still has them.
    for (const char* r : {"100:0", "100:20", "100:50", "100:150", "20:600", "100:40:1", "20:0", "20:20",
                          "20:50", "20:150", "100:600", "500:0", "500:20", "500:50", "500:150", "500:600"})
      rows.push_back(*ParseRow(r));
  } else if (argc > 1 && std::string(argv[1]) == "--path") {
    for (int i = 2; i < argc; ++i) {
      std::optional<Row> row = ParseRow(argv[i]);
      if (!row) {
        std::fprintf(stderr, "accuracy: a path row is RATE:RTT[:LOSS], not %s\n", argv[i]);
        return 2;
      }
      rows.push_back(*row);
    }
  } else {
    for (int rate : {20, 100, 500, 2000, 0})
      rows.push_back({rate, std::nullopt});
    if (argc > 1) {
      rows.clear();
      for (int i = 1; i < argc; ++i)
        rows.push_back({std::atoi(argv[i]), std::nullopt});
    }
  }
  return AccuracyRows(rows);
}
