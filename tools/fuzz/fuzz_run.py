#!/usr/bin/env python3
"""Runs one libFuzzer target from its checked-in seed corpus, bounded, and prints one line of results.

    fuzz_run.py [--runs N] [--seconds S] [--work DIR] FUZZER SEEDS

New inputs go to --work (a temporary folder when not given), never into the checked-in SEEDS. The
summary gives the edges the build instrumented (harness and libraries), the edges the run reached,
the inputs run and the time taken; a crash leaves its input in the work folder and fails the run.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=0, help="stop after this many inputs (0: no limit)")
    ap.add_argument("--seconds", type=int, default=10, help="stop after this many seconds")
    ap.add_argument("--work", default=None, help="corpus folder that keeps what the run finds")
    ap.add_argument("fuzzer")
    ap.add_argument("seeds")
    args = ap.parse_args()
    name = os.path.basename(args.fuzzer)
    work = args.work or tempfile.mkdtemp(prefix="fuzz_%s_" % name)
    os.makedirs(work, exist_ok=True)
    cmd = [
        args.fuzzer,
        "-seed=1",
        "-print_final_stats=1",
        "-max_total_time=%d" % args.seconds,
        "-artifact_prefix=%s/" % work.rstrip("/"),
        work,
        args.seeds,
    ]
    if args.runs:
        cmd.insert(1, "-runs=%d" % args.runs)
    started = time.time()
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = r.stdout.decode("utf-8", "replace")
    seconds = time.time() - started
    instrumented = sum(int(n) for n in re.findall(r"\((\d+) inline 8-bit counters\)", out))
    covered = re.findall(r"cov: (\d+)", out)
    runs = re.findall(r"stat::number_of_executed_units:\s*(\d+)", out)
    print(
        "FUZZ %s: %s inputs in %.1f s, %s of %d instrumented edges reached%s"
        % (
            name,
            runs[-1] if runs else "?",
            seconds,
            covered[-1] if covered else "?",
            instrumented,
            "" if r.returncode == 0 else ", FAILED (rc %d)" % r.returncode,
        )
    )
    if r.returncode != 0:
        print(out[-6000:])
        print("inputs and crash artifacts kept in %s" % work)
    elif not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return r.returncode


if __name__ == "__main__":
    sys.exit(main())
