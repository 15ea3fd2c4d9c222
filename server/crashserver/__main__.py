"""Starts the crash server with waitress.

    python3 -m crashserver [--host H] [--port N] [--data DIR] [--database DSN] [--max-archives N] ...
    python3 -m crashserver --public [...]     nginx with TLS in front of --workers server processes

Prints one line when it listens:  SERVER url=http://HOST:PORT data=DIR token-file=FILE
The login token comes from --token, else $CRASHSERVER_TOKEN, else DIR/token (made once, mode 600);
a token shorter than 16 characters is refused. See docs/crash-server.md for every option.
"""
import argparse
import ipaddress
import logging
import os
import signal
import sys
import threading
import time

import waitress
from waitress.channel import HTTPChannel

from crashserver import weblog
from crashserver.app import ARCHIVE_LIMIT, DEFAULTS, create_app
from crashserver.auth import TokenError, fingerprint, load_token, token_file
from crashserver.storage import open_storage
from crashserver.views import SYMBOL_UPLOAD_LIMIT


def watch_parent(parent_pid):
    """A server started by a test or the demo ends with its starter, also when that is killed."""
    while True:
        try:
            os.kill(parent_pid, 0)
        except ProcessLookupError:
            os._exit(0)
        except PermissionError:
            pass
        time.sleep(0.5)


def symbolication_setup(app, storage, data, args):
    """The symbolication tables, the symbol store's folder and upload token (made once like the login
    token, in its own file)."""
    from crashserver import jobs
    from crashserver.symbol_store import SymbolStore

    jobs.ensure_schema(storage)
    app.config["SYMBOL_STORE"] = SymbolStore(os.path.join(data, "symbols"))
    given = args.symbols_token or os.environ.get("CRASHSERVER_SYMBOLS_TOKEN")
    if given:
        app.config["SYMBOLS_TOKEN"] = given
        return "(given)"
    path = os.path.join(data, "symbols-token")
    app.config["SYMBOLS_TOKEN"] = token_file(path)
    return path


def start_workers(data, args):
    """Symbolication workers for this server; they end with it."""
    import subprocess

    cmd = [sys.executable, "-m", "crashserver.worker", "--data", data, "--parent-pid", str(os.getpid())]
    if args.database:
        cmd += ["--database", args.database]
    if args.symbolizer:
        cmd += ["--symbolizer", args.symbolizer]
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return [subprocess.Popen(cmd, cwd=here) for _ in range(max(args.symbol_workers, 0))]


def restrict_data(data):
    """Folders 0700 and files 0600: a data folder from an older version had them readable by all."""
    if os.stat(data).st_mode & 0o077 == 0:
        return
    for folder, dirs, files in os.walk(data):
        os.chmod(folder, 0o700)
        for name in files:
            p = os.path.join(folder, name)
            if not os.path.islink(p):
                os.chmod(p, 0o600)


def maintenance(storage, token, seconds):
    """Retention, the orphan sweep and expired sessions: now, then every `seconds`."""
    while True:
        try:
            removed = storage.apply_retention()
            orphans = storage.sweep_orphans()
            storage.purge_sessions(fingerprint(token))
            if removed or orphans:
                weblog.line("MAINTENANCE", removed=removed, orphans=orphans)
        except Exception as e:  # noqa: BLE001 - a database away for a while; try again next time
            weblog.line("MAINTENANCE", error=repr(e))
        time.sleep(seconds)


def busy(server, requests, close_idle=False):
    """True while a request is being received, handled or answered, or a connection accepted in
    the last two seconds has sent nothing yet. With close_idle, connections between requests are
    closed on the way, so a client stops reusing them."""
    found = requests.in_flight > 0
    now = time.time()
    for ch in list(server._map.values()):
        if not isinstance(ch, HTTPChannel):
            continue
        if ch.request is not None or ch.requests or ch.total_outbufs_len:
            found = True
        elif ch.last_activity == ch.creation_time and now - ch.creation_time < 2:
            found = True
        elif close_idle:
            ch.handle_close()
    return found


def stop_listening(server):
    """Takes the connections already waiting in the listen queue, then closes the socket: a proxy's
    connection attempt is either served here or refused (and sent to another process)."""
    while True:
        count = len(server._map)
        server.handle_accept()
        if len(server._map) == count:
            break
    server.accepting = False
    server.del_channel()
    server.socket.close()


def serve(server, requests, drain_seconds):
    """waitress's loop, ending on SIGTERM or SIGINT with a drain: the listening socket is closed at
    once (a proxy sends new requests to another process), the requests in flight are finished for at
    most drain_seconds, then the process ends."""
    stopping = threading.Event()

    def stop(*_):
        stopping.set()
        server.pull_trigger()  # wakes the loop's poll now rather than at its timeout

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    while not stopping.is_set():
        server.asyncore.loop(timeout=0.5, map=server._map, use_poll=True, count=1)
    stop_listening(server)
    weblog.line("STOPPING", drain_seconds=drain_seconds)
    deadline = time.monotonic() + drain_seconds
    while time.monotonic() < deadline and busy(server, requests, close_idle=True):
        server.asyncore.loop(timeout=0.05, map=server._map, use_poll=True, count=1)
    weblog.line("STOPPED", unfinished=int(busy(server, requests)))
    server.task_dispatcher.shutdown(timeout=1)


# The application's limits an option changes: (option, its key in DEFAULTS, help).
APP_LIMITS = (
    ("--kernel-limit", "kernel_limit", "largest kernel-dump package"),
    ("--inflate-limit", "inflate_limit", "bytes one archive may unpack to in total"),
    ("--parse-slots", "parse_slots", "archives parsed at once"),
    ("--info-limit", "info_limit", "information posts per address per 10 minutes (0: no limit)"),
)


