"""Test helpers for the crash server: reports and archives in the programs' formats, a server
process on a free loopback port, a client that posts the way Ulvane and Drummet do, and a private
PostgreSQL cluster."""
import http.client
import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import urllib.parse
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_DIR = os.path.dirname(HERE)
ROOT = os.path.dirname(SERVER_DIR)
TOKEN = "test-token-7f3a-0123456789"
STACK = [
    "0x6A8C1234  0x00001234  OrvCore",
    "0x6A8C1300  0x00001300  OrvCore",
    "0x00401F00  0x00001F00  Orv",
    "0x7B62C2A0  0x0002C2A0  kernel32",
]


def make_report(
    hash_id,
    stack=STACK,
    email="",
    user_context="",
    version="1.0.0.1",
    module="OrvCore.dll",
    app="Orv.exe",
    memory=True,
):
    """A text report laid out as Kelvor writes it (UTF-16LE with byte-order mark, CR LF)."""
    text = (
        "\ufeffVemko Dump\r\nProgram Name:Orv   Program Version:%s\r\nAppName:%s   Windows Version:WIN_7 64\r\n"
        "Module:%s   Data:2026-12-8 9:3:41\r\nEmail:%s\r\nHashCode:%s\r\n"
        % (version, app, module, email, hash_id)
    )
    if stack is not None:
        text += "\r\nStack:\r\n" + "".join(line + "\r\n" for line in stack)
    text += '\r\nSystem Process:\r\nOrv.exe Pid:32 Parrent Pid:8\r\n\r\nCommand:\r\n"C:\\Orv.exe" crash dll'
    text += "\r\n\r\nWindow Info:\r\nhwnd:65602  ParentWnd: 0  Window Text:OK\r\n"
    if memory:
        text += "\r\n\r\nSystem Memory:\r\nMemory Usage:12% \r\nTotal Memory:1024.000 M\r\nPagefileUsage :1.500 M\r\n"
    text += "\r\nUserContext:\r\n" + user_context
    return text.encode("utf-16-le")


def parsed_report(hash_id, version="1.0", windows="7"):
    """A report as the parser hands it to the storage, for tests that store archives directly."""
    return {
        "hash_code": hash_id,
        "program_name": "Orv",
        "program_version": version,
        "app_name": "Orv.exe",
        "windows_version": windows,
        "module": "OrvCore.dll",
        "report_time": "",
        "email": "",
        "user_context": "",
        "stack": [],
        "report_name": "A.txt",
        "dump_name": "",
        "dump_size": 0,
    }


def make_zip(members, compression=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression) as z:
        for name, data in members:
            z.writestr(zipfile.ZipInfo(name, (2026, 12, 8, 9, 3, 40)), data, compress_type=compression)
    return out.getvalue()


def make_archive(hash_id, dump=b"MDMP" + b"\0" * 60, name="ORV_20261208_090341", **report):
    return make_zip([(name + ".DMP", dump), (name + ".txt", make_report(hash_id, **report))])


def make_kernel_package(
    machine_id="S-1-5-21-1-2-3-1000",
    version="1.0.0.1",
    dump=b"PAGEDU64" + b"\1" * 100,
    name="Mini120826-01.dmp",
):
    ini = "[info]\r\nversion=%s\r\nid=%s\r\nmodule=Driver\r\n" % (version, machine_id)
    return make_zip([(name, dump), ("info.ini", ini.encode("cp1252"))])


def info_fields(hash_id, guid, version="1.0.0.1", app="Orv.exe", module="OrvCore.dll", count="1", mail=""):
    return [
        ("product", "Orv"),
        ("hash_id", hash_id),
        ("guid", guid),
        ("version", version),
        ("app", app),
        ("module", module),
        ("count", count),
        ("mail", mail),
    ]


