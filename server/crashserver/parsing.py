"""Reading what the programs post: the information form, the uploader's archive with its UTF-16
text report, and Drummet's kernel-dump package with "info.ini".

Nothing here trusts its input. Every refusal is a BadUpload with a text for the 4xx answer; the
public entry points (parse_info_form, CrashArchive, parse_kernel_package) turn any other exception
raised while reading into a BadUpload too, so malformed input never becomes a 500. Members are
inflated in chunks and counted: the report is the only member kept in memory, the rest is only
checked (CRC) and never written anywhere (the archive is stored whole, as posted).
"""
import configparser
import functools
import io
import re
import urllib.parse
import zipfile

from protocol_names import (
    FIELD_APP,
    FIELD_COUNT,
    FIELD_GUID,
    FIELD_HASH_ID,
    FIELD_MAIL,
    FIELD_MODULE,
    FIELD_PRODUCT,
    FIELD_VERSION,
    INFO_FIELDS,
    INFO_FILE_NAME,
)

# Longest accepted value per field; the uploader cuts the version at 30 characters itself.
FIELD_LIMITS = {
    FIELD_PRODUCT: 64,
    FIELD_HASH_ID: 32,
    FIELD_GUID: 128,
    FIELD_VERSION: 30,
    FIELD_APP: 260,
    FIELD_MODULE: 260,
    FIELD_COUNT: 1,
    FIELD_MAIL: 260,
}
# The uploader refuses to start without a crash ID and a module, and always has a machine identity;
# application, version and e-mail may be empty.
REQUIRED = (FIELD_PRODUCT, FIELD_HASH_ID, FIELD_GUID, FIELD_MODULE, FIELD_COUNT)
HASH_ID = re.compile(r"^[0-9A-Fa-f]{32}$")

# A report above REPORT_LIMIT is not a report Kelvor writes; INFLATE_LIMIT bounds what one archive
# may unpack to in total (a setting of the server), so a small archive can't make it inflate gigabytes.
REPORT_LIMIT = 8 << 20
INFO_INI_LIMIT = 64 << 10
INFLATE_LIMIT = 64 << 20
CHUNK = 1 << 16
# Member names are shown on pages and become download names: no control characters.
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
UNPAIRED = re.compile(r"[\ud800-\udfff\x00]")


class BadUpload(Exception):
    """Input that is refused with a 4xx answer; str() is the answer's text."""

    def __init__(self, text, status=400):
        super().__init__(text)
        self.status = status


def read_body(stream, length, limit):
    """A request's body from its stream and declared length (None when chunked); a 413 before
    reading it when the length says it is too long, a 413 or 400 when what came is too long or short."""
    if length is not None and length > limit:
        raise BadUpload("the body is larger than %d bytes" % limit, 413)
    data = stream.read(limit + 1)
    if len(data) > limit:
        raise BadUpload("the body is larger than %d bytes" % limit, 413)
    if length is not None and len(data) != length:
        raise BadUpload("the body is shorter than its Content-Length")
    return data


def parsing_boundary(fn):
    """Any failure of a parser on hostile input is the sender's fault: a 400, never a 500."""

    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except BadUpload:
            raise
        except MemoryError:
            raise BadUpload("the upload is too large to read", 413)
        except Exception as e:  # noqa: BLE001 - the one catch for everything a stranger's bytes cause
            raise BadUpload("the upload is malformed (%s)" % type(e).__name__)

    return wrapper


def clean_text(text):
    """Text safe to store in either database: NUL and unpaired surrogates become U+FFFD."""
    return UNPAIRED.sub("\ufffd", text)


def normalise_hash_id(text):
    if not isinstance(text, str) or not HASH_ID.match(text):
        raise BadUpload("hash_id must be 32 hexadecimal characters")
    return text.upper()


