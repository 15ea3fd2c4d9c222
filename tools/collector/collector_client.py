"""Starts, drives and stops collector.py from a test (Python standard library only).

    with Collector() as c:                      # http on a free loopback port
        c.behave("cgi-bin/bug_report.cgi", "500")
        ... run the program against c.base_url ...
        for rec in c.received(): ...

The server is a child of the test process and ends with it (see collector.py).
"""
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))


def make_self_signed_certificate(folder):
    """A throw-away certificate for 127.0.0.1 made with the openssl command; (cert, key)."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(
        [
            "openssl",
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-keyout",
            key,
            "-out",
            cert,
            "-days",
            "2",
            "-subj",
            "/CN=collector.invalid",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    return cert, key


class Collector:
    def __init__(self, https=False, port=0, lifetime=900):
        self.https = https
        self.port = port
        self.lifetime = lifetime
        self.proc = None
        self.folder = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.folder = tempfile.mkdtemp(prefix="collector-test-")
        args = [
            sys.executable,
            os.path.join(HERE, "collector.py"),
            "--port",
            str(self.port),
            "--store",
            os.path.join(self.folder, "store"),
            "--parent-pid",
            str(os.getpid()),
            "--lifetime",
            str(self.lifetime),
        ]
        if self.https:
            args += ["--https", *make_self_signed_certificate(self.folder)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "COLLECTOR":
            self.stop()
            raise RuntimeError("collector did not start")
        fields = dict(f.split("=", 1) for f in line[1:])
        self.scheme, self.host, self.port = fields["scheme"], fields["host"], int(fields["port"])
        self.store = fields["store"]
        self.base_url = "%s://%s:%d" % (self.scheme, self.host, self.port)

    def _request(self, path, data=None):
        ctx = None
        if self.scheme == "https":
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
        req = urllib.request.Request(
            self.base_url + path, data=data, method="POST" if data is not None else "GET"
        )
        with urllib.request.urlopen(req, timeout=10, context=ctx) as r:
            return r.read()

    def behave(self, endpoint, mode="ok", body="", queue=(), stall_seconds=3600, delay_seconds=0):
        behaviour = {
            "endpoint": endpoint,
            "mode": mode,
            "body": body,
            "queue": list(queue),
            "stall_seconds": stall_seconds,
            "delay_seconds": delay_seconds,
        }
        self._request("/_control/behaviour", json.dumps(behaviour).encode())

    def received(self, endpoint=None):
        recs = json.loads(self._request("/_control/received"))
        return [r for r in recs if endpoint is None or r["endpoint"] == endpoint]

    def body(self, record):
        with open(record["file"], "rb") as f:
            return f.read()

    def reset(self):
        self._request("/_control/reset", b"")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            try:
                self._request("/_control/stop", b"")
            except Exception:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc and self.proc.stdout:
            self.proc.stdout.close()
        self.proc = None
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None
