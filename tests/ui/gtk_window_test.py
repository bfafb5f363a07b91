#!/usr/bin/env python3
"""The window program on a virtual display against the test bed, driven with keys and clicks.

    gtk_window_test.py SCENARIO PROGRAM

With ZELVO_WINE naming a Wine loader, PROGRAM is the Windows window, run under it in the remote test bed
(the service behind the client's network card) in a private copy of the prefix WINEPREFIX names. Wine
has no HTML engine, so there the web panels are checked through the window's trace of what it asked of
them (ZELVO_WINDOW_TRACE) and the place the panel's host window takes, not through the pages' colours.

Scenarios:
  attended      under a dark desktop theme: terms, setup guide, about, announcement, testing and result
                pages, each screenshot read for the web panels' colours and the texts' black; a
                right click on the about link does nothing; a second copy hands over, another user's
                copy shows its own window; T after a click into the advertisement tests again; Q
                ends the program at once with 0
  restart_fails the program runs as another user; when its next run cannot start a thread, T on the
                result page shows the exception's box and the window stays: T tests again once
                threads can be had
  unattended    a settings file (CR LF) switches terms off; the program ends 2 to 3 s after the result
  retry         the service document fails: the code-6 box waits even unattended; Retry gets a version
                verdict whose page shows its pictures
  quit_at_gate  Q while the engine waits for the latency probe (ICMP unanswered) ends it within 1 s
  no_adapter    without a connected network card the code-8 box comes before any page
  connecting    the service document held back: the connecting page is drawn (the installers' tests)

Outside the namespace it starts Xvfb and scripts/testbed; inside (--inside) it drives the window.
Screenshots stay in ZELVO_SCREENSHOTS (or, when the scenario fails, in a temporary folder named on the
last line)."""
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
WINE = os.environ.get("ZELVO_WINE", "")
# The test bed's panel pages (service/zelvo_service.py) fill their panels with these colours.
AD1 = (0x1F, 0x9D, 0x55)
AD2 = (0xC2, 0x18, 0x5B)
INFO = (0x1E, 0x5B, 0xB8)
# Points inside each panel (client coordinates) below the pages' text: the testing page's
# advertisement (300 x 250 at 208, 8), the result page's (120 x 300 at 400, 56), the setup guide's
# information panel (490 x 310 at 17, 56).
AD1_POINT = (208 + 280, 8 + 235)
AD2_POINT = (400 + 100, 56 + 285)
INFO_POINT = (17 + 470, 56 + 295)
MEMO_POINT = (17 + 200, 56 + 250)
# The memo's first lines and the result page's serial label (x, y, width, height).
MEMO_TEXT = (17 + 4, 56 + 4, 460, 60)
SERIAL_LABEL = (150, 323, 360, 17)
# A user of the machine other than the one running the tests.
NOBODY = 65534


def fail(message):
    if WINE:
        print("the window's trace:", *trace_lines(), sep="\n  ")
    print("FAIL:", message, flush=True)
    sys.exit(1)


def service(path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    address = os.environ.get("ZELVO_TESTBED_SERVICE", "127.0.0.1")
    with urllib.request.urlopen("http://%s/zelvo/%s" % (address, path), data=data, timeout=5) as r:
        return r.read().decode("utf-8")


def reports():
    try:
        return json.loads(service("_reports") or "[]")
    except OSError:
        return []


def requested(path):
    try:
        return any(line.split("\t")[1].startswith(path) for line in service("_requests.txt").splitlines()
                   if "\t" in line)
    except OSError:
        return False


def xdotool(*args, check=False):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30, check=check).stdout


def visible_windows():
    return xdotool("search", "--onlyvisible", "--classname", "zelvo-speedtest").split()


def launch(program):
    return [WINE, program] if WINE else [program]


def trace_lines():
    try:
        with open(os.environ["ZELVO_WINDOW_TRACE"], encoding="utf-8") as f:
            return f.read().splitlines()
    except (KeyError, OSError):
        return []