@parsing_boundary
def parse_info_form(body):
    """The information post's eight fields from an url-encoded UTF-8 body, as a dict."""
    try:
        text = body.decode("ascii")
        pairs = urllib.parse.parse_qsl(
            text, keep_blank_values=True, strict_parsing=bool(text), encoding="utf-8", errors="strict"
        )
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
        if len(value) > FIELD_LIMITS[name] or CONTROL.search(value):
            raise BadUpload("field %s is malformed" % name)
        if name in REQUIRED and not value:
            raise BadUpload("field %s is empty" % name)
    if fields["count"] not in ("0", "1"):
        raise BadUpload("count must be 0 or 1")
    fields["hash_id"] = normalise_hash_id(fields["hash_id"])
    return {name: fields[name] for name in INFO_FIELDS}


def safe_member_name(name):
    """False for names that would leave a folder if anyone unpacked them, or that hold control
    characters (a CR/LF name could never be sent back as a download name)."""
    n = name.replace("\\", "/")
    if not n or n.startswith("/") or re.match(r"^[A-Za-z]:", n) or CONTROL.search(n) or UNPAIRED.search(n):
        return False
    return all(part != ".." for part in n.split("/")) and not n.endswith("/") and len(n) <= 260


def open_zip(body):
    """The archive and its members after checking their names; raises BadUpload."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(body))
        members = archive.infolist()
    except (zipfile.BadZipFile, zipfile.LargeZipFile, ValueError, EOFError, OSError, NotImplementedError):
        raise BadUpload("the body is not a zip archive")
    if not members:
        raise BadUpload("the archive is empty")
    names = set()
    for info in members:
        if not safe_member_name(info.filename):
            raise BadUpload("member name %r is not allowed" % info.filename)
        if info.filename.lower() in names:
            raise BadUpload("member %r appears twice" % info.filename)
        names.add(info.filename.lower())
    return archive


class Inflater:
    """Reads members in chunks and counts every inflated byte against one limit for the archive."""

    def __init__(self, archive, limit):
        self.archive = archive
        self.left = limit
        self.limit = limit

    def read(self, info, keep_limit=None):
        """The member's bytes when keep_limit is given (at most that many), else None after
        inflating it to check its CRC. Raises BadUpload for damage and for sizes over the limits."""
        chunks, got = [], 0
        try:
            with self.archive.open(info) as f:
                while True:
                    chunk = f.read(CHUNK)
                    if not chunk:
                        break
                    got += len(chunk)
                    self.left -= len(chunk)
                    if self.left < 0:
                        raise BadUpload("the archive unpacks to more than %d bytes" % self.limit, 413)
                    if keep_limit is not None:
                        if got > keep_limit:
                            raise BadUpload("member %r is too large" % info.filename, 413)
                        chunks.append(chunk)
        except BadUpload:
            raise
        except Exception:  # noqa: BLE001 - zlib, CRC, encryption, truncation: all damage
            raise BadUpload("member %r is damaged or encrypted" % info.filename)
        return b"".join(chunks) if keep_limit is not None else None


HEADER_LINES = [
    ("first", re.compile(r"^Program Name:(?P<program_name>.*?)   Program Version:(?P<program_version>.*)$")),
    ("second", re.compile(r"^AppName:(?P<app_name>.*?)   Windows Version:(?P<windows_version>.*)$")),
    # Kelvor prints the time with %d; more digits than any date has are a malformed header.
    (
        "third",
        re.compile(
            r"^Module:(?P<module>.*?)   Data:(?P<y>\d{1,5})-(?P<mo>\d{1,2})-(?P<d>\d{1,2}) "
            r"(?P<h>\d{1,2}):(?P<mi>\d{1,2}):(?P<s>\d{1,2})$"
        ),
    ),
    ("email", re.compile(r"^Email:(?P<email>.*)$")),
    ("hash", re.compile(r"^HashCode:(?P<hash_code>.*)$")),
]
STACK_LINE = re.compile(r"^0x[0-9A-Fa-f]+  0x[0-9A-Fa-f]+  .*$")
MEMORY_END = re.compile(r"\r\nPagefileUsage :[^\r\n]* M\r\n")


@parsing_boundary
def parse_report(data):
    """Header, stack and user entries of Kelvor's UTF-16LE text report."""
    if len(data) < 2 or data[:2] != b"\xff\xfe" or len(data) % 2:
        raise BadUpload("the report is not UTF-16 text with a byte-order mark")
    # A lone surrogate (a window title cut in the middle of a pair, say) costs that character, not
    # the archive: it is kept as U+FFFD.
    text = clean_text(data[2:].decode("utf-16-le", "surrogatepass"))
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
        int(report.pop(k)) for k in ("y", "mo", "d", "h", "mi", "s")
    )
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
    report["user_context"] = text[at + len(heading) :] if at >= 0 else ""
    return report


