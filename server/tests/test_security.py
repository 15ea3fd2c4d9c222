"""What a stranger on the internet can try: the token, the login, zip bombs, someone else's place,
floods of posts; and what staff see of it (headers, escaped text, the log)."""
import os
import re
import stat
import threading
import time

import pytest

from serverlib import (
    TOKEN,
    Client,
    Server,
    deflate_bomb,
    make_archive,
    make_report,
    peak_memory,
    raw_zip,
    request,
)

H = "5D41402ABC4B2A76B9719D911017C592"


@pytest.mark.parametrize(
    "token, file_text, starts",
    [
        ("", None, False),
        ("   ", None, False),
        ("fifteen-chars-x", None, False),
        (" padded-but-long-enough ", None, False),
        (None, "", True),  # a blank file (full disk at the first start) is made again
        (None, "\n  \n", True),
        (None, "short\n", False),  # an operator's short token is refused, not replaced
        (None, "an-operators-own-token-0123\n", True),
    ],
)
def test_token_rules(data_dir, token, file_text, starts):
    if file_text is not None:  # the symbol uploads' token file is made by the same rules
        for name in ("token", "symbols-token"):
            with open(os.path.join(data_dir, name), "w") as f:
                f.write(file_text)
    s = Server(data_dir, token=token)
    started = s.start(check=False)
    try:
        assert (started is not None) == starts, s.log()
        if not starts:
            assert s.proc.returncode == 2 and "shorter than 16" in s.log()
            return
        for name in ("symbols-token", "token"):  # the login token last, for what follows
            path = os.path.join(data_dir, name)
            made = open(path).read().strip()
            assert len(made) >= 16 and stat.S_IMODE(os.stat(path).st_mode) == 0o600, name
            if file_text.strip():
                assert made == file_text.strip()
        # The empty token is no login.
        assert Client([s], token="").login("")[0] == 403
        assert Client([s], token=made).login()[0] == 302
    finally:
        s.stop()


def test_login_throttled_logged_and_same_site(data_dir):
    with Server(data_dir) as s:
        c = Client([s])
        for nxt in (
            "//evil.example/",
            "/\\evil.example",
            "https://evil.example/",
            "/\t/evil.example",
            "javascript:alert(1)",
            "",
            "/%0d%0aSet-Cookie:x=1",
        ):
            status, _, headers = c.login(next=nxt)
            assert status == 302 and headers["Location"] in ("/", nxt), nxt
            assert headers["Location"] == "/" or nxt == "/%0d%0aSet-Cookie:x=1"
        assert c.login(next="/groups/X?a")[2]["Location"] == "/groups/X?a"
        # Ten wrong guesses from one address, then even the right token waits; another address doesn't.
        assert [c.login("guess-%02d-0123456789" % i)[0] for i in range(10)] == [403] * 10
        assert c.login()[0] == 429
        assert c.get("/api/groups")[0] == 401  # the bearer token too
        assert Client([s], source="127.0.0.2").login()[0] == 302
        log = s.log()
        assert log.count("LOGIN result=failed address=127.0.0.1") == 10
        assert (
            "LOGIN result=throttled address=127.0.0.1" in log and "LOGIN result=ok address=127.0.0.2" in log
        )
        assert TOKEN not in log


def test_sessions_expire_and_end_with_the_token(data_dir):
    s = Server(data_dir, "--session-hours", "0.0004").start()  # 1.44 s
    c = Client([s])
    _, short_lived, _ = c.login()
    s.stop()
    with Server(data_dir) as s:
        c = Client([s])
        _, cookie, _ = c.login()
        assert c.page("/", cookie)[0] == 200
        time.sleep(1.5)
        assert c.page("/", short_lived)[0] == 302
    # The token changes: every session of the old one is over.
    with Server(data_dir, token="a-new-token-for-everyone-0") as s:
        assert Client([s]).page("/", cookie)[0] == 302


def bomb_archive(size_mib=1008):  # just under the 1 GiB the server once took as a limit
    report = make_report(H)
    import zlib

    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = c.compress(report) + c.flush()
    return raw_zip(
        [
            ("ORV.txt", packed, len(report), zlib.crc32(report)),
            ("ORV.DMP", deflate_bomb(size_mib), size_mib << 20, 0),
        ]
    )