def panel_shown(w, name, point, colour, panel, page, seconds=15):
    """The panel shows its page: its colour where a browser engine renders (the GTK window); under Wine,
    the control was made, was sent to the model's address, and (a white host window) holds its place."""
    if not WINE:
        return w.wait_for_colour(name, point, colour, seconds)
    address = "navigate %s http://%s/zelvo/%s" % (panel, os.environ["ZELVO_TESTBED_SERVICE"], page)
    wait_until(lambda: address in trace_lines(), seconds, address, w)
    if "panel %s created" % panel not in trace_lines():
        fail("the %s control was not created: %s" % (panel, trace_lines()))
    return w.shot(name)


class Window:
    """The program's window and its screenshots."""

    def __init__(self, program, shots, cwd, env=None, command=()):
        self.shots = shots
        self.log = open(os.path.join(shots, "program.log"), "a")
        self.proc = subprocess.Popen([*command, *launch(program)], stdout=self.log, stderr=subprocess.STDOUT,
                                     cwd=cwd, env=env)
        self.id = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not self.id:
            found = xdotool("search", "--onlyvisible", "--name", TITLE).split()
            self.id = found[0] if found else None
            self.alive("before its window appeared")
            time.sleep(0.2)
        if not self.id:
            fail("no window titled %r" % TITLE)
        shell = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell", self.id).split())
        if (shell["WIDTH"], shell["HEIGHT"]) != ("520", "420"):
            fail("window is %sx%s, not 520x420" % (shell["WIDTH"], shell["HEIGHT"]))
        self.x, self.y = int(shell["X"]), int(shell["Y"])

    def alive(self, when):
        if self.proc.poll() is not None:
            fail("the program ended %s (status %d)" % (when, self.proc.returncode))

    def key(self, name):
        xdotool("windowfocus", "--sync", self.id)
        xdotool("key", name)
        time.sleep(0.4)

    def click(self, point, button=1):
        xdotool("mousemove", "--sync", str(self.x + point[0]), str(self.y + point[1]))
        xdotool("click", str(button))
        time.sleep(0.4)

    def shot(self, name):
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", "PNG:" + path], check=True, timeout=30)
        return path

    def pixel(self, path, point):
        out = subprocess.run(["convert", path, "-crop", "1x1+%d+%d" % (self.x + point[0], self.y + point[1]),
                              "-depth", "8", "txt:"], capture_output=True, text=True, timeout=30).stdout
        # "0,0: (31,157,85)  #1F9D55  srgb(31,157,85)" after a comment line
        hex_colour = out.strip().splitlines()[-1].split("#")[1][:6]
        return tuple(int(hex_colour[i:i + 2], 16) for i in (0, 2, 4))

    def dark_pixels(self, path, rect):
        """How many pixels of the client rectangle (x, y, width, height) are near black."""
        x, y, width, height = rect
        out = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (width, height, self.x + x, self.y + y),
                              "-depth", "8", "txt:"], capture_output=True, text=True, timeout=30).stdout
        colours = [line.split("#")[1][:6] for line in out.splitlines() if "#" in line and not line.startswith("#")]
        return sum(1 for c in colours if max(int(c[i:i + 2], 16) for i in (0, 2, 4)) <= 64)

    def wait_for_colour(self, name, point, colour, seconds=15):
        """Screenshots until the colour shows at the point; the last one is kept under name."""
        deadline = time.monotonic() + seconds
        while True:
            path = self.shot(name)
            seen = self.pixel(path, point)
            if near(seen, colour):
                return path
            self.alive("while %s was awaited" % name)
            if time.monotonic() > deadline:
                fail("%s: %s at %s, expected %s" % (name, seen, point, colour))
            time.sleep(0.3)

    def quit_and_time(self, key):
        """Presses key and returns the seconds until the window went and until the process ended."""
        xdotool("windowfocus", "--sync", self.id)
        start = time.monotonic()
        xdotool("key", key)
        gone = ended = None
        while time.monotonic() - start < 10 and ended is None:
            if gone is None and self.id not in visible_windows():
                gone = time.monotonic() - start
            if self.proc.poll() is not None:
                ended = time.monotonic() - start
            time.sleep(0.02)
        if ended is None:
            self.proc.kill()
            fail("%s did not end the program" % key)
        if self.proc.returncode != 0:
            fail("exit status %d after %s" % (self.proc.returncode, key))
        return gone if gone is not None else ended, ended


