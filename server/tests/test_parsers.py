"""The parsers on hostile input: whatever the bytes, the answer is a parse or a BadUpload (a 4xx),
never another exception (a 500). Property-based (hypothesis) on each parser, then hostile
archives made by hand."""
import struct
import urllib.parse
import zipfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from crashserver.parsing import BadUpload, CrashArchive, parse_info_form, parse_kernel_package, parse_report
from serverlib import info_fields, make_archive, make_kernel_package, make_report, make_zip

H = "0A1B2C3D4E5F60718293A4B5C6D7E8F9"
# No example database: the tests run from the source tree, and a failure prints its example.
SETTINGS = settings(
    max_examples=150, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)


def outcome(parse, *args):
    """The parse's result, or the BadUpload's status; any other exception fails the test."""
    try:
        return parse(*args)
    except BadUpload as e:
        assert 400 <= e.status < 500, e
        return e.status


def crash_archive(body, limit=1 << 20):
    archive = CrashArchive(body, limit)
    archive.verify()
    return archive.report


def mutated(base):
    """A valid body with some bytes overwritten, cut or extended."""
    edits = st.lists(st.tuples(st.integers(0, len(base) - 1), st.integers(0, 255)), min_size=1, max_size=8)

    def apply(args):
        changes, cut, tail = args
        body = bytearray(base)
        for at, value in changes:
            body[at] = value
        return bytes(body[:cut]) + tail

    return st.tuples(edits, st.integers(0, len(base)), st.binary(max_size=16)).map(apply)


ARCHIVE = make_archive(H, dump=bytes(range(256)) * 4)
STORED_ARCHIVE = make_zip([("ORV.DMP", b"MDMP" * 50), ("ORV.txt", make_report(H))], zipfile.ZIP_STORED)
PACKAGE = make_kernel_package(dump=b"PAGEDU64" * 40)


@SETTINGS
@given(st.one_of(st.binary(max_size=600), mutated(ARCHIVE), mutated(STORED_ARCHIVE)))
def test_crash_archive_on_any_bytes(body):
    result = outcome(crash_archive, body)
    if isinstance(result, dict):
        assert result["hash_code"] == H


@SETTINGS
@given(st.one_of(st.binary(max_size=600), mutated(PACKAGE)))
def test_kernel_package_on_any_bytes(body):
    outcome(parse_kernel_package, body, 1 << 20)


@SETTINGS
@given(st.text(max_size=300), st.sampled_from(["cp1252", "utf-8", "utf-16"]))
def test_info_ini_on_any_text(text, encoding):
    raw = text.encode(encoding, "replace")
    result = outcome(parse_kernel_package, make_zip([("Mini.dmp", b"x"), ("info.ini", raw)]), 1 << 20)
    if isinstance(result, dict):
        assert all("\0" not in v for v in result.values() if isinstance(v, str))


@SETTINGS
@given(
    st.one_of(
        st.binary(max_size=400),
        st.dictionaries(
            st.sampled_from(
                ["product", "hash_id", "guid", "version", "app", "module", "count", "mail", "other"]
            ),
            st.text(max_size=40),
        ).map(lambda d: urllib.parse.urlencode(d).encode()),
    )
)
def test_information_form_on_any_bytes(body):
    result = outcome(parse_info_form, body)
    if isinstance(result, dict):
        assert len(result["hash_id"]) == 32 and result["count"] in ("0", "1")


header_text = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\r\n"), max_size=30)


