#!/usr/bin/env python3
"""The Windows installer under Wine, as root, in a private copy of the prefix WINEPREFIX names:

    msi_test.py PACKAGE.msi VERSION

msiexec installs it without a user interface; both programs are under the program files folder and
the Start menu has the shortcut; the programs' headers admit Windows Vista and later; the installed-programs entry carries name, publisher, version, icon
and size; the installed console program runs a whole test in the remote test bed and the installed
window shows its connecting page; a package of a newer version replaces it (one entry, the newer
version); removing that leaves none of the product's files or registry keys. ZELVO_WINE names the
Wine loader. Exits 77 (skipped) without root, Wine, wixl or the window tests' tools."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIP = 77
WINE = os.environ.get("ZELVO_WINE", "")
NAME = "Zelvo speed test"


def fail(message):
    print("FAIL:", message, flush=True)
    sys.exit(1)


def step(message):
    print("--", message, flush=True)


def private_prefix(work):
    """A copy of the template prefix, hard-linked (Wine replaces the files it changes) but for the
    registry files, which it rewrites in place."""
    prefix = os.path.join(work, "wine")
    subprocess.run(["cp", "-al", os.environ["WINEPREFIX"], prefix], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(prefix, name)
        if os.path.exists(path):
            os.unlink(path)
            shutil.copy2(os.path.join(os.environ["WINEPREFIX"], name), path)
    return prefix


def wine(prefix, *args):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    result = subprocess.run([WINE, *args], env=env, capture_output=True, text=True, timeout=300)
    # The registry reaches its files when the prefix's server ends.
    subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver"), "-w"], env=env, timeout=120)
    return result


def registry(prefix):
    """Every key of the machine's and the user's hive: name -> {value name: value text}."""
    keys = {}
    for hive in ("system.reg", "user.reg"):
        current = None
        with open(os.path.join(prefix, hive), encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\n")
                header = re.match(r"^\[(.*)\] \d+", line)
                if header:
                    current = keys.setdefault(hive + ":" + header.group(1).replace("\\\\", "\\"), {})
                elif current is not None:
                    value = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
                    if value:
                        current[value.group(1)] = value.group(2)
    return keys


def files(prefix):
    out = set()
    for root, _, names in os.walk(os.path.join(prefix, "drive_c")):
        for name in names:
            out.add(os.path.relpath(os.path.join(root, name), prefix))
    return out


def subsystem_version(path):
    """The oldest Windows a program's header admits, as (major, minor)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    optional = int.from_bytes(data[0x3C:0x40], "little") + 24
    return tuple(int.from_bytes(data[optional + o:optional + o + 2], "little") for o in (48, 50))


def packed(guid):
    """A GUID as the installer's own keys spell it."""
    g = guid.strip("{}").replace("-", "")
    swap = lambda s: "".join(s[i + 1] + s[i] for i in range(0, len(s), 2))
    return (g[0:8][::-1] + g[8:12][::-1] + g[12:16][::-1] + swap(g[16:20]) + swap(g[20:32])).upper()


def msi_property(package, name):
    table = subprocess.run(["msiinfo", "export", package, "Property"], capture_output=True, text=True,
                           check=True).stdout
    for line in table.splitlines():
        if line.startswith(name + "\t"):
            return line.split("\t", 1)[1]
    fail("%s has no %s" % (package, name))


def entries(keys):
    """The installed-programs entries of the product."""
    return {k: v for k, v in keys.items() if re.search(r"\\CurrentVersion\\Uninstall\\\{", k)
            and v.get("DisplayName") == '"%s"' % NAME}


def check_entry(prefix, keys, version):
    found = entries(keys)
    if len(found) != 1:
        fail("%d installed-programs entries: %s" % (len(found), list(found)))
    key, values = next(iter(found.items()))
    for name, expected in (("DisplayVersion", '"%s"' % version), ("Publisher", '"Zelvo"')):
        if values.get(name) != expected:
            fail("the entry's %s is %s, not %s" % (name, values.get(name), expected))
    # The list shows an installer product's icon from its registration (Windows Installer also copies it
    # to DisplayIcon; Wine 8.0 does not).
    code = key.rsplit("\\", 1)[-1]
    product = [v for k, v in keys.items() if k.endswith("\\Installer\\Products\\" + packed(code))]
    icon = values.get("DisplayIcon") or (product[0].get("ProductIcon", "") if product else "")
    icon = icon.strip('"').replace("\\\\", "\\")
    icon_path = os.path.join(prefix, "drive_c", *icon[3:].split("\\")) if icon[1:3] == ":\\" else ""
    if not icon.lower().endswith(".ico") or not os.path.isfile(icon_path):
        fail("the entry's icon %r is no icon file" % icon)
    with open(icon_path, "rb") as f:
        if f.read(4) != b"\0\0\1\0":
            fail("the entry's icon %s is not an icon" % icon)
    # Windows Installer computes the size from the files' costs; Wine 8.0 writes 0.
    size = values.get("EstimatedSize", "")
    if not size.startswith("dword:"):
        fail("the entry has no size: %s" % values)
    print("entry %s: version %s, icon %s, size %s" % (key.split("\\")[-1], version, icon, size or "(none)"))
    return key, size


