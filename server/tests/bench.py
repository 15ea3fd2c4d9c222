"""./run server-bench: see tools/cmd/server-bench."""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

from crashserver.storage import open_storage
from load import run_load
from load import percentile
from serverlib import TOKEN, Client, Postgres, Server, chromium, make_archive, request

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("SUITE_BUILD", os.path.join(os.path.dirname(os.path.dirname(HERE)), "build"))
BIG = "%032X" % 0  # the group with 100,000 information posts
T0 = 1_790_000_000.0


def populate(storage, groups, posts, big):
    """groups crash groups and posts information posts (big of them in one group), with their
    per-version counts, a few archives and kernel dumps, written in bulk."""
    sha = storage.files.put(make_archive(BIG))
    group_rows, post_rows, version_rows = [], [], {}
    counts = [[0, 0, set()] for _ in range(groups)]
    for j in range(posts):
        g = 0 if j < big else 1 + (j - big) % (groups - 1)
        h = "%032X" % g
        version = "1.0.0.%d" % (j % 3)
        guid = "BIG-%06d" % j if g == 0 else "M%05d" % (j % 50_000)
        at = T0 + g + (j % 997)
        post_rows.append((h, guid, "Orv", version, "Orv.exe", "OrvCore.dll", 1, "", at, "10.0.0.1", "false"))
        c = counts[g]
        c[0] += 1
        c[1] += 1
        c[2].add(guid)
        v = version_rows.setdefault((h, version), [0, 0, set(), at, at])
        v[0] += 1
        v[1] += 1
        v[2].add(guid)
        v[3], v[4] = min(v[3], at), max(v[4], at)
    for g in range(groups):
        h = "%032X" % g
        first = min(v[3] for k, v in version_rows.items() if k[0] == h) if g < 3 else T0 + g
        group_rows.append(
            (
                h,
                "Orv",
                "Mod%d.dll" % (g % 20),
                "Orv.exe",
                first,
                T0 + g + 996,
                counts[g][0],
                counts[g][1],
                len(counts[g][2]),
            )
        )
    versions = [(h, v, r[0], r[1], len(r[2]), r[3], r[4]) for (h, v), r in version_rows.items()]
    archives = [
        (
            "%032X" % g,
            "M%05d" % g,
            sha,
            800,
            T0 + g,
            "10.0.0.1",
            "Orv",
            "1.0.0.1",
            "Orv.exe",
            "WIN_7 64",
            "OrvCore.dll",
            "2026-12-08 09:03:41",
            "",
            "",
            "0x6A8C1234  0x00001234  OrvCore",
            "ORV.txt",
            "ORV.DMP",
            64,
        )
        for g in [0, 0, 0] + list(range(1, groups, 100))
    ]
    kernel = [
        (sha, 800, T0 + i, "10.0.0.1", "S-1-5-21-%d" % (i % 300), "1.0.0.1", "Driver", "Mini.dmp", 64)
        for i in range(1000)
    ]
    tables = [
        (
            "crash_groups",
            "hash_id, product, module, app, first_seen, last_seen, report_count, post_count,"
            " machine_count",
            group_rows,
        ),
        (
            "info_posts",
            "hash_id, guid, product, version, app, module, count_flag, mail, received, remote, answer",
            post_rows,
        ),
        (
            "group_versions",
            "hash_id, version, report_count, post_count, machine_count, first_seen, last_seen",
            versions,
        ),
        (
            "archives",
            "hash_id, guid, sha256, size, received, remote, program_name, program_version, app_name,"
            " windows_version, module, report_time, email, user_context, stack, report_name, dump_name, dump_size",
            archives,
        ),
        (
            "kernel_dumps",
            "sha256, size, received, remote, machine_id, version, module, dump_name, dump_size",
            kernel,
        ),
    ]
    with storage.transaction(write=True) as cur:
        for table, columns, rows in tables:
            if storage.placeholder == "?":
                cur.executemany(
                    "INSERT INTO %s (%s) VALUES (%s)" % (table, columns, ", ".join("?" * len(rows[0]))), rows
                )
            else:
                import io

                text = io.StringIO("".join("\t".join(str(x) for x in r) + "\n" for r in rows))
                cur.copy_from(text, table, columns=[c.strip() for c in columns.split(",")])
        cur.execute(
            "INSERT INTO grants (hash_id, guid, mail, remote, granted, archive_id) SELECT hash_id, guid, '',"
            " remote, received, id FROM archives"
        )
    with storage.transaction(write=True) as cur:
        cur.execute("ANALYZE")


