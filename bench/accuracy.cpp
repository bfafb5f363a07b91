// Accuracy of the engine against the shaped link and against iperf3 on the same link, for 20, 100 and
// 500 Mbit/s in both directions. Root only: it builds its own pair of namespaces joined by veth.
//   build/bench/accuracy [rate_mbit...]

#include "tests/support/enginebed.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zelvo;
using namespace zelvo::test;

namespace {

// iperf3's measured rate (receiver side) in Mbit/s, three streams for ten seconds.
double Iperf3Mbit(VethPair& pair, bool download) {
  pid_t server = pair.far().spawn(std::string("exec iperf3 -s -1 -B ") + VethPair::kServerAddress +
                                  " >/dev/null 2>&1");
  // A test connection would be the one client a one-off server serves: look at its socket instead.
  pair.far().run("for i in $(seq 50); do ss -ltn | grep -q :5201 && exit 0; sleep 0.1; done");
  std::string command = "ip netns exec " + pair.client().name() + " iperf3 -c " + VethPair::kServerAddress +
                        " -P 3 -t 10 -O 1 -J" + (download ? " -R" : "") +
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

} // namespace

int main(int argc, char** argv) {
  if (!isRoot()) {
    std::fprintf(stderr, "accuracy: needs root (network namespaces)\n");
    return 1;
  }
  std::vector<int> rates = {20, 100, 500};
  if (argc > 1) {
    rates.clear();
    for (int i = 1; i < argc; ++i) rates.push_back(std::atoi(argv[i]));
  }
  double worst = 1.0, worstDistance = 0.0;
  for (int rate : rates) {
    std::string tc = std::to_string(rate) + "mbit";
    VethBed bed("acc", tc, tc, R"({"ftp_host":"192.0.2.2","dl_duration":10,"ul_duration":10})");
    if (!bed.ready()) {
      std::fprintf(stderr, "accuracy: the veth pair did not come up\n");
      return 1;
    }
    bed.run();
    if (!bed.finished || bed.record->errorCode != 0) {
      std::fprintf(stderr, "accuracy: the engine run at %d Mbit/s ended with code %d\n", rate,
                   int(bed.record->errorCode));
      return 1;
    }
    std::fprintf(stderr, "rate_mbit=%d download_samples=%s upload_samples=%s\n", rate, bed.engine->dlFtpSamples.c_str(),
                 bed.engine->ulFtpSamples.c_str());
    for (bool download : {true, false}) {
      double engine = (download ? bed.record->downloadSpeed : bed.record->uploadSpeed) / 1000.0;
      double iperf = Iperf3Mbit(bed.pair, download);
      double ratio = iperf > 0 ? engine / iperf : 0;
      std::printf("rate_mbit=%d direction=%s engine_mbit=%.2f iperf3_mbit=%.2f ratio_shaped=%.4f "
                  "ratio_iperf3=%.4f\n",
                  rate, download ? "down" : "up", engine, iperf, engine / rate, ratio);
      std::fflush(stdout);
      double distance = ratio > 1 ? ratio - 1 : 1 - ratio;
      if (distance > worstDistance) {
        worstDistance = distance;
        worst = ratio;
      }
    }
  }
  std::printf("worst_ratio_iperf3=%.4f\n", worst);
  return 0;
}
