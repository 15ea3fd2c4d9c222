"""./run server-bench: see tools/cmd/server-bench."""
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from load import run_load  # noqa: E402
from serverlib import Postgres, Server  # noqa: E402


def measure(port, follow_answer):
    r = run_load([port], clients=50, rounds=2, follow_answer=follow_answer)
    if r["failures"] or r["requests"] != 200:
        raise SystemExit("lost requests: %d done, failures %s" % (r["requests"], r["failures"][:3]))
    return r


def median_of(runs, start):
    results = [start() for _ in range(runs)]
    return {k: statistics.median(r[k] for r in results) for k in ("rps", "p50_ms", "p99_ms")}


def server_run(*extra):
    def one():
        with tempfile.TemporaryDirectory() as data:
            s = Server(data, "--max-archives", "1000", *extra).start()
            try:
                return measure(s.port, True)
            finally:
                s.stop()
    return one


# The baseline: the same HTTP server (waitress, same thread count) with an application that only
# reads the body and answers "true", so the ratios are the cost of parsing, deciding and storing.
BARE = """
import logging, sys, waitress
logging.getLogger("waitress.queue").setLevel(logging.ERROR)
def app(environ, start):
    environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
    start("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "4")])
    return [b"true"]
s = waitress.create_server(app, host="127.0.0.1", port=0, threads=16, connection_limit=200, backlog=256)
print(int(s.effective_port), flush=True)
s.run()
"""


def bare_run():
    proc = subprocess.Popen([sys.executable, "-c", BARE], stdout=subprocess.PIPE, text=True)
    try:
        return measure(int(proc.stdout.readline()), True)
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    rows = [("bare waitress (baseline)", median_of(runs, bare_run)), ("server, SQLite", median_of(runs, server_run()))]
    if os.path.exists(Postgres.BIN + "/initdb"):
        pg = Postgres().start()
        try:
            rows.append(("server, PostgreSQL", median_of(runs, lambda: server_run("--database", pg.new_database())())))
        finally:
            pg.stop()
    base = rows[0][1]
    print("50 clients x 2 crashes, information post + archive each (200 requests), median of %d runs" % runs)
    for name, r in rows:
        print("%-25s %7.0f requests/s (x%.2f)   p50 %7.1f ms   p99 %7.1f ms (x%.2f)"
              % (name, r["rps"], r["rps"] / base["rps"], r["p50_ms"], r["p99_ms"], r["p99_ms"] / base["p99_ms"]))


if __name__ == "__main__":
    main()