def test_zip_bomb_costs_little_memory(data_dir):
    with Server(data_dir) as s:
        c = Client([s])
        bomb = bomb_archive()
        assert len(bomb) < 1_100_000
        # Nobody asked for it: refused after reading the report only.
        assert c.archive(bomb)[0] == 409
        assert c.info(H, "M1") == (200, b"true")
        assert c.info(H, "M2") == (200, b"true")
        before = peak_memory(s.proc.pid)
        answers = []
        threads = [threading.Thread(target=lambda: answers.append(c.archive(bomb)[0])) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        grown = peak_memory(s.proc.pid) - before
        print("\npeak memory grew by %.1f MB for two 1 GB bombs at once" % (grown / 1e6))
        assert answers == [413, 413] and grown < 100e6
        # The places are still there for the real archives.
        assert c.archive(make_archive(H)) == (200, b"ok")
        assert "REFUSED address=127.0.0.1 path=/cgi-bin/bug_report_orv.cgi status=413" in s.log()


def test_only_the_address_told_true_spends_the_place(data_dir):
    with Server(data_dir, "--info-limit", "3") as s:
        machine, stranger = Client([s], source="127.0.0.2"), Client([s], source="127.0.0.3")
        assert machine.info(H, "M1") == (200, b"true")
        assert stranger.archive(make_archive(H, email="fake@example.org"))[0] == 409
        # A forwarded address from a client that is not the proxy is not believed.
        spoof = request(
            s,
            "POST",
            "/cgi-bin/bug_report_orv.cgi",
            make_archive(H),
            {"X-Forwarded-For": "127.0.0.2"},
            source="127.0.0.3",
        )
        assert spoof[0] == 409
        assert machine.archive(make_archive(H, email="real@example.org")) == (200, b"ok")
        g = machine.group(H)
        assert [a["email"] for a in g["archive_list"]] == ["real@example.org"]
        # Information posts per address are limited (here to 3 per window); other addresses go on.
        assert [machine.info(H, "M%d" % i)[0] for i in range(2, 5)] == [200, 200, 429]
        assert stranger.info(H, "M9")[0] == 200
        assert 'reason="too many information posts' in s.log()


def test_headers_escaping_and_log_lines(data_dir):
    with Server(data_dir) as s:
        c = Client([s])
        c.crash(H, "M1", user_context="file \u202etxt.exe\u200b and \x1b[31m")
        status, body, headers = c.get("/groups/" + H)
        assert headers["Content-Security-Policy"].startswith("default-src 'none'")
        assert "script-src" not in headers["Content-Security-Policy"] and b"<script" not in body
        assert (
            headers["X-Content-Type-Options"],
            headers["X-Frame-Options"],
            headers["Referrer-Policy"],
            headers["Cache-Control"],
        ) == ("nosniff", "DENY", "no-referrer", "no-store")
        page = body.decode()
        assert "file &lt;U+202E&gt;txt.exe&lt;U+200B&gt; and &lt;U+001B&gt;[31m" in page
        assert "\u202e" not in page and "\x1b" not in page
        for path in ("/health", "/login", "/cgi-bin/bug_report_orv.cgi"):
            assert request(s, "GET", path)[2]["X-Frame-Options"] == "DENY"
        assert request(s, "GET", "/health")[:2] == (200, b"ok\n")
        # One line per request, decision and refusal, with the sender's values escaped.
        c.info(H, "M2\u202e")
        c.post_info(b"product=x\r\nFAKE LINE")
        log = s.log()
        assert re.search(
            r"REQUEST address=127\.0\.0\.1 method=GET path=/groups/%s status=200 bytes=\d+ ms=[\d.]+" % H, log
        )
        assert "DECISION crash=%s machine=M1 address=127.0.0.1 answer=true" % H in log
        assert "REFUSED address=127.0.0.1 path=/cgi-bin-py/security_dump.cgi status=400" in log
        assert "\nFAKE LINE" not in log and "\u202e" not in log


@pytest.mark.parametrize(
    "argv, debug_files_fit",
    [
        ([], True),  # loopback by default
        (["--host", "localhost"], True),
        (["--host", "::1"], True),
        (["--host", "0.0.0.0"], False),  # open without the front: the crash uploads' limit holds
        (["--host", "example.org"], False),
        (["--host", "0.0.0.0", "--trusted-proxy", "127.0.0.1"], True),  # behind the front
    ],
)
def test_what_the_http_server_buffers_before_any_endpoint(argv, debug_files_fit):
    from crashserver.__main__ import body_cap, options
    from crashserver.views import SYMBOL_UPLOAD_LIMIT

    cap = body_cap(options(argv))
    assert (cap > SYMBOL_UPLOAD_LIMIT) == debug_files_fit
    assert cap > 32 << 20  # a kernel dump at its default limit always fits
