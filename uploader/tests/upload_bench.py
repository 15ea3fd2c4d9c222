#!/usr/bin/env python3
"""Crash -> archive at the collector, under Wine: the demo product crashes N times with the real
Kelvor, Ulvane and Communication.dll installed, the collector answers "true" at once, and the host
clock times each step. Run by tools/cmd/bench-crash after crash_bench.exe (prefix prepared, product
installed, wineserver up). Last line: crash_to_archive_ms_median=<n>.

The clock starts when the crashing program is launched (it crashes at once, so its process start is
included); start_ms_median, the launch-to-exit time of a program that does nothing, is measured in
the same run as the baseline for that share.
"""
import os
import statistics
import subprocess
import sys
import time

import scenario
from protocol_names import ARCHIVE_PATH, INFO_PATH
from scenario import Collector

WINE = scenario.Wine(inherit=True)
INSTALL = WINE.install_folder
PROBE = os.path.join(scenario.BUILD, "win", "uploader", "ulvane_probe.exe")
NOTE_WIN = "C:\\upload_bench_note.txt"
NOTE = WINE.host_path(NOTE_WIN)


def emulated_i386():
    """True when 32-bit programs run under qemu: a registered and enabled qemu-i386 handler takes
    every i386 program, even on a kernel that could run it natively, so asking the loader is not enough."""
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-i386") as f:
            return f.readline().strip() == "enabled"
    except OSError:
        return (
            subprocess.run(
                ["/lib/ld-linux.so.2", "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
            ).returncode
            != 0
        )


def wine(*args):
    return WINE.run(*args, timeout=300)


def release_ms():
    for line in open(NOTE, encoding="utf-8", errors="replace").read().replace("\r", "").split("\n"):
        if line.startswith("release_ms="):
            return float(line.split("=", 1)[1])
    return None


def main():
    runs = max(5, int(sys.argv[1]) if len(sys.argv) > 1 else 7)
    steps = {"start": [], "release": [], "info": [], "archive": []}
    with Collector() as c:
        scenario.write_config(INSTALL, c.base_url)
        c.behave(INFO_PATH, "ok", body="true")
        for i in range(runs + 1):  # the first run warms the caches and is not counted
            t = time.time()
            wine(PROBE)
            start = (time.time() - t) * 1000
            c.reset()
            c.behave(INFO_PATH, "ok", body="true")
            if os.path.exists(NOTE):
                os.remove(NOTE)
            t0 = time.time()
            wine(os.path.join(INSTALL, "Orv.exe"), "--observe", NOTE_WIN, "--full-dump", "0", "crash", "dll")
            deadline = time.time() + 60
            while not c.received(ARCHIVE_PATH) and time.time() < deadline:
                time.sleep(0.01)
            wine(PROBE, "wait-exit", "Ulvane.exe", "60000")
            info, archive = c.received(INFO_PATH), c.received(ARCHIVE_PATH)
            if not (info and archive):
                print("run %d: no archive arrived" % i)
                return 1
            if i == 0:
                continue
            steps["start"].append(start)
            steps["release"].append(release_ms() or -1)
            steps["info"].append((info[0]["time"] - t0) * 1000)
            steps["archive"].append((archive[0]["time"] - t0) * 1000)
    med = {k: statistics.median(v) for k, v in steps.items()}
    machine = "qemu-i386 (emulated)" if emulated_i386() else "native 32-bit"
    print("upload runs=%d machine=%s" % (runs, machine))
    print("start_ms_median=%.0f (a program that does nothing: launch to exit)" % med["start"])
    print("crash_to_release_ms_median=%.0f (Kelvor: report, dump, mark)" % med["release"])
    print("crash_to_info_post_ms_median=%.0f (+ Kelvor's end, Ulvane's start, identity)" % med["info"])
    print("info_post_to_archive_ms_median=%.0f (answer, zip, archive post)" % (med["archive"] - med["info"]))
    print("archive_share_of_start=%.1f" % (med["archive"] / med["start"]))
    print("crash_to_archive_ms_median=%.0f" % med["archive"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
