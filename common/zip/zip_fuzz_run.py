#!/usr/bin/env python3
"""A short, bounded run of the zip fuzz target from a freshly generated seed corpus."""
import os
import random
import subprocess
import sys
import tempfile


def seeds():
    rng = random.Random(1)
    text = b"".join(rng.choice([b"crash ", b"dump ", b"0x7c90e4f4 ", b"\r\n", b"module.dll "]) for _ in range(3000))
    yield b""
    yield b"\x01"
    yield b"\x03\x02" + bytes(5000)
    yield b"\x02\x01" + bytes(rng.randrange(256) for _ in range(8000))
    yield b"\x01\x03\x02\x10\x00\x20\x00" + text
    yield b"\x00\x01\x01" + "Frame 12: module.dll\r\n".encode("utf-16-le") * 300
    yield b"\x04\x00" + (b"ab" * 129 + b"c") * 40


def main():
    fuzzer = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="zip_fuzz_") as corpus:
        for i, s in enumerate(seeds()):
            with open(os.path.join(corpus, "seed%d" % i), "wb") as f:
                f.write(s)
        r = subprocess.run([fuzzer, "-runs=4000", "-max_len=4096", "-seed=1", "-print_final_stats=1", corpus])
        return r.returncode


if __name__ == "__main__":
    sys.exit(main())
