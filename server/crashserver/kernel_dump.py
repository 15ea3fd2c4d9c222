"""The header of a kernel crash dump (full, kernel or small memory dump alike), in its published
32-bit ("PAGE" "DUMP") and 64-bit ("PAGE" "DU64") layouts: the bug check with its four parameters,
the OS build, the machine type, the processor count and, where the header has it, the crash time.
Only the first page of the dump is read, with every field checked to lie inside what was read.
"""
import struct
import zipfile

HEADER_READ = 8192
MACHINES = {0x14C: "x86", 0x8664: "x64", 0x1C0: "ARM", 0x1C4: "ARMv7", 0xAA64: "ARM64", 0x200: "IA64"}
# Where the two layouts keep their fields: (bug-check code, parameter format, first parameter,
# machine type, processors, system time).
LAYOUTS = {b"DUMP": (0x28, "<4I", 0x2C, 0x20, 0x24, 0xFC0), b"DU64": (0x38, "<4Q", 0x40, 0x30, 0x34, 0xFA8)}
BUG_CHECK_NAMES = {
    0x0A: "IRQL_NOT_LESS_OR_EQUAL",
    0x1E: "KMODE_EXCEPTION_NOT_HANDLED",
    0x3B: "SYSTEM_SERVICE_EXCEPTION",
    0x50: "PAGE_FAULT_IN_NONPAGED_AREA",
    0x7E: "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED",
    0x7F: "UNEXPECTED_KERNEL_MODE_TRAP",
    0x8E: "KERNEL_MODE_EXCEPTION_NOT_HANDLED",
    0xC2: "BAD_POOL_CALLER",
    0xC5: "DRIVER_CORRUPTED_EXPOOL",
    0xD1: "DRIVER_IRQL_NOT_LESS_OR_EQUAL",
    0xEF: "CRITICAL_PROCESS_DIED",
    0x133: "DPC_WATCHDOG_VIOLATION",
    0x139: "KERNEL_SECURITY_CHECK_FAILURE",
    0x1A: "MEMORY_MANAGEMENT",
    0x9F: "DRIVER_POWER_STATE_FAILURE",
    0xE2: "MANUALLY_INITIATED_CRASH",
}
FILETIME_EPOCH = 11644473600


class NotAKernelDump(Exception):
    pass


def read_header(data):
    """The header's fields as a dict; NotAKernelDump when the first page is not a kernel dump's."""
    if len(data) < 8 or data[:4] != b"PAGE" or data[4:8] not in LAYOUTS:
        raise NotAKernelDump("no kernel dump signature")
    code_at, fmt, params_at, machine_at, cpus_at, time_at = LAYOUTS[data[4:8]]
    if len(data) < params_at + struct.calcsize(fmt):
        raise NotAKernelDump("the header is cut short")
    major, minor = struct.unpack_from("<II", data, 8)
    (code,) = struct.unpack_from("<I", data, code_at)
    params = list(struct.unpack_from(fmt, data, params_at))
    machine, cpus = struct.unpack_from("<II", data, machine_at) if machine_at + 8 <= len(data) else (0, 0)
    when = 0.0
    if time_at + 8 <= len(data):
        (ft,) = struct.unpack_from("<Q", data, time_at)
        seconds = ft / 1e7 - FILETIME_EPOCH
        when = seconds if 0 < seconds < 4102444800 else 0.0  # a time before 1970 or after 2099 is noise
    kind = {0xF: "free", 0xC: "checked"}.get(major, "%#x" % major)
    return {
        "width": 64 if data[4:8] == b"DU64" else 32,
        "bug_check": code,
        "bug_check_name": BUG_CHECK_NAMES.get(code, ""),
        "parameters": params,
        "os_build": "%d (%s)" % (minor, kind),
        "machine": MACHINES.get(machine, "%#x" % machine),
        "processors": cpus,
        "dump_time": when,
    }


def read_package_header(path, dump_name):
    """The header of the dump inside a stored kernel-dump package (only its first page is inflated)."""
    try:
        with zipfile.ZipFile(path) as z:
            with z.open(dump_name) as f:
                data = f.read(HEADER_READ)
    except (
        OSError,
        KeyError,
        zipfile.BadZipFile,
        NotImplementedError,
        RuntimeError,
        EOFError,
        ValueError,
    ) as e:
        raise NotAKernelDump("the package cannot be read: %s" % e)
    return read_header(data)


def bug_check_text(h):
    params = ", ".join("%#x" % p for p in h["parameters"])
    name = " " + h["bug_check_name"] if h["bug_check_name"] else ""
    return "0x%08X%s (%s)" % (h["bug_check"], name, params)
