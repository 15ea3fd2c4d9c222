"""What an operator relies on: private files, sweeps, retention, removal on request, a drain at
SIGTERM, and list pages that stay one page long however many crashes there are."""
import os
import socket
import stat
import time
import urllib.parse

import pytest

from crashserver.storage import SqliteStorage
from serverlib import (
    Client,
    Server,
    make_archive,
    make_kernel_package,
    parsed_info,
    parsed_report,
    request,
    stored_files,
)

H1, H2 = "0A1B2C3D4E5F60718293A4B5C6D7E8F9", "5D41402ABC4B2A76B9719D911017C592"


def test_files_are_private_and_orphans_swept(data_dir):
    os.chmod(data_dir, 0o755)  # a data folder from before, open to all
    old = os.path.join(data_dir, "archives", "ab")
    os.makedirs(old)
    orphan, young = os.path.join(old, "ab" + "0" * 62 + ".zip"), os.path.join(old, "ab" + "1" * 62 + ".zip")
    for p in (orphan, young):
        with open(p, "wb") as f:
            f.write(b"left by a killed process")
    os.utime(orphan, (time.time() - 7200, time.time() - 7200))
    with Server(data_dir) as s:
        c = Client([s])
        c.crash(H1, "M1")
        c.kernel(make_kernel_package())
        for _ in range(300):  # the sweep runs in the background at start
            if not os.path.exists(orphan):
                break
            time.sleep(0.1)
        assert not os.path.exists(orphan) and os.path.exists(young)
        for folder, dirs, files in os.walk(data_dir):
            assert stat.S_IMODE(os.stat(folder).st_mode) == 0o700, folder
            for name in files:
                assert stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode) == 0o600, name


def test_kernel_dump_resent_is_stored_once(backend):
    c = backend()
    package = make_kernel_package()
    assert [c.kernel(package) for _ in range(3)] == [(200, b"ok")] * 3
    assert c.kernel(make_kernel_package(version="1.0.0.2")) == (200, b"ok")
    assert len(c.api("/kernel-dumps")["kernel_dumps"]) == 2 and len(stored_files(backend.data)) == 2


@pytest.mark.parametrize(
    "retention, kept",
    [
        (dict(keep_per_group=2), {H1: [2, 3], H2: [4]}),
        (dict(archive_quota=2500), {H1: [3], H2: [4]}),  # each row is 1000 bytes: the two oldest go
        (dict(keep_days=1), {H1: [2, 3], H2: [4]}),  # the first is two days old
    ],
)
def test_retention_removes_the_oldest(data_dir, retention, kept):
    storage = SqliteStorage(data_dir, max_archives=3, retention=retention)
    now = time.time()
    ids = {}
    for i, (h, at) in enumerate([(H1, now - 2 * 86400), (H1, now), (H1, now), (H2, now)]):
        storage.record_info_post(parsed_info(h, "M%d" % i), "10.0.0.1", now=at)
        ids[storage.store_archive(b"%04d" % i * 250, parsed_report(h), "10.0.0.1", now=at)] = h
    storage.apply_retention(now=now)
    left = {h: [a["id"] for a in storage.group(h)["archive_list"]] for h in (H1, H2)}
    assert left == {h: [i for i in v] for h, v in kept.items()}
    assert storage.missing_files() == [] and len(stored_files(data_dir)) == sum(len(v) for v in kept.values())
    # A removed archive keeps its place: the crash ID does not ask for more.
    assert storage.record_info_post(parsed_info(H1, "M9"), "10.0.0.1") is False


def test_a_group_or_a_machine_is_deleted_from_the_pages(data_dir):
    with Server(data_dir) as s:
        c = Client([s])
        for guid in ("M1", "M2"):
            c.crash(H1, guid)
            c.crash(H2, guid, version="2.0")
        c.info(H2, "M1", version="2.0", count="0")
        c.kernel(make_kernel_package(machine_id="M2"))
        _, cookie, _ = c.login()
        csrf = c.csrf(cookie)

        def post(path, **form):
            return c.post_page_form(path, cookie, **form)

        assert post("/groups/%s/delete" % H1, confirm="yes")[0] == 403  # no CSRF value
        assert post("/groups/%s/delete" % H1, csrf=csrf)[0] == 400  # not confirmed
        status, body, _ = post("/groups/%s/delete" % H1, csrf=csrf, confirm="yes")
        assert status == 200 and b"2 archives" in body
        assert (
            c.group(H1) is None and len(stored_files(data_dir)) == 2
        )  # archives of one crash ID share a file
        status, body, _ = post("/machines/delete", csrf=csrf, confirm="yes", machine="M2")
        assert status == 200 and b"1 information posts, 1 archives, 1 kernel dumps" in body
        g = c.group(H2)
        assert (g["report_count"], g["machines"], g["archives"], len(g["posts"])) == (1, 1, 1, 2)
        assert {p["guid"] for p in g["posts"]} == {"M1"} and c.api("/kernel-dumps")["kernel_dumps"] == []
        assert [x["machines"] for x in c.api("/groups?version=2.0")["groups"]] == [1]
        assert len(stored_files(data_dir)) == 1
        assert "DELETE machine=M2 posts=1 archives=1 kernel_dumps=1" in s.log()
        # The bearer API does the same without a form value.
        assert c.post_form("/api/machines/delete", {"machine": "M1", "confirm": "yes"})[0] == 200
        assert c.group(H2) is None and stored_files(data_dir) == []


