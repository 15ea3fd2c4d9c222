"""The crash server as a WSGI application: the three upload endpoints the programs post to (open to
anyone, as the programs have no login) and the pages and JSON lists for the product team (behind
the server's token, since they show e-mail addresses and descriptions).

Everything an upload endpoint refuses is a 4xx answer and one REFUSED log line; parsing failures
are turned into refusals at the parser's boundary (crashserver.parsing), never a 500.
"""
import datetime
import os
import re
import threading

from flask import Flask, Response, abort, g, jsonify, redirect, render_template, request, send_file, url_for
from markupsafe import Markup

from crashserver import views, weblog
from crashserver.auth import SESSION_SECONDS, Sessions, Throttle, safe_next
from crashserver.parsing import (
    INFLATE_LIMIT,
    BadUpload,
    CrashArchive,
    normalise_hash_id,
    parse_info_form,
    parse_kernel_package,
    read_body,
)
from crashserver.storage import PAGE, BadCursor
from protocol_names import ARCHIVE_PATH, FIELD_GUID, FIELD_HASH_ID, INFO_PATH, KERNEL_REPORT_PATH

ARCHIVE_LIMIT = 5_242_880  # the uploader never posts an archive of this size or more
INFO_LIMIT = 16 << 10
# Drummet posts Windows' small memory dumps (a few MB at most) packed with info.ini.
KERNEL_LIMIT = 32 << 20
COOKIE = "crashserver_session"
UPLOAD_PATHS = ("/" + INFO_PATH, "/" + ARCHIVE_PATH, "/" + KERNEL_REPORT_PATH)
OPEN_PATHS = UPLOAD_PATHS + ("/health", "/login")

DEFAULTS = dict(
    kernel_limit=KERNEL_LIMIT,
    inflate_limit=INFLATE_LIMIT,
    parse_slots=4,  # archives parsed at once; more wait for a slot
    parse_wait=30.0,  # seconds an archive post waits for a slot before a 503
    info_limit=1000,  # information posts per address per info_window seconds (0: no limit)
    info_window=600,
    login_limit=10,  # failed logins per address per login_window seconds
    login_window=300,
    session_seconds=SESSION_SECONDS,
    secure_cookies=False,  # also set when the request came over TLS (through the trusted proxy)
)

# Shown escaped on pages: control characters (but tab and line ends), bidi overrides and isolates,
# zero-width characters. A stranger's text can then neither hide nor reorder what staff read.
INVISIBLE = re.compile(
    "[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\u061c\u200b-\u200f\u202a-\u202e\u2060-\u2064"
    "\u2066-\u2069\ufeff\ufff9-\ufffb]"
)
CSP = (
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'"
)


def shown(value):
    """Page text with the invisible characters written as <U+XXXX> (then HTML-escaped as usual)."""
    if isinstance(value, str) and not isinstance(value, Markup):
        return INVISIBLE.sub(lambda m: "<U+%04X>" % ord(m.group()), value)
    return value


def download_name(name):
    return re.sub(r"[^A-Za-z0-9._-]", "_", name)[:120] or "download"


