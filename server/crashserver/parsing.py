"""Reading what the programs post: the information form, the uploader's archive with its UTF-16
text report, and Drummet's kernel-dump package with "info.ini".

Nothing here trusts its input: every failure is a BadUpload with a text for the 4xx answer, and no
member of an archive is ever written to disk (the archive is stored whole, as posted).
"""
import configparser
import io
import re
import urllib.parse
import zipfile
import zlib

INFO_FIELDS = ("product", "hash_id", "guid", "version", "app", "module", "count", "mail")
# Longest accepted value per field; the uploader cuts the version at 30 characters itself.
FIELD_LIMITS = {"product": 64, "hash_id": 32, "guid": 128, "version": 30, "app": 260, "module": 260,
                "count": 1, "mail": 260}
# The uploader refuses to start without a crash ID and a module, and always has a machine identity;
# application, version and e-mail may be empty.
REQUIRED = ("product", "hash_id", "guid", "module", "count")
HASH_ID = re.compile(r"^[0-9A-Fa-f]{32}$")

# Members are read (and their CRC checked) up to this many bytes in total; a report above
# REPORT_LIMIT is not a report Kelvor writes.
UNPACKED_LIMIT = 1 << 30
REPORT_LIMIT = 8 << 20
INFO_INI_LIMIT = 64 << 10


class BadUpload(Exception):
    """Input that is refused with a 4xx answer; str() is the answer's text."""

    def __init__(self, text, status=400):
        super().__init__(text)
        self.status = status


def normalise_hash_id(text):
    if not isinstance(text, str) or not HASH_ID.match(text):
        raise BadUpload("hash_id must be 32 hexadecimal characters")
    return text.upper()


def parse_info_form(body):
    """The information post's eight fields from an url-encoded UTF-8 body, as a dict."""
    try:
        text = body.decode("ascii")
        pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, strict_parsing=bool(text),
                                       encoding="utf-8", errors="strict")
    except (UnicodeDecodeError, ValueError):
        raise BadUpload("the form is not url-encoded UTF-8")
    fields = {}
    for name, value in pairs:
        if name in fields:
            raise BadUpload("field %s given twice" % name)
        fields[name] = value
    missing = [f for f in INFO_FIELDS if f not in fields]
    if missing:
        raise BadUpload("missing field(s): %s" % ", ".join(missing))
    for name in INFO_FIELDS:
        value = fields[name]
        if len(value) > FIELD_LIMITS[name] or any(ord(c) < 32 for c in value):
            raise BadUpload("field %s is malformed" % name)
        if name in REQUIRED and not value:
            raise BadUpload("field %s is empty" % name)
    if fields["count"] not in ("0", "1"):
        raise BadUpload("count must be 0 or 1")
    fields["hash_id"] = normalise_hash_id(fields["hash_id"])
    return {name: fields[name] for name in INFO_FIELDS}


def safe_member_name(name):
    """False for names that would leave a folder if anyone unpacked them."""
    n = name.replace("\\", "/")
    if not n or n.startswith("/") or re.match(r"^[A-Za-z]:", n) or "\0" in n:
        return False
    return all(part not in ("..",) for part in n.split("/")) and not n.endswith("/")


def open_zip(body):
    """The archive's members after checking names, sizes and CRCs; raises BadUpload."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(body))
        members = archive.infolist()
    except (zipfile.BadZipFile, zipfile.LargeZipFile, ValueError, EOFError, OSError):
        raise BadUpload("the body is not a zip archive")
    if not members:
        raise BadUpload("the archive is empty")
    names = set()
    total = 0
    for info in members:
        if not safe_member_name(info.filename):
            raise BadUpload("member name %r is not allowed" % info.filename)
        if info.filename.lower() in names:
            raise BadUpload("member %r appears twice" % info.filename)
        names.add(info.filename.lower())
        total += info.file_size
    if total > UNPACKED_LIMIT:
        raise BadUpload("the archive unpacks to more than %d bytes" % UNPACKED_LIMIT, 413)
    for info in members:
        read_member(archive, info, UNPACKED_LIMIT)
    return archive


def read_member(archive, info, limit):
    """The member's bytes (CRC checked by zipfile) or BadUpload; never more than limit bytes."""
    chunks, got = [], 0
    try:
        with archive.open(info) as f:
            while True:
                chunk = f.read(1 << 16)
                if not chunk:
                    break
                got += len(chunk)
                if got > limit:
                    raise BadUpload("member %r is too large" % info.filename, 413)
                chunks.append(chunk)
    except (zipfile.BadZipFile, zlib.error, NotImplementedError, RuntimeError, EOFError, OSError,
            ValueError):
        raise BadUpload("member %r is damaged or encrypted" % info.filename)
    return b"".join(chunks)