def sanitized(program):
    """A sanitizer build starts and ends several times slower; its time limits are stretched."""
    libraries = subprocess.run(["ldd", program], capture_output=True, text=True, timeout=30).stdout
    return "libtsan" in libraries or "libasan" in libraries


def exit_limit(program):
    """Seconds from Q to the process's end: 1, or 4 for a sanitizer build, whose exit includes the leak
    check of WebKit's whole heap."""
    return 4.0 if sanitized(program) else 1.0


def region(path, window, rect):
    """The pixels of a client rectangle (left, top, width, height) of a screenshot, as RGB triples."""
    left, top, width, height = rect
    raw = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (width, height, window.x + left, window.y + top),
                          "-depth", "8", "rgb:-"], capture_output=True, timeout=30, check=True).stdout
    return [tuple(raw[i:i + 3]) for i in range(0, len(raw) - 2, 3)]


def check_result_page(w, path):
    """Both speeds are drawn in digit pictures: white figures where the connecting page has none."""
    for row, top in (("download", 88), ("upload", 192)):
        white = sum(1 for p in region(path, w, (24, top, 226, 55)) if min(p) > 230)
        if white < 300:
            fail("the result page shows no %s digits (%d white pixels)" % (row, white))


def check_report(report):
    """The service decoded the report and its authentication holds; the window's profile is in it."""
    if not report.get("accepted") or not report.get("auth_ok"):
        fail("the service did not accept the report: %s" % report.get("reason"))
    fields = report["fields"]
    # The system's name comes from its management queries (their security set-up must not be refused).
    for name in ("User_os", "User_nic", "User_localip"):
        if fields.get(name, "null") in ("", "null"):
            fail("the report's %s is empty: %s" % (name, fields))


def near(a, b, tolerance=24):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def wait_until(condition, seconds, what, window=None):
    deadline = time.monotonic() + seconds
    while not condition():
        if window:
            window.alive("while waiting for " + what)
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.2)


def wait_for_terms(window):
    # The terms page follows the service document; its panels start loading at the same moment.
    wait_until(lambda: requested("/zelvo/service.txt"), 20, "the service document", window)
    time.sleep(2.0)


def other_user(cwd):
    """The command and environment that run the program as another user on the same display (a local
    client of another user is let in: the display keeps no access list), with a home and a runtime
    folder of its own in the folder returned, which the caller removes. The working folder is opened
    to that user, so that the check for files left behind covers it too."""
    folder = tempfile.mkdtemp(prefix="zelvo-other-")
    os.chmod(folder, 0o755)
    os.chmod(cwd, 0o777)
    env = dict(os.environ)
    for name, variable in (("home", "HOME"), ("runtime", "XDG_RUNTIME_DIR")):
        env[variable] = os.path.join(folder, name)
        os.mkdir(env[variable], 0o700)
        os.chown(env[variable], NOBODY, NOBODY)
    return ("setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"), env, folder


