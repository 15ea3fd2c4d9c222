"""Reads the parts of a user-mode minidump the server shows and symbolicates with: the header, the
stream directory, the module list (with each module's CodeView build id), the exception, the system
and the threads with the crashing thread's registers.

The dump comes from a customer's machine and is trusted in nothing: every offset and size is checked
against the file before it is read, counts are checked against the room their stream has, and a
stream that points outside the file or at itself makes the whole dump MalformedDump (shown as an
unreadable dump, never an error page). Nothing here follows a pointer twice, so no loop of offsets
can keep it busy.
"""
import struct
import uuid

SIGNATURE = 0x504D444D  # "MDMP"
VERSION = 0xA793  # low half of the header's version
HEADER_SIZE = 32
DIRECTORY_ENTRY = 12
MODULE_SIZE = 108
THREAD_SIZE = 48
EXCEPTION_SIZE = 168
SYSTEM_INFO_SIZE = 56
X86_CONTEXT_SIZE = 716

THREAD_LIST, MODULE_LIST, EXCEPTION, SYSTEM_INFO = 3, 4, 6, 7

# Far more than any process has; a count above these is a damaged or hostile dump.
MAX_STREAMS = 4096
MAX_MODULES = 8192
MAX_THREADS = 16384
MAX_NAME_BYTES = 2 * 2048  # one module's path
MAX_NAMES_TOTAL = 4 << 20  # all of them: many modules may name one long string
MAX_CV_RECORD = 4096

ARCHITECTURES = {0: "x86", 5: "ARM", 6: "IA64", 9: "AMD64", 12: "ARM64"}
X86_REGISTERS = (
    ("eax", 176),
    ("ebx", 164),
    ("ecx", 172),
    ("edx", 168),
    ("esi", 160),
    ("edi", 156),
    ("ebp", 180),
    ("esp", 196),
    ("eip", 184),
    ("eflags", 192),
)
EXCEPTION_NAMES = {
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000094: "EXCEPTION_INT_DIVIDE_BY_ZERO",
    0xC00000FD: "EXCEPTION_STACK_OVERFLOW",
    0x80000003: "EXCEPTION_BREAKPOINT",
    0xC000001D: "EXCEPTION_ILLEGAL_INSTRUCTION",
    0xC0000409: "STATUS_STACK_BUFFER_OVERRUN",
    0xC0000374: "STATUS_HEAP_CORRUPTION",
    0xE06D7363: "C++ exception",
    0xC000008E: "EXCEPTION_FLT_DIVIDE_BY_ZERO",
    0x80000002: "EXCEPTION_DATATYPE_MISALIGNMENT",
}


class MalformedDump(Exception):
    pass


class _Bytes:
    """The dump's bytes with reads that never go past the end."""

    def __init__(self, data):
        self.data = memoryview(data)
        self.size = len(data)

    def need(self, offset, length, what):
        if offset < 0 or length < 0 or offset + length > self.size:
            raise MalformedDump(
                "%s lies outside the file (%d+%d of %d bytes)" % (what, offset, length, self.size)
            )

    def unpack(self, fmt, offset, what):
        self.need(offset, struct.calcsize(fmt), what)
        return struct.unpack_from(fmt, self.data, offset)

    def take(self, offset, length, what):
        self.need(offset, length, what)
        return bytes(self.data[offset : offset + length])


def codeview_key(guid_bytes, age):
    """The CodeView half of a symbol server's keys: the GUID as Windows prints it, then the age."""
    g = uuid.UUID(bytes_le=guid_bytes)
    return "%s%X" % (g.hex.upper(), age)


def parse_codeview(record):
    """(guid key, pdb name) of an "RSDS" record, or None for any other or a damaged one."""
    if len(record) < 24 or record[:4] != b"RSDS":
        return None
    age = struct.unpack_from("<I", record, 20)[0]
    name = record[24:].split(b"\0", 1)[0].decode("utf-8", "replace")
    return {
        "guid": str(uuid.UUID(bytes_le=record[4:20])).upper(),
        "age": age,
        "key": codeview_key(record[4:20], age),
        "pdb_name": name,
    }


def image_key(time_stamp, size_of_image):
    """The image half of a symbol server's keys: time stamp in 8 hex digits, then the size."""
    return "%08X%x" % (time_stamp, size_of_image)


def _string(buf, rva):
    (length,) = buf.unpack("<I", rva, "module name length")
    if length > MAX_NAME_BYTES or length % 2:
        raise MalformedDump("a module name of %d bytes" % length)
    return buf.take(rva + 4, length, "module name").decode("utf-16-le", "replace")


def _location(buf, size, rva, what, limit=None):
    if limit is not None and size > limit:
        raise MalformedDump("%s of %d bytes" % (what, size))
    buf.need(rva, size, what)
    return size, rva


