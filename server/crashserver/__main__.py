"""Starts the crash server with waitress.

    python3 -m crashserver [--host H] [--port N] [--data DIR] [--database DSN] [--max-archives N]
                           [--token T] [--kernel-limit BYTES] [--threads N]

Prints one line when it listens:  SERVER url=http://HOST:PORT data=DIR token-file=FILE
The login token comes from --token, else $CRASHSERVER_TOKEN, else DIR/token (made once, mode 600).
"""
import argparse
import logging
import os
import secrets
import signal
import sys
import threading
import time

import waitress

from crashserver.app import ARCHIVE_LIMIT, KERNEL_LIMIT, create_app
from crashserver.storage import open_storage


def load_token(data_dir, given):
    path = os.path.join(data_dir, "token")
    if given:
        return given, "(given)"
    if os.environ.get("CRASHSERVER_TOKEN"):
        return os.environ["CRASHSERVER_TOKEN"], "(environment)"
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_urlsafe(24) + "\n")
    except FileExistsError:
        pass
    with open(path) as f:
        return f.read().strip(), path


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


def symbolication_setup(app, data, args):
    """The symbol store's folder and upload token (made once like the login token, in its own file)."""
    from crashserver.symbol_store import SymbolStore
    app.config["SYMBOL_STORE"] = SymbolStore(os.path.join(data, "symbols"))
    given = args.symbols_token or os.environ.get("CRASHSERVER_SYMBOLS_TOKEN")
    if given:
        app.config["SYMBOLS_TOKEN"] = given
        return "(given)"
    path = os.path.join(data, "symbols-token")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_urlsafe(24) + "\n")
    except FileExistsError:
        pass
    with open(path) as f:
        app.config["SYMBOLS_TOKEN"] = f.read().strip()
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


def main(argv=None):
    ap = argparse.ArgumentParser(description="crash server")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8765)
    ap.add_argument("--data", default=os.path.abspath("crash-data"))
    ap.add_argument("--database", default=os.environ.get("CRASHSERVER_DATABASE"),
                    help="PostgreSQL connection string; SQLite in the data folder when absent")
    ap.add_argument("--max-archives", type=int, default=3, help="archives wanted per crash ID")
    ap.add_argument("--token")
    ap.add_argument("--kernel-limit", type=int, default=KERNEL_LIMIT)
    ap.add_argument("--threads", type=int, default=16)
    ap.add_argument("--parent-pid", type=int, default=0, help="end when this process is gone")
    ap.add_argument("--symbol-workers", type=int, default=2, help="symbolication worker processes to start")
    ap.add_argument("--symbols-token", help="token for symbol uploads (default $CRASHSERVER_SYMBOLS_TOKEN,"
                                            " else DATA/symbols-token)")
    ap.add_argument("--symbolizer", help="llvm-symbolizer to run (default /usr/bin/llvm-symbolizer)")
    args = ap.parse_args(argv)

    # waitress reports a busy moment ("Task queue depth") as a warning; under load that is no news.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    data = os.path.abspath(args.data)
    os.makedirs(data, exist_ok=True)
    token, token_source = load_token(data, args.token)
    storage = open_storage(data, args.database, args.max_archives)
    app = create_app(storage, token, args.kernel_limit)
    symbols_token = symbolication_setup(app, data, args)
    server = waitress.create_server(app, host=args.host, port=args.port, threads=args.threads,
                                    max_request_body_size=max(args.kernel_limit, ARCHIVE_LIMIT) + 1,
                                    connection_limit=200, backlog=256, channel_timeout=60,
                                    clear_untrusted_proxy_headers=True, ident="crashserver")
    if args.parent_pid:
        threading.Thread(target=watch_parent, args=(args.parent_pid,), daemon=True).start()

    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    workers = start_workers(data, args)
    print("SERVER url=http://%s:%d data=%s token-file=%s symbols-token-file=%s" % (
        args.host, int(server.effective_port), data, token_source, symbols_token), flush=True)
    try:
        server.run()
    except (SystemExit, KeyboardInterrupt):
        pass
    finally:
        server.close()
        storage.close()
        for w in workers:
            w.terminate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