def attended(program, shots, cwd):
    # The window's texts keep their black on white under a dark desktop theme.
    w = Window(program, shots, cwd, env=dict(os.environ, GTK_THEME="Adwaita:dark"))
    wait_for_terms(w)
    terms = w.shot("1-terms")
    if not near(w.pixel(terms, MEMO_POINT), (255, 255, 255)):
        fail("the terms page shows no memo on white")
    if w.dark_pixels(terms, MEMO_TEXT) < 50:
        fail("the memo's text is not black")
    if near(w.pixel(terms, AD1_POINT), AD1) or near(w.pixel(terms, INFO_POINT), INFO):
        fail("a web panel shows on the terms page")

    w.key("t")
    guide = panel_shown(w, "2-setup-guide", INFO_POINT, INFO, "Info_WebBrowser", "info.html")
    if WINE and not near(w.pixel(guide, INFO_POINT), (255, 255, 255)):
        fail("the setup guide shows no information panel")
    w.key("p")
    # The about link answers the left button only.
    about_link = (400 + 50, 350 + 6)  # (100 x 12)
    w.click(about_link, button=3)
    if not near(w.pixel(w.shot("2-terms-after-right-click"), MEMO_POINT), (255, 255, 255)):
        fail("a right click on the about link left the terms page")
    w.click(about_link)
    about = w.shot("3-about")
    if near(w.pixel(about, INFO_POINT), INFO) or near(w.pixel(about, MEMO_POINT), (255, 255, 255)):
        fail("the about page still shows the setup guide or the terms")
    w.key("p")
    w.key("a")
    announcement = w.shot("4-announcement")
    if not near(w.pixel(announcement, MEMO_POINT), (255, 255, 255)):
        fail("the announcement page shows no memo")
    w.key("n")
    panel_shown(w, "5-testing", AD1_POINT, AD1, "Ad_WebBrowser", "ad1.html")

    wait_until(lambda: len(reports()) == 1, 120, "the report", w)
    check_report(reports()[0])
    result = panel_shown(w, "6-result", AD2_POINT, AD2, "Ad_WebBrowser", "ad2.html")
    if not WINE and near(w.pixel(result, AD1_POINT), AD1):
        fail("the testing page's advertisement is left on the result page")
    check_result_page(w, result)
    if w.dark_pixels(result, SERIAL_LABEL) < 20:
        fail("the result's serial is not black")

    # A second copy hands over to this one and leaves at once, without a window of its own.
    try:
        second = subprocess.run(launch(program), capture_output=True, timeout=15, cwd=cwd)
    except subprocess.TimeoutExpired:
        fail("a second copy did not leave")
    if second.returncode != 0 or len(xdotool("search", "--onlyvisible", "--name", TITLE).split()) != 1:
        fail("a second copy did not hand over (status %d)" % second.returncode)
    w.alive("when a second copy started")
    if WINE and "bring-forward" not in trace_lines():
        fail("the second copy did not ask the first to come forward")

    # Another user's copy is a first copy of its own: its own window beside this one. (Windows keeps one
    # copy per session, and a Wine prefix is one user's.)
    if not WINE:
        command, env, other_folder = other_user(cwd)
        other = subprocess.Popen([*command, program], stdout=w.log, stderr=subprocess.STDOUT, cwd=cwd, env=env)
        try:
            wait_until(lambda: len(xdotool("search", "--onlyvisible", "--name", TITLE).split()) == 2
                       or other.poll() is not None, 30, "another user's window")
            if other.poll() is not None:
                fail("another user's copy ended with %d instead of showing its window" % other.returncode)
            w.shot("6-result-and-other-user")
        finally:
            other.terminate()
            other.wait(timeout=10)
            shutil.rmtree(other_folder, ignore_errors=True)
        wait_until(lambda: len(xdotool("search", "--onlyvisible", "--name", TITLE).split()) == 1, 10,
                   "the other user's window to go", w)
        w.alive("when another user's copy came and went")

    # The panels never keep the keyboard: after a click into the advertisement, T tests again.
    w.click(AD2_POINT)
    w.key("t")
    wait_until(lambda: len(reports()) == 2, 120, "the repeated run's report", w)
    w.wait_for_colour("7-result-again", AD2_POINT, AD2) if not WINE else w.shot("7-result-again")
    gone, ended = w.quit_and_time("q")
    if ended > exit_limit(program):
        fail("Q: window gone after %.2f s, process after %.2f s" % (gone, ended))
    print("ok: attended run, window gone after %.2f s, process after %.2f s" % (gone, ended))


