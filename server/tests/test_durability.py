"""Concurrency, restarts and kills: what the server stores is exact and stays consistent."""
import os
import socket
import time

from crashserver.storage import GRANT_SECONDS, HOST, SqliteStorage
from load import CRASH_IDS, run_load
from serverlib import Client, Server, make_archive, parsed_info, parsed_report, stored_files

H = "5D41402ABC4B2A76B9719D911017C592"


def test_fifty_concurrent_uploaders(backend):
    c = backend()  # three archives per crash ID
    sessions = database_sessions(backend.dsn) if backend.dsn else 0
    result = run_load(c.servers, clients=50, rounds=2)
    print(
        "\nload (%(kind)s): %(requests)d requests in %(seconds).2f s, %(rps).0f requests/s,"
        " p50 %(p50_ms).1f ms, p99 %(p99_ms).1f ms" % dict(result, kind=backend.kind)
    )
    assert result["failures"] == []
    assert len(result["answers"]) == 100
    for h in CRASH_IDS:
        g = c.group(h)
        trues = sum(1 for a in result["answers"] if a[0] == h and a[2][:4] == b"true")
        # Ten machines post each crash ID at once: exactly three are asked, all three deliver.
        assert (g["report_count"], g["machines"], g["archives"], trues) == (10, 10, 3, 3), h
        assert len({a["guid"] for a in g["archive_list"]}) == 3
    assert result["archives_sent"] == 30
    if backend.dsn:
        # Each process keeps the connections it opened (at most its threads + 4), none per request.
        opened = database_sessions(backend.dsn) - sessions
        print("PostgreSQL connections opened during the load: %d" % opened)
        assert opened <= 2 * (16 + 4)


def database_sessions(dsn):
    """Connections ever made to the database (PostgreSQL counts them)."""
    import psycopg2

    conn = psycopg2.connect(dsn)
    try:
        with conn.cursor() as cur:
            cur.execute("SELECT sessions FROM pg_stat_database WHERE datname = current_database()")
            return cur.fetchone()[0] - 1  # not this one
    finally:
        conn.close()


def test_data_survives_stop_and_kill(data_dir):
    s = Server(data_dir).start()
    c = Client([s])
    c.crash(H, "M1", email="kept@example.org")
    c.info(H, "M2")
    s.stop()
    s.start()
    g = c.group(H)
    assert (g["report_count"], g["machines"], g["archives"]) == (2, 2, 1)
    assert g["archive_list"][0]["email"] == "kept@example.org"
    assert c.archive(make_archive(H, email="after@example.org")) == (200, b"ok")  # M2's answer still holds
    s.kill()
    s.start()
    assert c.group(H)["archives"] == 2
    assert c.info(H, "M2") == (200, b"false")
    s.stop()


def test_killed_during_an_archive_post_leaves_nothing_half_written(data_dir):
    s = Server(data_dir).start()
    c = Client([s])
    assert c.info(H, "M1") == (200, b"true")
    body = make_archive(H, dump=os.urandom(3 << 20))
    # A temporary file of a process that died while writing, as a killed server leaves it.
    temp = os.path.join(data_dir, "archives", "tmp", "%s-999999999-dead.part" % HOST)
    young = os.path.join(data_dir, "archives", "tmp", "otherhost-1-busy.part")  # another host's, busy
    open(young, "wb").close()
    with open(temp, "wb") as f:
        f.write(body[:1000])
    with socket.create_connection(("127.0.0.1", s.port)) as conn:
        conn.sendall(
            b"POST /cgi-bin/bug_report_orv.cgi HTTP/1.1\r\nHost: x\r\nContent-Type: application/octet-stream"
            b"\r\nContent-Length: %d\r\n\r\n" % len(body)
        )
        conn.sendall(body[: len(body) // 2])
        time.sleep(0.3)
        s.kill()
    s.start()
    assert not os.path.exists(temp) and os.path.exists(young)
    os.remove(young)
    assert stored_files(data_dir) == []
    g = c.group(H)
    assert (g["archives"], g["report_count"]) == (0, 1)
    assert c.archive(body) == (200, b"ok")
    s.stop()
    storage = SqliteStorage(data_dir)
    assert storage.missing_files() == []
    assert len(stored_files(data_dir)) == 1


def test_an_answer_nobody_uses_frees_its_place_after_a_while(data_dir):
    storage = SqliteStorage(data_dir, max_archives=1)
    t0 = 1_800_000_000.0
    assert storage.record_info_post(parsed_info(H, "M1", "1"), "127.0.0.1", now=t0) is True
    assert storage.record_info_post(parsed_info(H, "M2", "1"), "127.0.0.1", now=t0 + 1) is False
    later = t0 + GRANT_SECONDS + 1
    assert storage.record_info_post(parsed_info(H, "M2", "1"), "127.0.0.1", now=later) is True
    # M1's archive comes too late: M2's place is the one it would take, so it is refused.
    report = parsed_report(H, version="1", windows="WIN_7 64")
    assert storage.store_archive(b"zip", report, "127.0.0.1", now=later + 1) is not None
    assert storage.store_archive(b"zip2", report, "127.0.0.1", now=later + 2) is None