def crash_members(infos):
    """The reports (.txt) and the dumps (.dmp) among an uploader's archive's members."""
    reports = [i for i in infos if i.filename.lower().endswith(".txt")]
    dumps = [i for i in infos if i.filename.lower().endswith(".dmp")]
    return reports, dumps


class CrashArchive:
    """The uploader's archive: one report (.txt, UTF-16) and at most one dump (.dmp).

    Constructing it reads only the report (so the grant can be checked before anything large is
    inflated); verify() then inflates the rest in chunks, within the archive's inflate limit."""

    @parsing_boundary
    def __init__(self, body, inflate_limit=INFLATE_LIMIT):
        self.archive = open_zip(body)
        infos = self.archive.infolist()
        reports, dumps = crash_members(infos)
        if len(reports) != 1 or len(dumps) > 1 or len(infos) != len(reports) + len(dumps):
            raise BadUpload("the archive must hold one report (.txt) and at most one dump (.dmp)")
        self.inflater = Inflater(self.archive, inflate_limit)
        self.report_info, self.dump_info = reports[0], (dumps[0] if dumps else None)
        report = parse_report(self.inflater.read(self.report_info, REPORT_LIMIT))
        report["report_name"] = self.report_info.filename
        report["dump_name"] = self.dump_info.filename if self.dump_info else ""
        report["dump_size"] = self.dump_info.file_size if self.dump_info else 0
        self.report = report

    @parsing_boundary
    def verify(self):
        if self.dump_info is not None:
            self.inflater.read(self.dump_info)


def decode_ini(raw):
    # Drummet writes the profile file in the ANSI code page (or UTF-16 when it already was).
    if raw[:2] == b"\xff\xfe":
        return raw[2:].decode("utf-16-le", "replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp1252", "replace")


@parsing_boundary
def parse_kernel_package(body, inflate_limit=INFLATE_LIMIT):
    """Validates Drummet's package (the dump and "info.ini"); returns info.ini's keys and names."""
    archive = open_zip(body)
    infos = archive.infolist()
    ini = [i for i in infos if i.filename.lower() == INFO_FILE_NAME]
    dumps = [i for i in infos if i.filename.lower() != INFO_FILE_NAME]
    if len(ini) != 1 or len(dumps) != 1:
        raise BadUpload("the package must hold one dump and info.ini")
    inflater = Inflater(archive, inflate_limit)
    text = decode_ini(inflater.read(ini[0], INFO_INI_LIMIT))
    inflater.read(dumps[0])
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    try:
        parser.read_string(text)
    except configparser.Error:
        raise BadUpload("info.ini is malformed")
    if not parser.has_section("info"):
        raise BadUpload("info.ini has no [info] section")
    section = parser["info"]
    return {
        "version": clean_text(section.get("version", "")[:64]),
        "machine_id": clean_text(section.get("id", "")[:255]),
        "module": clean_text(section.get("module", "")[:64]),
        "dump_name": dumps[0].filename,
        "dump_size": dumps[0].file_size,
    }