def parsed_info(hash_id, guid, version="1.0", **fields):
    """An information post as the parser hands it to the storage, for tests that store directly."""
    return dict(info_fields(hash_id, guid, version, **fields))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One crash-server process (python3 -m crashserver) that ends with the test."""

    def __init__(self, data, *extra, token=TOKEN):
        self.data = data
        self.extra = list(extra)
        self.token = token
        self.proc = None
        # The server's log (stderr) goes to a file of its own, which tests may read.
        fd, self.log_path = tempfile.mkstemp(prefix="crashserver-log-")
        os.close(fd)

    def launch(self):
        args = [
            sys.executable,
            "-m",
            "crashserver",
            "--port",
            "0",
            "--data",
            self.data,
            "--parent-pid",
            str(os.getpid()),
            *self.extra,
        ]
        if self.token is not None:
            args += ["--token", self.token]
        with open(self.log_path, "a") as log:
            self.proc = subprocess.Popen(args, cwd=SERVER_DIR, stdout=subprocess.PIPE, stderr=log, text=True)
        return self

    def ready(self, check=True):
        """Waits for the line the server prints when it listens; self, or None when it ended."""
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "SERVER":
            self.proc.wait(timeout=10)
            if not check:
                return None
            raise RuntimeError("the crash server did not start: " + self.log()[-2000:])
        fields = dict(f.split("=", 1) for f in line[1:])
        self.url = fields["url"]
        self.port = int(self.url.rsplit(":", 1)[1])
        return self

    def start(self, check=True):
        return self.launch().ready(check)

    # `with Server(...) as s:` starts it (unless started already) and stops it at the end.
    def __enter__(self):
        return self if self.proc else self.start()

    def __exit__(self, *exc):
        self.stop()

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.proc.stdout.close()
        self.proc = None

    def kill(self):
        self.stop(signal.SIGKILL)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()


def start_all(servers):
    """Starts server processes side by side (each takes a moment to import its packages)."""
    for s in servers:
        s.launch()
    return [s.ready() for s in servers]


def connection(target, timeout=50, source=None):
    """A connection to a server process (an object with .port, and .ssl_context when it speaks TLS)
    or a port, from the loopback address `source` when given (another "machine")."""
    port = getattr(target, "port", target)
    context = getattr(target, "ssl_context", None)
    src = (source, 0) if source else None
    if context:
        return http.client.HTTPSConnection(
            "127.0.0.1", port, timeout=timeout, context=context, source_address=src
        )
    return http.client.HTTPConnection("127.0.0.1", port, timeout=timeout, source_address=src)


def request(target, method, path, body=None, headers=None, timeout=50, source=None):
    conn = connection(target, timeout, source)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        return r.status, r.read(), dict(r.getheaders())
    finally:
        conn.close()


class Client:
    """Posts as the programs do; spreads requests over one or more server processes in turn."""

    def __init__(self, servers, token=TOKEN, source=None):
        self.servers = servers
        self.token = token
        self.source = source
        self.turn = 0

    def port(self):
        """The next server in turn (for request())."""
        self.turn += 1
        return self.servers[self.turn % len(self.servers)]

    def request(self, method, path, body=None, headers=None, timeout=50):
        return request(self.port(), method, path, body, headers, timeout, self.source)

    def login(self, token=None, next="/"):
        """The login form's post: (status, the session cookie "name=value" or None, headers)."""
        body = urllib.parse.urlencode({"token": self.token if token is None else token, "next": next})
        status, _, headers = self.request(
            "POST", "/login", body.encode(), {"Content-Type": "application/x-www-form-urlencoded"}
        )
        cookie = headers.get("Set-Cookie")
        return status, cookie.split(";")[0] if cookie else None, headers

    def page(self, path, cookie):
        """(status, body, headers) of a GET in the login session of `cookie`."""
        return self.request("GET", path, headers={"Cookie": cookie})

    def csrf(self, cookie):
        """The session's form value, as a page's forms carry it."""
        return re.search(r'name="csrf" value="([^"]+)"', self.page("/", cookie)[1].decode()).group(1)

    def post_page_form(self, path, cookie, **form):
        """(status, body, headers) of a form a page sends in the login session of `cookie`."""
        headers = {"Cookie": cookie, "Content-Type": "application/x-www-form-urlencoded"}
        return self.request("POST", path, urllib.parse.urlencode(form).encode(), headers)

    def info(self, hash_id, guid, **fields):
        body = urllib.parse.urlencode(info_fields(hash_id, guid, **fields)).encode()
        return self.post_info(body)

    def post(self, path, body, headers, timeout=50):
        """(status, body) of a POST as a program sends it."""
        return self.request("POST", path, body, headers, timeout)[:2]

    def post_info(self, body):
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        return self.post("/cgi-bin-py/security_dump.cgi", body, form, timeout=20)

    def archive(self, body):
        return self.post("/cgi-bin/bug_report_orv.cgi", body, {"Content-Type": "application/octet-stream"})

    def kernel(self, body):
        agent = {"User-Agent": "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"}
        return self.post("/cgi-bin/bug_report.cgi", body, agent)

    def get(self, path, token=...):
        token = self.token if token is ... else token
        headers = {"Authorization": "Bearer " + token} if token else {}
        return self.request("GET", path, headers=headers)

    def post_form(self, path, fields, token=...):
        token = self.token if token is ... else token
        headers = {"Content-Type": "application/x-www-form-urlencoded"}
        if token:
            headers["Authorization"] = "Bearer " + token
        return self.request("POST", path, urllib.parse.urlencode(fields).encode(), headers)[:2]

    def api(self, path):
        status, body, _ = self.get("/api" + path)
        assert status == 200, (path, status, body)
        return json.loads(body)

    def group(self, hash_id):
        status, body, _ = self.get("/api/groups/" + hash_id)
        return json.loads(body) if status == 200 else None

    def crash(self, hash_id, guid, **report):
        """The uploader's exchange: information post, archive when the answer is "true"."""
        same = {k: report[k] for k in ("version", "module", "app") if k in report}
        status, answer = self.info(hash_id, guid, mail=report.get("email", ""), **same)
        assert status == 200, answer
        if answer[:4] == b"true":
            status, text = self.archive(make_archive(hash_id, **report))
            assert status == 200, text
        return answer


