#!/usr/bin/env python3
"""Whether the loaded-latency echo stream changes the measured rates: whole console runs in the test
bed, alternately with and without the stream, on the same shaped path. Run as root from the top
folder after building: bench/loadedlatency.py [RUNS] [RATE]. Prints name=value figures."""
import json
import os
import statistics
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLI = os.path.join(TOP, "build", "cli", "zelvo-speedtest-cli")
DURATION = 8
# One echo: 32 data bytes, the ICMP header (8) and the IPv4 header (20); ten a second each way.
STREAM_BITS_PER_SECOND = 10 * (32 + 8 + 20) * 8


def run(rate, stream):
    with tempfile.TemporaryDirectory(prefix="zelvo-bench-") as d:
        config = os.path.join(d, "service.json")
        with open(config, "w") as f:
            json.dump({"dl_duration": DURATION, "ul_duration": DURATION}, f)
        args = [CLI, "--yes", "--json"] + ([] if stream else ["--no-loaded-latency"])
        out = subprocess.run([os.path.join(TOP, "scripts", "testbed"), "--rate", rate, "--"] + args,
                             env=dict(os.environ, ZELVO_SERVICE_CONFIG=config), capture_output=True,
                             text=True, timeout=300)
        result = json.loads(out.stdout)
        if result["error_code"] != 0:
            raise SystemExit("run failed: %s" % out.stdout)
        return result


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    rate = sys.argv[2] if len(sys.argv) > 2 else "50mbit"
    figures = {True: [], False: []}
    for _ in range(runs):
        for stream in (False, True):
            r = run(rate, stream)
            figures[stream].append(r)
            print("# stream=%d download_kbps=%.2f upload_kbps=%.2f echoes=%s" % (
                stream, r["download_kbps"], r["upload_kbps"],
                r["latency"]["download"]["sent"] + r["latency"]["upload"]["sent"]), flush=True)
    print("rate=%s runs=%d duration_s=%d" % (rate, runs, DURATION))
    print("stream_bits_per_second_each_way=%d" % STREAM_BITS_PER_SECOND)
    for key in ("download_kbps", "upload_kbps"):
        without = statistics.mean(r[key] for r in figures[False])
        with_stream = statistics.mean(r[key] for r in figures[True])
        print("%s_without=%.2f %s_with=%.2f difference_percent=%.3f" % (
            key, without, key, with_stream, (with_stream - without) / without * 100))


if __name__ == "__main__":
    main()