def unattended(program, shots, cwd):
    with open(os.path.join(cwd, "ZelvoTest.ini"), "wb") as f:
        f.write(b"AutoTest Y\r\n")
    w = Window(program, shots, cwd)
    # No key is pressed: the terms would hold the run for ever.
    wait_until(lambda: len(reports()) == 1, 120, "the unattended report", w)
    result = panel_shown(w, "unattended-result", AD2_POINT, AD2, "Ad_WebBrowser", "ad2.html", seconds=10)
    shown = time.monotonic()
    check_report(reports()[0])
    check_result_page(w, result)
    # The figures the window shows are those it reported (for the comparison of the two windows' rates).
    fields = reports()[0]["fields"]
    print("rates: download %s upload %s kbit/s" % (fields["DL_FTP_speed"], fields["UL_FTP_speed"]))
    try:
        status = w.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        fail("the unattended run did not end")
    after = time.monotonic() - shown
    if status != 0:
        fail("unattended run ended with %d" % status)
    # The close comes 2 to 3 s after the result page, which the screenshot saw a moment late; the
    # shutdown itself takes its 300 ms and the program's end.
    slack = 2 if sanitized(program) else 1
    if not 1.0 / slack <= after <= 4.5 * slack:
        fail("the unattended run ended %.1f s after its result page showed" % after)
    print("ok: unattended run ended %.1f s after its result page showed" % after)


def retry(program, shots, cwd):
    with open(os.path.join(cwd, "ZelvoTest.ini"), "wb") as f:
        f.write(b"AutoTest Y\r\n")
    service("_config", {"faults": {"service_document": "missing"}})
    w = Window(program, shots, cwd)
    wait_until(lambda: len(visible_windows()) == 2, 30, "the code-6 box", w)
    time.sleep(3)
    w.shot("retry-1-code6-box")
    if len(visible_windows()) != 2:
        fail("the code-6 box did not wait")
    w.alive("while the code-6 box was shown")
    # The next attempt finds the document, and this version is no longer allowed.
    service("_config", {"faults": {"service_document": None}, "ver_min": "0.95", "ver_server": "0.95"})
    box = [i for i in visible_windows() if i != w.id][0]
    xdotool("windowfocus", "--sync", box)
    xdotool("key", "Return")
    wait_until(lambda: len(visible_windows()) == 1, 10, "the box to go", w)
    time.sleep(2.5)
    page = w.shot("retry-2-version-blocked")
    # The version caption spans the window's width at 56; the connecting page has nothing there.
    caption = [w.pixel(page, (x, 56 + 24)) for x in (60, 260, 460)]
    background = w.pixel(page, (260, 160))
    if all(near(c, background, 8) for c in caption):
        fail("the version page after Retry shows no caption: %s" % caption)
    gone, ended = w.quit_and_time("c")
    print("ok: code-6 box waited, Retry showed the version page, C ended it after %.2f s" % ended)


def restart_fails(program, shots, cwd):
    # An ordinary user, whose processes the kernel can count and limit; it may send echoes.
    subprocess.run(["sysctl", "-q", "-w", "net.ipv4.ping_group_range=0 2147483647"], check=True)
    command, env, folder = other_user(cwd)
    w = Window(program, shots, cwd, env=env, command=command)
    try:
        wait_for_terms(w)
        w.key("a")
        w.key("n")
        wait_until(lambda: len(reports()) == 1, 120, "the report", w)
        w.wait_for_colour("fails-1-result", AD2_POINT, AD2)

        # No more threads for the program: the next run cannot start. The limit is set by the same user
        # (root here may lack the capability to change another user's limits), as a soft limit that
        # the same user can lift again.
        def limit(*args):
            return subprocess.run([*command, "prlimit", "--pid", str(w.proc.pid), *args], check=True,
                                  capture_output=True, text=True).stdout.strip()
        hard = limit("--nproc", "--raw", "--noheadings", "--output=HARD")
        limit("--nproc=1:")
        w.key("t")
        wait_until(lambda: len(visible_windows()) == 2, 10, "the exception's box", w)
        box = [i for i in visible_windows() if i != w.id][0]
        w.shot("fails-2-box")
        limit("--nproc=%s:" % hard)
        if xdotool("getwindowname", box).strip() != xdotool("getwindowname", w.id).strip():
            fail("the box's caption is %r" % xdotool("getwindowname", box).strip())
        xdotool("windowfocus", "--sync", box)
        xdotool("key", "Return")
        wait_until(lambda: len(visible_windows()) == 1, 10, "the box to go", w)
        w.alive("after the box")

        # The window goes on: with threads to be had, T tests again.
        w.key("t")
        wait_until(lambda: len(reports()) == 2, 120, "the repeated run's report", w)
        w.wait_for_colour("fails-3-result-again", AD2_POINT, AD2)
        gone, ended = w.quit_and_time("q")
    finally:
        if w.proc.poll() is None:
            w.proc.kill()
        shutil.rmtree(folder, ignore_errors=True)
    print("ok: the failed restart showed its box, the next one ran; Q ended it after %.2f s" % ended)


