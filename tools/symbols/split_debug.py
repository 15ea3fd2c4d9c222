#!/usr/bin/env python3
"""Moves a linked PE module's DWARF into "<name>.debug" beside it and strips the module, keeping the
linker's image time stamp in both: objcopy writes the time of its own run there instead, which would
give the module a time stamp of its stripping and its debug file another one.

    split_debug.py OBJCOPY MODULE DEBUG_FILE
"""
import struct
import subprocess
import sys


def stamp_offset(data):
    (pe_at,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_at : pe_at + 4] != b"PE\0\0":
        raise SystemExit("split_debug: not a PE module")
    return pe_at + 8  # COFF header: machine (2), number of sections (2), TimeDateStamp


def set_stamp(path, stamp):
    with open(path, "r+b") as f:
        head = f.read(4096)
        f.seek(stamp_offset(head))
        f.write(struct.pack("<I", stamp))


def main(objcopy, module, debug_file):
    with open(module, "rb") as f:
        head = f.read(4096)
    (stamp,) = struct.unpack_from("<I", head, stamp_offset(head))
    subprocess.run([objcopy, "--only-keep-debug", module, debug_file], check=True)
    subprocess.run([objcopy, "--strip-debug", module], check=True)
    for path in (module, debug_file):
        set_stamp(path, stamp)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    sys.exit(main(*sys.argv[1:]))
