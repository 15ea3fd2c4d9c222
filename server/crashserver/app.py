"""The crash server as a WSGI application: the three upload endpoints the programs post to (open to
anyone, as the programs have no login) and the pages and JSON lists for the product team (behind
the server's token, since they show e-mail addresses and descriptions)."""
import datetime
import hashlib
import hmac
import os

from flask import Flask, Response, abort, jsonify, redirect, render_template, request, send_file, url_for

from crashserver import views
from crashserver.parsing import BadUpload, normalise_hash_id, parse_crash_archive, parse_info_form, \
    parse_kernel_package

ARCHIVE_LIMIT = 5_242_880          # the uploader never posts an archive of this size or more
INFO_LIMIT = 16 << 10
KERNEL_LIMIT = 256 << 20
COOKIE = "crashserver_session"
UPLOAD_PATHS = ("/cgi-bin-py/security_dump.cgi", "/cgi-bin/bug_report_orv.cgi", "/cgi-bin/bug_report.cgi")


def create_app(storage, token, kernel_limit=KERNEL_LIMIT):
    app = Flask(__name__)
    app.config["MAX_CONTENT_LENGTH"] = None
    app.jinja_env.filters["when"] = lambda t: datetime.datetime.fromtimestamp(t, datetime.timezone.utc) \
        .strftime("%Y-%m-%d %H:%M:%S UTC")

    def body(limit):
        """The request body, or a 413 before reading it when it says it is too long."""
        length = request.content_length
        if length is not None and length > limit:
            raise BadUpload("the body is larger than %d bytes" % limit, 413)
        data = request.stream.read(limit + 1)
        if len(data) > limit:
            raise BadUpload("the body is larger than %d bytes" % limit, 413)
        if length is not None and len(data) != length:
            raise BadUpload("the body is shorter than its Content-Length")
        return data

    def remote():
        return request.remote_addr or ""

    @app.errorhandler(BadUpload)
    def bad_upload(e):
        return Response(str(e) + "\n", status=e.status, mimetype="text/plain")

    # --- uploads (no login) --------------------------------------------------------------------
    @app.post("/cgi-bin-py/security_dump.cgi")
    def information_post():
        fields = parse_info_form(body(INFO_LIMIT))
        want = storage.record_info_post(fields, remote())
        return Response("true" if want else "false", mimetype="text/plain")

    @app.post("/cgi-bin/bug_report_orv.cgi")
    def archive_post():
        data = body(ARCHIVE_LIMIT - 1)
        report = parse_crash_archive(data)
        archive_id = storage.store_archive(data, report, remote())
        if archive_id is None:
            raise BadUpload("no archive was asked for crash ID %s" % report["hash_code"], 409)
        return Response("ok", mimetype="text/plain")

    @app.post("/cgi-bin/bug_report.cgi")
    def kernel_dump_post():
        data = body(kernel_limit)
        info = parse_kernel_package(data)
        storage.store_kernel_dump(data, info, remote())
        return Response("ok", mimetype="text/plain")

    # --- login -----------------------------------------------------------------------------------
    # The cookie holds a value derived from the token, so a copied cookie does not reveal it.
    session = hmac.new(token.encode(), b"crashserver session", hashlib.sha256).hexdigest()

    def authorised():
        header = request.headers.get("Authorization", "")
        if header.startswith("Bearer "):
            return hmac.compare_digest(header[7:].encode(), token.encode())
        return hmac.compare_digest(request.cookies.get(COOKIE, "").encode(), session.encode())

    @app.before_request
    def require_login():
        # The symbol store checks its own token (build machines and debuggers have no page login).
        if request.path in UPLOAD_PATHS or request.endpoint in ("login", "static") or \
                request.path.startswith("/symbols/"):
            return None
        if authorised():
            return None
        if request.path.startswith("/api/"):
            return jsonify(error="login required"), 401
        return redirect(url_for("login", next=request.full_path if request.query_string else request.path))

    @app.route("/login", methods=["GET", "POST"])
    def login():
        given = request.form.get("token") if request.method == "POST" else request.args.get("token")
        target = request.values.get("next") or "/"
        if not target.startswith("/") or target.startswith("//"):
            target = "/"
        if given is not None:
            if hmac.compare_digest(given.encode(), token.encode()):
                answer = redirect(target)
                answer.set_cookie(COOKIE, session, httponly=True, samesite="Strict")
                return answer
            return render_template("login.html", failed=True, next=target), 403
        return render_template("login.html", failed=False, next=target), 401

    @app.post("/logout")
    def logout():
        answer = redirect(url_for("login"))
        answer.delete_cookie(COOKIE)
        return answer

    # --- pages and JSON --------------------------------------------------------------------------
    def list_arguments():
        sort = request.args.get("sort", "last_seen")
        if sort not in ("count", "last_seen"):
            abort(400)
        return sort, request.args.get("version") or None, request.args.get("module") or None

    @app.get("/")
    def group_list():
        sort, version, module = list_arguments()
        q = request.args.get("q", "")
        groups = views.extend_groups(storage, storage.groups(sort, version, module), q)
        return render_template("groups.html", groups=groups, sort=sort, version=version or "", module=module or "",
                               q=q)

    @app.get("/groups/<hash_id>")
    def group_page(hash_id):
        group = find_group(hash_id)
        return render_template("group.html", g=group)

    @app.get("/kernel-dumps")
    def kernel_dump_list():
        dumps, by_code = views.extend_kernel_dumps(storage, storage.kernel_dumps())
        return render_template("kernel_dumps.html", dumps=dumps, by_code=by_code)

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
        return send_file(path, mimetype="application/zip", as_attachment=True, download_name=name)

    def find_group(hash_id):
        try:
            key = normalise_hash_id(hash_id)
        except BadUpload:
            abort(404)
        group = storage.group(key)
        if group is None:
            abort(404)
        return views.extend_group(storage, group)

    @app.get("/api/groups")
    def api_groups():
        return jsonify(groups=views.extend_groups(storage, storage.groups(*list_arguments()), request.args.get("q")))

    @app.get("/api/groups/<hash_id>")
    def api_group(hash_id):
        return jsonify(find_group(hash_id))

    @app.get("/api/kernel-dumps")
    def api_kernel_dumps():
        dumps, by_code = views.extend_kernel_dumps(storage, storage.kernel_dumps())
        return jsonify(kernel_dumps=dumps, bug_checks=by_code)

    views.install(app, storage, authorised)
    return app
