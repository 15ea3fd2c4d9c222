"""What the pages and the JSON add from symbolication and the dumps: group titles and search, the
group's symbolicated stacks, exception, whole report, counts per version and per day (an SVG the
server draws), "new in version", kernel-dump bug checks; and the symbol store's endpoints.

The symbol store takes uploads behind its own token (a build machine needs no page login) and is
read, by debuggers too, with that token or a page login.
"""
import base64
import datetime
import hmac
import json
import os
import time

from flask import Response, abort, request, send_file

from crashserver import jobs, kernel_dump
from crashserver.parsing import BadUpload, read_body
from crashserver.symbol_store import Refused, SymbolStore

DAY = 86400
CHART_DAYS = 30
SYMBOL_UPLOAD_LIMIT = 512 << 20


def _config(app, storage):
    store = app.config.get("SYMBOL_STORE")
    if store is None:
        store = app.config["SYMBOL_STORE"] = SymbolStore(
            os.path.join(os.path.dirname(storage.files.root), "symbols")
        )
    return store, app.config.get("SYMBOLS_TOKEN") or ""


def install(app, storage, page_authorised):
    def symbols_token_given():
        _, token = _config(app, storage)
        if not token:
            return False
        header = request.headers.get("Authorization", "")
        given = ""
        if header.startswith("Bearer "):
            given = header[7:]
        elif header.startswith("Basic "):
            try:
                given = base64.b64decode(header[6:], validate=True).decode("utf-8").split(":", 1)[-1]
            except ValueError:
                given = ""
        return bool(given) and hmac.compare_digest(given.encode(), token.encode())

    @app.route("/symbols/<module>/<key>/<name>", methods=["PUT"])
    def symbol_upload(module, key, name):
        store, token = _config(app, storage)
        if not token:
            return Response("symbol uploads are not enabled on this server\n", 503, mimetype="text/plain")
        if not symbols_token_given():
            return Response(
                "the symbols token is required\n",
                401,
                mimetype="text/plain",
                headers={"WWW-Authenticate": 'Bearer realm="symbols"'},
            )
        try:
            new = store.put(
                module, key, name, read_body(request.stream, request.content_length, SYMBOL_UPLOAD_LIMIT)
            )
        except (BadUpload, Refused) as e:
            return Response(str(e) + "\n", e.status, mimetype="text/plain")
        if new:
            jobs.requeue_module(storage, module)
        return Response("stored\n" if new else "already stored\n", 201 if new else 200, mimetype="text/plain")

    @app.get("/symbols/<module>/<key>/<name>")
    def symbol_download(module, key, name):
        if not (symbols_token_given() or page_authorised()):
            return Response(
                "login or the symbols token required\n",
                401,
                mimetype="text/plain",
                headers={"WWW-Authenticate": 'Basic realm="symbols"'},
            )
        store, _ = _config(app, storage)
        path = store.get(module, key, name)
        if not path:
            abort(404)
        return send_file(path, mimetype="application/octet-stream", as_attachment=True, download_name=name)

    @app.get("/groups/<hash_id>/chart.svg")
    def group_chart(hash_id):
        days = per_day(storage, hash_id.upper())
        return Response(
            chart_svg(days),
            mimetype="image/svg+xml",
            headers={"Content-Security-Policy": "default-src 'none'; style-src 'unsafe-inline'"},
        )


# --- groups ------------------------------------------------------------------------------------------
SEARCH_PAGES = 20


def list_page(storage, fetch, query, after, limit):
    """One page of the group list with titles and first versions: fetch(after) gives (groups, next
    cursor). A search (crash-ID prefix, or text in module, application, title or any symbolicated
    frame) reads pages until it has a page of matches or has read SEARCH_PAGES of them."""
    q = (query or "").strip()
    if not q:
        groups, cursor = fetch(after)
        return extend_groups(storage, groups), cursor
    found = jobs.search(storage, q)
    kept, cursor = [], after
    for _ in range(SEARCH_PAGES):
        groups, cursor = fetch(cursor)
        kept += [g for g in groups if g["hash_id"] in found]
        if not cursor or len(kept) >= limit:
            break
    return extend_groups(storage, kept), cursor