def test_sigterm_finishes_the_uploads_in_flight(data_dir):
    s = Server(data_dir).start()
    c = Client([s])
    bodies = []
    for i in range(8):
        h = "%032X" % (0xABC0 + i)
        assert c.info(h, "M%d" % i) == (200, b"true")
        bodies.append(make_archive(h, dump=os.urandom(200_000)))
    conns = []
    for body in bodies:
        conn = socket.create_connection(("127.0.0.1", s.port))
        conn.sendall(
            b"POST /cgi-bin/bug_report_orv.cgi HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body)
        )
        conn.sendall(body[:1000])
        conns.append(conn)
    time.sleep(0.3)
    s.proc.terminate()
    for _ in range(100):  # the listening socket closes at once; the posts in flight go on
        try:
            socket.create_connection(("127.0.0.1", s.port), timeout=2).close()
        except OSError:
            break
        time.sleep(0.05)
    else:
        pytest.fail("still listening after SIGTERM")
    answers = []
    for conn, body in zip(conns, bodies):
        conn.sendall(body[1000:])
        answers.append(conn.recv(1000).split(b"\r\n")[0])
        conn.close()
    assert answers == [b"HTTP/1.1 200 OK"] * 8
    assert s.proc.wait(timeout=20) == 0
    s.proc.stdout.close()
    s.proc = None
    storage = SqliteStorage(data_dir)
    assert storage.missing_files() == [] and len(stored_files(data_dir)) == 8


def test_lists_are_read_by_pages(data_dir):
    storage = SqliteStorage(data_dir)
    t0 = 1_800_000_000.0
    for i in range(250):
        h = "%032X" % i
        storage.record_info_post(parsed_info(h, "A"), "10.0.0.1", now=t0 + i)
        storage.record_info_post(parsed_info(h, "B", count="1" if i % 3 else "0"), "10.0.0.1", now=t0 + i)
        if i % 2:
            storage.record_info_post(parsed_info(h, "C", version="2.0"), "10.0.0.1", now=t0 + i)
    for i in range(120):
        storage.store_kernel_dump(
            b"%d" % i,
            {
                "machine_id": "S-%d" % (i % 7),
                "version": "1",
                "module": "D",
                "dump_name": "Mini.dmp",
                "dump_size": 1,
            },
            "10.0.0.1",
        )
    with Server(data_dir) as s:
        c = Client([s])
        for query, expected in [
            ("sort=last_seen", sorted(range(250), reverse=True)),
            ("sort=count", sorted(range(250), key=lambda i: (bool(i % 3) + 1 + i % 2, i), reverse=True)),
            ("version=2.0&sort=count", sorted(range(1, 250, 2), reverse=True)),
        ]:
            seen, after, pages = [], "", 0
            while True:
                page = c.api("/groups?%s&after=%s" % (query, urllib.parse.quote(after)))
                seen += page["groups"]
                pages += 1
                if not page["next"]:
                    break
                after = page["next"]
            assert [int(g["hash_id"], 16) for g in seen] == expected, query
            assert pages == (len(expected) + 99) // 100
        # Under a version filter the counts are that version's.
        g = c.api("/groups?version=1.0&limit=1")["groups"][0]
        assert (g["hash_id"], g["report_count"], g["machines"]) == ("%032X" % 249, 1, 2)
        g = c.api("/groups?version=2.0&limit=1")["groups"][0]
        assert (g["report_count"], g["machines"], g["versions"]) == (1, 1, ["1.0", "2.0"])
        status, body, _ = c.get("/?sort=count")
        assert status == 200 and body.count(b'class="group"') == 100 and b'id="next-page"' in body
        assert c.get("/?after=not-a-cursor")[0] == 400 and c.get("/api/groups?limit=100000")[0] == 400
        dumps = c.api("/kernel-dumps")
        rest = c.api("/kernel-dumps?after=" + urllib.parse.quote(dumps["next"]))
        listed = dumps["kernel_dumps"] + rest["kernel_dumps"]
        assert len({d["id"] for d in listed}) == 120 and rest["next"] is None
        assert [(d["machine_id"], -d["id"]) for d in listed] == sorted(
            (d["machine_id"], -d["id"]) for d in listed
        )
        # A group's posts by page too.
        posts = c.api("/groups/%032X?limit=2" % 1)
        assert (
            len(posts["posts"]) == 2
            and c.api("/groups/%032X?limit=2&posts_after=%d" % (1, posts["next_posts"]))["posts"][0]["guid"]
            == "C"
        )
        assert request(s, "GET", "/health")[0] == 200