def options(argv):
    ap = argparse.ArgumentParser(prog="crashserver", description="crash server")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8765)
    ap.add_argument("--data", default="crash-data", help="data folder (relative to the current folder)")
    ap.add_argument(
        "--database",
        default=os.environ.get("CRASHSERVER_DATABASE"),
        help="PostgreSQL connection string; SQLite in the data folder when absent",
    )
    ap.add_argument("--max-archives", type=int, default=3, help="archives wanted per crash ID")
    ap.add_argument("--token")
    for flag, key, text in APP_LIMITS:
        ap.add_argument(flag, type=int, default=DEFAULTS[key], help=text)
    ap.add_argument("--session-hours", type=float, default=DEFAULTS["session_seconds"] / 3600)
    ap.add_argument("--threads", type=int, default=16)
    ap.add_argument("--trusted-proxy", help="address of the proxy whose X-Forwarded-For/-Proto are believed")
    ap.add_argument("--secure-cookies", action="store_true", help="mark the login cookie Secure (behind TLS)")
    ap.add_argument("--log-file", help="also write the log to this file")
    ap.add_argument(
        "--drain-seconds", type=float, default=20.0, help="longest wait for requests in flight at SIGTERM"
    )
    ap.add_argument("--archive-quota", type=int, default=0, help="bytes of archives kept (0: no limit)")
    ap.add_argument("--kernel-quota", type=int, default=0, help="bytes of kernel dumps kept (0: no limit)")
    ap.add_argument("--keep-per-group", type=int, default=0, help="archives kept per crash ID (0: all)")
    ap.add_argument(
        "--keep-days", type=float, default=0, help="days archives and kernel dumps are kept (0: all)"
    )
    ap.add_argument("--maintenance-seconds", type=float, default=3600)
    ap.add_argument("--parent-pid", type=int, default=0, help="end when this process is gone")
    ap.add_argument("--symbol-workers", type=int, default=2, help="symbolication worker processes to start")
    ap.add_argument(
        "--symbols-token",
        help="token for symbol uploads (default $CRASHSERVER_SYMBOLS_TOKEN, else DATA/symbols-token)",
    )
    ap.add_argument("--symbolizer", help="llvm-symbolizer to run (default /usr/bin/llvm-symbolizer)")
    ap.add_argument("--public", action="store_true", help="nginx with TLS in front (see crashserver.deploy)")
    from crashserver import deploy

    deploy.add_options(ap)
    return ap.parse_args(argv)


def body_cap(args):
    """The largest body the HTTP server reads before any endpoint sees it; each endpoint refuses above
    its own limit. Debug files (up to SYMBOL_UPLOAD_LIMIT) fit only where nobody from outside can make
    the server buffer that much: behind the front, which limits each path itself, or on loopback. A
    server listening openly without the front keeps the crash uploads' limit."""
    largest = max(args.kernel_limit, ARCHIVE_LIMIT)
    if args.trusted_proxy or is_loopback(args.host):
        largest = max(largest, SYMBOL_UPLOAD_LIMIT)
    return largest + 1


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def main(argv=None):
    args = options(argv)
    os.umask(0o077)
    weblog.setup(args.log_file)
    if args.public:
        from crashserver import deploy

        return deploy.run_public(args, argv if argv is not None else sys.argv[1:])
    # waitress reports a busy moment ("Task queue depth") as a warning; under load that is no news.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    data = os.path.abspath(args.data)
    os.makedirs(data, mode=0o700, exist_ok=True)
    restrict_data(data)
    try:
        token, token_source = load_token(data, args.token)
    except TokenError as e:
        print("crashserver: %s" % e, file=sys.stderr)
        return 2
    retention = dict(
        archive_quota=args.archive_quota,
        kernel_quota=args.kernel_quota,
        keep_per_group=args.keep_per_group,
        keep_days=args.keep_days,
    )
    storage = open_storage(
        data, args.database, args.max_archives, pool_size=args.threads + 4, retention=retention
    )
    app = create_app(
        storage,
        token,
        args.kernel_limit,
        inflate_limit=args.inflate_limit,
        parse_slots=args.parse_slots,
        info_limit=args.info_limit,
        session_seconds=int(args.session_hours * 3600),
        secure_cookies=args.secure_cookies,
    )
    symbols_token = symbolication_setup(app, storage, data, args)
    requests = weblog.RequestLog(app)
    proxy = {}
    if args.trusted_proxy:
        proxy = dict(
            trusted_proxy=args.trusted_proxy,
            trusted_proxy_count=1,
            trusted_proxy_headers={"x-forwarded-for", "x-forwarded-proto"},
        )
    server = waitress.create_server(
        requests,
        host=args.host,
        port=args.port,
        threads=args.threads,
        max_request_body_size=body_cap(args),
        connection_limit=1000,
        backlog=1024,
        channel_timeout=60,
        clear_untrusted_proxy_headers=True,
        ident="crashserver",
        **proxy,
    )
    if args.parent_pid:
        threading.Thread(target=watch_parent, args=(args.parent_pid,), daemon=True).start()
    threading.Thread(target=maintenance, args=(storage, token, args.maintenance_seconds), daemon=True).start()
    workers = start_workers(data, args)
    print(
        "SERVER url=http://%s:%d data=%s token-file=%s symbols-token-file=%s"
        % (args.host, int(server.effective_port), data, token_source, symbols_token),
        flush=True,
    )
    try:
        serve(server, requests, args.drain_seconds)
    finally:
        storage.close()
        for w in workers:
            w.terminate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