@SETTINGS
@given(
    header_text,
    header_text,
    st.text(max_size=60),
    st.binary(max_size=40),
    st.lists(st.integers(0, 99999), min_size=6, max_size=6),
)
def test_report_on_any_text(version, email, description, noise, date):
    text = (
        "\ufeffVemko Dump\r\nProgram Name:Orv   Program Version:%s\r\nAppName:Orv.exe   Windows Version:7\r\n"
        "Module:M   Data:%d-%d-%d %d:%d:%d\r\nEmail:%s\r\nHashCode:%s\r\n\r\nUserContext:\r\n%s"
        % ((version,) + tuple(date) + (email, H, description))
    )
    data = text.encode("utf-16-le", "surrogatepass")
    result = outcome(parse_report, data)
    if isinstance(result, dict):
        assert (result["program_version"], result["email"]) == (version, email)
        assert "\0" not in result["user_context"]
    outcome(parse_report, data + noise)
    outcome(parse_report, b"\xff\xfe" + noise)


def with_version_needed(body, version):
    """The archive with every central directory entry's "version needed to extract" set."""
    out = bytearray(body)
    at = out.find(b"PK\x01\x02")
    while at >= 0:
        struct.pack_into("<H", out, at + 6, version)
        at = out.find(b"PK\x01\x02", at + 4)
    return bytes(out)


def report_with(replace, by):
    return make_report(H, user_context="before TARGET after").replace(
        "TARGET".encode("utf-16-le"), by if isinstance(by, bytes) else by.encode("utf-16-le", "surrogatepass")
    )


@pytest.mark.parametrize(
    "name, body, expected",
    [
        ("zip version needed 7.0", with_version_needed(make_archive(H), 70), 400),
        (
            "5000-digit year",
            make_zip(
                [
                    (
                        "ORV.txt",
                        make_report(H).replace(
                            "2026-12-8".encode("utf-16-le"), ("9" * 5000 + "-12-8").encode("utf-16-le")
                        ),
                    )
                ]
            ),
            400,
        ),
        ("CR/LF in the report's name", make_zip([("ORV\r\nX-Evil: 1.txt", make_report(H))]), 400),
        ("CR/LF in the dump's name", make_zip([("ORV\r\n.dmp", b"MDMP"), ("ORV.txt", make_report(H))]), 400),
        (
            "lone high surrogate",
            make_zip([("ORV.txt", report_with("TARGET", "\ud83d"))]),
            "before \ufffd after",
        ),
        (
            "lone low surrogate at the end",
            make_zip([("ORV.txt", report_with("TARGET", b"") + b"\x00\xdc")]),
            "before  after\ufffd",
        ),
        (
            "NUL in the description",
            make_zip([("ORV.txt", report_with("TARGET", "\0"))]),
            "before \ufffd after",
        ),
        (
            "surrogate pair kept",
            make_zip([("ORV.txt", report_with("TARGET", "\U0001F600"))]),
            "before \U0001F600 after",
        ),
    ],
)
def test_hand_made_archives(name, body, expected):
    result = outcome(crash_archive, body)
    assert (result if isinstance(result, int) else result["user_context"]) == expected, name


def test_kernel_member_with_line_break_is_refused():
    body = make_zip([("Mini\r\n.dmp", b"x"), ("info.ini", b"[info]\r\nid=1\r\n")])
    assert outcome(parse_kernel_package, body, 1 << 20) == 400


@pytest.mark.parametrize(
    "members, limit, expected",
    [
        # A bomb in the dump: inflating stops at the archive's limit.
        ([("ORV.DMP", b"\0" * (3 << 20)), ("ORV.txt", make_report(H))], 1 << 20, 413),
        ([("ORV.DMP", b"\0" * (3 << 20)), ("ORV.txt", make_report(H))], 4 << 20, H),
        # The report alone over its own limit.
        ([("ORV.txt", make_report(H, user_context="x" * (5 << 20)))], 64 << 20, 413),
    ],
)
def test_inflated_total_is_capped(members, limit, expected):
    result = outcome(crash_archive, make_zip(members), limit)
    assert (result if isinstance(result, int) else result["hash_code"]) == expected


def test_information_fields_round_trip():
    fields = dict(info_fields(H.lower(), "DISK-1", mail="a@example.org"))
    assert parse_info_form(urllib.parse.urlencode(fields).encode()) == dict(fields, hash_id=H)
