"""The identity of a PE image or of its ".debug" file: machine, time stamp, SizeOfImage, preferred
image base and the CodeView build id, read with every offset checked (the file is an upload)."""
import struct

from crashserver.minidump import image_key, parse_codeview

CODEVIEW = 2
DEBUG_DIRECTORY = 6
MAX_SECTIONS = 96
MAX_DEBUG_ENTRIES = 64


class NotAnImage(Exception):
    pass


def _unpack(data, fmt, offset):
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise NotAnImage("the file ends inside its headers")
    return struct.unpack_from(fmt, data, offset)


def identify(data):
    """{"machine", "time_stamp", "size_of_image", "image_base", "image_key", "codeview"} or NotAnImage."""
    if data[:2] != b"MZ":
        raise NotAnImage("no MZ header")
    (pe_at,) = _unpack(data, "<I", 0x3C)
    if _unpack(data, "<4s", pe_at)[0] != b"PE\0\0":
        raise NotAnImage("no PE signature")
    machine, nsections, stamp, _, _, opt_size, _ = _unpack(data, "<HHIIIHH", pe_at + 4)
    opt = pe_at + 24
    (magic,) = _unpack(data, "<H", opt)
    if magic == 0x10B:
        (base,) = _unpack(data, "<I", opt + 28)
        dirs_count_at, dirs_at = opt + 92, opt + 96
    elif magic == 0x20B:
        (base,) = _unpack(data, "<Q", opt + 24)
        dirs_count_at, dirs_at = opt + 108, opt + 112
    else:
        raise NotAnImage("unknown optional header %#x" % magic)
    (size_of_image,) = _unpack(data, "<I", opt + 56)
    (ndirs,) = _unpack(data, "<I", dirs_count_at)
    if nsections > MAX_SECTIONS:
        raise NotAnImage("%d sections" % nsections)
    sections = []
    table = opt + opt_size
    for i in range(nsections):
        vsize, vaddr, raw_size, raw_ptr = _unpack(data, "<IIII", table + i * 40 + 8)
        sections.append((vaddr, max(vsize, raw_size), raw_ptr, raw_size))
    codeview = None
    if ndirs > DEBUG_DIRECTORY:
        rva, size = _unpack(data, "<II", dirs_at + DEBUG_DIRECTORY * 8)
        at = _file_offset(sections, rva)
        for i in range(min(size // 28, MAX_DEBUG_ENTRIES) if at is not None else 0):
            kind, cv_size, cv_rva, cv_ptr = _unpack(data, "<IIII", at + i * 28 + 12)
            if kind != CODEVIEW or cv_size > 4096:
                continue
            where = _file_offset(sections, cv_rva) if cv_rva else cv_ptr
            if where is None or where + cv_size > len(data):
                where = cv_ptr
            codeview = parse_codeview(bytes(data[where : where + cv_size]))
            if codeview:
                break
    # GNU tools name the DWARF sections through the COFF string table; the name being there is
    # enough to tell a debug file from a stripped module.
    return {
        "machine": machine,
        "time_stamp": stamp,
        "size_of_image": size_of_image,
        "image_base": base,
        "image_key": image_key(stamp, size_of_image),
        "codeview": codeview,
        "dwarf": b".debug_info\0" in data,
    }


def _file_offset(sections, rva):
    for vaddr, vsize, raw_ptr, raw_size in sections:
        if vaddr <= rva < vaddr + vsize and rva - vaddr < raw_size and raw_ptr:
            return raw_ptr + rva - vaddr
    return None
