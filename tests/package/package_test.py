#!/usr/bin/env python3
"""The Debian package, end to end, as root: scripts/package builds it; lintian finds no errors; the
desktop entry and the metainfo validate; apt installs it; the installed console program runs a whole
test in the test bed, as root and as an ordinary user (whose latency probe needs the package's
capability), and holds no capability after its start-up; the installed window starts on a virtual
display, as an ordinary user, shows its connecting page, holds no capability and has its echoes
answered; apt purges it and nothing of it is left. The package is purged on every way out."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OBSERVE = os.path.join(TOP, "tests", "support", "run_observed.py")
sys.path.insert(0, os.path.dirname(OBSERVE))
from run_observed import capability_sets  # noqa: E402
SKIP = 77
PACKAGE = "zelvo-speedtest"
APP_ID = "tw.zelvo.speedtest"
USER = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def fail(message):
    print("FAIL:", message, flush=True)
    sys.exit(1)


def step(message):
    print("--", message, flush=True)


def run(*args, check=True, **kwargs):
    kwargs.setdefault("timeout", 600)
    done = subprocess.run(list(args), capture_output=True, text=True, **kwargs)
    if check and done.returncode != 0:
        fail("%s exited %d:\n%s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr))
    return done


def apt(*args):
    # Another apt may hold the lock for a while.
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for _ in range(30):
        done = run("apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=60", *args, check=False, env=env)
        if done.returncode == 0:
            return done
        if "lock" not in done.stderr:
            break
        time.sleep(5)
    fail("apt-get %s exited %d:\n%s%s" % (" ".join(args), done.returncode, done.stdout, done.stderr))


def installed():
    return "install ok installed" in run("dpkg-query", "-W", "-f=${Status}", PACKAGE, check=False).stdout


def purge():
    if run("dpkg-query", "-W", PACKAGE, check=False).returncode == 0:
        apt("purge", PACKAGE)


def build():
    version = re.search(r"project\(zelvo-speedtest VERSION ([0-9.]+)", open(os.path.join(TOP, "CMakeLists.txt")).read())
    arch = run("dpkg", "--print-architecture").stdout.strip()
    deb = os.path.join(TOP, "dist", "%s_%s_%s.deb" % (PACKAGE, version.group(1), arch))
    changes = os.path.join(TOP, "dist", "%s_%s_%s.changes" % (PACKAGE, version.group(1), arch))
    for old in (deb, changes):
        if os.path.exists(old):
            os.remove(old)
    env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=2 noautodbgsym")
    started = time.monotonic()
    run(os.path.join(TOP, "scripts", "package"), env=env, timeout=1800)
    step("package built in %.0f s" % (time.monotonic() - started))
    if not os.path.exists(deb) or not os.path.exists(changes):
        fail("scripts/package left no %s" % deb)
    return deb, changes


def lint(changes, deb):
    done = run("lintian", "--fail-on", "error", "--display-info", changes, check=False)
    print(done.stdout + done.stderr, flush=True)
    if done.returncode != 0 or re.search(r"^E: ", done.stdout, re.M):
        fail("lintian reports errors")
    # The whole tree as AppStream sees it: metainfo, desktop entry and icon agree.
    with tempfile.TemporaryDirectory() as root:
        run("dpkg-deb", "-x", deb, root)
        done = run("appstreamcli", "validate-tree", "--no-net", root, check=False)
        if done.returncode != 0:
            fail("appstreamcli validate-tree:\n" + done.stdout + done.stderr)


def check_installed_files():
    run("desktop-file-validate", "/usr/share/applications/%s.desktop" % APP_ID)
    run("appstreamcli", "validate", "--no-net", "/usr/share/metainfo/%s.metainfo.xml" % APP_ID)
    for size in (16, 24, 32, 48, 64, 128, 256):
        icon = "/usr/share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID)
        if not os.path.exists(icon):
            fail("no icon " + icon)
    for program in ("/usr/bin/zelvo-speedtest", "/usr/bin/zelvo-speedtest-cli"):
        caps = run("getcap", program).stdout
        if "cap_net_raw" not in caps:
            fail("%s has no cap_net_raw: %r" % (program, caps))
        if os.stat(program).st_mode & 0o6000:
            fail(program + " is set-user-ID or set-group-ID")
        run("man", "-l", "-Tutf8", "/usr/share/man/man1/%s.1.gz" % os.path.basename(program))


def check_no_capability(caps, who, bounding):
    """Every thread's effective, permitted, inheritable and ambient sets are empty (and the bounding
    set, which only a process started with CAP_SETPCAP, as root, may empty)."""
    if not caps:
        fail("%s: the program had ended before its capabilities were read" % who)
    names = ("CapEff", "CapPrm", "CapInh", "CapAmb") + (("CapBnd",) if bounding else ())
    for thread, sets in caps.items():
        held = {name: "%x" % sets[name] for name in names if sets[name]}
        if held:
            fail("%s: thread %s still holds capabilities %s" % (who, thread, held))


def whole_test(user):
    who = user or "root"
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        observed = os.path.join(work, "observed.json")
        done = run(os.path.join(TOP, "scripts", "testbed"), "--rate", "50mbit", "--", sys.executable, OBSERVE,
                   "--out", observed, *(["--user", user] if user else []), "--", "/usr/bin/zelvo-speedtest-cli",
                   "--yes", "--format", "jsonl", check=False, cwd=work, timeout=300)
        if done.returncode != 0 or not os.path.exists(observed):
            fail("the test bed for %s exited %d:\n%s%s" % (who, done.returncode, done.stdout, done.stderr[-3000:]))
        with open(observed, encoding="utf-8") as f:
            observed = json.load(f)
    if observed["status"] != 0:
        fail("the installed console program as %s exited %d:\n%s%s" % (who, observed["status"], observed["out"],
                                                                       observed["err"][-3000:]))
    check_no_capability(observed["caps"], "the console program as " + who, bounding=not user)
    # The result event; the link facts and the diagnosis follow it.
    result = next(e for e in map(json.loads, observed["out"].splitlines()) if e.get("event") == "result")
    if result.get("ping_avg_ms", -1) < 0:
        fail("no echo reply as %s: %r (%s)" % (who, result.get("rtt"), result["latency"].get("error")))
    step("whole test as %s: exit 0, average round trip %s ms, no capability in its %d threads"
         % (who, result["ping_avg_ms"], len(observed["caps"])))


def icmp_counters(pid):
    """The ICMP counters of the network namespace the process lives in."""
    with open("/proc/%d/net/snmp" % pid) as f:
        rows = [line.split() for line in f if line.startswith("Icmp:")]
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


SILENT_SERVICE = """
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 80)); s.listen(8)
held = []
while True:
    held.append(s.accept()[0])
