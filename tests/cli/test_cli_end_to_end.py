#!/usr/bin/env python3
"""The console front-end run whole in the test bed: its JSON checked against the report the service
decoded, and every way a run can fail shown with its texts and exit status. Needs root; exits 77
(skipped) otherwise."""
import csv
import grp
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLI = os.environ.get("ZELVO_CLI", os.path.join(TOP, "build", "cli", "zelvo-speedtest-cli"))
TESTBED = os.path.join(TOP, "scripts", "testbed")
# A Windows build runs under this Wine loader, each run in its own copy of the prefix WINEPREFIX names:
# Wine's services start inside the run's namespace only when no other run's wineserver serves them.
# It is built for the remote test bed (the service behind a network card, as Windows programs need).
WINE = os.environ.get("ZELVO_WINE", "")
REMOTE = ["--remote"] if WINE else []
REMOTE_SERVICE = "192.0.2.2"
# The longest a run may take in its test bed, setup and teardown included.
BED_SECONDS = 240

# Inside the namespace: run the client, then fetch what the service decoded.
RUN_AND_FETCH = r'''
${ZELVO_WINE:+"$ZELVO_WINE"} "$ZELVO_CLI" "$@" >"$RESULT_DIR/out" 2>"$RESULT_DIR/err"
echo $? >"$RESULT_DIR/status"
# On a routed bed the service's own namespace asks, so that the path's outages do not hide the answer.
${ZELVO_TESTBED_ROUTER_NS:+ip netns exec "$ZELVO_TESTBED_SERVER_NS"} python3 -c 'import os, urllib.request; print(urllib.request.urlopen("http://%s/zelvo/_reports" % os.environ["ZELVO_TESTBED_SERVICE"], timeout=5).read().decode())' >"$RESULT_DIR/reports"
'''