def client_ms(target, path, headers, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        status, body, _ = request(target, "GET", path, headers=headers)
        times.append((time.perf_counter() - started) * 1000)
        if status != 200:
            raise SystemExit("%s answered %d" % (path, status))
    return statistics.median(times), len(body)


def page_times(server, bare_port, paths, repeat=5):
    """path -> (median server ms from the server's own REQUEST lines, bytes, median ms at the client,
    median ms at the client for bare waitress sending as many bytes)."""
    sizes, client, bare = {}, {}, {}
    for path in paths:
        client[path], sizes[path] = client_ms(server, path, {"Authorization": "Bearer " + TOKEN}, repeat)
        bare[path] = client_ms(bare_port, "/page?%d" % sizes[path], {}, repeat)[0]
    time.sleep(0.2)
    log = server.log()
    out = {}
    for path in paths:
        ms = [
            float(m)
            for m in re.findall(
                r"method=GET path=%s status=200 bytes=\d+ ms=([\d.]+)"
                % re.escape(path if len(path) < 300 else path[:300]),
                log,
            )
        ]
        out[path] = (statistics.median(ms[-repeat:]), sizes[path], client[path], bare[path])
    return out


BARE = """
import logging, sys, waitress
logging.getLogger("waitress.queue").setLevel(logging.ERROR)
def app(environ, start):
    environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
    body = b"x" * int(environ["QUERY_STRING"]) if environ["PATH_INFO"] == "/page" else b"true"
    start("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(len(body)))])
    return [body]
s = waitress.create_server(app, host="127.0.0.1", port=0, threads=16, connection_limit=200, backlog=256)
print(int(s.effective_port), flush=True)
s.run()
"""


def posts(target):
    r = run_load([target], clients=50, rounds=2, follow_answer=True)
    if r["failures"]:
        raise SystemExit("lost requests: %s" % r["failures"][:3])
    info, archive = r["info_ms"], r["archive_ms"]
    return {
        "info_rps": len(info) / r["seconds"],
        "info_p99": percentile(info, 99),
        "archive_rps": len(archive) / r["seconds"],
        "archive_p99": percentile(archive, 99),
    }


class Bare:
    """The baseline: waitress with the same threads and an application that does nothing."""

    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", BARE], stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


def one_backend(name, dsn, groups, posts_total, big, shots, bare):
    with tempfile.TemporaryDirectory(prefix="crashserver-bench-") as data:
        storage = open_storage(data, dsn, pool_size=2)
        started = time.time()
        populate(storage, groups, posts_total, big)
        storage.close()
        print(
            "%s: %d groups, %d information posts written in %.0f s"
            % (name, groups, posts_total, time.time() - started),
            flush=True,
        )
        s = Server(data, "--max-archives", "1000000", *(["--database", dsn] if dsn else [])).start()
        try:
            c = Client([s])
            deep = c.api("/groups?limit=1000")["next"]
            paths = [
                "/",
                "/?sort=count",
                "/?version=1.0.0.2&sort=count",
                "/?module=Mod7.dll",
                "/?after=" + urllib.parse.quote(deep),
                "/groups/" + BIG,
                "/groups/%032X" % (groups // 2 + 1),
                "/kernel-dumps",
                "/api/groups",
                "/api/groups/" + BIG,
            ]
            pages = page_times(s, bare.port, paths)
            if shots:
                os.makedirs(os.path.join(BUILD, "screenshots"), exist_ok=True)
                shots = (
                    ("server-100k-list.png", "/?sort=count"),
                    ("server-100k-group.png", "/groups/" + BIG),
                )
                for png, path in shots:
                    out = os.path.join(BUILD, "screenshots", png)
                    chromium(s.url + path, out, login=(s.url, TOKEN))
                    print("screenshot %s" % out)
            return pages, posts(s)
        finally:
            s.stop()


def main():
    groups = int(os.environ.get("BENCH_GROUPS", 100_000))
    posts_total = int(os.environ.get("BENCH_POSTS", 500_000))
    big = min(100_000, posts_total // 5)
    with Bare() as bare:
        rows = [("bare waitress (baseline)", None, posts(bare.port))]
        pages, post = one_backend("SQLite", None, groups, posts_total, big, True, bare)
        rows.append(("server, SQLite", pages, post))
        if os.path.exists(Postgres.BIN + "/initdb"):
            pg = Postgres().start()
            try:
                pages, post = one_backend(
                    "PostgreSQL", pg.new_database(), groups, posts_total, big, False, bare
                )
                rows.append(("server, PostgreSQL", pages, post))
            finally:
                pg.stop()
    print(
        "\nPages with %d groups and %d information posts (%d in one group), median of 5; server ms from its own"
        " request line, then at the client, then bare waitress sending as many bytes; target: under 200 ms and"
        " 200 KB" % (groups, posts_total, big)
    )
    for name, pages, _ in rows[1:]:
        print(name)
        for path, (ms, size, client, bare_ms) in pages.items():
            shown = path if len(path) < 56 else path[:53] + "..."
            print(
                "  %-56s %7.1f ms %8d bytes   client %7.1f ms   bare %6.1f ms%s"
                % (shown, ms, size, client, bare_ms, "" if ms < 200 and size < 200_000 else "  OVER")
            )
    print("\nPosts: 50 clients x 2 crashes (information post, then the archive), on the populated database")
    for name, _, p in rows:
        print(
            "  %-26s information %6.0f/s p99 %7.1f ms   archive %6.0f/s p99 %7.1f ms"
            % (name, p["info_rps"], p["info_p99"], p["archive_rps"], p["archive_p99"])
        )


if __name__ == "__main__":
    main()