def create_app(storage, token, kernel_limit=None, **settings):
    conf = dict(DEFAULTS, **settings)
    if kernel_limit is not None:
        conf["kernel_limit"] = kernel_limit
    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = None
    app.jinja_env.finalize = shown
    app.jinja_env.filters["when"] = lambda t: datetime.datetime.fromtimestamp(
        t, datetime.timezone.utc
    ).strftime("%Y-%m-%d %H:%M:%S UTC")
    sessions = Sessions(storage, token, conf["session_seconds"])
    info_throttle = Throttle(conf["info_limit"], conf["info_window"])
    login_throttle = Throttle(conf["login_limit"], conf["login_window"])
    parse_slots = threading.BoundedSemaphore(conf["parse_slots"])

    def body(limit):
        return read_body(request.stream, request.content_length, limit)

    def remote():
        return request.remote_addr or ""

    class parsing_slot:
        """Bounds the archives inflated at once, so many posts together can't take the memory."""

        def __enter__(self):
            if not parse_slots.acquire(timeout=conf["parse_wait"]):
                raise BadUpload("the server is busy; send again later", 503)

        def __exit__(self, *exc):
            parse_slots.release()

    @app.errorhandler(BadUpload)
    def bad_upload(e):
        weblog.line("REFUSED", address=remote(), path=request.path, status=e.status, reason=str(e))
        return Response(str(e) + "\n", status=e.status, mimetype="text/plain")

    @app.errorhandler(BadCursor)
    def bad_cursor(e):
        return Response("not a page of this list\n", status=400, mimetype="text/plain")

    @app.after_request
    def security_headers(answer):
        h = answer.headers
        h["Content-Security-Policy"] = CSP
        h["X-Content-Type-Options"] = "nosniff"
        h["X-Frame-Options"] = "DENY"
        h["Referrer-Policy"] = "no-referrer"
        if request.endpoint != "static":
            h["Cache-Control"] = "no-store"
        return answer

    # --- uploads (no login) --------------------------------------------------------------------
    @app.post("/" + INFO_PATH)
    def information_post():
        if info_throttle.hit(remote()):
            raise BadUpload("too many information posts from this address; send again later", 429)
        fields = parse_info_form(body(INFO_LIMIT))
        want = storage.record_info_post(fields, remote())
        weblog.line(
            "DECISION",
            crash=fields[FIELD_HASH_ID],
            machine=fields[FIELD_GUID],
            address=remote(),
            answer="true" if want else "false",
        )
        return Response("true" if want else "false", mimetype="text/plain")

    @app.post("/" + ARCHIVE_PATH)
    def archive_post():
        data = body(ARCHIVE_LIMIT - 1)
        with parsing_slot():
            archive = CrashArchive(data, conf["inflate_limit"])
            h = archive.report["hash_code"]
            # Only the address that was told "true" may spend that place; checked before the dump
            # is inflated, so a stranger's archive costs no more than its report.
            if storage.waiting_grant(h, remote()) is None:
                raise BadUpload("no archive was asked for crash ID %s" % h, 409)
            archive.verify()
        archive_id = storage.store_archive(data, archive.report, remote())
        if archive_id is None:
            raise BadUpload("no archive was asked for crash ID %s" % h, 409)
        weblog.line("ARCHIVE", crash=h, id=archive_id, address=remote(), bytes=len(data))
        return Response("ok", mimetype="text/plain")

    @app.post("/" + KERNEL_REPORT_PATH)
    def kernel_dump_post():
        data = body(conf["kernel_limit"])
        with parsing_slot():
            info = parse_kernel_package(data, conf["inflate_limit"])
        dump_id, new = storage.store_kernel_dump(data, info, remote())
        weblog.line(
            "KERNEL",
            id=dump_id,
            machine=info["machine_id"],
            address=remote(),
            bytes=len(data),
            stored="new" if new else "duplicate",
        )
        return Response("ok", mimetype="text/plain")

    @app.get("/health")
    def health():
        try:
            ok = storage.health()
        except Exception as e:  # noqa: BLE001 - the answer is the health
            weblog.line("HEALTH", error=repr(e))
            ok = False
        return Response(
            "ok\n" if ok else "database unavailable\n", status=200 if ok else 503, mimetype="text/plain"
        )

    # --- login -----------------------------------------------------------------------------------
    def authorised():
        """Sets g.csrf for a page session; True for a session or a valid bearer token."""
        g.csrf = None
        header = request.headers.get("Authorization", "")
        if header.startswith("Bearer "):
            if login_throttle.blocked(remote()):
                return False
            if sessions.token_matches(header[7:]):
                return True
            login_throttle.hit(remote())
            weblog.line("LOGIN", result="failed", address=remote(), via="bearer")
            return False
        g.csrf = sessions.find(request.cookies.get(COOKIE))
        return g.csrf is not None

    @app.before_request
    def require_login():
        g.csrf = None
        # The symbol store checks its own token (build machines and debuggers have no page login).
        if (
            request.path in OPEN_PATHS
            or request.path == "//" + KERNEL_REPORT_PATH
            or request.endpoint == "static"
            or request.path.startswith("/symbols/")
        ):
            return None
        if authorised():
            if request.method == "POST" and g.csrf is not None and request.form.get("csrf") != g.csrf:
                abort(403)
            return None
        if request.path.startswith("/api/"):
            return jsonify(error="login required"), 401
        return redirect(url_for("login", next=request.full_path if request.query_string else request.path))

    def login_form(status, failed=False, target="/"):
        return render_template("login.html", failed=failed, next=target), status

    @app.get("/login")
    def login():
        return login_form(401, target=safe_next(request.args.get("next", "/")))

    @app.post("/login")
    def login_post():
        target = safe_next(request.form.get("next", "/"))
        if login_throttle.blocked(remote()):
            weblog.line("LOGIN", result="throttled", address=remote())
            return Response(
                "too many failed logins from this address; wait a few minutes\n",
                status=429,
                mimetype="text/plain",
            )
        if not sessions.token_matches(request.form.get("token", "")):
            login_throttle.hit(remote())
            weblog.line("LOGIN", result="failed", address=remote())
            return login_form(403, failed=True, target=target)
        key, _ = sessions.start(remote())
        weblog.line("LOGIN", result="ok", address=remote())
        answer = redirect(target)
        answer.set_cookie(
            COOKIE,
            key,
            max_age=conf["session_seconds"],
            httponly=True,
            samesite="Strict",
            secure=conf["secure_cookies"] or request.is_secure,
        )
        return answer

    @app.post("/logout")
    def logout():
        sessions.end(request.cookies.get(COOKIE))
        weblog.line("LOGIN", result="logout", address=remote())
        answer = redirect(url_for("login"))
        answer.delete_cookie(
            COOKIE, httponly=True, samesite="Strict", secure=conf["secure_cookies"] or request.is_secure
        )
        return answer

    @app.context_processor
    def page_values():
        return {"csrf": g.get("csrf")}

    # --- pages and JSON --------------------------------------------------------------------------
    def list_arguments():
        sort = request.args.get("sort", "last_seen")
        if sort not in ("count", "last_seen"):
            abort(400)
        return sort, request.args.get("version") or None, request.args.get("module") or None

    def group_list_page(sort, version, module, q):
        """One page of the group list (or of a search in it): (groups, next cursor)."""
        return views.list_page(
            storage,
            lambda after: storage.groups(sort, version, module, after, page_limit()),
            q,
            request.args.get("after"),
            page_limit(),
        )

    def kernel_dump_page():
        """(dumps with their headers, next cursor, all dumps by bug check)."""
        dumps, cursor = storage.kernel_dumps(request.args.get("after"), page_limit())
        dumps, by_code = views.extend_kernel_dumps(storage, dumps)
        return dumps, cursor, by_code

    def page_limit():
        try:
            limit = int(request.args.get("limit", PAGE))
        except ValueError:
            abort(400)
        if not 1 <= limit <= 1000:
            abort(400)
        return limit

    @app.get("/")
    def group_list():
        sort, version, module = list_arguments()
        q = request.args.get("q", "")
        groups, cursor = group_list_page(sort, version, module, q)
        return render_template(
            "groups.html",
            groups=groups,
            next=cursor,
            sort=sort,
            version=version or "",
            module=module or "",
            first=not request.args.get("after"),
            q=q,
        )

    @app.get("/groups/<hash_id>")
    def group_page(hash_id):
        return render_template("group.html", g=find_group(hash_id))

    @app.get("/kernel-dumps")
    def kernel_dump_list():
        dumps, cursor, by_code = kernel_dump_page()
        return render_template("kernel_dumps.html", dumps=dumps, next=cursor, by_code=by_code)

    @app.get("/archives/<int:archive_id>")
    def archive_download(archive_id):
        row = storage.archive(archive_id)
        if not row:
            abort(404)
        return send_stored(row, "%s-%d.zip" % (row["hash_id"], row["id"]))

    @app.get("/kernel-dumps/<int:dump_id>")
    def kernel_dump_download(dump_id):
        row = storage.kernel_dump(dump_id)
        if not row:
            abort(404)
        return send_stored(row, "%s.zip" % os.path.basename(row["dump_name"].replace("\\", "/")))

    def send_stored(row, name):
        path = storage.files.path(row["sha256"])
        if not os.path.isfile(path):
            abort(404)
        return send_file(
            path, mimetype="application/zip", as_attachment=True, download_name=download_name(name)
        )

    def group_key(hash_id):
        """The crash ID in a URL; a 404 for what can't be one."""
        try:
            return normalise_hash_id(hash_id)
        except BadUpload:
            abort(404)

    def find_group(hash_id):
        key = group_key(hash_id)

        def cursor(name):
            value = request.args.get(name)
            if value is None:
                return None
            if not value.isdigit() or len(value) > 18:
                abort(400)
            return int(value)

        group = storage.group(key, cursor("posts_after"), cursor("archives_after"), page_limit())
        if group is None:
            abort(404)
        return views.extend_group(storage, group)

    @app.get("/api/groups")
    def api_groups():
        groups, cursor = group_list_page(*list_arguments(), request.args.get("q", ""))
        return jsonify(groups=groups, next=cursor)

    @app.get("/api/groups/<hash_id>")
    def api_group(hash_id):
        return jsonify(find_group(hash_id))

    @app.get("/api/kernel-dumps")
    def api_kernel_dumps():
        dumps, cursor, by_code = kernel_dump_page()
        return jsonify(kernel_dumps=dumps, next=cursor, bug_checks=by_code)

    # --- removing data on request (privacy) ------------------------------------------------------
    def confirmed():
        if request.form.get("confirm") != "yes":
            abort(400)

    @app.post("/groups/<hash_id>/delete")
    @app.post("/api/groups/<hash_id>/delete")
    def delete_group(hash_id):
        confirmed()
        key = group_key(hash_id)
        removed = storage.delete_group(key)
        if removed is None:
            abort(404)
        views.forget_deleted(storage)
        weblog.line("DELETE", group=key, archives=removed, address=remote())
        if request.path.startswith("/api/"):
            return jsonify(deleted=key, archives=removed)
        return render_template("deleted.html", what="crash group " + key, counts=[("archives", removed)])

    @app.post("/machines/delete")
    @app.post("/api/machines/delete")
    def delete_machine():
        confirmed()
        machine = request.form.get("machine", "")
        if not machine or len(machine) > 255:
            abort(400)
        posts, archives, dumps = storage.delete_machine(machine)
        views.forget_deleted(storage)
        weblog.line(
            "DELETE", machine=machine, posts=posts, archives=archives, kernel_dumps=dumps, address=remote()
        )
        if request.path.startswith("/api/"):
            return jsonify(deleted=machine, posts=posts, archives=archives, kernel_dumps=dumps)
        return render_template(
            "deleted.html",
            what="machine " + machine,
            counts=[("information posts", posts), ("archives", archives), ("kernel dumps", dumps)],
        )

    views.install(app, storage, authorised)
    return app