def quit_at_gate(program, shots, cwd):
    # Nobody answers the probes: the engine waits at its latency gate for up to 15 s.
    subprocess.run(["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"], check=True)
    w = Window(program, shots, cwd)
    wait_for_terms(w)
    w.key("a")
    w.key("n")
    time.sleep(1.5)
    w.shot("gate-testing")
    gone, ended = w.quit_and_time("q")
    slack = 2.5 if sanitized(program) else 1.0
    # The Windows window stays until its process ends (a hidden window would make Wine wait two seconds
    # for a window manager there is none of), so there the window's limit is the process's.
    gone_limit = exit_limit(program) if WINE else 0.5 * slack
    if gone > gone_limit or ended > exit_limit(program):
        fail("Q at the latency gate: window gone after %.2f s, process after %.2f s" % (gone, ended))
    print("ok: Q at the latency gate, window gone after %.2f s, process after %.2f s" % (gone, ended))


def connecting(program, shots, cwd):
    # The service document is held back: the window stays on its connecting page.
    service("_config", {"slow_ms": {"service_document": 30000}})
    w = Window(program, shots, cwd)
    time.sleep(2.0)
    page = w.shot("connecting")
    pixels = region(page, w, (0, 0, 520, 420))
    colours = len(set(pixels))
    mean = sum(sum(p) for p in pixels) / (3 * 255 * len(pixels))
    if colours < 50 or mean < 0.1:
        fail("the window shows no page: %d colours, mean %.3f" % (colours, mean))
    if near(w.pixel(page, MEMO_POINT), (255, 255, 255)):
        fail("the window shows the terms' memo before the service document came")
    gone, ended = w.quit_and_time("q")
    print("ok: the connecting page shows %d colours; Q ended the program after %.2f s" % (colours, ended))


def no_adapter(program, shots, cwd):
    # The test bed's only network card goes down: the code-8 box comes before any page is drawn.
    subprocess.run(["ip", "link", "set", "veth-c" if WINE else "nic0", "down"], check=True)
    log = open(os.path.join(shots, "program.log"), "a")
    proc = subprocess.Popen(launch(program), stdout=log, stderr=subprocess.STDOUT, cwd=cwd)
    wait_until(lambda: len(visible_windows()) == 1 or proc.poll() is not None, 30, "the code-8 box")
    if proc.poll() is not None:
        fail("the program ended without its box (status %d)" % proc.returncode)
    subprocess.run(["import", "-window", "root", "PNG:" + os.path.join(shots, "no-adapter-box.png")], timeout=30)
    if xdotool("search", "--onlyvisible", "--name", TITLE).split():
        fail("the window shows behind the code-8 box")
    xdotool("windowfocus", "--sync", visible_windows()[0])
    xdotool("key", "Return")
    try:
        status = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        fail("closing the code-8 box did not end the program")
    if status != 0:
        fail("exit status %d after the code-8 box" % status)
    print("ok: the code-8 box came first and its OK ended the program")


