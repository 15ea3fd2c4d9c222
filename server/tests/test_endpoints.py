"""The upload endpoints and the server's decisions, on SQLite and on PostgreSQL (two processes)."""
import hashlib
import io
import os
import urllib.parse
import zipfile

import pytest

from serverlib import (
    STACK,
    TOKEN,
    info_fields,
    make_archive,
    make_kernel_package,
    make_report,
    make_zip,
    request,
    stored_files,
)

H1 = "0A1B2C3D4E5F60718293A4B5C6D7E8F9"
H2 = "0123456789abcdef0123456789abcdef"  # Kelvor's fixed ID of a crash without a stack signature


def test_first_three_archives_are_asked_for_then_only_counted(backend):
    c = backend()
    answers = [c.info(H1, "DISK%d-0011223344%02d" % (i, i)) for i in range(4)]
    assert answers == [(200, b"true")] * 3 + [(200, b"false")]
    for i in range(3):
        assert c.archive(make_archive(H1, email="user%d@example.org" % i)) == (200, b"ok")
    # All three places taken by stored archives: later machines are only counted.
    assert c.info(H1, "DISK9-001122334499") == (200, b"false")
    g = c.group(H1)
    assert (g["report_count"], g["machines"], g["archives"]) == (5, 5, 3)
    assert sorted(a["email"] for a in g["archive_list"]) == [
        "user0@example.org",
        "user1@example.org",
        "user2@example.org",
    ]
    # Each archive goes to the machine whose answer it used; none is left waiting.
    assert sorted(a["guid"] for a in g["archive_list"]) == [
        "DISK%d-0011223344%02d" % (i, i) for i in range(3)
    ]
    assert c.archive(make_archive(H1)) == (409, b"no archive was asked for crash ID %s\n" % H1.encode())
    assert c.group(H1)["archives"] == 3


def test_same_machine_is_not_asked_twice(backend):
    c = backend()
    assert c.info(H1, "M1") == (200, b"true")
    assert c.info(H1, "M1") == (200, b"false")  # its archive is still on its way
    assert c.archive(make_archive(H1)) == (200, b"ok")
    assert c.info(H1, "M1") == (200, b"false")
    assert c.info(H1, "M2") == (200, b"true")
    g = c.group(H1)
    assert (g["report_count"], g["machines"], g["archives"]) == (4, 2, 1)
    assert [p["answer"] for p in g["posts"]] == ["true", "false", "false", "true"]


def test_counts_versions_and_report_contents(backend):
    c = backend()
    c.crash(H2, "M1", email="a@example.org", user_context="Clicked scan.\r\nThen it closed.")
    c.info(H2, "M2", version="1.0.0.2", count="0", mail="b@example.org")
    c.info(H2, "M1", version="1.0.0.2")
    c.crash(H1, "M1", version="2.0", module="OrvNet.dll", stack=None)
    g = c.group(H2.upper())
    # count "0" is a resend of an earlier crash: recorded, not counted as a new report.
    assert (g["report_count"], g["machines"], g["archives"], len(g["posts"])) == (2, 2, 1, 3)
    assert g["versions"] == ["1.0.0.1", "1.0.0.2"]
    assert g["first_seen"] <= g["last_seen"]
    assert g["stack"] == STACK
    a = g["archive_list"][0]
    assert (a["email"], a["user_context"], a["windows_version"], a["report_time"], a["module"]) == (
        "a@example.org",
        "Clicked scan.\r\nThen it closed.",
        "WIN_7 64",
        "2026-12-08 09:03:41",
        "OrvCore.dll",
    )
    assert (a["dump_name"], a["report_name"]) == ("ORV_20261208_090341.DMP", "ORV_20261208_090341.txt")
    assert c.group(H1)["stack"] == []
    status, body, headers = c.get("/archives/%d" % a["id"])
    assert status == 200 and hashlib.sha256(body).hexdigest() == a["sha256"]
    assert zipfile.ZipFile(io.BytesIO(body)).namelist()[1] == "ORV_20261208_090341.txt"

    by_count = c.api("/groups?sort=count")["groups"]
    assert [x["hash_id"] for x in by_count] == [H2.upper(), H1]
    assert [x["hash_id"] for x in c.api("/groups?sort=last_seen")["groups"]] == [H1, H2.upper()]
    assert [x["hash_id"] for x in c.api("/groups?version=1.0.0.2")["groups"]] == [H2.upper()]
    assert [x["hash_id"] for x in c.api("/groups?module=OrvNet.dll")["groups"]] == [H1]
    assert c.api("/groups?module=none.dll")["groups"] == []