"""


def window(shots):
    """In a namespace of its own whose service accepts and never answers, the window stays on its
    connecting page. It runs as an ordinary user, so GTK meets the capability's secure execution."""
    # Xvfb picks a free display itself and tells which through the pipe.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten",
                             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = ":" + f.readline().strip()
    if display == ":":
        fail("Xvfb did not start")
    home = tempfile.mkdtemp(prefix="zelvo-home-")
    shutil.chown(home, "nobody", "nogroup")
    # A veth pair with both ends inside stands for the network card: without a connected adapter the
    # program shows its code-8 box instead of a page.
    script = ("ip link set lo up && ip link add nic0 type veth peer name nic0-peer && ip link set nic0-peer up "
              "&& ip link set nic0 up && ip addr add 10.255.255.1/30 dev nic0 || exit 1; python3 -c '%s' & "
              "for i in $(seq 50); do ss -Hltn 'sport = :80' | grep -q . && break; sleep 0.1; done; "
              "exec %s /usr/bin/zelvo-speedtest" % (SILENT_SERVICE, " ".join(USER)))
    env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home, NO_AT_BRIDGE="1", GDK_BACKEND="x11")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    log = open(os.path.join(shots, "window.log"), "w")
    proc = None
    try:
        proc = subprocess.Popen(["unshare", "--net", "--kill-child", "sh", "-c", script], cwd=home, env=env,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        window_id = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not window_id:
            window_id = run("xdotool", "search", "--onlyvisible", "--name", "Kestrova", check=False,
                            env=env).stdout.split()
            if proc.poll() is not None:
                fail("the window program ended with %d:\n%s" % (proc.returncode, open(log.name).read()))
            time.sleep(0.3)
        if not window_id:
            fail("no window appeared:\n" + open(log.name).read())
        time.sleep(2)
        if proc.poll() is not None:
            fail("the window program ended with %d" % proc.returncode)
        # unshare's one child is the shell that became the program.
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            pid = int(f.read().split()[0])
        if os.readlink("/proc/%d/exe" % pid) != "/usr/bin/zelvo-speedtest":
            fail("process %d is not the window program" % pid)
        caps = capability_sets(pid)
        check_no_capability(caps, "the window as nobody", bounding=False)
        # Its latency probe echoes the loopback of its namespace, where no group may use datagram echo.
        deadline = time.monotonic() + 10
        while icmp_counters(pid)["InEchoReps"] == 0 and time.monotonic() < deadline:
            time.sleep(0.3)
        replies = icmp_counters(pid)["InEchoReps"]
        if not replies:
            fail("the window's latency probe got no echo reply")
        step("window: no capability in its %d threads, %d echo replies" % (len(caps), replies))
        shot = os.path.join(shots, "connecting.png")
        run("import", "-window", window_id[0], "PNG:" + shot, env=env)
        stats = run("convert", shot, "-format", "%[fx:standard_deviation] %[fx:mean] %k", "info:").stdout.split()
        spread, mean, colours = float(stats[0]), float(stats[1]), int(stats[2])
        if spread < 0.05 or mean < 0.1 or colours < 50:
            fail("the window shows no page: spread %.3f, mean %.3f, %d colours" % (spread, mean, colours))
        step("window: connecting page, %d colours (%s)" % (colours, shot))
    finally:
        if proc and proc.poll() is None:
            os.killpg(proc.pid, 15)
            proc.wait(timeout=10)
        xvfb.terminate()
        xvfb.wait(timeout=10)
        shutil.rmtree(home, ignore_errors=True)


def main():
    if os.geteuid() != 0:
        print("SKIP: needs root (apt, network namespaces)")
        return SKIP
    for tool in ("dpkg-buildpackage", "dh", "lintian", "desktop-file-validate", "appstreamcli", "Xvfb",
                 "xdotool", "import", "setpriv", "getcap"):
        if not shutil.which(tool):
            print("SKIP: %s missing (scripts/setup installs it)" % tool)
            return SKIP
    started = time.monotonic()
    purge()
    deb, changes = build()
    lint(changes, deb)
    # The screenshot and the window's output are kept on failure, or always in ZELVO_PACKAGE_SHOTS.
    keep = os.environ.get("ZELVO_PACKAGE_SHOTS")
    shots = keep or tempfile.mkdtemp(prefix="zelvo-package-")
    os.makedirs(shots, exist_ok=True)
    try:
        apt("install", "--no-install-recommends", deb)
        if not installed():
            fail("apt did not install " + deb)
        files = [f for f in run("dpkg", "-L", PACKAGE).stdout.splitlines() if f]
        check_installed_files()
        whole_test(None)
        whole_test("nobody")
        window(shots)
    finally:
        purge()
    left = [f for f in files if os.path.isfile(f) or os.path.islink(f)
            or (os.path.isdir(f) and not os.listdir(f))]
    if installed() or left:
        fail("purge left %s" % (left or "the package installed"))
    step("purged, no file left; %.0f s in all" % (time.monotonic() - started))
    if not keep:
        shutil.rmtree(shots, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
