#!/usr/bin/env python3
"""The Windows build against the Linux build: whole console runs in the remote test bed (the service
behind the client's network card) on the same shaped link, alternately, the Windows program under Wine
in a private copy of the prefix. Both builds carry the remote test bed's addresses. Run as root from
the top folder after `scripts/test --windows` and a Linux build of the console for the remote test bed:
    cmake -S . -B build-remote -DZELVO_CONFIG=$PWD/build-win64/testbed-remote.conf
    cmake --build build-remote --target zelvo-speedtest-cli
    bench/windows.py [RUNS] [RATE] [BUILD_DIR]      (default 3 50mbit build-win64)
Prints name=value figures."""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DURATION = 8
LOADERS = {"build-win32": "/usr/lib/wine/wine", "build-win64": "/usr/lib/wine/wine64"}


def run(rate, command, env):
    with tempfile.TemporaryDirectory(prefix="zelvo-bench-") as d:
        config = os.path.join(d, "service.json")
        with open(config, "w") as f:
            json.dump({"dl_duration": DURATION, "ul_duration": DURATION, "ftp_host": "192.0.2.2"}, f)
        env = dict(os.environ, ZELVO_SERVICE_CONFIG=config, **env)
        if "WINEPREFIX" in env:
            prefix = os.path.join(d, "wine")
            subprocess.run(["cp", "-al", env["WINEPREFIX"], prefix], check=True)
            for name in ("system.reg", "user.reg", "userdef.reg"):
                os.unlink(os.path.join(prefix, name))
                shutil.copy2(os.path.join(env["WINEPREFIX"], name), os.path.join(prefix, name))
            env["WINEPREFIX"] = prefix
        out = subprocess.run([os.path.join(TOP, "scripts", "testbed"), "--remote", "--rate", rate, "--"] + command +
                             ["--yes", "--json"], env=env, capture_output=True, text=True, timeout=300)
        result = json.loads(out.stdout)
        if result["error_code"] != 0:
            raise SystemExit("run failed: %s %s" % (out.stdout, out.stderr))
        return result


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    rate = sys.argv[2] if len(sys.argv) > 2 else "50mbit"
    build = sys.argv[3] if len(sys.argv) > 3 else "build-win64"
    arch = "i686" if build == "build-win32" else "x86_64"
    deps = os.environ.get("ZELVO_WINDOWS_DEPS", os.path.expanduser("~/.cache/zelvo-windows"))
    programs = {
        "linux": ([os.path.join(TOP, "build-remote", "cli", "zelvo-speedtest-cli")], {}),
        "windows": ([LOADERS[build], os.path.join(TOP, build, "cli", "zelvo-speedtest-cli.exe")],
                    {"WINEPREFIX": os.environ.get("WINEPREFIX", os.path.join(deps, "wine-" + arch)),
                     "WINEDEBUG": "-all"}),
    }
    figures = {name: [] for name in programs}
    for _ in range(runs):
        for name, (command, env) in programs.items():
            r = run(rate, command, env)
            figures[name].append(r)
            print("# %s download_kbps=%.2f upload_kbps=%.2f download_nic_kbps=%.2f upload_nic_kbps=%.2f" % (
                name, r["download_kbps"], r["upload_kbps"], r["download_nic_kbps"], r["upload_nic_kbps"]),
                flush=True)
    print("rate=%s runs=%d duration_s=%d windows_build=%s" % (rate, runs, DURATION, build))
    for key in ("download_kbps", "upload_kbps"):
        linux = statistics.mean(r[key] for r in figures["linux"])
        windows = statistics.mean(r[key] for r in figures["windows"])
        print("%s_linux=%.2f %s_windows=%.2f windows_over_linux=%.4f" % (key, linux, key, windows, windows / linux))


if __name__ == "__main__":
    main()