def test_kernel_dumps_are_listed_by_machine_and_version(backend):
    c = backend()
    packages = [
        make_kernel_package("S-1-5-21-9-B", "1.0.0.2"),
        make_kernel_package("S-1-5-21-9-A", "1.0.0.1"),
    ]
    assert c.kernel(packages[0]) == (200, b"ok")
    # Drummet with a BugURL that ends in "/" posts to "//cgi-bin/bug_report.cgi".
    assert request(c.port(), "POST", "//cgi-bin/bug_report.cgi", packages[1])[:2] == (200, b"ok")
    dumps = c.api("/kernel-dumps")["kernel_dumps"]
    assert [(d["machine_id"], d["version"], d["module"], d["dump_name"]) for d in dumps] == [
        ("S-1-5-21-9-A", "1.0.0.1", "Driver", "Mini120826-01.dmp"),
        ("S-1-5-21-9-B", "1.0.0.2", "Driver", "Mini120826-01.dmp"),
    ]
    status, body, _ = c.get("/kernel-dumps/%d" % dumps[0]["id"])
    assert (status, body) == (200, packages[1])


def bad_zip_members():
    report = make_report(H1)
    return {
        "not a zip": b"PK\x03\x04 this is not an archive",
        "empty body": b"",
        "no report": make_zip([("ORV.DMP", b"MDMP")]),
        "two reports": make_zip([("A.txt", report), ("B.txt", report)]),
        "stranger member": make_zip([("ORV.txt", report), ("notes.exe", b"MZ")]),
        "dot-dot member": make_zip([("../ORV.txt", report)]),
        "absolute member": make_zip([("/tmp/ORV.txt", report)]),
        "drive member": make_zip([("C:\\dump\\ORV.txt", report)]),
        "report without BOM": make_zip([("ORV.txt", report[2:])]),
        "report in UTF-8": make_zip([("ORV.txt", "\ufeffVemko Dump\r\n".encode())]),
        "bad HashCode": make_zip([("ORV.txt", make_report("XYZ"))]),
        "damaged member": make_zip([("ORV.txt", report)], zipfile.ZIP_STORED).replace(
            "Vemko".encode("utf-16-le"), "Wemko".encode("utf-16-le")
        ),
        "truncated": make_archive(H1)[:-30],
    }


def test_bad_input_is_refused_and_nothing_is_stored(backend):
    c = backend("--kernel-limit", str(1 << 20))
    assert c.info(H1, "M1") == (200, b"true")
    for name, body in bad_zip_members().items():
        status, text = c.archive(body)
        assert status == 400, (name, status, text)
    good = info_fields(H1, "M2")
    bad_forms = {
        "missing field": urllib.parse.urlencode(good[:-1]),
        "short hash": urllib.parse.urlencode(info_fields(H1[:31], "M2")),
        "hash not hex": urllib.parse.urlencode(info_fields("G" * 32, "M2")),
        "count 2": urllib.parse.urlencode(info_fields(H1, "M2", count="2")),
        "empty guid": urllib.parse.urlencode(info_fields(H1, "")),
        "version over 30": urllib.parse.urlencode(info_fields(H1, "M2", version="1" * 31)),
        "field twice": urllib.parse.urlencode(good + [("mail", "x")]),
        "not UTF-8": urllib.parse.urlencode(good).replace("mail=", "mail=%FF"),
        "not a form": "\u00e9t\u00e9".encode("utf-8"),
    }
    for name, body in bad_forms.items():
        status, text = c.post_info(body if isinstance(body, bytes) else body.encode())
        assert status == 400, (name, status, text)
    assert c.post_info(b"mail=" + b"x" * (17 << 10))[0] == 413
    for name, body in {
        "no info.ini": make_zip([("Mini.dmp", b"x")]),
        "no dump": make_zip([("info.ini", b"")]),
        "no section": make_zip([("Mini.dmp", b"x"), ("info.ini", b"version=1\r\n")]),
        "dot-dot": make_zip([("..\\Mini.dmp", b"x"), ("info.ini", b"[info]\r\n")]),
        "not a zip": b"MDMP",
    }.items():
        assert c.kernel(body)[0] == 400, name
    assert c.kernel(make_kernel_package(dump=os.urandom(1 << 20)))[0] == 413
    assert c.get("/cgi-bin/bug_report_orv.cgi", token=None)[0] == 405
    if backend.kind == "sqlite":  # every refusal is one log line (the 405 is no upload)
        refused = len(bad_zip_members()) + len(bad_forms) + 7
        assert c.servers[0].log().count(" REFUSED ") == refused

    # Nothing of the above was stored; the server goes on serving and the answer still waits.
    assert stored_files(backend.data) == []
    assert c.api("/kernel-dumps")["kernel_dumps"] == []
    g = c.group(H1)
    assert (g["report_count"], g["archives"]) == (1, 0)
    assert c.archive(make_archive(H1)) == (200, b"ok")
    assert c.info(H1, "M3", app="", version="") == (200, b"true")


