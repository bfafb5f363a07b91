#!/usr/bin/env python3
"""The console front-end run whole in the test bed: its JSON checked against the report the service
decoded, and every way a run can fail shown with its texts and exit status. Needs root; exits 77
(skipped) otherwise."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLI = os.environ.get("ZELVO_CLI", os.path.join(TOP, "build", "cli", "zelvo-speedtest-cli"))
TESTBED = os.path.join(TOP, "scripts", "testbed")

# Inside the namespace: run the client, then fetch what the service decoded.
RUN_AND_FETCH = r'''
"$ZELVO_CLI" "$@" >"$ZELVO_TESTBED_DIR/out" 2>"$ZELVO_TESTBED_DIR/err"
echo $? >"$ZELVO_TESTBED_DIR/status"
python3 -c 'import urllib.request; print(urllib.request.urlopen("http://127.0.0.1/zelvo/_reports", timeout=5).read().decode())' >"$ZELVO_TESTBED_DIR/reports"
cp "$ZELVO_TESTBED_DIR/out" "$ZELVO_TESTBED_DIR/err" "$ZELVO_TESTBED_DIR/status" "$ZELVO_TESTBED_DIR/reports" "$RESULT_DIR"/
'''


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


class Run:
    def __init__(self, service_config, args, rate=None):
        self.dir = tempfile.mkdtemp(prefix="zelvo-cli-")
        config = os.path.join(self.dir, "service.json")
        with open(config, "w") as f:
            json.dump(service_config, f)
        env = dict(os.environ, ZELVO_SERVICE_CONFIG=config, ZELVO_CLI=CLI, RESULT_DIR=self.dir,
                   LANG="C.UTF-8", LC_ALL="C.UTF-8")
        command = [TESTBED] + (["--rate", rate] if rate else []) + ["--", "bash", "-c", RUN_AND_FETCH,
                                                                    "run"] + args
        subprocess.run(command, env=env, timeout=240, check=True)
        self.out = self.read("out")
        self.err = self.read("err")
        self.status = int(self.read("status"))
        self.reports = json.loads(self.read("reports") or "[]")

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""


SHORT = {"dl_duration": 4, "ul_duration": 4}


@unittest.skipUnless(os.geteuid() == 0, "needs root for the test bed")
class EndToEnd(unittest.TestCase):
    def test_json_matches_the_decoded_report(self):
        run = Run(SHORT, ["--yes", "--json"], rate="50mbit")
        self.assertEqual(run.status, 0, run.err)
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
        self.assertEqual(run.status, 0, run.err)
        self.assertRegex(run.out, r"下載速率  \d+\.\d\d Mbps")
        self.assertRegex(run.out, r"上傳速率  \d+\.\d\d Mbps")
        self.assertIn("測試序號  " + run.reports[0]["serial"], run.out)
        self.assertIn("/zelvo/result?serial=", run.out)

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

    def test_ctrl_c_in_the_latency_gate_ends_within_a_second(self):
        # The probe host stays silent (echo replies off in the namespace), so the engine sits in its
        # 15 s latency gate when the interrupt comes.
        script = r'''
sysctl -qw net.ipv4.icmp_echo_ignore_all=1
"$ZELVO_CLI" --yes >/dev/null 2>&1 &
pid=$!
sleep 4
kill -INT $pid
sent=$(date +%s%N)
wait $pid
echo $? >"$RESULT_DIR/status"
echo $(( ($(date +%s%N) - sent) / 1000000 )) >"$RESULT_DIR/ms"
'''
        out = tempfile.mkdtemp(prefix="zelvo-cli-")
        env = dict(os.environ, ZELVO_CLI=CLI, RESULT_DIR=out, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        subprocess.run([TESTBED, "--", "bash", "-c", script], env=env, timeout=120, check=True)
        with open(os.path.join(out, "status")) as f:
            self.assertEqual(int(f.read()), 130)
        with open(os.path.join(out, "ms")) as f:
            waited = int(f.read())
            self.assertLess(waited, 1000, "%d ms" % waited)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("skipped: needs root for the test bed")
        sys.exit(77)
    unittest.main()
