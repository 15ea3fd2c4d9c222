#!/usr/bin/env python3
"""Symbolication figures: frames per second with an empty cache (one llvm-symbolizer run per stack)
and with a warm one, and the delay from an archive's arrival to its symbolicated group with 100
crashes posted at once to a server with its default workers.

    ./run symbols-bench [--crashes N]
"""
import argparse
import os
import random
import re
import shutil
import statistics
import sys
import tempfile
import threading
import time

from crashserver import minidump
from crashserver.symbol_store import SymbolStore
from crashserver.symbolize import Symbolizer, symbolicate
from serverlib import Client, Server, make_zip, request

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
IMAGE = "OrvCore.dll/6B190CA7d000/OrvCore.dll"
DEBUG = "OrvCore.dll/3C4F51423AD056CE6F7B034BAB3F06631/OrvCore.debug"


def read(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def machine():
    native = os.system("/lib/ld-linux.so.2 --version >/dev/null 2>&1") == 0
    return "%d cores, 32-bit code %s" % (os.cpu_count(), "native" if native else "emulated (qemu)")


def frames_per_second(stacks=40, depth=50):
    folder = tempfile.mkdtemp(prefix="symbols-bench-")
    try:
        store = SymbolStore(folder)
        store.put("OrvCore.dll", IMAGE.split("/")[1], "OrvCore.dll", read("OrvCore.dll"))
        store.put("OrvCore.dll", DEBUG.split("/")[1], "OrvCore.debug", read("OrvCore.debug"))
        modules = minidump.read(read("orv_crash.dmp"))["modules"]
        rnd = random.Random(7)
        lines = [
            [
                "0x%08X  0x%08X  orvcore" % (0x69500000 + off, off)
                for off in (rnd.randrange(0x1400, 0x1600) for _ in range(depth))
            ]
            for _ in range(stacks)
        ]
        start = time.perf_counter()
        for stack in lines:
            symbolicate(stack, modules, store, Symbolizer())  # a new cache each time
        cold = stacks * depth / (time.perf_counter() - start)
        warm_symbolizer = Symbolizer()
        for stack in lines:
            symbolicate(stack, modules, store, warm_symbolizer)
        start = time.perf_counter()
        for _ in range(5):
            for stack in lines:
                symbolicate(stack, modules, store, warm_symbolizer)
        cached = 5 * stacks * depth / (time.perf_counter() - start)
        return cold, cached
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def arrival_to_page(crashes):
    data = tempfile.mkdtemp(prefix="symbols-bench-data-")
    server = Server(data, "--symbols-token", "bench", "--max-archives", "3").start()
    try:
        for path, name in ((IMAGE, "OrvCore.dll"), (DEBUG, "OrvCore.debug")):
            request(server, "PUT", "/symbols/" + path, read(name), {"Authorization": "Bearer bench"})
        report = read("orv_crash.txt").decode("utf-16-le")
        dump = read("orv_crash.dmp")
        ids = ["%032X" % random.getrandbits(128) for _ in range(crashes)]
        client = Client([server])
        gate = threading.Barrier(crashes)
        received = {}

        def crash(hash_id):
            body = re.sub(r"HashCode:[0-9A-F]{32}", "HashCode:" + hash_id, report).encode("utf-16-le")
            gate.wait()
            c = Client([server])
            c.info(hash_id, "BENCH-" + hash_id[:8], module="OrvCore.dll")
            status, _ = c.archive(make_zip([("a.dmp", dump), ("a.txt", body)]))
            received[hash_id] = time.time() if status == 200 else None

        threads = [threading.Thread(target=crash, args=(h,)) for h in ids]
        start = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        delays, deadline = {}, time.time() + 300
        while len(delays) < crashes and time.time() < deadline:
            for h in ids:
                if h in delays:
                    continue
                g = client.group(h)
                if g and g.get("title"):
                    delays[h] = (
                        g["archive_list"][0]["symbolication"]["done"] - g["archive_list"][0]["received"]
                    )
            time.sleep(0.2)
        return sorted(delays.values()), time.time() - start, sum(1 for v in received.values() if v)
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--crashes", type=int, default=100)
    args = ap.parse_args()
    print("machine: %s" % machine())
    cold, cached = frames_per_second()
    print(
        "frames symbolicated per second: cold %.0f (one llvm-symbolizer run per 50-frame stack), cached %.0f"
        % (cold, cached)
    )
    delays, total, stored = arrival_to_page(args.crashes)
    if not delays:
        print("no crash was symbolicated")
        return 1
    print(
        "%d crashes at once (%d archives stored), default workers: archive received -> symbolicated group:"
        " median %.2f s, 90%% %.2f s, max %.2f s; all %d shown symbolicated %.1f s after the first post"
        % (
            args.crashes,
            stored,
            statistics.median(delays),
            delays[int(0.9 * (len(delays) - 1))],
            delays[-1],
            len(delays),
            total,
        )
    )
    return 0 if len(delays) == args.crashes else 1


if __name__ == "__main__":
    sys.exit(main())
