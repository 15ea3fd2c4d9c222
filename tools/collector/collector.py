#!/usr/bin/env python3
"""Reference report server for the suite's uploaders, for tests and demonstrations.

Listens on 127.0.0.1 (http, or https with a given certificate), stores every POST body per endpoint
and answers each endpoint the way a test asked. Endpoints are free-form: whatever path a program
posts to is an endpoint ("cgi-bin/bug_report.cgi", "cgi-bin-py/security_dump.cgi", ...); leading
slashes are dropped for the endpoint's name, the raw path is recorded as sent.

Start:   collector.py --port 0 [--store DIR] [--https CERT KEY] [--parent-pid PID] [--lifetime S]
Prints:  COLLECTOR scheme=http host=127.0.0.1 port=PORT store=DIR      (one line, then serves)

Control (same server, paths under /_control/):
  GET  /_control/received            JSON list of records (seq, endpoint, path, method, headers,
                                     size, sha256, file)
  GET  /_control/body/SEQ            the stored body of record SEQ
  POST /_control/behaviour           JSON {"endpoint": E, "mode": M, "body": TEXT, "queue": [M, ...],
                                     "delay_seconds": D}
                                     mode: ok (200 + Content-Length), ok-no-length (200, no length,
                                     connection closed after the body), 404, 413, 500, stall (no answer
                                     until the server stops or "stall_seconds" pass), huge-length
                                     (200, Content-Length 4294967295, then 64 KiB of "A"), stall-body
                                     (200, Content-Length 1000, 10 bytes, then a stall), trickle-headers
                                     (the status line, then one header byte a second, then a complete
                                     200 answer after "stall_seconds"), trickle-body (200, Content-Length
                                     1000, then one byte a second until "stall_seconds" pass); "queue" modes
                                     are used one per request before "mode" applies again; answers
                                     come after "delay_seconds" (default 0).
  POST /_control/reset               forget records and behaviours
  POST /_control/stop                end the server
Each body is also written to STORE/SEQ-ENDPOINT.bin and described in STORE/records.jsonl. A form
post (application/x-www-form-urlencoded) also has its fields, in order, as "fields": [[name, value]].

The server never outlives its starter: it ends when the parent process is gone, and after
--lifetime seconds (default 900) whatever happens.
"""
import argparse
import urllib.parse
import hashlib
import http.server
import json
import os
import re
import socketserver
import ssl
import sys
import tempfile
import threading
import time

MODES = (
    "ok",
    "ok-no-length",
    "404",
    "413",
    "500",
    "stall",
    "huge-length",
    "stall-body",
    "trickle-headers",
    "trickle-body",
)


class State:
    def __init__(self, store):
        self.store = store
        self.lock = threading.Lock()
        self.records = []
        self.behaviours = {}  # endpoint -> {"mode", "body", "queue", "stall_seconds"}
        self.stopping = threading.Event()

    def behaviour_for(self, endpoint):
        with self.lock:
            b = self.behaviours.get(endpoint, {})
            queue = b.get("queue") or []
            mode = queue.pop(0) if queue else b.get("mode", "ok")
            return (
                mode,
                b.get("body", ""),
                float(b.get("stall_seconds", 3600)),
                float(b.get("delay_seconds", 0)),
            )

    def record(self, handler, endpoint, body):
        with self.lock:
            seq = len(self.records) + 1
            safe = re.sub(r"[^A-Za-z0-9._-]+", "_", endpoint) or "root"
            path = os.path.join(self.store, "%d-%s.bin" % (seq, safe))
            with open(path, "wb") as f:
                f.write(body)
            rec = {
                "seq": seq,
                "endpoint": endpoint,
                "path": raw_path(handler),
                "method": handler.command,
                "headers": {k: v for k, v in handler.headers.items()},
                "size": len(body),
                "sha256": hashlib.sha256(body).hexdigest(),
                "file": path,
                "time": time.time(),
            }
            if (
                handler.headers.get("Content-Type", "").split(";")[0].strip()
                == "application/x-www-form-urlencoded"
            ):
                rec["fields"] = urllib.parse.parse_qsl(
                    body.decode("utf-8", "replace"), keep_blank_values=True
                )
            self.records.append(rec)
            with open(os.path.join(self.store, "records.jsonl"), "a") as f:
                f.write(json.dumps(rec) + "\n")
            return rec


def raw_path(handler):
    # http.server folds a leading "//" into "/"; the request line keeps what the client sent.
    words = handler.requestline.split()
    return words[1] if len(words) >= 2 else handler.path


