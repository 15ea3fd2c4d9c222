#!/usr/bin/env python3
"""Kelvor end to end under Wine: install, crash the demo product, check files, registry, release
order and restarts (capture_scenarios.exe, a Windows gtest driver), then open the kept minidumps
with lldb, an independent reader, and look for the crashing thread and its exception code.

Cross-process reads under this qemu-based Wine: Wine's server reads another process's memory at
the guest address, which is the host address only when qemu's guest base is 0. That needs
QEMU_GUEST_BASE=0 and vm.mmap_min_addr of at least 65536 (qemu then reserves from 0x10000); with
any other base ReadProcessMemory and MiniDumpWriteDump silently read the wrong bytes.
"""
import os
import re
import subprocess
import sys

SOURCE = os.environ["SUITE_SOURCE"]
sys.path.insert(0, os.path.join(SOURCE, "tools", "wine"))
from wine_env import wine_environment  # noqa: E402
BIN = os.environ["SUITE_BIN"]


def main():
    env = wine_environment()
    env["SUITE_BUILD"] = os.environ["SUITE_BUILD"]
    subprocess.run([os.path.join(SOURCE, "tools", "install", "install.sh")], env=env, check=True)
    subprocess.run(["wineserver", "-p"], env=env)

    work = os.path.join(env["WINEPREFIX"], "drive_c", "capture_scenarios")
    checks = os.path.join(work, "reader_checks.txt")
    if os.path.exists(checks):
        os.remove(checks)
    driver = os.path.join(BIN, "reporter", "capture_scenarios.exe")
    args = ["wine", driver, "--gtest_color=no"] + sys.argv[1:]
    rc = subprocess.run(args, env=env).returncode

    failures = 0
    if os.path.exists(checks):
        for line in open(checks).read().split("\n"):
            if not line.strip():
                continue
            name, code, tid = line.strip().split("|")
            path = os.path.join(work, name)
            out = subprocess.run(["lldb", "--batch", "-c", path, "-o", "thread list"], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
            want_code = "Exception 0x%08x encountered" % int(code, 16)
            want_thread = re.compile(r"^\* thread #\d+: tid = 0x0*%x\b.*%s" % (int(tid), re.escape(want_code)), re.M)
            if want_thread.search(out):
                print("lldb: %s shows thread %s stopped by %s" % (name, tid, want_code))
            else:
                failures += 1
                print("lldb: %s does not show thread %s with %s:\n%s" % (name, tid, want_code, out))
    else:
        failures += 1
        print("lldb: no dump was kept for the reader")
    return 1 if rc != 0 or failures else 0


if __name__ == "__main__":
    sys.exit(main())
