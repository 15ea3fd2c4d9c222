"""Minidumps and kernel-dump headers built to their published layouts, for the readers' tests and
the benchmark."""
import struct
import uuid


def minidump(modules=(), exception=None, threads=(), system=True):
    """modules: dicts with name, base, size, time_stamp and optionally guid (uuid.UUID) and age;
    exception: (thread id, code, address) or None; threads: thread ids."""
    streams, blobs = [], bytearray()
    base = 32 + 12 * 4  # header, then room for four directory entries

    def put(data):
        at = base + len(blobs)
        blobs.extend(data)
        return at

    if modules:
        names, cvs = [], []
        for m in modules:
            text = m["name"].encode("utf-16-le")
            names.append(put(struct.pack("<I", len(text)) + text))
            cv = b""
            if m.get("guid") is not None:
                cv = b"RSDS" + m["guid"].bytes_le + struct.pack("<I", m.get("age", 1)) + b"x.pdb\0"
            cvs.append((len(cv), put(cv) if cv else 0))
        table = struct.pack("<I", len(modules))
        for m, name_rva, (cv_size, cv_rva) in zip(modules, names, cvs):
            table += struct.pack("<QIIII", m["base"], m["size"], 0, m["time_stamp"], name_rva)
            table += b"\0" * 52 + struct.pack("<II", cv_size, cv_rva) + b"\0" * 24
        streams.append((4, len(table), put(table)))
    if exception:
        tid, code, address = exception
        context = bytearray(716)
        struct.pack_into("<I", context, 184, address)
        ctx_rva = put(bytes(context))
        body = struct.pack("<IIIIQQII", tid, 0, code, 0, 0, address, 0, 0) + b"\0" * 120
        body += struct.pack("<II", 716, ctx_rva)
        streams.append((6, len(body), put(body)))
    if threads:
        body = struct.pack("<I", len(threads)) + b"".join(
            struct.pack("<IIIIQQIIII", tid, 0, 0, 0, 0, 0x10000 * (i + 1), 0x1000, 0, 0, 0)
            for i, tid in enumerate(threads)
        )
        streams.append((3, len(body), put(body)))
    if system:
        body = struct.pack("<HHHBBIIIII", 0, 6, 1, 2, 1, 6, 1, 7601, 2, 0) + b"\0" * 28
        streams.append((7, len(body), put(body)))
    header = struct.pack("<IIIIIIQ", 0x504D444D, 0xA793, len(streams), 32, 0, 0x6B000000, 0)
    directory = b"".join(struct.pack("<III", *s) for s in streams).ljust(12 * 4, b"\0")
    return header + directory + bytes(blobs)


def kernel_header(width, bug_check, parameters, build=19045, machine=None, when=None):
    """The first page of a kernel dump, 32-bit ("PAGEDUMP") or 64-bit ("PAGEDU64") layout."""
    page = bytearray(0x1000 if width == 32 else 0x2000)
    if width == 32:
        page[0:8] = b"PAGEDUMP"
        struct.pack_into("<IIII", page, 0x20, machine or 0x14C, 2, bug_check, parameters[0])
        struct.pack_into("<3I", page, 0x30, *parameters[1:])
        time_at = 0xFC0
    else:
        page[0:8] = b"PAGEDU64"
        struct.pack_into("<III", page, 0x30, machine or 0x8664, 4, bug_check)
        struct.pack_into("<4Q", page, 0x40, *parameters)
        time_at = 0xFA8
    struct.pack_into("<II", page, 8, 0xF, build)
    if when:
        struct.pack_into("<Q", page, time_at, int((when + 11644473600) * 10**7))
    return bytes(page)


def new_guid(seed):
    return uuid.UUID(int=seed * 0x1000100010001 + 0x1234)