SCENARIOS = {"attended": attended, "unattended": unattended, "retry": retry, "restart_fails": restart_fails,
             "quit_at_gate": quit_at_gate, "no_adapter": no_adapter, "connecting": connecting}


def inside(scenario, program, shots):
    cwd = tempfile.mkdtemp(prefix="zelvo-cwd-")
    SCENARIOS[scenario](program, shots, cwd)
    # The program writes no files: nothing in its working folder but the settings file.
    left = [n for n in os.listdir(cwd) if n != "ZelvoTest.ini"]
    if left:
        fail("the program left files: %s" % left)
    shutil.rmtree(cwd, ignore_errors=True)


def wine_environment(work):
    """A private prefix, hard-linked from the template (Wine replaces the files it changes, so the
    template stays as it was): Wine's services start inside the test bed's namespace only when no other
    run's wineserver serves them. And the window's trace of its web panels."""
    prefix = os.path.join(work, "wine")
    subprocess.run(["cp", "-al", os.environ["WINEPREFIX"], prefix], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(prefix, name)
        if os.path.exists(path):
            os.unlink(path)
            shutil.copy2(os.path.join(os.environ["WINEPREFIX"], name), path)
    env = {"WINEPREFIX": prefix, "WINEDEBUG": "-all", "ZELVO_WINDOW_TRACE": os.path.join(work, "trace.txt")}
    # The subscribers' systems run in Traditional Chinese: there the system's own texts (the boxes') come
    # in a font that has the characters (scripts/setup --windows makes the locale).
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if "zh_TW.utf8" in locales:
        env.update(LANG="zh_TW.UTF-8", LC_ALL="zh_TW.UTF-8")
    return env


def outside(scenario, program):
    if os.geteuid() != 0:
        print("SKIP: needs root for the test bed")
        sys.exit(SKIP)
    for tool in ("Xvfb", "xdotool", "import", "convert"):
        if not shutil.which(tool):
            print("SKIP: %s is missing" % tool)
            sys.exit(SKIP)
    work = tempfile.mkdtemp(prefix="zelvo-gtk-")
    shots = os.environ.get("ZELVO_SCREENSHOTS") or os.path.join(work, "shots")
    os.makedirs(shots, exist_ok=True)
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    config = os.path.join(work, "service.json")
    with open(config, "w") as f:
        json.dump(dict({"dl_duration": 3, "ul_duration": 3}, **({"ftp_host": "192.0.2.2"} if WINE else {})), f)
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
                   LC_ALL="C.UTF-8", GDK_BACKEND="x11", NO_AT_BRIDGE="1", HOME=home, XDG_RUNTIME_DIR=runtime)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        if WINE:
            env.update(wine_environment(work))
        # Toolkit and WebKit internals that a sanitizer build of the program reports.
        supp = os.path.join(TOP, "tests", "sanitizers")
        for name, path in (("TSAN_OPTIONS", "tsan.supp"), ("UBSAN_OPTIONS", "ubsan.supp")):
            env[name] = (env.get(name, "") + ":suppressions=" + os.path.join(supp, path)).lstrip(":")
        result = subprocess.run([os.path.join(TOP, "scripts", "testbed")] + (["--remote"] if WINE else []) +
                                ["--rate", "100mbit", "--", sys.executable,
                                 os.path.abspath(sys.modules["__main__"].__file__), "--inside", scenario, program, shots], env=env,
                                timeout=280)
    finally:
        xvfb.terminate()
        xvfb.wait(timeout=10)
    # A passing run's folder goes unless the screenshots were asked for; a failing run's stays.
    if result.returncode == 0 and not os.environ.get("ZELVO_SCREENSHOTS"):
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("screenshots in", shots)
    sys.exit(result.returncode)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        inside(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 3 and sys.argv[1] in SCENARIOS:
        outside(sys.argv[1], os.path.abspath(sys.argv[2]))
    else:
        print("usage: gtk_window_test.py %s PROGRAM" % "|".join(SCENARIOS), file=sys.stderr)
        sys.exit(2)