@pytest.mark.parametrize("extra, status", [(0, 200), (1, 413)])
def test_archive_size_limit(backend, extra, status):
    c = backend()
    report = make_report(H1)
    probe = make_zip([("ORV.DMP", b""), ("ORV.txt", report)], zipfile.ZIP_STORED)
    body = make_zip(
        [("ORV.DMP", b"\0" * (5_242_879 - len(probe) + extra)), ("ORV.txt", report)], zipfile.ZIP_STORED
    )
    assert len(body) == 5_242_879 + extra
    assert c.info(H1, "M1")[1] == b"true"
    assert c.archive(body)[0] == status
    assert c.group(H1)["archives"] == (1 if status == 200 else 0)


def test_pages_and_lists_need_a_login(backend):
    c = backend()
    c.crash(H1, "M1", email="private@example.org", user_context="my secret description")
    c.kernel(make_kernel_package())
    for path in ("/", "/groups/" + H1, "/kernel-dumps", "/archives/1", "/kernel-dumps/1"):
        status, body, headers = c.get(path, token=None)
        assert status == 302 and headers["Location"].startswith("/login"), path
        assert c.get(path, token="wrong")[0] == 302
        assert c.get(path)[0] == 200, path
    for path in ("/api/groups", "/api/groups/" + H1, "/api/kernel-dumps"):
        status, body, _ = c.get(path, token=None)
        assert status == 401 and b"private" not in body
    status, body, _ = c.get("/login?next=/", token=None)
    assert status == 401 and b"private@example.org" not in body and H1.encode() not in body
    # A token in the URL is no login.
    status, _, headers = c.get("/login?token=%s&next=/" % TOKEN, token=None)
    assert status == 401 and "Set-Cookie" not in headers
    status, cookie, headers = c.login("wrong-token-but-long-enough")
    assert status == 403 and cookie is None
    status, cookie, headers = c.login()
    assert status == 302 and headers["Location"] == "/" and TOKEN not in cookie
    attributes = headers["Set-Cookie"].lower()
    assert "httponly" in attributes and "samesite=strict" in attributes
    # Secure exactly when the login came over TLS (through the proxy).
    assert ("; secure" in attributes) == backend.kind.startswith("nginx")
    assert c.page("/groups/" + H1, cookie)[0] == 200
    assert c.page("/groups/" + H1, cookie + "0")[0] == 302
    status, body, _ = c.get("/groups/" + H1)
    page = body.decode()
    assert "private@example.org" in page and "my secret description" in page
    assert all(line in page for line in STACK)
    assert c.get("/groups/" + "F" * 32)[0] == 404 and c.get("/groups/nothex")[0] == 404
    # Logging out ends the session on the server: the same cookie no longer opens a page.
    assert c.post_page_form("/logout", cookie, csrf=c.csrf(cookie))[0] == 302
    assert c.page("/groups/" + H1, cookie)[0] == 302
