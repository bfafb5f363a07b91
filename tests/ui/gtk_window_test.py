#!/usr/bin/env python3
"""The window program on a virtual display against the test bed: the terms page is agreed to with the
keyboard, the run ends in a report the service accepted, the window still answers, a second copy
hands over to it, T runs the test again, and Q ends it with 0.

Outside the namespace it starts Xvfb and scripts/testbed; inside (--inside) it drives the window."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77
TITLE = "Kestrova"


def fail(message):
    print("FAIL:", message, flush=True)
    sys.exit(1)


def reports():
    try:
        with urllib.request.urlopen("http://127.0.0.1/zelvo/_reports", timeout=5) as r:
            return json.loads(r.read().decode("utf-8") or "[]")
    except OSError:
        return []


def screenshot(path):
    subprocess.run(["import", "-window", "root", "PNG:" + path], check=True, timeout=30)
    # A window that draws nothing leaves one flat colour; the pages always have pictures and text.
    spread = subprocess.run(["identify", "-format", "%[fx:standard_deviation]", path], capture_output=True,
                            text=True, timeout=30).stdout.strip()
    return float(spread or 0)


def xdotool(*args, check=True):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30, check=check).stdout


def inside(program, shots):
    log = open(os.path.join(shots, "program.log"), "w")
    proc = subprocess.Popen([program], stdout=log, stderr=subprocess.STDOUT)
    window = None
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not window:
        window = xdotool("search", "--name", TITLE, check=False).split()
        if proc.poll() is not None:
            fail("the program ended before its window appeared (status %d)" % proc.returncode)
        time.sleep(0.2)
    if not window:
        fail("no window titled %r" % TITLE)
    window = window[0]
    geometry = xdotool("getwindowgeometry", window)
    if "520x420" not in geometry:
        fail("window geometry is not 520x420: " + geometry)

    # A (agree) counts only on the terms page and N (go on) only on the announcement that follows it;
    # on every other page of the run both do nothing, so the pair is pressed until the report arrived.
    # The picture before each press is kept.
    n = 0
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not reports():
        n += 1
        path = os.path.join(shots, "shot-%03d.png" % n)
        if screenshot(path) < 0.01:
            fail("screen %s is a flat colour" % path)
        xdotool("windowfocus", "--sync", window, check=False)
        xdotool("key", "a", check=False)
        xdotool("key", "n", check=False)
        if proc.poll() is not None:
            fail("the program ended during the run (status %d)" % proc.returncode)
        time.sleep(0.5)
    got = reports()
    if len(got) != 1:
        fail("expected one report, got %d" % len(got))
    time.sleep(1.5)  # the result page follows the accepted report
    if screenshot(os.path.join(shots, "result.png")) < 0.01:
        fail("the result page is a flat colour")

    # Still answering: the pointer over the window and a key without a binding change nothing.
    xdotool("mousemove", "--window", window, "260", "200", check=False)
    xdotool("key", "x", check=False)
    time.sleep(0.5)
    if proc.poll() is not None:
        fail("the program ended on the result page (status %d)" % proc.returncode)
    # A second copy hands over to this one and leaves at once, without a window of its own.
    try:
        second = subprocess.run([program], capture_output=True, timeout=15)
    except subprocess.TimeoutExpired:
        fail("a second copy did not leave")
    if second.returncode != 0:
        fail("a second copy ended with %d" % second.returncode)
    if len(xdotool("search", "--name", TITLE, check=False).split()) != 1:
        fail("a second copy left a window of its own")
    if proc.poll() is not None:
        fail("the first copy ended when the second started (status %d)" % proc.returncode)
    # Test again (T): the repeated run goes straight to the testing page and reports once more.
    xdotool("windowfocus", "--sync", window, check=False)
    xdotool("key", "t")
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline and len(reports()) < 2:
        if proc.poll() is not None:
            fail("the program ended during the repeated run (status %d)" % proc.returncode)
        time.sleep(0.5)
    if len(reports()) != 2:
        fail("the repeated run sent no report")
    time.sleep(1.5)
    if screenshot(os.path.join(shots, "result-again.png")) < 0.01:
        fail("the second result page is a flat colour")

    xdotool("windowfocus", "--sync", window, check=False)
    xdotool("key", "q")
    try:
        status = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        fail("Q on the result page did not end the program")
    if status != 0:
        fail("exit status %d after Q" % status)
    print("ok: %d screens before the report, report %s" % (n, json.dumps(got[0], ensure_ascii=False)[:200]))


def outside(program):
    if os.geteuid() != 0:
        print("SKIP: needs root for the test bed")
        sys.exit(SKIP)
    for tool in ("Xvfb", "xdotool", "import", "identify"):
        if not shutil.which(tool):
            print("SKIP: %s is missing" % tool)
            sys.exit(SKIP)
    work = tempfile.mkdtemp(prefix="zelvo-gtk-")
    shots = os.environ.get("ZELVO_SCREENSHOTS") or os.path.join(work, "shots")
    os.makedirs(shots, exist_ok=True)
    config = os.path.join(work, "service.json")
    with open(config, "w") as f:
        json.dump({"dl_duration": 3, "ul_duration": 3}, f)
    # Xvfb picks a free display itself and tells which through the pipe.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten",
                             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        with os.fdopen(read_end) as f:
            display = f.readline().strip()
        if not display:
            fail("Xvfb did not start")
        env = dict(os.environ, DISPLAY=":" + display, ZELVO_SERVICE_CONFIG=config, LANG="C.UTF-8",
                   LC_ALL="C.UTF-8", GDK_BACKEND="x11", NO_AT_BRIDGE="1")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        result = subprocess.run([os.path.join(TOP, "scripts", "testbed"), "--rate", "100mbit", "--", sys.executable,
                                 os.path.abspath(__file__), "--inside", program, shots], env=env, timeout=280)
        print("screenshots in", shots)
        sys.exit(result.returncode)
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--inside":
        inside(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 2:
        outside(os.path.abspath(sys.argv[1]))
    else:
        print("usage: gtk_window_test.py PROGRAM", file=sys.stderr)
        sys.exit(2)
