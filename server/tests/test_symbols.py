"""The dump readers (property-based, and a real dump against lldb), the symbol store and
symbolication through a running server: symbols that arrive late, another build's debug file,
hostile dumps and uploads, a symbolizer that hangs, kernel-dump bug checks."""
import contextlib
import os
import re
import shutil
import sqlite3
import stat
import struct
import subprocess
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from crashserver import kernel_dump, minidump, pe
from dumps import kernel_header, minidump as build_dump, new_guid
from serverlib import Client, Server, make_kernel_package, make_zip, request

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
SYMBOLS_TOKEN = "symbols-token-5c1"
SERVER_ARGS = ("--symbol-workers", "1", "--symbols-token", SYMBOLS_TOKEN, "--max-archives", "10")


def data(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


modules_strategy = st.lists(
    st.fixed_dictionaries(
        {
            "name": st.text(
                st.characters(min_codepoint=0x20, max_codepoint=0x2FFF, blacklist_categories=("Cs",)),
                max_size=40,
            ),
            "base": st.integers(0, 2**32 - 1),
            "size": st.integers(0, 2**31),
            "time_stamp": st.integers(0, 2**32 - 1),
            "guid": st.one_of(st.none(), st.integers(0, 2**40).map(new_guid)),
            "age": st.integers(0, 2**32 - 1),
        }
    ),
    max_size=6,
)


@settings(max_examples=150, deadline=None, database=None)
@given(modules_strategy, st.integers(1, 2**32 - 1), st.integers(0, 2**32 - 1))
def test_minidump_round_trip(modules, code, address):
    dump = minidump.read(build_dump(modules, (7, code, address), threads=[5, 7]))
    assert [(m["name"], m["base"], m["size"], m["time_stamp"]) for m in dump["modules"]] == [
        (m["name"].replace("/", "\\").rsplit("\\", 1)[-1], m["base"], m["size"], m["time_stamp"])
        for m in modules
    ]
    for got, m in zip(dump["modules"], modules):
        assert (got["codeview"] or {}).get("guid") == (str(m["guid"]).upper() if m["guid"] else None)
    e = dump["exception"]
    assert (e["thread_id"], e["code"], e["address"], e["registers"]["eip"]) == (
        7,
        code,
        address,
        address & 0xFFFFFFFF,
    )
    assert [t["crashed"] for t in dump["threads"]] == [False, True]


IMAGE_BYTES = data("OrvCore.dll")
VALID = build_dump(
    [
        {
            "name": "C:\\p\\OrvCore.dll",
            "base": 0x69500000,
            "size": 0xD000,
            "time_stamp": 1,
            "guid": new_guid(3),
        }
    ],
    (7, 0xC0000005, 0x69501513),
    threads=[7],
)


@settings(max_examples=400, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.one_of(
        st.binary(max_size=300),
        st.integers(0, len(VALID)).map(lambda n: VALID[:n]),  # truncated anywhere
        st.lists(
            st.tuples(
                st.integers(0, len(VALID) - 4), st.sampled_from([0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 12, 32])
            ),
            min_size=1,
            max_size=4,
        ).map(  # counts, sizes and offsets made huge, zero or pointing back
            lambda patches: _patched(VALID, patches)
        ),
        st.lists(
            st.tuples(st.integers(0, 1020), st.sampled_from([0, 0x7FFFFFFF, 0xFFFFFFFF, 0x1000, 64])),
            min_size=1,
            max_size=4,
        ).map(lambda patches: _patched(IMAGE_BYTES, patches)),
    )
)
def test_hostile_bytes_give_a_result_or_malformed_and_nothing_else(blob):
    start = time.monotonic()
    for reader, refused in (
        (minidump.read, minidump.MalformedDump),
        (pe.identify, pe.NotAnImage),
        (kernel_dump.read_header, kernel_dump.NotAKernelDump),
    ):
        try:
            reader(blob)
        except refused:
            pass
    assert time.monotonic() - start < 5  # a generous bound on a loop, not a speed figure


def _patched(blob, patches):
    out = bytearray(blob)
    for at, value in patches:
        struct.pack_into("<I", out, at, value)
    return bytes(out)


@pytest.mark.skipif(not shutil.which("lldb"), reason="lldb is not installed")
def test_real_dump_modules_agree_with_lldb():
    path = os.path.join(DATA, "orv_crash.dmp")
    out = subprocess.run(
        ["lldb", "--batch", "-c", path, "-o", "image list"], capture_output=True, text=True, timeout=60
    ).stdout
    rows = re.findall(r"^\[\s*\d+\]\s+(\S+\s+)?(0x[0-9a-f]+) (.*?)\s*$", out, re.M)
    theirs = sorted((int(b, 16), re.split(r"[\\/]", p)[-1]) for _, b, p in rows)
    dump = minidump.read(data("orv_crash.dmp"))
    assert theirs and sorted((m["base"], m["name"]) for m in dump["modules"]) == theirs
    # lldb finds OrvCore.dll beside the dump and names its build id as the CodeView key does.
    guid, age = [u.strip().rsplit("-", 1) for u, _, p in rows if p.endswith("OrvCore.dll")][0]
    assert (
        "%s%X" % (guid.replace("-", ""), int(age, 16)) == pe.identify(data("OrvCore.dll"))["codeview"]["key"]
    )
    assert (dump["exception"]["code"], dump["exception"]["address"]) == (0xC0000005, 0x69501513)


@pytest.mark.parametrize("width", [32, 64])
def test_kernel_header_fields(width):
    h = kernel_dump.read_header(
        kernel_header(
            width, 0xD1, [0x10, 2, 0, 0xFFFFF80012345678 >> (64 - width)], build=7601, when=1796800000
        )
    )
    assert (h["bug_check_name"], h["parameters"][0], h["os_build"], h["dump_time"]) == (
        "DRIVER_IRQL_NOT_LESS_OR_EQUAL",
        0x10,
        "7601 (free)",
        1796800000,
    )
    assert h["machine"] == ("x86" if width == 32 else "x64")


# --- through a server --------------------------------------------------------------------------------
@pytest.fixture
def server(data_dir):
    s = Server(data_dir, *SERVER_ARGS).start()
    yield s, Client([s])
    s.stop()


def put_symbol(s, path, body, token=SYMBOLS_TOKEN):
    return request(s, "PUT", "/symbols/" + path, body, {"Authorization": "Bearer " + token})[:2]


def post_crash(c, dump, report=None):
    report = report or data("orv_crash.txt")
    hash_id = re.search(r"HashCode:([0-9A-F]{32})", report.decode("utf-16-le")).group(1)
    c.info(hash_id, "M%d" % time.monotonic_ns(), module="OrvCore.dll", app="Demo.exe")
    assert c.archive(make_zip([("a.dmp", dump), ("a.txt", report)]))[0] == 200
    return hash_id


def symbolicated(c, hash_id, n=1, timeout=30):
    """The group once its first n archives are symbolicated."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        g = c.group(hash_id)
        if (
            g
            and len(g["archive_list"]) >= n
            and all(a["symbolication"]["state"] == "done" for a in g["archive_list"][:n])
        ):
            return g
        time.sleep(0.2)
    raise AssertionError("not symbolicated in %d s" % timeout)


IMAGE = "OrvCore.dll/6B190CA7d000/OrvCore.dll"
DEBUG = "OrvCore.dll/3C4F51423AD056CE6F7B034BAB3F06631/OrvCore.debug"


def other_build(blob):
    """The same debug file with another build id (as a rebuild of the same source would have)."""
    at = blob.index(b"RSDS") + 4
    return blob[:at] + bytes(b ^ 0xFF for b in blob[at : at + 16]) + blob[at + 16 :]


def test_symbols_arriving_later_are_used_and_another_builds_never(backend):
    # On PostgreSQL two server processes with a worker each share the queue.
    c = backend("--symbol-workers", "1", "--symbols-token", SYMBOLS_TOKEN)
    s = c.servers[0]
    hash_id = post_crash(c, data("orv_crash.dmp"))
    g = symbolicated(c, hash_id)
    assert g["title"] == "" and g["archive_list"][0]["symbolication"]["frames"][0]["symbols"] is None

    # Another build of OrvCore: taken under its own key only, and never used for this dump.
    foreign = other_build(data("OrvCore.debug"))
    assert put_symbol(s, DEBUG, foreign)[0] == 409
    foreign_key = pe.identify(foreign)["codeview"]["key"]
    assert put_symbol(s, "OrvCore.dll/%s/OrvCore.debug" % foreign_key, foreign)[0] == 201
    assert put_symbol(s, IMAGE, data("OrvCore.dll"), token="wrong")[0] == 401
    assert put_symbol(s, IMAGE, data("OrvCore.dll"))[0] == 201
    assert symbolicated(c, hash_id)["title"] == ""

    # Its own debug file: used from then on; the same upload again changes nothing.
    assert put_symbol(s, DEBUG, data("OrvCore.debug")) == (201, b"stored\n")
    assert put_symbol(s, DEBUG, data("OrvCore.debug")) == (200, b"already stored\n")
    deadline = time.time() + 30
    while symbolicated(c, hash_id)["title"] == "" and time.time() < deadline:
        time.sleep(0.2)
    g = symbolicated(c, hash_id)
    assert g["title"] == "OrvCoreFault in OrvCore.dll, orv_core_win.cpp:24"
    frames = g["archive_list"][0]["symbolication"]["frames"]
    assert [f["symbols"][0]["function"] for f in frames[:3]] == [
        "OrvCoreFault",
        "(anonymous namespace)::CoreStep(void (*)(int), int)",
        "OrvCoreRun",
    ]
    assert frames[5]["symbols"] is None and frames[5]["module"] == "kernel32.dll"
    # Served read-only to debuggers with the token; found by a search on frame text.
    assert request(
        s, "GET", "/symbols/" + DEBUG.lower(), headers={"Authorization": "Bearer " + SYMBOLS_TOKEN}
    )[1] == data("OrvCore.debug")
    assert request(s, "GET", "/symbols/" + DEBUG)[0] == 401
    for q in ("corestep", hash_id[:6].lower(), "demo.EXE", "orv_core_win.cpp:24"):
        assert [x["hash_id"] for x in c.api("/groups?q=" + q)["groups"]] == [hash_id], q
    assert c.api("/groups?q=nosuchframe")["groups"] == []
    status, page, _ = c.get("/groups/" + hash_id)
    assert status == 200 and b"orv_core_win.cpp:24" in page

    # Deleted on request: its symbolication (which holds the report) goes too.
    assert c.post_form("/api/groups/%s/delete" % hash_id, {"confirm": "yes"})[0] == 200
    if backend.kind == "sqlite":
        with contextlib.closing(sqlite3.connect(os.path.join(backend.data, "crashes.sqlite"))) as db:
            assert db.execute("SELECT COUNT(*) FROM symbolication").fetchone()[0] == 0


def test_hostile_uploads_and_dumps_never_fail_the_server(server):
    s, c = server
    image, debug = data("OrvCore.dll"), data("OrvCore.debug")
    for path, body in [
        (IMAGE, image[:200]),
        (IMAGE, b"MZ" + b"\xff" * 100),
        (IMAGE, debug),
        (DEBUG, image),
        ("OrvCore.dll/XYZ/OrvCore.dll", image),
        ("OrvCore.dll/6B190CA7d000/x.exe", image),
        ("..%2F..%2Fetc/6B190CA7d000/passwd", image),
        (IMAGE, _patched(image, [(0x3C, 0xFFFFFFF0)])),
    ]:
        status = put_symbol(s, path, body)[0]
        assert 400 <= status < 500, (path, status)
    # A debug file above the other endpoints' limits reaches the store (which reads it and refuses it).
    status, text = put_symbol(s, IMAGE, b"MZ" + b"\0" * (40 << 20))
    assert status == 400 and text.startswith(b"not a PE image"), text
    dump = data("orv_crash.dmp")
    hostile = [
        dump[:100],
        dump[:5000],
        _patched(dump, [(8, 0xFFFFFFFF)]),
        _patched(dump, [(12, 0xFFFFFFF0)]),
        _patched(dump, [(32 + 2 * 12 + 8, 32)]),
    ]
    hash_ids = [post_crash(c, d) for d in hostile]
    g = symbolicated(c, hash_ids[0], n=len(hostile))
    states = [a["symbolication"]["dump"] for a in g["archive_list"]]
    assert states.count("unreadable dump") >= 4
    status, page, _ = c.get("/groups/" + hash_ids[0])
    assert status == 200 and b"unreadable dump" in page


@pytest.fixture
def hanging_symbolizer(tmp_path, monkeypatch):
    script = tmp_path / "symbolizer"
    script.write_text("#!/bin/sh\nexec sleep 300\n")
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    monkeypatch.setenv("CRASHSERVER_SYMBOLIZER_TIMEOUT", "1")
    return str(script)


def test_a_hanging_symbolizer_is_cut_off(data_dir, hanging_symbolizer):
    with Server(data_dir, *SERVER_ARGS, "--symbolizer", hanging_symbolizer) as s:
        c = Client([s])
        put_symbol(s, IMAGE, data("OrvCore.dll"))
        put_symbol(s, DEBUG, data("OrvCore.debug"))
        hash_id = post_crash(c, data("orv_crash.dmp"))
        post_crash(c, data("orv_crash.dmp"))
        g = symbolicated(c, hash_id, n=2, timeout=30)
        assert g["title"] == "" and all(
            f["symbols"] is None for f in g["archive_list"][0]["symbolication"]["frames"]
        )
    assert not subprocess.run(["pgrep", "-f", hanging_symbolizer], capture_output=True).stdout


def test_kernel_dumps_by_bug_check(server):
    s, c = server
    for width, code in ((64, 0xD1), (32, 0xD1), (64, 0x50)):
        c.kernel(
            make_kernel_package(dump=kernel_header(width, code, [1, 2, 3, 4], when=1796800000 + code + width))
        )
    c.kernel(make_kernel_package(dump=b"not a dump"))
    answer = c.api("/kernel-dumps")
    assert [(b["bug_check"], b["count"]) for b in answer["bug_checks"]] == [
        ("0x000000D1", 2),
        ("0x00000050", 1),
        ("unreadable", 1),
    ]
    assert "0x000000D1 DRIVER_IRQL_NOT_LESS_OR_EQUAL (0x1, 0x2, 0x3, 0x4)" in [
        d["bug_check_text"] for d in answer["kernel_dumps"]
    ]