def extend_groups(storage, groups):
    """Adds each group's title and the version it first came with."""
    ids = [g["hash_id"] for g in groups]
    titles = jobs.titles(storage, ids)
    first = first_versions(storage, ids)
    newest = newest_version(all_versions(storage))
    for g in groups:
        g["title"] = titles.get(g["hash_id"], "")
        g["new_in"] = first.get(g["hash_id"], "")
        g["new_in_latest"] = bool(newest) and g["new_in"] == newest
    return groups


def first_versions(storage, hash_ids):
    """{crash ID: the version it was first reported with}."""
    out = {}
    rows = storage.select_in(
        "SELECT hash_id, version, first_seen FROM group_versions WHERE hash_id IN (%s)", hash_ids
    )
    for h, v, seen in sorted(rows, key=lambda r: (r[0], r[2]), reverse=True):
        out[h] = v
    return out


def all_versions(storage):
    return [r[0] for r in storage.read_rows("SELECT DISTINCT version FROM group_versions")]


def forget_deleted(storage):
    """Symbolication results hold the report (e-mail, description): they go with their archives."""
    jobs.forget_deleted(storage)


def version_key(v):
    return [(0, int(p)) if p.isdigit() else (1, p) for p in v.replace("-", ".").split(".")]


def newest_version(versions):
    versions = [v for v in versions if v]
    return max(versions, key=version_key) if versions else ""


def per_version(storage, hash_id):
    rows = storage.read_rows(
        "SELECT version, SUM(count_flag), COUNT(DISTINCT guid) FROM info_posts"
        " WHERE hash_id = ? GROUP BY version",
        (hash_id,),
    )
    return sorted(
        ({"version": v, "reports": int(n or 0), "machines": m} for v, n, m in rows),
        key=lambda r: version_key(r["version"]),
    )