def main():
    if len(sys.argv) != 3:
        print("usage: msi_test.py PACKAGE.msi VERSION", file=sys.stderr)
        sys.exit(2)
    package, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    if os.geteuid() != 0 or not WINE or "WINEPREFIX" not in os.environ:
        print("SKIP: needs root, ZELVO_WINE and WINEPREFIX")
        sys.exit(SKIP)
    for tool in ("wixl", "msiinfo", "Xvfb", "xdotool", "import", "convert"):
        if not shutil.which(tool):
            print("SKIP: %s is missing" % tool)
            sys.exit(SKIP)
    if msi_property(package, "ProductVersion") != version:
        fail("the package's version is not the build's %s" % version)
    work = tempfile.mkdtemp(prefix="zelvo-msi-")
    try:
        run(package, version, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


def run(package, version, work):
    prefix = private_prefix(work)
    wine(prefix, "wineboot", "--init")
    files_before, keys_before = files(prefix), registry(prefix)

    step("msiexec /i %s /qn" % os.path.basename(package))
    result = wine(prefix, "msiexec", "/i", package, "/qn")
    if result.returncode != 0:
        fail("msiexec /i exited %d: %s" % (result.returncode, result.stderr[-2000:]))
    new_files = files(prefix) - files_before
    programs = {os.path.basename(p): os.path.join(prefix, p) for p in new_files if p.endswith(".exe")}
    for program in ("zelvo-speedtest.exe", "zelvo-speedtest-cli.exe"):
        path = programs.get(program, "")
        if not re.search(r"/drive_c/Program Files( \(x86\))?/%s/%s$" % (NAME, program), path):
            fail("%s is not under the program files folder: %s" % (program, sorted(new_files)))
        if subsystem_version(path) != (6, 0):
            fail("%s admits Windows %d.%d, not Vista (6.0)" % ((program,) + subsystem_version(path)))
    shortcuts = [p for p in new_files if p.endswith("Start Menu/Programs/%s.lnk" % NAME)]
    if not shortcuts:
        fail("no Start-menu shortcut: %s" % sorted(new_files))
    check_entry(prefix, registry(prefix), version)

    step("the installed console program in the remote test bed")
    sys.path.insert(0, os.path.join(TOP, "tests", "cli"))
    os.environ.update(ZELVO_CLI=programs["zelvo-speedtest-cli.exe"], WINEPREFIX=prefix)
    import test_cli_end_to_end as cli
    cli.CLI = programs["zelvo-speedtest-cli.exe"]
    console = cli.Run(cli.SHORT, ["--yes", "--json"], rate="50mbit")
    if console.status != 0 or len(console.reports) != 1 or not console.reports[0].get("accepted"):
        fail("the installed console's run: status %d, reports %s, %s" % (console.status, console.reports,
                                                                          console.err[-2000:]))
    print("report accepted, serial %s" % console.reports[0]["serial"])

    step("the installed window's connecting page")
    window = subprocess.run([sys.executable, os.path.join(TOP, "tests", "ui", "gtk_window_test.py"), "connecting",
                             programs["zelvo-speedtest.exe"]], env=dict(os.environ, WINEPREFIX=prefix), timeout=300)
    if window.returncode != 0:
        fail("the installed window did not show its connecting page")

    step("a newer version replaces it")
    newer_version = ".".join(version.split(".")[:2] + [str(int(version.split(".")[2]) + 1)])
    source = os.path.join(os.path.dirname(package), "zelvo-speedtest.wxs")
    with open(source, encoding="utf-8") as f:
        text = f.read().replace('Version="%s"' % version, 'Version="%s"' % newer_version)
    newer_source = os.path.join(work, "newer.wxs")
    with open(newer_source, "w", encoding="utf-8") as f:
        f.write(text)
    newer = os.path.join(work, "newer.msi")
    arch = "x64" if package.endswith("-x86_64.msi") else "x86"
    # wixl takes the files by paths relative to the build folder.
    subprocess.run(["wixl", "-a", arch, "-o", newer, newer_source], check=True, capture_output=True,
                   cwd=os.path.dirname(package))
    if msi_property(newer, "UpgradeCode") != msi_property(package, "UpgradeCode"):
        fail("the upgrade code changed between builds")
    result = wine(prefix, "msiexec", "/i", newer, "/qn")
    if result.returncode != 0:
        fail("msiexec /i of the newer version exited %d" % result.returncode)
    check_entry(prefix, registry(prefix), newer_version)

    step("msiexec /x /qn leaves nothing behind")
    result = wine(prefix, "msiexec", "/x", newer, "/qn")
    if result.returncode != 0:
        fail("msiexec /x exited %d" % result.returncode)
    left = sorted(p for p in files(prefix) - files_before if "zelvo" in p.lower() or p.endswith(".lnk"))
    if left:
        fail("files left after removal: %s" % left)
    codes = [packed(msi_property(p, c)) for p in (package, newer) for c in ("ProductCode", "UpgradeCode")]
    codes += [msi_property(p, c).strip("{}").upper() for p in (package, newer) for c in ("ProductCode", "UpgradeCode")]
    keys_after = registry(prefix)
    stale = sorted(k for k, v in keys_after.items() if k not in keys_before and
                   ("zelvo" in (k + str(v)).lower() or any(c in k.upper() for c in codes)))
    if stale:
        fail("registry keys left after removal: %s" % stale)


if __name__ == "__main__":
    main()