def endpoint_of(path):
    return path.split("?", 1)[0].lstrip("/")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # one request per connection: "no length" answers end at close
    server_version = "collector/1"

    def log_message(self, fmt, *args):  # quiet: tests read the records, not a log
        pass

    def read_body(self):
        length = self.headers.get("Content-Length")
        if length is not None:
            return self.rfile.read(int(length))
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    self.rfile.readline()
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        return b""

    def answer(self, status, body=b"", content_type="text/plain", with_length=True):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if with_length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    # --- control -------------------------------------------------------------------------------
    def control(self, body):
        state = self.server.state
        parts = endpoint_of(self.path).split("/")[1:]
        what = parts[0] if parts else ""
        if self.command == "GET" and what == "received":
            with state.lock:
                data = json.dumps(state.records).encode()
            return self.answer(200, data, "application/json")
        if self.command == "GET" and what == "body" and len(parts) == 2:
            with state.lock:
                rec = next((r for r in state.records if str(r["seq"]) == parts[1]), None)
            if not rec:
                return self.answer(404)
            with open(rec["file"], "rb") as f:
                return self.answer(200, f.read(), "application/octet-stream")
        if self.command == "POST" and what == "behaviour":
            behaviour = json.loads(body or b"{}")
            endpoint = behaviour.get("endpoint", "").lstrip("/")
            for m in [behaviour.get("mode", "ok")] + list(behaviour.get("queue", [])):
                if m not in MODES:
                    return self.answer(400, ("unknown mode " + m).encode())
            with state.lock:
                state.behaviours[endpoint] = {
                    "mode": behaviour.get("mode", "ok"),
                    "body": behaviour.get("body", ""),
                    "queue": list(behaviour.get("queue", [])),
                    "stall_seconds": behaviour.get("stall_seconds", 3600),
                    "delay_seconds": behaviour.get("delay_seconds", 0),
                }
            return self.answer(200, b"ok")
        if self.command == "POST" and what == "reset":
            with state.lock:
                state.records.clear()
                state.behaviours.clear()
            return self.answer(200, b"ok")
        if self.command == "POST" and what == "stop":
            self.answer(200, b"bye")
            state.stopping.set()
            threading.Thread(target=self.server.shutdown, daemon=True).start()
            return None
        return self.answer(404)

    # --- reports -------------------------------------------------------------------------------
    def handle_request(self):
        body = self.read_body()
        endpoint = endpoint_of(self.path)
        if endpoint.startswith("_control"):
            return self.control(body)
        if self.command != "POST":
            return self.answer(405)
        state = self.server.state
        state.record(self, endpoint, body)
        mode, text, stall_seconds, delay_seconds = state.behaviour_for(endpoint)
        payload = text.encode("utf-8")
        if delay_seconds and mode != "stall":
            state.stopping.wait(delay_seconds)
        if mode == "ok":
            return self.answer(200, payload)
        if mode == "ok-no-length":
            return self.answer(200, payload, with_length=False)
        if mode in ("404", "413", "500"):
            return self.answer(int(mode), payload)
        if mode in ("huge-length", "stall-body"):
            # Hostile answers: a length no buffer may be sized by, or a body that stops coming.
            self.send_response(200)
            self.send_header("Content-Length", "4294967295" if mode == "huge-length" else "1000")
            self.end_headers()
            try:
                self.wfile.write(b"A" * (65536 if mode == "huge-length" else 10))
                self.wfile.flush()
            except OSError:
                return None
            if mode == "stall-body":
                state.stopping.wait(stall_seconds)
            self.close_connection = True
            return None
        if mode in ("trickle-headers", "trickle-body"):
            # Never silent long enough for a receive time-out, never done either.
            return self.trickle(mode, stall_seconds)
        # stall: keep the client waiting without a word
        state.stopping.wait(stall_seconds)
        self.close_connection = True
        return None

    def trickle(self, mode, seconds):
        state = self.server.state
        self.close_connection = True
        try:
            self.wfile.write(b"HTTP/1.0 200 OK\r\n")
            if mode == "trickle-body":
                self.wfile.write(b"Content-Length: 1000\r\n\r\n")
            else:
                self.wfile.write(b"X-Trickle: ")
            self.wfile.flush()
            end = time.time() + seconds
            while time.time() < end and not state.stopping.wait(1):
                self.wfile.write(b"a")
                self.wfile.flush()
            if mode == "trickle-headers":
                self.wfile.write(b"\r\nContent-Length: 2\r\n\r\nok")
        except OSError:
            pass  # the client gave up
        return None

    do_GET = handle_request
    do_POST = handle_request
    do_PUT = handle_request


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def watch_parent(parent_pid, lifetime, server):
    started = time.time()
    while not server.state.stopping.is_set():
        gone = False
        if parent_pid:
            try:
                os.kill(parent_pid, 0)
            except ProcessLookupError:
                gone = True
            except PermissionError:
                pass
            if os.getppid() != parent_pid:
                gone = True
        if gone or time.time() - started > lifetime:
            os._exit(0)
        time.sleep(0.5)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--store", default=None)
    ap.add_argument("--https", nargs=2, metavar=("CERT", "KEY"))
    ap.add_argument("--parent-pid", type=int, default=os.getppid())
    ap.add_argument("--lifetime", type=float, default=900)
    args = ap.parse_args()

    store = args.store or tempfile.mkdtemp(prefix="collector-")
    os.makedirs(store, exist_ok=True)
    server = Server((args.host, args.port), Handler)
    server.state = State(store)
    scheme = "http"
    if args.https:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.https[0], args.https[1])
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
        scheme = "https"
    threading.Thread(target=watch_parent, args=(args.parent_pid, args.lifetime, server), daemon=True).start()
    port = server.server_address[1]
    print("COLLECTOR scheme=%s host=%s port=%d store=%s" % (scheme, args.host, port, store), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.state.stopping.set()
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
