"""Through a real nginx with the generated config (private folder, ports and certificate on
127.0.0.1): slow and oversized clients are nginx's to hold or refuse, and a process killed under
load loses only what it had in flight."""
import select
import socket
import tempfile
import threading
import time

import pytest

from crashserver.storage import open_storage
from load import CRASH_IDS, run_load
from serverlib import Client, Setup, make_archive

H = "9E107D9D372BB6826BD81D3542A419D6"


@pytest.fixture(scope="module")
def front():
    setup = Setup("nginx-sqlite", tempfile.mkdtemp(prefix="crashserver-data-"), None, ())
    yield setup.front
    setup.stop()


def test_slow_clients_do_not_lock_out_uploaders(front):
    held = []
    try:
        # 300 connections from 100 addresses, each with half a header (plain HTTP) or half a TLS hello.
        for i in range(300):
            conn = socket.socket()
            conn.bind(("127.0.3.%d" % (i % 100 + 1), 0))
            if i % 2:
                conn.connect(("127.0.0.1", front.http_port))
                conn.sendall(b"POST /cgi-bin-py/security_dump.cgi HTTP/1.1\r\nHost: x\r\n")
            else:
                conn.connect(("127.0.0.1", front.port))
                conn.sendall(b"\x16\x03\x01\x02\x00\x01")
            held.append(conn)
        c = Client([front], source="127.0.0.9")
        started = time.perf_counter()
        assert c.info(H, "M1") == (200, b"true")
        assert c.archive(make_archive(H)) == (200, b"ok")
        took = time.perf_counter() - started
        print("\ninformation post and archive answered in %.3f s beside 300 slow connections" % took)
        assert took < 10  # locked out, it would be the client's 20 s timeout
        for conn in held:  # all still held open by nginx, none by a server thread
            conn.sendall(b"X")
    finally:
        for conn in held:
            conn.close()


def sent_before_answer(port, head, body_chunk, limit=50 << 20):
    """Sends the head, then body chunks until the answer comes; (status line, body bytes sent)."""
    conn = socket.socket()
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16 << 10)
    conn.connect(("127.0.0.1", port))
    conn.sendall(head)
    conn.setblocking(False)
    sent = 0
    try:
        while sent < limit:
            readable, writable, _ = select.select([conn], [conn], [], 5)
            if readable:
                break
            if writable:
                try:
                    sent += conn.send(body_chunk)
                except BlockingIOError:
                    pass
            elif not readable:
                break
        conn.setblocking(True)
        conn.settimeout(5)
        return conn.recv(200).split(b"\r\n")[0], sent
    finally:
        conn.close()


@pytest.mark.parametrize(
    "path, length, expected",
    [
        ("/cgi-bin-py/security_dump.cgi", 200_000_000, b"413"),
        ("/cgi-bin-py/security_dump.cgi", None, b"413"),  # chunked: counted while read
        ("/cgi-bin/bug_report_orv.cgi", 5_242_880, b"413"),
        ("//cgi-bin/bug_report.cgi", 200_000_000, b"413"),
        ("/", 200_000, b"413"),
    ],
)
def test_oversized_bodies_refused_before_they_are_read(front, path, length, expected):
    if length is None:
        head = b"POST %s HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" % path.encode()
        chunk = b"4000\r\n" + b"a" * 0x4000 + b"\r\n"
    else:
        head = b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (path.encode(), length)
        chunk = b"a" * (16 << 10)
    status, sent = sent_before_answer(front.http_port, head, chunk)
    print("\n%s %s: %s after %d body bytes" % (path, length or "chunked", status.decode(), sent))
    assert expected in status and sent < (1 << 20)


def test_the_address_is_the_one_nginx_saw(front):
    machine = Client([front], source="127.0.0.7")
    forged = {"X-Forwarded-For": "127.0.0.8", "Content-Type": "application/x-www-form-urlencoded"}
    body = (
        b"product=Orv&hash_id=%s&guid=M7&version=1&app=Orv.exe&module=OrvCore.dll&count=1&mail=" % H.encode()
    )
    assert machine.request("POST", "/cgi-bin-py/security_dump.cgi", body, forged)[:2] == (200, b"true")
    # The place is bound to 127.0.0.7, whatever the header said.
    assert Client([front], source="127.0.0.8").archive(make_archive(H))[0] == 409
    assert machine.archive(make_archive(H)) == (200, b"ok")


@pytest.mark.parametrize("how, database", [("stopped", "sqlite"), ("killed", "postgres")])
def test_a_process_ended_under_load(data_dir, request, how, database):
    """Stopped (SIGTERM): it finishes what it has and nginx sends it nothing new, so nothing is lost.
    Killed: only its requests in flight fail (nginx answers 502; a POST it had sent is not sent
    again), and nothing half-written stays."""
    dsn = request.getfixturevalue("postgres").new_database() if database == "postgres" else None
    setup = Setup(database, data_dir, dsn, ("--max-archives", "5"))
    servers, front = setup.servers, setup.front
    try:
        result = {}
        load = threading.Thread(target=lambda: result.update(run_load([front], clients=40, rounds=3)))
        load.start()
        time.sleep(0.4)
        servers[0].proc.terminate() if how == "stopped" else servers[0].proc.kill()
        load.join()
        lost = result["failures"]
        print("\n%s: %d of 120 exchanges failed %s" % (how, len(lost), lost[:2]))
        if how == "stopped":
            assert servers[0].proc.wait(timeout=30) == 0 and "STOPPED unfinished=0" in servers[0].log()
            assert lost == [] and len(result["answers"]) == 120
        else:
            # A request in flight fails either way: nginx answers 502, or it had begun relaying the
            # answer when the process died and the body stops short.
            assert len(lost) <= 40 and all("answered 502" in f or "IncompleteRead" in f for f in lost)
        storage = open_storage(data_dir, dsn, pool_size=2)
        try:
            assert storage.missing_files() == []
            for h in CRASH_IDS:  # every stored archive used its own "true"
                g = storage.group(h) or {"archives": 0, "archive_list": []}
                assert g["archives"] <= 5 and len({a["guid"] for a in g["archive_list"]}) == g["archives"]
        finally:
            storage.close()
        assert Client([front], source="127.0.0.9").info(H, "M1") == (200, b"true")  # the survivor
    finally:
        setup.stop()
