#!/usr/bin/env python3
"""Runs a program the way a user would, inside a test bed (as root), and writes as JSON what the tests
need to know of it: its exit status, its output, and the capability sets of each of its threads, read
from /proc once its first line of output appeared (its start-up is over by then).

    run_observed.py --out FILE [--user NAME] [--ping-group-range "LOW HIGH"] -- PROGRAM [ARG...]

--user runs it as that user with the user's own group and no other; --ping-group-range sets
net.ipv4.ping_group_range first, which it does only inside the namespace of a test bed
(scripts/testbed), never the host's."""
import argparse
import json
import os
import pwd
import subprocess
import sys
import tempfile


def capability_sets(pid):
    """{thread id: {"CapEff": int, ...}} of the process; None once it is gone."""
    sets = {}
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return None
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                sets[task] = {name: int(value, 16) for name, value in
                              (line.rstrip("\n").split(":\t") for line in f if line.startswith("Cap"))}
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return sets


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--user")
    parser.add_argument("--ping-group-range")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if args.ping_group_range:
        # Only in the test bed's own namespace, never the host's.
        testbed = "/run/netns/" + os.environ.get("ZELVO_TESTBED_NS", "-")
        if not os.path.exists(testbed) or os.stat(testbed).st_ino != os.stat("/proc/self/ns/net").st_ino:
            sys.exit("run_observed.py: --ping-group-range outside a test bed's namespace")
        with open("/proc/sys/net/ipv4/ping_group_range", "w") as f:
            f.write(args.ping_group_range)
    if args.user:
        user = pwd.getpwnam(args.user)
        command = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid, "--clear-groups"] + command
    with tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err)
        first = proc.stdout.readline()
        caps = capability_sets(proc.pid)
        rest = proc.stdout.read()
        status = proc.wait(timeout=240)
        err.seek(0)
        errors = err.read()
    with open(args.out, "w") as f:
        json.dump({"status": status, "out": (first + rest).decode("utf-8", "replace"),
                   "err": errors.decode("utf-8", "replace"), "caps": caps}, f)


if __name__ == "__main__":
    main()