HEADER_LINES = [
    ("first", re.compile(r"^Program Name:(?P<program_name>.*?)   Program Version:(?P<program_version>.*)$")),
    ("second", re.compile(r"^AppName:(?P<app_name>.*?)   Windows Version:(?P<windows_version>.*)$")),
    ("third", re.compile(r"^Module:(?P<module>.*?)   Data:(?P<y>\d+)-(?P<mo>\d+)-(?P<d>\d+) "
                         r"(?P<h>\d+):(?P<mi>\d+):(?P<s>\d+)$")),
    ("email", re.compile(r"^Email:(?P<email>.*)$")),
    ("hash", re.compile(r"^HashCode:(?P<hash_code>.*)$")),
]
STACK_LINE = re.compile(r"^0x[0-9A-Fa-f]+  0x[0-9A-Fa-f]+  .*$")
MEMORY_END = re.compile(r"\r\nPagefileUsage :[^\r\n]* M\r\n")


def parse_report(data):
    """Header, stack and user entries of Kelvor's UTF-16LE text report."""
    if len(data) < 2 or data[:2] != b"\xff\xfe" or len(data) % 2:
        raise BadUpload("the report is not UTF-16 text with a byte-order mark")
    try:
        text = data[2:].decode("utf-16-le")
    except UnicodeDecodeError:
        raise BadUpload("the report is not UTF-16 text")
    lines = text.split("\r\n")
    if not lines or lines[0] != "Vemko Dump" or len(lines) < 6:
        raise BadUpload("the report has no header")
    report = {}
    for (_, pattern), line in zip(HEADER_LINES, lines[1:6]):
        m = pattern.match(line)
        if not m:
            raise BadUpload("the report's header is malformed")
        report.update(m.groupdict())
    report["hash_code"] = normalise_hash_id(report["hash_code"].strip())
    report["report_time"] = "%04d-%02d-%02d %02d:%02d:%02d" % tuple(
        int(report.pop(k)) for k in ("y", "mo", "d", "h", "mi", "s"))
    stack = []
    if len(lines) > 7 and lines[6] == "" and lines[7] == "Stack:":
        for line in lines[8:]:
            if not STACK_LINE.match(line):
                break
            stack.append(line)
    report["stack"] = stack
    # The description is the last section; searching from the end of the fixed-format memory
    # section (or the window heading) keeps a command line or window text from being taken for it.
    start = 0
    m = None
    for m in MEMORY_END.finditer(text):
        pass
    if m:
        start = m.end() - 2
    else:
        start = max(text.find("\r\n\r\nWindow Info:\r\n"), 0)
    heading = "\r\nUserContext:\r\n"
    at = text.find(heading, start)
    report["user_context"] = text[at + len(heading):] if at >= 0 else ""
    return report


def report_member(archive):
    """The uploader's archive: (report member, dump member or None)."""
    infos = archive.infolist()
    reports = [i for i in infos if i.filename.lower().endswith(".txt")]
    dumps = [i for i in infos if i.filename.lower().endswith(".dmp")]
    if len(reports) != 1 or len(dumps) > 1 or len(infos) != len(reports) + len(dumps):
        raise BadUpload("the archive must hold one report (.txt) and at most one dump (.dmp)")
    return reports[0], (dumps[0] if dumps else None)


def parse_crash_archive(body):
    """Validates the uploader's archive; returns the parsed report with member names."""
    archive = open_zip(body)
    report_info, dump_info = report_member(archive)
    report = parse_report(read_member(archive, report_info, REPORT_LIMIT))
    report["report_name"] = report_info.filename
    report["dump_name"] = dump_info.filename if dump_info else ""
    report["dump_size"] = dump_info.file_size if dump_info else 0
    return report


def parse_kernel_package(body):
    """Validates Drummet's package (the dump and "info.ini"); returns info.ini's keys and names."""
    archive = open_zip(body)
    infos = archive.infolist()
    ini = [i for i in infos if i.filename.lower() == "info.ini"]
    dumps = [i for i in infos if i.filename.lower() != "info.ini"]
    if len(ini) != 1 or len(dumps) != 1:
        raise BadUpload("the package must hold one dump and info.ini")
    raw = read_member(archive, ini[0], INFO_INI_LIMIT)
    # Drummet writes the profile file in the ANSI code page (or UTF-16 when it already was).
    if raw[:2] == b"\xff\xfe":
        text = raw[2:].decode("utf-16-le", "replace")
    else:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            text = raw.decode("cp1252", "replace")
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    try:
        parser.read_string(text)
    except configparser.Error:
        raise BadUpload("info.ini is malformed")
    if not parser.has_section("info"):
        raise BadUpload("info.ini has no [info] section")
    section = parser["info"]
    return {"version": section.get("version", "")[:64], "machine_id": section.get("id", "")[:255],
            "module": section.get("module", "")[:64], "dump_name": dumps[0].filename,
            "dump_size": dumps[0].file_size}
