#!/usr/bin/env python3
"""The test bed's path with distance (scripts/testbed --rtt): the round trip it adds, the share of
frames it loses, its outage windows, and that a run leaves nothing behind however it ends. Needs root;
exits 77 (skipped) otherwise."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTBED = os.path.join(TOP, "scripts", "testbed")
SERVICE = "192.0.2.2"


def testbed(path, script, timeout=60, **kwargs):
    """Runs a shell script in the client's namespace of a routed test bed; returns (status, stdout,
    the emulator's figures by direction)."""
    done = subprocess.run([TESTBED] + path + ["--", "bash", "-c", script], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    return done.returncode, done.stdout, figures(done.stderr)


def figures(text):
    """The emulator's closing figures: {"up": {...}, "down": {...}, "end": {...}}."""
    out = {}
    for line in text.splitlines():
        m = re.match(r"pathemu (up|down|end): (.*)", line)
        if m:
            out[m.group(1)] = {k: float(v) for k, v in re.findall(r"(\w+)=([0-9.]+)", m.group(2))}
    return out


def echoes(ping_output):
    """Sequence number to round trip in ms of every answered echo."""
    return {int(s): float(t) for s, t in re.findall(r"icmp_seq=(\d+) ttl=\d+ time=([0-9.]+) ms", ping_output)}


@unittest.skipUnless(os.geteuid() == 0, "needs root for the test bed")
class PathEmulator(unittest.TestCase):
    def test_round_trip_and_loss(self):
        # 2000 echoes each way: the loss share is judged on thousands of frames, never on a handful.
        status, out, f = testbed(["--rtt", "40", "--loss", "5"], "ping -n -q -i 0.002 -c 2000 -W 2 %s >/dev/null;"
                                 " ping -n -i 0.05 -c 40 %s" % (SERVICE, SERVICE))
        self.assertEqual(status, 0, out)
        times = sorted(echoes(out).values())
        print("round trips (ms): min %.2f median %.2f max %.2f; figures %s" % (
            times[0], times[len(times) // 2], times[-1], f), file=sys.stderr)
        # Never early, and the path alone within a millisecond of the asked round trip (the quickest
        # echo: on a busy machine the kernel's own packet processing waits its turn and adds to others).
        self.assertGreaterEqual(times[0], 40.0)
        self.assertLess(times[0], 41.0)
        for direction in ("up", "down"):
            d = f[direction]
            share = d["dropped_loss"] / (d["forwarded"] + d["dropped_loss"])
            # 5 % of about 2000 frames: a binomial sd of 0.5 %; these bounds are four of them away.
            self.assertGreater(share, 0.03, direction)
            self.assertLess(share, 0.07, direction)
            self.assertEqual(d["dropped_outage"] + d["dropped_queue_full"] + d["dropped_oversize"], 0, direction)

    def test_outage_drops_everything_for_its_window(self):
        # An echo every 20 ms for 3 s; from second 1 for 1 s nothing passes.
        status, out, f = testbed(["--rtt", "10", "--outage", "1:1"],
                                 "date +%%s.%%N; ping -D -n -i 0.02 -c 150 -W 1 %s" % SERVICE)
        start = float(out.split()[0])
        replies = {int(s): float(t) for t, s in re.findall(r"\[([0-9.]+)\] \d+ bytes from .* icmp_seq=(\d+)", out)}
        lost = [s for s in range(1, 151) if s not in replies]
        before, after = replies[lost[0] - 1], replies[lost[-1] + 1]
        print("lost echoes %d..%d (%d), silent from %.3f s to %.3f s; figures %s" % (
            lost[0], lost[-1], len(lost), before - start, after - start, f), file=sys.stderr)
        self.assertEqual(lost, list(range(lost[0], lost[-1] + 1)), "one unbroken gap")
        # Silent for the window (plus at most an echo's spacing and its round trip), opening about a
        # second into the command: the emulator's clock starts once the bed is up, which on a busy
        # machine is a moment before the command runs (0.84 s seen).
        self.assertGreaterEqual(after - before, 1.0)
        self.assertLess(after - before, 1.1)
        self.assertGreater(before - start, 0.7)
        self.assertLess(before - start, 1.2)
        self.assertEqual(f["up"]["echo_dropped"] + f["down"]["echo_dropped"], len(lost))
        self.assertEqual(f["up"]["dropped_loss"] + f["down"]["dropped_loss"], 0)

    def test_leaves_nothing_behind_however_it_ends(self):
        with tempfile.TemporaryDirectory(prefix="zelvo-pathemu-test-") as d:
            record = os.path.join(d, "bed")
            script = ('echo "$ZELVO_TESTBED_NS $ZELVO_TESTBED_ROUTER_NS $ZELVO_TESTBED_SERVER_NS $ZELVO_TESTBED_DIR '
                      '$(ip netns pids $ZELVO_TESTBED_ROUTER_NS | tr \'\\n\' \' \')" >%s; ' % record)
            # A passing and a failing command: the status comes back, and the bed is gone.
            for wanted in (0, 3):
                status, _, f = testbed(["--rtt", "20"], script + "exit %d" % wanted)
                self.assertEqual(status, wanted)
                self.assertIn("end", f, "the emulator printed its figures")
                self.assertLeftNothing(record)
            # An interrupted one: the bed is told to end while its command sleeps.
            bed = subprocess.Popen([TESTBED, "--rtt", "20", "--loss", "1", "--", "bash", "-c", script + "sleep 60"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            try:
                for _ in range(600):
                    if os.path.exists(record) and os.path.getsize(record) > 0:
                        break
                    time.sleep(0.05)
                bed.send_signal(signal.SIGINT)
                _, err = bed.communicate(timeout=30)
            finally:
                if bed.poll() is None:  # still its own clean-up, never a kill that would skip it
                    bed.terminate()
                    bed.wait(timeout=30)
            self.assertEqual(bed.returncode, 130)
            self.assertIn("end", figures(err), "the emulator printed its figures")
            self.assertLeftNothing(record)

    def assertLeftNothing(self, record):
        with open(record) as f:
            fields = f.read().split()
        client, router, server, work = fields[:4]
        emulator = [int(p) for p in fields[4:]]
        os.unlink(record)
        self.assertTrue(emulator, "the emulator ran in the router's namespace")
        names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, check=True).stdout.split()
        for ns in (client, router, server):
            self.assertTrue(ns.startswith("zelvo-tb-"), ns)
            self.assertNotIn(ns, names)
        self.assertFalse(os.path.exists(work), work)
        for pid in emulator:
            self.assertFalse(os.path.exists("/proc/%d" % pid), pid)


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("skipped: needs root for the test bed")
        sys.exit(77)
    unittest.main()