def wine_environment(directory):
    """The variables a run needs; under Wine a private prefix, hard-linked from the template (Wine
    replaces the files it changes, so the template stays as it was)."""
    if not WINE:
        return {}
    prefix = os.path.join(directory, "wine")
    subprocess.run(["cp", "-al", os.environ["WINEPREFIX"], prefix], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(prefix, name)
        if os.path.exists(path):
            os.unlink(path)
            shutil.copy2(os.path.join(os.environ["WINEPREFIX"], name), path)
    return {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "ZELVO_WINE": WINE}


def descendants(pid):
    """The process and its descendants, each with what it waits in, as ps shows them."""
    listing = subprocess.run(["ps", "-eo", "pid,ppid,stat,wchan:24,etime,args"], capture_output=True,
                             text=True, timeout=30).stdout.splitlines()
    kept, lines = {pid}, [listing[0]]
    for line in listing[1:]:  # ps lists parents before their children
        fields = line.split()
        if int(fields[0]) in kept or int(fields[1]) in kept:
            kept.add(int(fields[0]))
            lines.append(line)
    return "\n".join(lines)


def cp950_texts(code):
    """Caption and text of an error code from the plain configuration, as the terminal shows them."""
    values = {}
    with open(os.path.join(TOP, "config", "zelvo.conf"), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                name, value = line.split("=", 1)
                values[name.strip()] = value.strip()
    return values["caption.%d" % code], values["text.%d" % code]


# The client's network card reports a 100 Mbit/s link: a folder stands in for /sys, since a virtual
# card's speed cannot be set (the kernel refuses ethtool's speed for veth).
SLOW_CARD = r'''
card="$ZELVO_TESTBED_DIR/sysfs/sys/class/net/nic0"
mkdir -p "$card"
cat /sys/class/net/nic0/ifindex >"$card/ifindex"
echo 100 >"$card/speed"
echo full >"$card/duplex"
export ZELVO_TEST_LINK_SYSFS="$ZELVO_TESTBED_DIR/sysfs"
'''

# The client in JSON lines, with a second transfer (two downloads beside its three sessions) through the
# same card for as long as its download phase runs.
RUN_WITH_SECOND_TRANSFER = r'''
out="$ZELVO_TESTBED_DIR/out"
"$ZELVO_CLI" "$@" >"$out" 2>"$ZELVO_TESTBED_DIR/err" &
client=$!
phase() { grep -q "\"event\":\"$1\",\"t_ms\":[0-9]*,\"phase\":\"download\"" "$out"; }
until phase phase_start || ! kill -0 $client 2>/dev/null; do sleep 0.05; done
second=()
for i in 1 2; do
  curl -s -o /dev/null --max-time 60 ftp://127.0.0.1/test_1024m.zip &
  second+=($!)
done
until phase phase_end || ! kill -0 $client 2>/dev/null; do sleep 0.05; done
kill "${second[@]}" 2>/dev/null
wait "${second[@]}"
wait $client
echo $? >"$ZELVO_TESTBED_DIR/status"
cp "$out" "$ZELVO_TESTBED_DIR/err" "$ZELVO_TESTBED_DIR/status" "$RESULT_DIR"/
'''


class Run:
    """One console run in the test bed; path holds the routed bed's options (--rtt, --loss, ...), whose
    emulator figures end up in self.path by direction, and self.seconds is the whole run's time."""

    def __init__(self, service_config, args, rate=None, latency=None, path=None, environment=None, card=False,
                 script=RUN_AND_FETCH):
        self.dir = tempfile.mkdtemp(prefix="zelvo-cli-")
        config = os.path.join(self.dir, "service.json")
        if REMOTE:
            service_config = dict({"ftp_host": REMOTE_SERVICE}, **service_config)
        with open(config, "w") as f:
            json.dump(service_config, f)
        env = dict(os.environ, ZELVO_SERVICE_CONFIG=config, ZELVO_CLI=CLI, RESULT_DIR=self.dir,
                   LANG="C.UTF-8", LC_ALL="C.UTF-8", **wine_environment(self.dir))
        env.update(environment or {})
        layout = ["--card"] if card else REMOTE
        command = [TESTBED] + layout + (["--rate", rate] if rate else []) + (["--latency", str(latency)] if latency else []) + (path or []) + [
            "--", "bash", "-c", script,
                                                                    "run"] + args
        try:
            started = time.monotonic()
            bed = subprocess.Popen(command, env=env, stderr=subprocess.PIPE, text=True)
            try:
                bed_err = bed.communicate(timeout=BED_SECONDS)[1]
            except subprocess.TimeoutExpired:
                # What every process of the bed was waiting in, then the bed asked to end, so that it takes
                # its namespaces and servers down; the run's output so far says where it stood.
                processes = descendants(bed.pid)
                bed.terminate()
                try:
                    bed_err = bed.communicate(timeout=30)[1]
                except subprocess.TimeoutExpired:
                    bed.kill()
                    bed_err = "(the bed did not end when asked)"
                raise AssertionError("the run did not end within %d s\n--- processes\n%s\n--- bed\n%s\n"
                                     "--- out\n%s\n--- err\n%s"
                                     % (BED_SECONDS, processes, bed_err, self.read("out"), self.read("err")))
            self.seconds = time.monotonic() - started
            sys.stderr.write(bed_err)
            if bed.returncode != 0:
                raise subprocess.CalledProcessError(bed.returncode, command, stderr=bed_err)
            self.path = {}
            for line in bed_err.splitlines():
                m = re.match(r"pathemu (up|down|end): (.*)", line)
                if m:
                    self.path[m.group(1)] = {k: float(v) for k, v in re.findall(r"(\w+)=([0-9.]+)", m.group(2))}
            self.out = self.read("out")
            self.err = self.read("err")
            self.status = int(self.read("status"))
            self.reports = json.loads(self.read("reports") or "[]")
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def explain(self):
        """What to show when a run ended otherwise than expected: its output and the service's verdicts."""
        verdicts = ["accepted" if r.get("accepted") else "refused: %s" % r.get("reason") for r in self.reports]
        return "status %d\n--- out\n%s\n--- err\n%s\n--- reports: %s" % (self.status, self.out, self.err,
                                                                        verdicts or "none")

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""


SHORT = {"dl_duration": 4, "ul_duration": 4}


class StateFolders:
    """A home and a state folder of their own for the runs, removed at the end."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix="zelvo-cli-state-")
        self.home = os.path.join(self.top, "home")
        os.mkdir(self.home)
        self.environment = {"HOME": self.home, "XDG_STATE_HOME": os.path.join(self.top, "state")}
        self.history = os.path.join(self.top, "state", "zelvo-speedtest", "history.jsonl")

    def files(self):
        return sorted(os.path.relpath(os.path.join(folder, name), self.top)
                      for folder, folders, names in os.walk(self.top) for name in folders + names)

    def cli(self, *args):
        """The program run here, outside any test bed: --history needs no network."""
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", **self.environment)
        return subprocess.run([CLI] + list(args), env=env, capture_output=True, text=True, timeout=60)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.top, ignore_errors=True)


def result_event(jsonl):
    """The result event of --format jsonl; the link facts and the diagnosis follow it."""
    return next(e for e in map(json.loads, jsonl.splitlines()) if e["event"] == "result")
OBSERVE = os.path.join(TOP, "tests", "support", "run_observed.py")


class UserRun:
    """The console program run whole in the test bed as the ordinary user nobody, from a copy of its
    own (with the cap_net_raw file capability the package gives it, when asked), with the namespace's
    datagram echo sockets allowed for nobody's group or not (a fresh namespace allows no group)."""

    def __init__(self, args, capability=False, datagram=False):
        self.dir = tempfile.mkdtemp(prefix="zelvo-cli-user-")
        try:
            os.chmod(self.dir, 0o755)
            config = os.path.join(self.dir, "service.json")
            with open(config, "w") as f:
                json.dump(SHORT, f)
            program = os.path.join(self.dir, "zelvo-speedtest-cli")
            shutil.copy2(CLI, program)
            if capability:
                subprocess.run(["setcap", "cap_net_raw+ep", program], check=True, timeout=30)
            observed = os.path.join(self.dir, "observed.json")
            group = grp.getgrnam("nogroup").gr_gid
            command = [TESTBED, "--rate", "50mbit", "--", sys.executable, OBSERVE, "--out", observed,
                       "--user", "nobody"]
            if datagram:
                command += ["--ping-group-range", "%d %d" % (group, group)]
            env = dict(os.environ, ZELVO_SERVICE_CONFIG=config, LANG="C.UTF-8", LC_ALL="C.UTF-8")
            subprocess.run(command + ["--", program] + args, env=env, cwd=self.dir, timeout=240, check=True)
            with open(observed, encoding="utf-8") as f:
                result = json.load(f)
            self.status, self.out, self.err, self.caps = (result["status"], result["out"], result["err"],
                                                          result["caps"])
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def result(self):
        """The result object of --format jsonl."""
        return result_event(self.out)


@unittest.skipUnless(os.geteuid() == 0, "needs root for the test bed")
class EndToEnd(unittest.TestCase):
    def test_json_matches_the_decoded_report(self):
        run = Run(SHORT, ["--yes", "--json"], rate="50mbit")
        self.assertEqual(run.status, 0, run.explain())
        result = json.loads(run.out)
        self.assertEqual(len(run.reports), 1)
        report = run.reports[0]
        self.assertTrue(report["accepted"], report.get("reason"))
        self.assertTrue(report["auth_ok"])
        f = report["fields"]
        self.assertEqual(f["DL_FTP_speed"], "%.2f" % result["download_kbps"])
        self.assertEqual(f["UL_FTP_speed"], "%.2f" % result["upload_kbps"])
        self.assertEqual(f["DL_NIC_speed"], "%.2f" % result["download_nic_kbps"])
        self.assertEqual(f["UL_NIC_speed"], "%.2f" % result["upload_nic_kbps"])
        lists = result["samples"]
        for field, key in (("DL_FTP_speed_interval", "download_ftp"), ("UL_FTP_speed_interval", "upload_ftp"),
                           ("DL_NIC_speed_interval", "download_nic"), ("UL_NIC_speed_interval", "upload_nic")):
            self.assertEqual(f[field], ",".join("" if v is None else str(v) for v in lists[key]), field)
            self.assertGreaterEqual(len(lists[key]), 2, field)
        self.assertEqual(f["RTT"], result["rtt"])
        self.assertEqual(f["Tcp_session"], "%d,%d" % (result["upload_sessions"], result["download_sessions"]))
        self.assertEqual(result["download_sessions"], 3)
        self.assertEqual(report["serial"], result["serial"])
        self.assertEqual(f["User_localip"], result["local_ip"])
        self.assertIn(report["serial"], result["result_url"])
        # Shaped to 50 Mbit/s: the measurement is of that link (loose bounds; bench/ measures accuracy).
        self.assertGreater(result["download_kbps"], 30000)
        self.assertLess(result["download_kbps"], 60000)

    def test_readable_output_shows_speeds_serial_and_address(self):
        run = Run(SHORT, ["--yes"], rate="20mbit")
        self.assertEqual(run.status, 0, run.explain())
        self.assertRegex(run.out, r"下載速率  \d+\.\d\d Mbps")
        self.assertRegex(run.out, r"上傳速率  \d+\.\d\d Mbps")
        self.assertIn("測試序號  " + run.reports[0]["serial"], run.out)
        self.assertIn("/zelvo/result?serial=", run.out)
        self.assertRegex(run.out, r"閒置延遲  中位數 \d+\.\d ms")
        self.assertRegex(run.out, r"下載延遲  中位數 \d+\.\d ms")
        self.assertRegex(run.out, r"延遲評等  (A\+|A|B|C|D|F)\n")
        self.assertRegex(run.out, r"上傳計數  網卡/傳輸 \d+\.\d+，剔除樣本 \d+")
        self.assertRegex(run.out, r"下載每秒  [▁▂▃▄▅▆▇█]{3,}\n")
        # The loopback the plain test bed serves on has no link facts, and under Wine the remote bed's
        # card is an Ethernet one whose speed Wine does not say: either way the line cannot be told from
        # the rest (a machine busy with other work is told as such).
        link, unknown = ("乙太網路 速率不明", "乙太網路連結速率不明") if REMOTE else ("不明", "連結資料不明")
        self.assertIn("網路連結  " + link, run.out)
        self.assertRegex(run.out, r"下載瓶頸  (無法判斷|電腦)：測得 \d+\.\d Mbit/s；%s；" % unknown)
        self.assertRegex(run.out, r"上傳建議  \S+。\n")

    def test_jsonl_streams_every_event_in_order(self):
        run = Run(SHORT, ["--yes", "--format", "jsonl"], rate="50mbit")
        self.assertEqual(run.status, 0, run.explain())
        events = [json.loads(line) for line in run.out.splitlines()]
        times = [e["t_ms"] for e in events]
        self.assertEqual(times, sorted(times))
        kinds = [e["event"] for e in events]
        self.assertEqual(kinds[-2:], ["result", "diagnosis"])
        self.assertEqual(kinds.count("verdict"), 1)
        # Phases one after the other, every sample and loaded echo inside its own.
        marks = [(e["event"], e.get("phase")) for e in events if e["event"] in ("phase_start", "phase_end")]
        self.assertEqual(marks, [("phase_start", "download"), ("phase_end", "download"),
                                 ("phase_start", "upload"), ("phase_end", "upload")])
        result = events[-2]
        self.assertNotIn("diagnosis", result)
        self.assertEqual(set(events[-1]), {"event", "t_ms", "link", "diagnosis"})
        for phase in ("download", "upload"):
            start = next(i for i, e in enumerate(events) if e["event"] == "phase_start" and e["phase"] == phase)
            end = next(i for i, e in enumerate(events) if e["event"] == "phase_end" and e["phase"] == phase)
            places = [i for i, e in enumerate(events) if e.get("phase") == phase and e["event"] in ("sample", "latency")]
            self.assertTrue(all(start < i < end for i in places), phase)
            inside = [events[i] for i in places]
            samples = [e for e in inside if e["event"] == "sample"]
            self.assertGreaterEqual(len(samples), SHORT["dl_duration"], phase)
            self.assertTrue(samples[0]["baseline"])
            # The filter's verdicts seen here are the engine's: its lists hold exactly the accepted ones.
            accepted = [e for e in samples if e["accepted"]]
            self.assertEqual(len(accepted), len(result["samples"][phase + "_ftp"]), phase)
            rejected = sum(1 for e in samples if not e["accepted"] and not e["baseline"])
            self.assertEqual(result["counters"][phase]["rejected_samples"], rejected)
            self.assertEqual(events[end]["rejected_samples"], rejected)
            self.assertAlmostEqual(result["counters"][phase]["nic_over_ftp"],
                                   result[phase + "_nic_kbps"] / result[phase + "_kbps"], places=3)
            # The kernel's figures of the phase's own data connections; Wine answers no SIO_TCP_INFO,
            # so under Wine they stay null.
            tcp = result["tcp"][phase]
            if WINE:
                self.assertEqual((tcp["connections"], tcp["rtt_ms"]), (0, None), phase)
            else:
                self.assertEqual(tcp["connections"], result[phase + "_sessions"], phase)
                self.assertGreater(tcp["rtt_ms"], 0, phase)
                if phase == "upload":  # the sending side's figure
                    self.assertGreater(tcp["delivery_rate_kbps"], 0)
                else:
                    self.assertIsNone(tcp["delivery_rate_kbps"])
                self.assertGreaterEqual(tcp["retransmits"], 0, phase)
            echoes = [e for e in inside if e["event"] == "latency"]
            self.assertGreater(len(echoes), 10, phase)
            self.assertEqual(result["latency"][phase]["loss"], 0)
        # A clean path: nothing lost, round trips steady.
        idle = result["latency"]["idle"]
        self.assertEqual(idle["sent"], 5)
        self.assertEqual(idle["loss"], 0)
        self.assertLess(idle["jitter_ms"], 1)
        self.assertEqual(sum(1 for e in events if e["event"] == "latency" and e["phase"] == "idle"), 5)
        self.assertIn(result["latency"]["grade"], ("A+", "A", "B", "C", "D", "F"))

    def test_deep_queue_raises_loaded_latency(self):
        run = Run(SHORT, ["--yes", "--json"], rate="20mbit", latency=300)
        self.assertEqual(run.status, 0, run.explain())
        latency = json.loads(run.out)["latency"]
        print("deep queue:", json.dumps(latency), file=sys.stderr)
        for phase in ("download", "upload"):
            self.assertAlmostEqual(latency[phase]["increase_ms"],
                                   latency[phase]["median_ms"] - latency["idle"]["median_ms"], places=2)
        # Three download sessions fill the queue; the one upload session's 64 KiB send buffer cannot.
        self.assertGreaterEqual(latency["download"]["increase_ms"], 100)
        self.assertIn(latency["grade"], ("C", "D", "F"))

    def test_shallow_queue_keeps_latency_and_csv_matches_its_header(self):
        run = Run(SHORT, ["--yes", "--csv-header"], rate="20mbit", latency=2)
        self.assertEqual(run.status, 0, run.explain())
        rows = list(csv.reader(io.StringIO(run.out)))
        self.assertEqual(len(rows), 2, run.out)
        header, values = rows
        self.assertEqual(len(header), len(values))
        row = dict(zip(header, values))
        print("shallow queue:", {k: v for k, v in row.items() if k.startswith("latency.")}, file=sys.stderr)
        self.assertEqual(row["serial"], run.reports[0]["serial"])
        self.assertEqual(row["download_kbps"], run.reports[0]["fields"]["DL_FTP_speed"])
        for phase in ("download", "upload"):
            self.assertLess(float(row["latency.%s.increase_ms" % phase]), 30, phase)

    def test_a_card_slower_than_the_line_is_the_limit(self):
        run = Run(SHORT, ["--yes", "--csv-header"], rate="150mbit", card=True, script=SLOW_CARD + RUN_AND_FETCH)
        self.assertEqual(run.status, 0, run.explain())
        header, values = list(csv.reader(io.StringIO(run.out)))
        row = dict(zip(header, values))
        # The new columns come after every earlier one.
        self.assertEqual(header[-16:], ["link.medium", "link.speed_kbps", "link.duplex", "link.tx_kbps",
                                        "link.rx_kbps", "link.signal_dbm", "link.signal_quality", "link.band",
                                        "link.channel_width_mhz", "link.standard"] +
                         ["diagnosis.%s.%s" % (d, n) for d in ("download", "upload")
                          for n in ("limit", "evidence", "advice")])
        print("slow card:", {k: v for k, v in row.items() if k.startswith(("link.", "diagnosis."))}, file=sys.stderr)
        self.assertEqual((row["link.medium"], row["link.speed_kbps"], row["link.duplex"]), ("ethernet", "100000", "full"))
        self.assertEqual(row["link.signal_dbm"], "")
        for direction in ("download", "upload"):
            self.assertEqual(row["diagnosis.%s.limit" % direction], "ethernet_link", row["diagnosis.%s.evidence" % direction])
            self.assertIn("乙太網路連結 100.0 Mbit/s 全雙工", row["diagnosis.%s.evidence" % direction])
            self.assertTrue(row["diagnosis.%s.advice" % direction].endswith("。"))

    def test_a_second_transfer_on_the_card_is_other_traffic(self):
        run = Run(SHORT, ["--yes", "--format", "jsonl"], card=True, script=RUN_WITH_SECOND_TRANSFER)
        self.assertEqual(run.status, 0, run.explain())
        events = [json.loads(line) for line in run.out.splitlines()]
        result, last = result_event(run.out), events[-1]
        self.assertEqual(last["event"], "diagnosis")
        print("second transfer: nic/ftp %s, %s" % (result["counters"]["download"]["nic_over_ftp"],
                                                   json.dumps(last, ensure_ascii=False)), file=sys.stderr)
        # The veth's own 10 Gbit/s, read from the real sysfs.
        self.assertEqual((last["link"]["medium"], last["link"]["speed_kbps"]), ("ethernet", 10000000))
        download = last["diagnosis"]["download"]
        self.assertEqual(download["limit"], "other_traffic", download["evidence"])
        self.assertGreaterEqual(result["counters"]["download"]["nic_over_ftp"], 1.15)
        self.assertIn("網卡/傳輸 ", download["evidence"])

    def test_denied_test_shows_its_text_and_exits_10(self):
        run = Run({"test_permission": "F"}, ["--yes"])
        self.assertEqual(run.status, 10)
        self.assertIn(cp950_texts(10)[1], run.err)
        self.assertEqual(run.reports, [])

    def test_unreachable_service_shows_code_6(self):
        run = Run({"faults": {"service_document": "drop"}}, ["--yes", "--json"])
        self.assertEqual(run.status, 6)
        result = json.loads(run.out)
        self.assertEqual(result["error_code"], 6)
        self.assertEqual((result["error_caption"], result["error_text"]), cp950_texts(6))

    def test_missing_test_document_makes_a_fallback_run_without_report(self):
        run = Run({"faults": {"test_document": "missing"}}, ["--yes"], rate="50mbit")
        self.assertEqual(run.status, 9, run.err)
        self.assertIn("預設值", run.out)
        self.assertRegex(run.out, r"下載速率  \d+\.\d\d Mbps")
        self.assertEqual(run.reports, [])

    def test_refused_report_exits_5(self):
        run = Run(dict(SHORT, faults={"report": "empty_result_url"}), ["--yes"], rate="50mbit")
        self.assertEqual(run.status, 5, run.err)
        self.assertIn("沒有被服務接受", run.out)

    def test_ftp_server_down_shows_code_7(self):
        run = Run(dict(SHORT, ftp_host="127.0.0.3"), ["--yes"])
        self.assertEqual(run.status, 7)
        caption, text = cp950_texts(7)
        self.assertIn(caption, run.err)
        self.assertIn(text, run.err)

    def test_without_save_nothing_is_written(self):
        with StateFolders() as state:
            run = Run(SHORT, ["--yes"], rate="50mbit", environment=state.environment)
            self.assertEqual(run.status, 0, run.explain())
            self.assertEqual(state.files(), ["home"])

    def test_save_twice_then_history_lists_both(self):
        with StateFolders() as state:
            measured = Run(SHORT, ["--yes", "--save"], rate="50mbit", environment=state.environment)
            self.assertEqual(measured.status, 0, measured.err)
            self.assertIn("結果已存入測速紀錄 " + state.history, measured.out)
            # A failed run is kept too, with its code: saved whatever format is shown.
            failed = Run(dict(SHORT, ftp_host="127.0.0.3"), ["--yes", "--json", "--save"],
                         environment=state.environment)
            self.assertEqual(failed.status, 7, failed.err)
            self.assertEqual(os.stat(os.path.dirname(state.history)).st_mode & 0o777, 0o700)
            with open(state.history, encoding="utf-8") as f:
                lines = f.read().splitlines()
            self.assertEqual(len(lines), 2)
            stored = json.loads(lines[1])
            self.assertRegex(stored.pop("saved_at"), r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
            self.assertEqual(stored, json.loads(failed.out))

            shown = state.cli("--history")
            self.assertEqual(shown.returncode, 0, shown.stderr)
            serial = measured.reports[0]["serial"]
            self.assertIn("最近 2 次測速", shown.stdout)
            self.assertRegex(shown.stdout, r"\n\d{4}-\d\d-\d\d \d\d:\d\d +\d+\.\d\d +\d+\.\d\d +\d+\.\d +0  %s\n" % serial)
            self.assertRegex(shown.stdout, r"\n\d{4}-\d\d-\d\d \d\d:\d\d +- +- +[-\d.]+ +7\n")
            # The failed run is a gap in each direction's line and stays out of the median.
            first = json.loads(lines[0])
            for label, name in (("下載", "download_kbps"), ("上傳", "upload_kbps")):
                self.assertIn("%s  █   中位數 %.2f Mbps\n" % (label, first[name] / 1000), shown.stdout)
            exported = state.cli("--history", "5", "--format", "json")
            self.assertEqual([run["error_code"] for run in json.loads(exported.stdout)], [0, 7])
            self.assertEqual(shown.stderr + exported.stderr, "")

    def test_a_save_that_fails_is_told_and_the_status_stays_the_tests(self):
        with StateFolders() as state:
            # The state folder's place is taken by a file: no folder can be made there.
            with open(state.environment["XDG_STATE_HOME"], "w") as f:
                f.write("not a folder")
            run = Run({"faults": {"service_document": "drop"}}, ["--yes", "--save"], environment=state.environment)
            self.assertEqual(run.status, 6, run.err)
            self.assertIn("無法把這次的結果存入測速紀錄 " + state.history + "：", run.err.splitlines()[-1])

    # Paths with distance: the routed test bed, its emulator between the console and the service.
    def events(self, run):
        return [json.loads(line) for line in run.out.splitlines()]

    def phase(self, events, name):
        start = next(e["t_ms"] for e in events if e["event"] == "phase_start" and e["phase"] == name)
        end = next(e["t_ms"] for e in events if e["event"] == "phase_end" and e["phase"] == name)
        return start, end

    def test_outage_in_the_download_is_survived(self):
        # The download starts about 10 s into the run (the idle echoes, the logins); from 12.5 s the
        # path carries nothing for 3 s, after all three sessions have started. An 8 s download keeps the
        # outage inside its first seconds: a second that moved nothing once the phase's time is up ends the
        # sessions by the sample rules, and the run with code 2 (the case below).
        config = dict(SHORT, dl_duration=8)
        run = Run(config, ["--yes", "--format", "jsonl"], rate="100mbit", path=["--rtt", "40", "--outage", "12.5:3"])
        print("outage in the download: %.1f s in all" % run.seconds, file=sys.stderr)
        self.assertEqual(run.status, 0, run.explain())
        events = self.events(run)
        result = result_event(run.out)
        self.assertEqual(result["error_code"], 0)
        self.assertTrue(run.reports[0]["accepted"])
        start, end = self.phase(events, "download")
        self.assertLess(start + 1500, 12500, "the window opened after the sessions had started")
        self.assertGreater(end, 15500, "the download lasted past the window")
        self.assertGreater(run.path["down"]["dropped_outage"], 0)
        self.assertLessEqual(end - start, (config["dl_duration"] + 10) * 1000 + 1000)
        # The lost seconds count as the sample rules say: a rejected sample adds neither time nor bytes,
        # an accepted one its whole interval, the outage's seconds included. Bytes held behind the
        # outage's hole are read after it, so the transfer's figure is bounded by the adapter's.
        samples = [e for e in events if e["event"] == "sample" and e["phase"] == "download"]
        seconds = bits = nic_bits = 0.0
        for before, sample in zip(samples, samples[1:]):
            if sample["accepted"]:
                dt = (sample["elapsed_ms"] - before["elapsed_ms"]) / 1000
                seconds += dt
                bits += sample["ftp_kbps"] * dt
                nic_bits += sample["nic_kbps"] * dt
        # On a busy machine the run reaches the download later and the outage falls near its end;
        # then the watch loop's limit ends the phase, with the rate of the seconds measured so far.
        self.assertGreaterEqual(seconds, 0.3 * config["dl_duration"])
        self.assertAlmostEqual(result["download_kbps"] / (min(bits, nic_bits) / seconds), 1, delta=0.01)
        self.assertGreater(result["upload_kbps"], 50000)
        self.assertLess(run.seconds, 60)

    def test_outage_outlasting_the_download_gives_code_2(self):
        run = Run(SHORT, ["--yes", "--format", "jsonl"], rate="100mbit", path=["--rtt", "40", "--outage", "12.5:40"])
        print("outage outlasting the download: %.1f s in all" % run.seconds, file=sys.stderr)
        self.assertEqual(run.status, 2, run.err)
        events = self.events(run)
        self.assertEqual(result_event(run.out)["error_code"], 2)
        self.assertEqual(result_event(run.out)["error_caption"], cp950_texts(2)[0])
        self.assertNotIn(("phase_start", "upload"), [(e["event"], e.get("phase")) for e in events])
        # The watch loop's limit, counted once the sessions run; the bed then ends while the outage lasts.
        start, end = self.phase(events, "download")
        self.assertLessEqual(end - start, (SHORT["dl_duration"] + 10) * 1000 + 3000)
        self.assertEqual(run.reports, [])
        self.assertLess(run.seconds, 45)

    def test_satellite_path_gives_a_result(self):
        # 600 ms and 20 Mbit/s: each FTP login's round trips alone take seconds, every request of the
        # run more than one (the shortest phases keep the run near 50 s).
        run = Run({"dl_duration": 3, "ul_duration": 3}, ["--yes", "--json"], rate="20mbit", path=["--rtt", "600"])
        print("satellite: %.1f s in all" % run.seconds, file=sys.stderr)
        self.assertEqual(run.status, 0, run.explain())
        result = json.loads(run.out)
        print("satellite:", {k: result[k] for k in ("download_kbps", "upload_kbps", "rtt")}, file=sys.stderr)
        self.assertEqual(result["error_code"], 0)
        self.assertLessEqual(abs(result["latency"]["idle"]["min_ms"] - 600), 1)
        self.assertGreater(result["download_kbps"], 0)
        # The adapter cannot have carried more than the line (its frames are what the line's rate counts;
        # its counter is read a moment after each sample's time), nor the transfer more than the adapter,
        # although on this path bytes wait behind lost segments for a round trip before they are read.
        self.assertLess(result["download_nic_kbps"], 20000 * 1.02)
        self.assertLessEqual(result["download_kbps"], result["download_nic_kbps"])
        self.assertTrue(run.reports[0]["accepted"])

    def test_loaded_latency_on_a_real_path(self):
        # A 300 ms queue in the router at 20 Mbit/s, behind 40 ms of distance.
        run = Run(SHORT, ["--yes", "--json"], rate="20mbit", latency=300, path=["--rtt", "40"])
        print("loaded latency on the path: %.1f s in all" % run.seconds, file=sys.stderr)
        self.assertEqual(run.status, 0, run.explain())
        latency = json.loads(run.out)["latency"]
        print("loaded latency on the path:", json.dumps(latency), file=sys.stderr)
        # Idle, the echoes measure the distance alone (whole milliseconds): the quickest within one of
        # it; the median may carry a busy machine's wake-ups of the console's own thread.
        self.assertLessEqual(abs(latency["idle"]["min_ms"] - 40), 1)
        self.assertLessEqual(abs(latency["idle"]["median_ms"] - 40), 3)
        self.assertGreaterEqual(latency["download"]["increase_ms"], 100)
        self.assertIn(latency["grade"], ("C", "D", "F"))

    def test_lossy_path_reports_its_echo_loss(self):
        # 0.5 % of the frames each way: an echo, which crosses twice, is lost about 1 % of the time.
        run = Run(SHORT, ["--yes", "--json"], rate="100mbit", path=["--rtt", "40", "--loss", "0.5"])
        print("lossy path: %.1f s in all" % run.seconds, file=sys.stderr)
        self.assertEqual(run.status, 0, run.explain())
        latency = json.loads(run.out)["latency"]
        stats = [latency[p] for p in ("idle", "download", "upload")]
        sent = sum(s["sent"] for s in stats)
        lost = sum(round(s["sent"] * s["loss"]) for s in stats)
        dropped = run.path["up"]["echo_dropped"] + run.path["down"]["echo_dropped"]
        print("lossy path: %d of %d echoes lost, the path dropped %d" % (lost, sent, dropped), file=sys.stderr)
        self.assertGreater(sent, 80)
        # Every echo the path dropped is one the console counts lost, but for those still under way
        # when a phase ended (and the sequence's uncounted first echo).
        self.assertLessEqual(lost, dropped)
        self.assertLessEqual(dropped, lost + 3)
        # About one lost in a hundred: eight or more would happen once in a hundred thousand runs.
        self.assertLess(lost / sent, 0.08)
        for direction in ("up", "down"):
            d = run.path[direction]
            self.assertGreater(d["dropped_loss"], 0, direction)

    def assertHoldsNoCapability(self, run):
        self.assertTrue(run.caps, "the program had ended before its first line was read")
        for thread, sets in run.caps.items():
            for name in ("CapEff", "CapPrm", "CapInh", "CapAmb"):
                self.assertEqual(sets[name], 0, "%s of thread %s" % (name, thread))

    def assertMeasuredLatency(self, run):
        self.assertEqual(run.status, 0, run.err)
        result = run.result()
        self.assertIsNone(result["latency"]["error"])
        self.assertGreaterEqual(result["ping_avg_ms"], 0, result["rtt"])
        self.assertEqual((result["latency"]["idle"]["sent"], result["latency"]["idle"]["loss"]), (5, 0))
        # The loaded-latency stream keeps several echoes under way at once, on the same socket.
        for phase in ("download", "upload"):
            self.assertGreater(result["latency"][phase]["sent"], 10, phase)
            self.assertEqual(result["latency"][phase]["loss"], 0, phase)
        return result

    def test_ordinary_user_with_the_capability_holds_none_and_measures_latency(self):
        run = UserRun(["--yes", "--format", "jsonl"], capability=True)
        self.assertHoldsNoCapability(run)
        result = self.assertMeasuredLatency(run)
        print("with cap_net_raw: rtt %s, loaded medians %s / %s ms" % (
            result["rtt"], result["latency"]["download"]["median_ms"], result["latency"]["upload"]["median_ms"]),
            file=sys.stderr)

    def test_ordinary_user_with_datagram_echo_measures_latency(self):
        run = UserRun(["--yes", "--format", "jsonl"], datagram=True)
        self.assertHoldsNoCapability(run)
        result = self.assertMeasuredLatency(run)
        print("with datagram echo: rtt %s" % result["rtt"], file=sys.stderr)

    def test_ordinary_user_without_either_is_told_why(self):
        human = UserRun(["--yes"])
        self.assertEqual(human.status, 11, human.err)
        why = human.err.splitlines()[-1]
        for part in ("cap_net_raw", "zelvo-speedtest 套件", "net.ipv4.ping_group_range"):
            self.assertIn(part, why)
        machine = UserRun(["--yes", "--json"])
        self.assertEqual(machine.status, 11, machine.err)
        result = json.loads(machine.out)
        self.assertEqual((result["error_code"], result["latency"]["error"]), (11, why))

    def test_ctrl_c_in_the_latency_gate_ends_within_a_second(self):
        # The probe host stays silent (echo replies off in the namespace), so the engine sits in its
        # 15 s latency gate when the interrupt comes.
        script = r'''
ip netns exec "$ZELVO_TESTBED_SERVER_NS" sysctl -qw net.ipv4.icmp_echo_ignore_all=1
${ZELVO_WINE:+"$ZELVO_WINE"} "$ZELVO_CLI" --yes >/dev/null 2>&1 &
pid=$!
sleep "$GATE_REACHED"
kill -INT $pid
sent=$(date +%s%N)
wait $pid
echo $? >"$RESULT_DIR/status"
echo $(( ($(date +%s%N) - sent) / 1000000 )) >"$RESULT_DIR/ms"
'''
        out = tempfile.mkdtemp(prefix="zelvo-cli-")
        # Wine takes a few seconds more to start the program.
        env = dict(os.environ, ZELVO_CLI=CLI, RESULT_DIR=out, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                   GATE_REACHED="8" if WINE else "4", **wine_environment(out))
        try:
            subprocess.run([TESTBED] + REMOTE + ["--", "bash", "-c", script], env=env, timeout=120, check=True)
            with open(os.path.join(out, "status")) as f:
                status = int(f.read())
            with open(os.path.join(out, "ms")) as f:
                waited = int(f.read())
        finally:
            shutil.rmtree(out, ignore_errors=True)
        self.assertEqual(status, 130)
        # A sanitizer build starts and ends its threads several times slower.
        libraries = "" if WINE else subprocess.run(["ldd", CLI], capture_output=True, text=True, timeout=30).stdout
        limit = 2500 if "libtsan" in libraries or "libasan" in libraries else 1000
        self.assertLess(waited, limit, "%d ms" % waited)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("skipped: needs root for the test bed")
        sys.exit(77)
    unittest.main()