def stored_files(data):
    folder = os.path.join(data, "archives")
    return sorted(os.path.join(d, f) for d, _, files in os.walk(folder) for f in files)


class Postgres:
    """A private PostgreSQL 15 cluster in a temporary folder on 127.0.0.1 and a free port; as root
    its programs run as the "postgres" user, which owns the folder."""

    BIN = "/usr/lib/postgresql/15/bin"

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="crashserver-pg-")
        self.port = free_port()
        self.databases = 0

    def _run(self, *args, **kw):
        cmd = list(args)
        if os.geteuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)

    def start(self):
        if os.geteuid() == 0:
            shutil.chown(self.folder, "postgres", "postgres")
        data = os.path.join(self.folder, "data")
        self._run(self.BIN + "/initdb", "-D", data, "-A", "trust", "-U", "crash", "--no-sync", "-E", "UTF8")
        self._run(
            self.BIN + "/pg_ctl",
            "-D",
            data,
            "-l",
            os.path.join(self.folder, "log"),
            "-w",
            "-o",
            "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200"
            % (self.port, self.folder),
            "start",
        )
        return self

    def dsn(self, database="postgres"):
        return "host=127.0.0.1 port=%d user=crash dbname=%s" % (self.port, database)

    def new_database(self):
        import psycopg2

        self.databases += 1
        name = "crashes%d" % self.databases
        conn = psycopg2.connect(self.dsn())
        conn.autocommit = True
        with conn.cursor() as cur:
            cur.execute("CREATE DATABASE " + name)
        conn.close()
        return self.dsn(name)

    def stop(self):
        try:
            self._run(
                self.BIN + "/pg_ctl", "-D", os.path.join(self.folder, "data"), "-m", "immediate", "-w", "stop"
            )
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