def per_day(storage, hash_id, now=None):
    """Reports of the last 30 days, oldest first: [(YYYY-MM-DD, count)] (UTC days)."""
    now = now or time.time()
    today = int(now // DAY)
    start = (today - CHART_DAYS + 1) * DAY
    rows = storage.read_rows(
        "SELECT received FROM info_posts WHERE hash_id = ? AND count_flag = 1 AND received >= ?",
        (hash_id, start),
    )
    counts = [0] * CHART_DAYS
    for (received,) in rows:
        i = int(received // DAY) - (today - CHART_DAYS + 1)
        if 0 <= i < CHART_DAYS:
            counts[i] += 1
    return [
        (
            datetime.datetime.fromtimestamp(
                (today - CHART_DAYS + 1 + i) * DAY, datetime.timezone.utc
            ).strftime("%Y-%m-%d"),
            c,
        )
        for i, c in enumerate(counts)
    ]


def chart_svg(days, width=620, height=160):
    top = max([c for _, c in days] + [1])
    bar = (width - 40) / len(days)
    parts = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d"'
        ' font-family="sans-serif" font-size="10">' % (width, height, width, height),
        "<title>Reports per day, last %d days</title>" % len(days),
        '<line x1="30" y1="%d" x2="%d" y2="%d" stroke="#888"/>' % (height - 20, width - 10, height - 20),
        '<text x="2" y="14">%d</text><text x="2" y="%d">0</text>' % (top, height - 20),
    ]
    for i, (day, count) in enumerate(days):
        h = (height - 40) * count / top
        x = 30 + i * bar
        parts.append(
            '<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#4a6fb5"><title>%s: %d</title></rect>'
            % (x + 1, height - 20 - h, bar - 2, h, day, count)
        )
        if (len(days) - 1 - i) % 7 == 0:
            parts.append('<text x="%.1f" y="%d">%s</text>' % (x, height - 6, day[5:]))
    parts.append("</svg>")
    return "\n".join(parts)


def extend_group(storage, g):
    """The group with its symbolication per archive, title, counts per version, days and first version."""
    rows = jobs.results(storage, g["hash_id"])
    title = ""
    for a in g["archive_list"]:
        s = rows.get(a["id"])
        a["symbolication"] = {
            "state": s["state"] if s else "pending",
            "title": s["title"] if s else "",
            "missing": s["missing"] if s else [],
            "done": s["done"] if s else 0,
            **(s["result"] if s else {}),
        }
        if s and s["title"]:
            title = s["title"]  # the newest archive's title counts
    g["title"] = title
    g["per_version"] = per_version(storage, g["hash_id"])
    g["per_day"] = per_day(storage, g["hash_id"])
    g["new_in"] = first_versions(storage, [g["hash_id"]]).get(g["hash_id"], "")
    g["new_in_latest"] = bool(g["new_in"]) and g["new_in"] == newest_version(all_versions(storage))
    return g


# --- kernel dumps ------------------------------------------------------------------------------------
HEADER_COLUMNS = "dump_id, readable, error, bug_check, parameters, os_build, machine, processors, dump_time"
HEADERS_READ_AT_ONCE = 500


def read_kernel_headers(storage):
    """Reads the header of kernel dumps that have none recorded yet (each once, a bounded number per
    call), so that the bug-check groups count every dump, not only those of the page shown."""
    jobs.ensure_schema(storage)
    todo = storage.read_rows(
        "SELECT id, sha256, dump_name FROM kernel_dumps k WHERE NOT EXISTS (SELECT 1 FROM"
        " kernel_dump_headers h WHERE h.dump_id = k.id) ORDER BY id DESC LIMIT ?",
        (HEADERS_READ_AT_ONCE,),
    )
    for dump_id, sha256, name in todo:
        try:
            h = kernel_dump.read_package_header(storage.files.path(sha256), name)
            row = (
                dump_id,
                1,
                "",
                h["bug_check"],
                json.dumps(h["parameters"]),
                h["os_build"],
                h["machine"],
                h["processors"],
                h["dump_time"],
            )
        except kernel_dump.NotAKernelDump as e:
            row = (dump_id, 0, str(e), 0, "[]", "", "", 0, 0.0)
        with storage.transaction(write=True) as cur:
            storage._exec(
                cur,
                "INSERT INTO kernel_dump_headers (%s) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (dump_id) DO NOTHING" % HEADER_COLUMNS,
                row,
            )


def extend_kernel_dumps(storage, dumps):
    """Each dump of the page with its header's bug check, and all kernel dumps grouped by bug-check code."""
    read_kernel_headers(storage)
    ids = [d["id"] for d in dumps]
    with storage.transaction() as cur:
        marks = ", ".join("?" * len(ids))
        known = (
            {
                r[0]: r
                for r in storage._exec(
                    cur,
                    "SELECT %s FROM kernel_dump_headers WHERE dump_id IN (%s)" % (HEADER_COLUMNS, marks),
                    ids,
                ).fetchall()
            }
            if ids
            else {}
        )
        counts = storage._exec(
            cur,
            "SELECT h.readable, h.bug_check, COUNT(*), COUNT(DISTINCT k.machine_id),"
            " MAX(k.received) FROM kernel_dumps k JOIN kernel_dump_headers h"
            " ON h.dump_id = k.id GROUP BY h.readable, h.bug_check",
        ).fetchall()
    for d in dumps:
        row = known.get(d["id"]) or (d["id"], 0, "not read yet", 0, "[]", "", "", 0, 0.0)
        _, readable, error, code, params, os_build, machine, cpus, when = row
        params = json.loads(params)
        d["header"] = {
            "readable": bool(readable),
            "error": error,
            "bug_check": code,
            "parameters": params,
            "os_build": os_build,
            "machine": machine,
            "processors": cpus,
            "dump_time": when,
        }
        d["bug_check_text"] = (
            kernel_dump.bug_check_text(
                {
                    "bug_check": code,
                    "parameters": params,
                    "bug_check_name": kernel_dump.BUG_CHECK_NAMES.get(code, ""),
                }
            )
            if readable
            else "unreadable dump"
        )
    groups = {}
    for readable, code, count, machines, last in counts:
        key = "0x%08X" % code if readable else "unreadable"
        g = groups.setdefault(
            key,
            {
                "bug_check": key,
                "name": kernel_dump.BUG_CHECK_NAMES.get(code, "") if readable else "",
                "count": 0,
                "machines": 0,
                "last": 0.0,
            },
        )
        g["count"] += count
        g["machines"] += machines
        g["last"] = max(g["last"], last or 0.0)
    by_code = sorted(groups.values(), key=lambda g: (-g["count"], g["bug_check"]))
    return dumps, by_code
