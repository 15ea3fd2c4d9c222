#!/usr/bin/env python3
"""Kelvor end to end under Wine: install, crash the demo product, check files, registry, release
order and restarts (capture_scenarios.exe, a Windows gtest driver), then open the kept minidumps
with lldb, an independent reader, and look for the crashing thread and its exception code.
Arguments are passed to the driver (--gtest_filter=...).

Cross-process reads under this qemu-based Wine: Wine's server reads another process's memory at
the guest address, which is the host address only when qemu's guest base is 0. That needs
QEMU_GUEST_BASE=0 and vm.mmap_min_addr of at least 65536 (qemu then reserves from 0x10000); with
any other base ReadProcessMemory and MiniDumpWriteDump silently read the wrong bytes.
"""
import os
import re
import subprocess
import sys

import scenario

DRIVER_ARGS = []


class CaptureScenarios(scenario.ScenarioCase):
    def test_driver_then_dumps_opened_by_lldb(self):
        wine = scenario.Wine()
        wine.install(quiet=False)
        wine.keep_server()
        work = os.path.join(wine.drive_c, "capture_scenarios")
        checks = os.path.join(work, "reader_checks.txt")
        if os.path.exists(checks):
            os.remove(checks)
        driver = os.path.join(scenario.BIN, "reporter", "capture_scenarios.exe")
        run = wine.run(driver, "--gtest_color=no", *DRIVER_ARGS, timeout=1400, stderr=True)
        print(run.out, flush=True)
        self.check(run.returncode == 0, "capture_scenarios.exe passed")

        self.check(os.path.exists(checks), "lldb: a dump was kept for the reader")
        lines = open(checks).read().split("\n") if os.path.exists(checks) else []
        for line in filter(str.strip, lines):
            name, code, tid = line.strip().split("|")
            out = subprocess.run(
                ["lldb", "--batch", "-c", os.path.join(work, name), "-o", "thread list"],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
            ).stdout.decode("utf-8", "replace")
            want_code = "Exception 0x%08x encountered" % int(code, 16)
            want_thread = re.compile(
                r"^\* thread #\d+: tid = 0x0*%x\b.*%s" % (int(tid), re.escape(want_code)), re.M
            )
            self.check(
                want_thread.search(out) is not None,
                "lldb: %s shows thread %s stopped by %s%s"
                % (name, tid, want_code, "" if want_thread.search(out) else ":\n" + out),
            )


if __name__ == "__main__":
    DRIVER_ARGS = sys.argv[1:]
    sys.exit(scenario.main([]))