def chromium(url, out_png=None, timeout=60, login=None, size="1280,900"):
    """Headless Chromium: the page's DOM after loading url (and a screenshot when out_png is given).
    With login=(base URL, token) it first logs in through the login form, as a person would: a page
    on another loopback port (same site) fills in the form and sends it, then follows to url."""
    profile = tempfile.mkdtemp(prefix="crashserver-chromium-")
    flags = [
        "/usr/bin/chromium",
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--user-data-dir=" + profile,
        "--window-size=" + size,
        "--virtual-time-budget=8000",
    ]
    helper = None
    try:
        if login:
            helper = LoginPage(*login, url)
            url = helper.url
        if out_png:
            subprocess.run(
                flags + ["--screenshot=" + out_png, url],
                check=True,
                timeout=timeout,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
        r = subprocess.run(
            flags + ["--dump-dom", url],
            check=True,
            timeout=timeout,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
        )
        return r.stdout.decode("utf-8", "replace")
    finally:
        if helper:
            helper.close()
        shutil.rmtree(profile, ignore_errors=True)


class LoginPage:
    """A one-page HTTP server whose page posts the crash server's login form with the token and the
    path to open next."""

    def __init__(self, base, token, target):
        import html
        import http.server
        import threading

        path = urllib.parse.urlsplit(target)
        next_path = path.path + ("?" + path.query if path.query else "")
        page = (
            '<!doctype html><form method="post" action="%s/login"><input name="token" value="%s">'
            '<input name="next" value="%s"></form><script>document.forms[0].submit()</script>'
            % (html.escape(base), html.escape(token), html.escape(next_path))
        ).encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Front:
    """Debian's nginx with the generated public config (TLS with a certificate made for the test,
    private folder and port on 127.0.0.1) in front of server processes started with
    --trusted-proxy 127.0.0.1. Has .port, .url and .ssl_context, like a server for Client."""

    def __init__(self, servers, **config):
        import ssl
        from crashserver import deploy

        self.servers = servers
        self.folder = tempfile.mkdtemp(prefix="crashserver-front-")
        cert, key = deploy.self_signed(os.path.join(self.folder, "tls"))
        self.port, self.http_port = free_port(), free_port()
        config.setdefault("conn_per_address", 64)
        self.nginx = deploy.Nginx(
            os.path.join(self.folder, "nginx"),
            backends=["127.0.0.1:%d" % s.port for s in servers],
            cert=cert,
            key=key,
            listen_https="127.0.0.1:%d" % self.port,
            https_port=self.port,
            listen_http="127.0.0.1:%d" % self.http_port,
            **config,
        )
        self.ssl_context = ssl.create_default_context(cafile=cert)
        self.url = "https://127.0.0.1:%d" % self.port

    def start(self):
        self.nginx.start([self.port, self.http_port])
        return self

    def stop(self):
        self.nginx.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


class Setup:
    """Two server processes on one database and one data folder behind nginx."""

    def __init__(self, kind, data, dsn, extra):
        self.kind, self.data, self.dsn = kind, data, dsn
        args = ("--database", dsn) + extra if dsn else extra
        self.servers = start_all([Server(data, "--trusted-proxy", "127.0.0.1", *args) for _ in range(2)])
        self.front = Front(self.servers).start()

    def empty(self):
        """Back to an empty server (row numbers from 1 again) without restarting anything."""
        tables = (
            "crash_groups",
            "info_posts",
            "grants",
            "archives",
            "kernel_dumps",
            "group_versions",
            "sessions",
            "symbolication",
            "kernel_dump_headers",
        )
        if self.dsn:
            import psycopg2

            conn = psycopg2.connect(self.dsn)
            with conn, conn.cursor() as cur:
                cur.execute("TRUNCATE %s RESTART IDENTITY" % ", ".join(tables))
            conn.close()
        else:
            import sqlite3

            conn = sqlite3.connect(os.path.join(self.data, "crashes.sqlite"), isolation_level=None)
            conn.execute("BEGIN IMMEDIATE")
            for t in tables + ("sqlite_sequence",):
                conn.execute("DELETE FROM " + t)
            conn.execute("COMMIT")
            conn.close()
        folder = os.path.join(self.data, "archives")
        for d in os.listdir(folder):
            if d != "tmp":
                shutil.rmtree(os.path.join(folder, d))

    def stop(self):
        self.front.stop()
        for s in self.servers:
            s.stop()
        shutil.rmtree(self.data, ignore_errors=True)


def deflate_bomb(size_mib):
    """A raw DEFLATE stream of size_mib MiB of zeros, made without compressing them all: after a full
    flush the compressor's state is the same again, so each 16 MiB unit compresses to the same bytes."""
    import zlib

    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    unit = b"\0" * (16 << 20)
    c.compress(unit)
    c.flush(zlib.Z_FULL_FLUSH)
    same = c.compress(unit) + c.flush(zlib.Z_FULL_FLUSH)
    return same * (size_mib // 16) + c.flush()


def raw_zip(members):
    """A zip written by hand from (name, deflated bytes, claimed size, CRC): for members no honest
    writer makes (a bomb's CRC may be anything: the server gives up before it could check it)."""
    import struct

    out, central = b"", b""
    for name, data, size, crc in members:
        n = name.encode()
        header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(data), size, len(n), 0)
        central += (
            struct.pack(
                "<IHHHHHHIIIHHHHHII",
                0x02014B50,
                20,
                20,
                0,
                8,
                0,
                0,
                crc,
                len(data),
                size,
                len(n),
                0,
                0,
                0,
                0,
                0,
                len(out),
            )
            + n
        )
        out += header + n + data
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central), len(out), 0)
    return out + central + end


def peak_memory(pid):
    """The process's peak resident memory in bytes (VmHWM)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0
