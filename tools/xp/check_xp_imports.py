#!/usr/bin/env python3
"""Every PE we ship must load on Windows XP SP3: no import the XP loader cannot resolve and no
subsystem version above 5.1. Reads the import tables itself, so nothing of the toolchain's output
format matters. Usage: check_xp_imports.py LIST PE...   (exit 1 and one line per finding)"""
import fnmatch
import struct
import sys

MAX_SUBSYSTEM = (5, 1)


def read_rules(path):
    """One pattern a line: `Function`, or `dll!Function` for a name of one DLL, `dll!*` for a whole
    DLL; shell patterns; `#` starts a comment."""
    rules = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                dll, _, fn = line.rpartition("!")
                rules.append(((dll or "*").lower(), fn))
    return rules


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, opt_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic != 0x10B:
            raise ValueError("not a 32-bit PE (optional header magic %#x)" % magic)
        self.image_base = struct.unpack_from("<I", data, opt + 28)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        dirs = opt + 96
        self.import_dir = struct.unpack_from("<I", data, dirs + 8)[0]
        self.delay_dir = struct.unpack_from("<I", data, dirs + 13 * 8)[0]
        self.sections = []
        for i in range(sections):
            vsize, va, rsize, raw = struct.unpack_from("<4I", data, opt + opt_size + 40 * i + 8)
            self.sections.append((va, max(vsize, rsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside every section" % rva)

    def cstr(self, rva):
        at = self.offset(rva)
        return self.data[at : self.data.index(b"\0", at)].decode("ascii", "replace")

    def _thunks(self, rva, base=0):
        at = self.offset(rva)
        while True:
            thunk = struct.unpack_from("<I", self.data, at)[0]
            if thunk == 0:
                return
            yield "#%d" % (thunk & 0xFFFF) if thunk & 0x80000000 else self.cstr(thunk - base + 2)
            at += 4

    def imports(self):
        """(dll, function) of the ordinary and of the delay-load import tables."""
        rva = self.import_dir
        while rva:
            lookup, _, _, name, address = struct.unpack_from("<5I", self.data, self.offset(rva))
            if not name:
                break
            for fn in self._thunks(lookup or address):
                yield self.cstr(name), fn
            rva += 20
        rva = self.delay_dir
        while rva:
            fields = struct.unpack_from("<8I", self.data, self.offset(rva))
            if not fields[1]:
                break
            # Descriptors of the first form hold addresses rather than RVAs (attribute bit 0 clear).
            base = 0 if fields[0] & 1 else self.image_base
            for fn in self._thunks((fields[4] or fields[3]) - base, base):
                yield self.cstr(fields[1] - base), fn
            rva += 32


def findings(path, rules):
    with open(path, "rb") as f:
        pe = Pe(f.read())
    if pe.subsystem_version > MAX_SUBSYSTEM:
        yield "subsystem version %d.%d (Windows XP loads at most %d.%d)" % (
            pe.subsystem_version + MAX_SUBSYSTEM
        )
    for dll, fn in pe.imports():
        for rule_dll, rule_fn in rules:
            if fnmatch.fnmatchcase(dll.lower(), rule_dll) and fnmatch.fnmatchcase(fn, rule_fn):
                yield "imports %s!%s" % (dll, fn)
                break


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    rules = read_rules(argv[1])
    bad = 0
    for path in argv[2:]:
        try:
            found = list(findings(path, rules))
        except (OSError, ValueError, struct.error) as e:
            found = ["unreadable: %s" % e]
        for line in found:
            print("%s: %s" % (path, line))
        bad += len(found)
    print("%d PE files, %d findings" % (len(argv) - 2, bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