def read(data):
    """The dump's parts as a dict of plain values (safe to store as JSON); MalformedDump otherwise."""
    buf = _Bytes(data)
    sig, version, count, dir_rva, _checksum, stamp, flags = buf.unpack("<IIIIIIQ", 0, "header")
    if sig != SIGNATURE:
        raise MalformedDump("no minidump signature")
    if version & 0xFFFF != VERSION:
        raise MalformedDump("unknown minidump version %#x" % version)
    if count > MAX_STREAMS:
        raise MalformedDump("%d streams" % count)
    buf.need(dir_rva, count * DIRECTORY_ENTRY, "stream directory")
    streams = {}
    directory = []
    for i in range(count):
        kind, size, rva = buf.unpack("<III", dir_rva + i * DIRECTORY_ENTRY, "stream directory")
        if kind == 0:  # unused entries are allowed and carry nothing
            continue
        buf.need(rva, size, "stream %d" % kind)
        if rva < HEADER_SIZE and size:
            raise MalformedDump("stream %d overlaps the header" % kind)
        directory.append({"type": kind, "size": size, "rva": rva})
        # A stream given twice: the first counts, as in the readers debuggers use.
        streams.setdefault(kind, (size, rva))
    dump = {
        "time_stamp": stamp,
        "flags": flags,
        "streams": directory,
        "modules": [],
        "threads": [],
        "exception": None,
        "system": None,
    }
    if MODULE_LIST in streams:
        dump["modules"] = _modules(buf, *streams[MODULE_LIST])
    if SYSTEM_INFO in streams:
        dump["system"] = _system_info(buf, *streams[SYSTEM_INFO])
    if EXCEPTION in streams:
        dump["exception"] = _exception(buf, *streams[EXCEPTION])
    if THREAD_LIST in streams:
        dump["threads"] = _threads(buf, *streams[THREAD_LIST])
    crashing = dump["exception"]["thread_id"] if dump["exception"] else None
    for t in dump["threads"]:
        t["crashed"] = t["id"] == crashing
    return dump


def _counted(buf, size, rva, entry, limit, what):
    if size < 4:
        raise MalformedDump("%s stream is too short" % what)
    (n,) = buf.unpack("<I", rva, what + " count")
    if n > limit or 4 + n * entry > size:
        raise MalformedDump("%s stream claims %d entries in %d bytes" % (what, n, size))
    return n


def _modules(buf, size, rva):
    n = _counted(buf, size, rva, MODULE_SIZE, MAX_MODULES, "module list")
    modules = []
    names_total = 0
    for i in range(n):
        at = rva + 4 + i * MODULE_SIZE
        base, image_size, _checksum, stamp, name_rva = buf.unpack("<QIIII", at, "module")
        fixed = buf.unpack("<13I", at + 24, "module version")
        cv_size, cv_rva = buf.unpack("<II", at + 76, "module CodeView record")
        name = _string(buf, name_rva)
        names_total += len(name)
        if names_total > MAX_NAMES_TOTAL:
            raise MalformedDump("the module names add up to more than %d characters" % MAX_NAMES_TOTAL)
        cv = None
        if cv_size:
            _location(buf, cv_size, cv_rva, "CodeView record", MAX_CV_RECORD)
            cv = parse_codeview(buf.take(cv_rva, cv_size, "CodeView record"))
        version = ""
        if fixed[0] == 0xFEEF04BD:
            version = "%d.%d.%d.%d" % (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF)
        file_name = name.replace("/", "\\").rsplit("\\", 1)[-1]
        modules.append(
            {
                "name": file_name,
                "path": name,
                "base": base,
                "size": image_size,
                "time_stamp": stamp,
                "version": version,
                "codeview": cv,
                "image_key": image_key(stamp, image_size),
            }
        )
    return modules


def _system_info(buf, size, rva):
    if size < SYSTEM_INFO_SIZE:
        raise MalformedDump("system info stream is too short")
    arch, level, revision, cpus, product, major, minor, build, platform, csd_rva = buf.unpack(
        "<HHHBBIIIII", rva, "system info"
    )
    service_pack = ""
    if csd_rva:
        try:
            service_pack = _string(buf, csd_rva)
        except MalformedDump:
            service_pack = ""  # a missing service-pack text costs nothing else
    return {
        "architecture": ARCHITECTURES.get(arch, "unknown (%d)" % arch),
        "processor_level": level,
        "processor_revision": revision,
        "processors": cpus,
        "product_type": product,
        "os_version": "%d.%d.%d" % (major, minor, build),
        "platform_id": platform,
        "service_pack": service_pack,
    }


def _context(buf, size, rva):
    """The x86 registers of a CONTEXT, or {} when the record is not an x86 one."""
    if not size or size < X86_CONTEXT_SIZE:
        return {}
    buf.need(rva, X86_CONTEXT_SIZE, "thread context")
    return {reg: buf.unpack("<I", rva + off, "register")[0] for reg, off in X86_REGISTERS}


def _exception(buf, size, rva):
    if size < EXCEPTION_SIZE:
        raise MalformedDump("exception stream is too short")
    thread_id, _, code, flags, _record, address, nparams = buf.unpack("<IIIIQQI", rva, "exception")
    nparams = min(nparams, 15)
    params = list(buf.unpack("<%dQ" % nparams, rva + 40, "exception parameters")) if nparams else []
    ctx_size, ctx_rva = buf.unpack("<II", rva + 160, "exception context")
    return {
        "thread_id": thread_id,
        "code": code,
        "name": EXCEPTION_NAMES.get(code, ""),
        "flags": flags,
        "address": address,
        "parameters": params,
        "registers": _context(buf, ctx_size, ctx_rva),
    }


def _threads(buf, size, rva):
    n = _counted(buf, size, rva, THREAD_SIZE, MAX_THREADS, "thread list")
    threads = []
    for i in range(n):
        at = rva + 4 + i * THREAD_SIZE
        tid, suspend, _cls, priority, teb, stack_start, stack_size, stack_rva, ctx_size, ctx_rva = buf.unpack(
            "<IIIIQQIIII", at, "thread"
        )
        threads.append(
            {
                "id": tid,
                "suspend_count": suspend,
                "priority": priority,
                "teb": teb,
                "stack_start": stack_start,
                "stack_end": stack_start + stack_size,
                "registers": _context(buf, ctx_size, ctx_rva),
            }
        )
    return threads


def module_at(modules, address):
    """The module whose image holds the address, or None."""
    for m in modules:
        if m["base"] <= address < m["base"] + m["size"]:
            return m
    return None
