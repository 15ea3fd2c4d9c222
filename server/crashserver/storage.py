"""Where the server keeps what it receives: rows in SQLite (default) or PostgreSQL behind one
interface, and the archives as files named by their SHA-256 in the data folder.

Order of a stored archive: the bytes go to a temporary file, are flushed to disk and renamed to
their SHA-256 name, and only then is the row written. A process killed at any point leaves at most
a temporary file (removed at the next start) or a named file no row points to (removed by the
orphan sweep once it is old), never a row without its file. Several processes may share one
database and one archive folder: names are content addressed, renames are atomic, and every
decision runs in one transaction that holds the crash ID's group row (PostgreSQL) or the database's
write lock (SQLite). A file is removed only in a transaction that holds its name's lock and sees no
row pointing to it; a store that finds its file gone in that same lock writes it again.

Lists are read a page at a time by key (never by offset), on indexes that match their order, so a
page costs the same at 100,000 groups as at ten.
"""
import contextlib
import hashlib
import os
import re
import socket
import sqlite3
import threading
import time
import urllib.parse
import uuid

# An answer of "true" reserves one of the crash ID's archive places for that machine until the
# archive arrives or this many seconds pass (the uploader gives its archive post 50 s).
GRANT_SECONDS = 600
TEMP_MAX_AGE = 3600
HOST = socket.gethostname().replace("-", "_")
PAGE = 100

SCHEMA = """
CREATE TABLE IF NOT EXISTS crash_groups (
  hash_id TEXT PRIMARY KEY, product TEXT NOT NULL, module TEXT NOT NULL, app TEXT NOT NULL,
  first_seen DOUBLE PRECISION NOT NULL, last_seen DOUBLE PRECISION NOT NULL,
  report_count INTEGER NOT NULL DEFAULT 0, post_count INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS info_posts (
  id {serial}, hash_id TEXT NOT NULL, guid TEXT NOT NULL, product TEXT NOT NULL, version TEXT NOT NULL,
  app TEXT NOT NULL, module TEXT NOT NULL, count_flag INTEGER NOT NULL, mail TEXT NOT NULL,
  received DOUBLE PRECISION NOT NULL, remote TEXT NOT NULL, answer TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS info_posts_hash ON info_posts (hash_id, guid);
CREATE TABLE IF NOT EXISTS grants (
  id {serial}, hash_id TEXT NOT NULL, guid TEXT NOT NULL, mail TEXT NOT NULL, remote TEXT NOT NULL,
  granted DOUBLE PRECISION NOT NULL, archive_id BIGINT);
CREATE INDEX IF NOT EXISTS grants_hash ON grants (hash_id, guid);
CREATE TABLE IF NOT EXISTS archives (
  id {serial}, hash_id TEXT NOT NULL, guid TEXT NOT NULL, sha256 TEXT NOT NULL, size BIGINT NOT NULL,
  received DOUBLE PRECISION NOT NULL, remote TEXT NOT NULL, program_name TEXT NOT NULL,
  program_version TEXT NOT NULL, app_name TEXT NOT NULL, windows_version TEXT NOT NULL,
  module TEXT NOT NULL, report_time TEXT NOT NULL, email TEXT NOT NULL, user_context TEXT NOT NULL,
  stack TEXT NOT NULL, report_name TEXT NOT NULL, dump_name TEXT NOT NULL, dump_size BIGINT NOT NULL);
CREATE INDEX IF NOT EXISTS archives_hash ON archives (hash_id);
CREATE TABLE IF NOT EXISTS kernel_dumps (
  id {serial}, sha256 TEXT NOT NULL, size BIGINT NOT NULL, received DOUBLE PRECISION NOT NULL,
  remote TEXT NOT NULL, machine_id TEXT NOT NULL, version TEXT NOT NULL, module TEXT NOT NULL,
  dump_name TEXT NOT NULL, dump_size BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS group_versions (
  hash_id TEXT NOT NULL, version TEXT NOT NULL, report_count INTEGER NOT NULL DEFAULT 0,
  post_count INTEGER NOT NULL DEFAULT 0, machine_count INTEGER NOT NULL DEFAULT 0,
  first_seen DOUBLE PRECISION NOT NULL, last_seen DOUBLE PRECISION NOT NULL, PRIMARY KEY (hash_id, version));
CREATE TABLE IF NOT EXISTS sessions (
  key TEXT PRIMARY KEY, token_fp TEXT NOT NULL, csrf TEXT NOT NULL, remote TEXT NOT NULL,
  created DOUBLE PRECISION NOT NULL, expires DOUBLE PRECISION NOT NULL)
"""

# Indexes for the keyset pages (every list order has one) and for deleting by machine or file.
INDEXES = """
CREATE INDEX IF NOT EXISTS groups_last ON crash_groups (last_seen, hash_id);
CREATE INDEX IF NOT EXISTS groups_count ON crash_groups (report_count, last_seen, hash_id);
CREATE INDEX IF NOT EXISTS groups_module_last ON crash_groups (module, last_seen, hash_id);
CREATE INDEX IF NOT EXISTS groups_module_count ON crash_groups (module, report_count, last_seen, hash_id);
CREATE INDEX IF NOT EXISTS versions_last ON group_versions (version, last_seen, hash_id);
CREATE INDEX IF NOT EXISTS versions_count ON group_versions (version, report_count, last_seen, hash_id);
CREATE INDEX IF NOT EXISTS info_posts_page ON info_posts (hash_id, id);
CREATE INDEX IF NOT EXISTS info_posts_version ON info_posts (hash_id, version, guid);
CREATE INDEX IF NOT EXISTS info_posts_guid ON info_posts (guid);
CREATE INDEX IF NOT EXISTS archives_sha ON archives (sha256);
CREATE INDEX IF NOT EXISTS archives_guid ON archives (guid);
CREATE INDEX IF NOT EXISTS grants_guid ON grants (guid);
CREATE INDEX IF NOT EXISTS kernel_sha ON kernel_dumps (sha256);
CREATE INDEX IF NOT EXISTS kernel_page ON kernel_dumps (machine_id, version, id)
"""

GROUP_COLUMNS = (
    "hash_id",
    "product",
    "module",
    "app",
    "first_seen",
    "last_seen",
    "report_count",
    "post_count",
)
ARCHIVE_COLUMNS = (
    "id",
    "hash_id",
    "guid",
    "sha256",
    "size",
    "received",
    "remote",
    "program_name",
    "program_version",
    "app_name",
    "windows_version",
    "module",
    "report_time",
    "email",
    "user_context",
    "stack",
    "report_name",
    "dump_name",
    "dump_size",
)
KERNEL_COLUMNS = (
    "id",
    "sha256",
    "size",
    "received",
    "remote",
    "machine_id",
    "version",
    "module",
    "dump_name",
    "dump_size",
)
POST_COLUMNS = ("id", "received", "guid", "version", "app", "module", "count", "mail", "answer")


class BadCursor(ValueError):
    pass


def encode_cursor(*parts):
    """A page cursor: the sort keys of the last row shown, as text for a URL."""
    return ",".join(repr(p) if isinstance(p, float) else urllib.parse.quote(str(p), safe="") for p in parts)


def decode_cursor(text, kinds):
    """The parts of a page cursor by their kinds (float, int, str); BadCursor when it is not one."""
    parts = text.split(",")
    if len(parts) != len(kinds) or len(text) > 2000:
        raise BadCursor(text)
    try:
        values = [k(urllib.parse.unquote(p, errors="strict")) for k, p in zip(kinds, parts)]
    except (ValueError, OverflowError, UnicodeDecodeError):
        raise BadCursor(text)
    if any(isinstance(v, float) and (v != v or v in (float("inf"), float("-inf"))) for v in values):
        raise BadCursor(text)
    return values


class ArchiveFolder:
    """Content-addressed files: DATA/archives/ab/abcdef....zip, written by temp file and rename.
    Files are 0600 and folders 0700: they hold what strangers sent and staff's users' e-mails."""

    def __init__(self, root):
        self.root = os.path.join(root, "archives")
        self.temp = os.path.join(self.root, "tmp")
        os.makedirs(self.temp, mode=0o700, exist_ok=True)

    def path(self, sha256):
        return os.path.join(self.root, sha256[:2], sha256 + ".zip")

    def put(self, body, sha256=None):
        sha256 = sha256 or hashlib.sha256(body).hexdigest()
        final = self.path(sha256)
        if os.path.exists(final) and os.path.getsize(final) == len(body):
            return sha256
        os.makedirs(os.path.dirname(final), mode=0o700, exist_ok=True)
        temp = os.path.join(self.temp, "%s-%d-%s.part" % (HOST, os.getpid(), uuid.uuid4().hex))
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "wb") as f:
                f.write(body)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temp, final)
            dir_fd = os.open(os.path.dirname(final), os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)
        finally:
            if os.path.exists(temp):
                os.remove(temp)
        return sha256

    def exists(self, sha256):
        return os.path.isfile(self.path(sha256))

    def remove(self, sha256):
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.path(sha256))

    def sweep_temporaries(self, max_age=TEMP_MAX_AGE):
        """Removes temporary files left by a killed process: those of dead processes of this host,
        and any old enough (processes on other hosts may share the folder and be writing now)."""
        now = time.time()
        for name in os.listdir(self.temp):
            p = os.path.join(self.temp, name)
            rest = name.rsplit("-", 2)  # host, pid, random part
            ours = len(rest) == 3 and rest[0] == HOST
            with contextlib.suppress(OSError):
                if (ours and not pid_alive(rest[1])) or now - os.path.getmtime(p) > max_age:
                    os.remove(p)

    def named_files(self):
        """(sha256, path) of every stored file."""
        for d in os.listdir(self.root):
            folder = os.path.join(self.root, d)
            if d == "tmp" or not os.path.isdir(folder):
                continue
            for name in os.listdir(folder):
                if name.endswith(".zip"):
                    yield name[:-4], os.path.join(folder, name)


def pid_alive(text):
    try:
        os.kill(int(text), 0)
        return True
    except (ValueError, ProcessLookupError):
        return False
    except PermissionError:
        return True


class Storage:
    """The one interface the web application uses; SqliteStorage and PostgresStorage fill in the
    connection handling and the dialect.

    Retention (all off by default): archive_quota and kernel_quota in bytes, keep_per_group archives
    per crash ID, keep_days for both kinds. The oldest go first. A removed archive keeps its place
    counted (its grant stays), so removing old archives does not make the server ask for more."""

    placeholder = "?"
    serial = "INTEGER PRIMARY KEY AUTOINCREMENT"

    def __init__(self, data_dir, max_archives=3, retention=None):
        self.files = ArchiveFolder(data_dir)
        self.max_archives = max_archives
        self.retention = dict(archive_quota=0, kernel_quota=0, keep_per_group=0, keep_days=0)
        self.retention.update(retention or {})

    # --- connection handling, per back end --------------------------------------------------------
    def transaction(self, write=False):
        raise NotImplementedError

    def close(self):
        pass

    def _lock_key(self, cur, key):
        """Serialises transactions on one key (SQLite's write lock already does)."""

    def _columns(self, cur, table):
        raise NotImplementedError

    def _q(self, sql):
        return sql if self.placeholder == "?" else sql.replace("?", "%s")

    def _exec(self, cur, sql, args=()):
        cur.execute(self._q(sql), args)
        return cur

    def read_rows(self, sql, args=()):
        """The rows of one query, in a transaction of its own that only reads."""
        with self.transaction() as cur:
            return self._exec(cur, sql, args).fetchall()

    def select_in(self, sql, ids, chunk=500):
        """The rows of `sql` for every id in `ids`; its one "(%s)" takes the ids, a bounded number
        per query, since databases cap the parameters of one statement."""
        rows = []
        for start in range(0, len(ids), chunk):
            part = list(ids[start : start + chunk])
            rows += self.read_rows(sql % ", ".join("?" * len(part)), part)
        return rows

    def _rows(self, cur, sql, args, columns):
        return [dict(zip(columns, row)) for row in self._exec(cur, sql, args).fetchall()]

    def _one(self, cur, sql, args=()):
        row = self._exec(cur, sql, args).fetchone()
        return row[0] if row else None

    def run_ddl(self, cur, statements):
        for statement in statements.split(";"):
            if statement.strip() and not self._index_exists(cur, statement):
                cur.execute(statement)

    def create_schema(self, cur):
        self.run_ddl(cur, SCHEMA.format(serial=self.serial))
        # Databases from before the machine count and the per-version counts get them filled in.
        if "machine_count" not in self._columns(cur, "crash_groups"):
            cur.execute("ALTER TABLE crash_groups ADD COLUMN machine_count INTEGER NOT NULL DEFAULT 0")
            cur.execute(
                "UPDATE crash_groups SET machine_count = (SELECT COUNT(DISTINCT guid) FROM info_posts p"
                " WHERE p.hash_id = crash_groups.hash_id)"
            )
            cur.execute("DELETE FROM group_versions")
            self._rebuild_versions(cur, None)
        self.run_ddl(cur, INDEXES)

    def _rebuild_versions(self, cur, hash_id):
        where = "" if hash_id is None else " WHERE hash_id = ?"
        args = () if hash_id is None else (hash_id,)
        self._exec(
            cur,
            "INSERT INTO group_versions (hash_id, version, report_count, post_count, machine_count,"
            " first_seen, last_seen) SELECT hash_id, version, SUM(count_flag), COUNT(*),"
            " COUNT(DISTINCT guid), MIN(received), MAX(received) FROM info_posts%s"
            " GROUP BY hash_id, version" % where,
            args,
        )
        # An archive's report version belongs to the group's versions too ("WHERE true": SQLite's
        # upsert after a SELECT needs it).
        self._exec(
            cur,
            "INSERT INTO group_versions (hash_id, version, first_seen, last_seen) SELECT hash_id,"
            " program_version, MIN(received), MAX(received) FROM archives%s GROUP BY hash_id,"
            " program_version ON CONFLICT (hash_id, version) DO NOTHING" % (where or " WHERE true"),
            args,
        )

    def health(self):
        with self.transaction() as cur:
            return self._one(cur, "SELECT 1") == 1

    def _index_exists(self, cur, statement):
        """PostgreSQL's CREATE INDEX IF NOT EXISTS takes its table's share lock before it looks: a
        process starting while others store uploads deadlocked with them. An existing index is skipped."""
        m = re.match(r"\s*CREATE INDEX IF NOT EXISTS (\w+)", statement)
        if not m or self.placeholder == "?":
            return False
        cur.execute("SELECT to_regclass(%s) IS NOT NULL", (m.group(1),))
        return cur.fetchone()[0]

    # --- uploads ---------------------------------------------------------------------------------
    def record_info_post(self, fields, remote, now=None):
        """Counts the crash and decides whether its archive is wanted; returns True for "true"."""
        now = now or time.time()
        h, guid, version = fields["hash_id"], fields["guid"], fields["version"]
        counted = 1 if fields["count"] == "1" else 0
        with self.transaction(write=True) as cur:
            # The upsert takes the group's row lock (PostgreSQL) or runs under the write lock
            # (SQLite), so two posts for one crash ID decide one after the other.
            self._exec(
                cur,
                "INSERT INTO crash_groups (hash_id, product, module, app, first_seen, last_seen,"
                " report_count, post_count, machine_count) VALUES (?, ?, ?, ?, ?, ?, ?, 1, 0)"
                " ON CONFLICT (hash_id) DO UPDATE SET last_seen = excluded.last_seen,"
                " report_count = crash_groups.report_count + excluded.report_count,"
                " post_count = crash_groups.post_count + 1",
                (h, fields["product"], fields["module"], fields["app"], now, now, counted),
            )
            new_machine = (
                self._one(cur, "SELECT 1 FROM info_posts WHERE hash_id = ? AND guid = ? LIMIT 1", (h, guid))
                is None
            )
            new_in_version = (
                new_machine
                or self._one(
                    cur,
                    "SELECT 1 FROM info_posts WHERE hash_id = ? AND version = ? AND guid = ? LIMIT 1",
                    (h, version, guid),
                )
                is None
            )
            if new_machine:
                self._exec(
                    cur, "UPDATE crash_groups SET machine_count = machine_count + 1 WHERE hash_id = ?", (h,)
                )
            self._exec(
                cur,
                "INSERT INTO group_versions (hash_id, version, report_count, post_count, machine_count,"
                " first_seen, last_seen) VALUES (?, ?, ?, 1, ?, ?, ?) ON CONFLICT (hash_id, version)"
                " DO UPDATE SET last_seen = excluded.last_seen,"
                " report_count = group_versions.report_count + excluded.report_count,"
                " post_count = group_versions.post_count + 1,"
                " machine_count = group_versions.machine_count + excluded.machine_count",
                (h, version, counted, 1 if new_in_version else 0, now, now),
            )
            # Places are counted by grants, so an archive removed for retention keeps its place.
            stored = self._one(
                cur, "SELECT COUNT(*) FROM grants WHERE hash_id = ? AND archive_id IS NOT NULL", (h,)
            )
            open_grants = self._one(
                cur,
                "SELECT COUNT(*) FROM grants WHERE hash_id = ? AND archive_id IS NULL AND granted > ?",
                (h, now - GRANT_SECONDS),
            )
            same_machine = self._one(
                cur,
                "SELECT COUNT(*) FROM grants WHERE hash_id = ? AND guid = ? AND"
                " (archive_id IS NOT NULL OR granted > ?)",
                (h, guid, now - GRANT_SECONDS),
            )
            want = stored + open_grants < self.max_archives and same_machine == 0
            if want:
                self._exec(
                    cur,
                    "INSERT INTO grants (hash_id, guid, mail, remote, granted) VALUES (?, ?, ?, ?, ?)",
                    (h, guid, fields["mail"], remote, now),
                )
            self._exec(
                cur,
                "INSERT INTO info_posts (hash_id, guid, product, version, app, module, count_flag,"
                " mail, received, remote, answer) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    h,
                    guid,
                    fields["product"],
                    version,
                    fields["app"],
                    fields["module"],
                    counted,
                    fields["mail"],
                    now,
                    remote,
                    "true" if want else "false",
                ),
            )
        return want

    def waiting_grant(self, hash_id, remote, now=None):
        """The machine whose "true" for this crash ID waits for an archive from this address, or None."""
        with self.transaction() as cur:
            grant = self._waiting_grant(cur, hash_id, remote, now or time.time())
        return grant[1] if grant else None

    def store_archive(self, body, report, remote, now=None):
        """Stores an archive the server asked for; returns its row id, or None when no answer of
        "true" for its crash ID waits for this address (nothing is stored then)."""
        now = now or time.time()
        h = report["hash_code"]
        if self.waiting_grant(h, remote, now) is None:
            return None
        sha256 = self.files.put(body)  # before the row: a row never points to a missing file
        with self.transaction(write=True) as cur:
            # Holds the group's row lock (PostgreSQL), so two archives never take the same answer.
            self._exec(cur, "UPDATE crash_groups SET last_seen = last_seen WHERE hash_id = ?", (h,))
            grant = self._waiting_grant(cur, h, remote, now)
            if grant is None:
                return None
            self._keep_file(cur, sha256, body)
            grant_id, guid = grant
            row = (
                h,
                guid,
                sha256,
                len(body),
                now,
                remote,
                report["program_name"],
                report["program_version"],
                report["app_name"],
                report["windows_version"],
                report["module"],
                report["report_time"],
                report["email"],
                report["user_context"],
                "\n".join(report["stack"]),
                report["report_name"],
                report["dump_name"],
                report["dump_size"],
            )
            archive_id = self._insert(cur, "archives", ARCHIVE_COLUMNS[1:], row)
            self._exec(cur, "UPDATE grants SET archive_id = ? WHERE id = ?", (archive_id, grant_id))
            # The report's version joins the group's versions (the filter finds it by either).
            self._exec(
                cur,
                "INSERT INTO group_versions (hash_id, version, first_seen, last_seen) VALUES"
                " (?, ?, ?, ?) ON CONFLICT (hash_id, version) DO NOTHING",
                (h, report["program_version"], now, now),
            )
        self.apply_retention(hash_id=h, kinds=("archives",))
        return archive_id

    def _keep_file(self, cur, sha256, body):
        # A retention run may have removed the same content between put() and this transaction.
        self._lock_key(cur, "file:" + sha256)
        if not self.files.exists(sha256):
            self.files.put(body, sha256)

    def _waiting_grant(self, cur, h, remote, now):
        # The archive post carries no machine identity: it takes the oldest answer waiting for its
        # crash ID that was given to the same address. Another address can't spend that place.
        row = self._exec(
            cur,
            "SELECT id, guid FROM grants WHERE hash_id = ? AND archive_id IS NULL"
            " AND granted > ? AND remote = ? ORDER BY id LIMIT 1",
            (h, now - GRANT_SECONDS, remote),
        ).fetchone()
        return (row[0], row[1]) if row else None

    def store_kernel_dump(self, body, info, remote, now=None):
        """Stores Drummet's package; a package stored before (same SHA-256, Drummet resends after a
        failed run) is not stored twice. Returns (row id, new)."""
        now = now or time.time()
        sha256 = hashlib.sha256(body).hexdigest()
        with self.transaction() as cur:
            known = self._one(cur, "SELECT id FROM kernel_dumps WHERE sha256 = ? LIMIT 1", (sha256,))
        if known is not None:
            return known, False
        self.files.put(body, sha256)
        with self.transaction(write=True) as cur:
            self._lock_key(cur, "file:" + sha256)
            known = self._one(cur, "SELECT id FROM kernel_dumps WHERE sha256 = ? LIMIT 1", (sha256,))
            if known is not None:
                return known, False
            self._keep_file(cur, sha256, body)
            dump_id = self._insert(
                cur,
                "kernel_dumps",
                KERNEL_COLUMNS[1:],
                (
                    sha256,
                    len(body),
                    now,
                    remote,
                    info["machine_id"],
                    info["version"],
                    info["module"],
                    info["dump_name"],
                    info["dump_size"],
                ),
            )
        self.apply_retention(kinds=("kernel_dumps",))
        return dump_id, True

    def _insert(self, cur, table, columns, values):
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), ", ".join("?" * len(columns)))
        if self.placeholder == "?":
            return self._exec(cur, sql, values).lastrowid
        return self._exec(cur, sql + " RETURNING id", values).fetchone()[0]

    # --- reading ---------------------------------------------------------------------------------
    def groups(self, sort="last_seen", version=None, module=None, after=None, limit=PAGE):
        """One page of crash groups, newest (or most reported) first: (rows, cursor of the next page or
        None). Under a version filter every count is that version's."""
        src = "v" if version else "g"
        keys = {"count": ("report_count", "last_seen", "hash_id"), "last_seen": ("last_seen", "hash_id")}[
            sort
        ]
        where, args = [], []
        if version:
            where.append("v.version = ?")
            args.append(version)
        if module:
            where.append("g.module = ?")
            args.append(module)
        if after:
            kinds = {"report_count": int, "last_seen": float, "hash_id": str}
            values = decode_cursor(after, [kinds[k] for k in keys])
            where.append(
                "(%s) < (%s)" % (", ".join("%s.%s" % (src, k) for k in keys), ", ".join("?" * len(keys)))
            )
            args += values
        if version:
            columns = (
                "g.hash_id, g.product, g.module, g.app, v.first_seen, v.last_seen, v.report_count,"
                " v.post_count, v.machine_count, (SELECT COUNT(*) FROM archives a WHERE a.hash_id = g.hash_id"
                " AND a.program_version = v.version)"
            )
            source = "group_versions v JOIN crash_groups g ON g.hash_id = v.hash_id"
        else:
            columns = (
                "%s, g.machine_count, (SELECT COUNT(*) FROM archives a WHERE a.hash_id = g.hash_id)"
                % ", ".join("g." + c for c in GROUP_COLUMNS)
            )
            source = "crash_groups g"
        sql = "SELECT %s FROM %s %s ORDER BY %s LIMIT ?" % (
            columns,
            source,
            "WHERE " + " AND ".join(where) if where else "",
            ", ".join("%s.%s DESC" % (src, k) for k in keys),
        )
        with self.transaction() as cur:
            groups = self._rows(cur, sql, args + [limit + 1], GROUP_COLUMNS + ("machines", "archives"))
            more = len(groups) > limit
            groups = groups[:limit]
            versions = {}
            if groups:
                ids = [g["hash_id"] for g in groups]
                for h, v in self._exec(
                    cur,
                    "SELECT hash_id, version FROM group_versions WHERE hash_id IN (%s)"
                    % ", ".join("?" * len(ids)),
                    ids,
                ).fetchall():
                    versions.setdefault(h, set()).add(v)
        for g in groups:
            g["versions"] = sorted(versions.get(g["hash_id"], ()))
        cursor = encode_cursor(*(groups[-1][k] for k in keys)) if more else None
        return groups, cursor

    def group(self, hash_id, posts_after=None, archives_after=None, limit=PAGE):
        """A crash group with one page of its archives and one of its information posts (oldest
        first); "next_posts" and "next_archives" are the cursors of the following pages."""
        with self.transaction() as cur:
            rows = self._rows(
                cur,
                "SELECT %s, machine_count FROM crash_groups WHERE hash_id = ?" % ", ".join(GROUP_COLUMNS),
                (hash_id,),
                GROUP_COLUMNS + ("machines",),
            )
            if not rows:
                return None
            g = rows[0]
            g["archives"] = self._one(cur, "SELECT COUNT(*) FROM archives WHERE hash_id = ?", (hash_id,))
            g["archive_list"] = self._rows(
                cur,
                "SELECT %s FROM archives WHERE hash_id = ? AND id > ? ORDER BY id"
                " LIMIT ?" % ", ".join(ARCHIVE_COLUMNS),
                (hash_id, archives_after or 0, limit + 1),
                ARCHIVE_COLUMNS,
            )
            g["posts"] = self._rows(
                cur,
                "SELECT id, received, guid, version, app, module, count_flag, mail, answer"
                " FROM info_posts WHERE hash_id = ? AND id > ? ORDER BY id LIMIT ?",
                (hash_id, posts_after or 0, limit + 1),
                POST_COLUMNS,
            )
            first_stack = self._one(
                cur,
                "SELECT stack FROM archives WHERE hash_id = ? AND stack <> '' ORDER BY id LIMIT 1",
                (hash_id,),
            )
            g["versions"] = sorted(
                r[0]
                for r in self._exec(
                    cur, "SELECT version FROM group_versions WHERE hash_id = ?", (hash_id,)
                ).fetchall()
            )
        for name, key in (("archive_list", "next_archives"), ("posts", "next_posts")):
            g[key] = g[name][limit - 1]["id"] if len(g[name]) > limit else None
            g[name] = g[name][:limit]
        for a in g["archive_list"]:
            a["stack"] = a["stack"].split("\n") if a["stack"] else []
        g["stack"] = first_stack.split("\n") if first_stack else []
        return g

    def _by_id(self, table, columns, row_id):
        with self.transaction() as cur:
            rows = self._rows(
                cur, "SELECT %s FROM %s WHERE id = ?" % (", ".join(columns), table), (row_id,), columns
            )
        return rows[0] if rows else None

    def archive(self, archive_id):
        return self._by_id("archives", ARCHIVE_COLUMNS, archive_id)

    def kernel_dumps(self, after=None, limit=PAGE):
        """One page of kernel dumps by machine, version and newest first: (rows, next cursor or None)."""
        where, args = "", []
        if after:
            machine, version, last_id = decode_cursor(after, [str, str, int])
            where = "WHERE machine_id > ? OR (machine_id = ? AND (version > ? OR (version = ? AND id < ?)))"
            args = [machine, machine, version, version, last_id]
        with self.transaction() as cur:
            rows = self._rows(
                cur,
                "SELECT %s FROM kernel_dumps %s ORDER BY machine_id, version, id DESC LIMIT ?"
                % (", ".join(KERNEL_COLUMNS), where),
                args + [limit + 1],
                KERNEL_COLUMNS,
            )
        if len(rows) > limit:
            last = rows[limit - 1]
            return rows[:limit], encode_cursor(last["machine_id"], last["version"], last["id"])
        return rows, None

    def kernel_dump(self, dump_id):
        return self._by_id("kernel_dumps", KERNEL_COLUMNS, dump_id)

    def missing_files(self):
        """Rows whose archive file is not there (should always be empty)."""
        with self.transaction() as cur:
            rows = self._exec(
                cur,
                "SELECT 'archive', id, sha256 FROM archives UNION ALL"
                " SELECT 'kernel', id, sha256 FROM kernel_dumps",
            ).fetchall()
        return [r for r in rows if not self.files.exists(r[2])]

    # --- removing: privacy requests, retention, orphans --------------------------------------------
    def _drop_files(self, sha256s):
        """Removes the files no row points to any more, each under its name's lock."""
        for sha256 in set(sha256s):
            with self.transaction(write=True) as cur:
                self._lock_key(cur, "file:" + sha256)
                if (
                    self._one(
                        cur,
                        "SELECT 1 FROM archives WHERE sha256 = ? UNION ALL SELECT 1 FROM kernel_dumps"
                        " WHERE sha256 = ? LIMIT 1",
                        (sha256, sha256),
                    )
                    is None
                ):
                    self.files.remove(sha256)

    def delete_group(self, hash_id):
        """Everything stored for one crash ID; returns the number of archives removed, None when
        there is no such group."""
        with self.transaction(write=True) as cur:
            if self._one(cur, "SELECT 1 FROM crash_groups WHERE hash_id = ?", (hash_id,)) is None:
                return None
            files = [
                r[0]
                for r in self._exec(
                    cur, "SELECT sha256 FROM archives WHERE hash_id = ?", (hash_id,)
                ).fetchall()
            ]
            for table in ("archives", "grants", "info_posts", "group_versions", "crash_groups"):
                self._exec(cur, "DELETE FROM %s WHERE hash_id = ?" % table, (hash_id,))
        self._drop_files(files)
        return len(files)

    def delete_machine(self, machine):
        """Everything one machine sent: its information posts, answers and archives (by machine
        identity) and its kernel dumps (by Drummet's identity). Group counts are recounted and a
        group left with nothing is removed. Returns (posts, archives, kernel dumps) removed."""
        with self.transaction(write=True) as cur:
            groups = sorted(
                {
                    r[0]
                    for r in self._exec(
                        cur,
                        "SELECT hash_id FROM info_posts WHERE guid = ? UNION SELECT hash_id FROM grants WHERE guid = ?",
                        (machine, machine),
                    ).fetchall()
                }
            )
            files = [
                r[0]
                for r in self._exec(
                    cur,
                    "SELECT sha256 FROM archives WHERE guid = ? UNION ALL"
                    " SELECT sha256 FROM kernel_dumps WHERE machine_id = ?",
                    (machine, machine),
                ).fetchall()
            ]
            counts = []
            for table, column in (
                ("info_posts", "guid"),
                ("archives", "guid"),
                ("kernel_dumps", "machine_id"),
            ):
                counts.append(
                    self._exec(cur, "DELETE FROM %s WHERE %s = ?" % (table, column), (machine,)).rowcount
                )
            self._exec(cur, "DELETE FROM grants WHERE guid = ?", (machine,))
            for h in groups:
                self._exec(cur, "DELETE FROM group_versions WHERE hash_id = ?", (h,))
                left = self._one(cur, "SELECT COUNT(*) FROM info_posts WHERE hash_id = ?", (h,)) + self._one(
                    cur, "SELECT COUNT(*) FROM archives WHERE hash_id = ?", (h,)
                )
                if not left:
                    self._exec(cur, "DELETE FROM grants WHERE hash_id = ?", (h,))
                    self._exec(cur, "DELETE FROM crash_groups WHERE hash_id = ?", (h,))
                    continue
                self._exec(
                    cur,
                    "UPDATE crash_groups SET report_count = (SELECT COALESCE(SUM(count_flag), 0) FROM"
                    " info_posts p WHERE p.hash_id = ?), post_count = (SELECT COUNT(*) FROM info_posts p"
                    " WHERE p.hash_id = ?), machine_count = (SELECT COUNT(DISTINCT guid) FROM info_posts p"
                    " WHERE p.hash_id = ?) WHERE hash_id = ?",
                    (h, h, h, h),
                )
                self._rebuild_versions(cur, h)
        self._drop_files(files)
        return tuple(counts)

    def apply_retention(self, now=None, hash_id=None, kinds=("archives", "kernel_dumps")):
        """Removes the oldest archives and kernel dumps beyond the retention settings; returns how
        many rows went. hash_id limits the per-group rule to that group (after a store)."""
        r = self.retention
        if not any(r.values()):
            return 0
        now = now or time.time()
        files = []
        with self.transaction(write=True) as cur:
            for table in kinds:
                doomed = set()
                if r["keep_days"]:
                    doomed |= {
                        tuple(x)
                        for x in self._exec(
                            cur,
                            "SELECT id, sha256 FROM %s WHERE received < ?" % table,
                            (now - r["keep_days"] * 86400,),
                        ).fetchall()
                    }
                if table == "archives" and r["keep_per_group"]:
                    over = (
                        [hash_id]
                        if hash_id
                        else [
                            x[0]
                            for x in self._exec(
                                cur,
                                "SELECT hash_id FROM archives GROUP BY hash_id HAVING COUNT(*) > ?",
                                (r["keep_per_group"],),
                            ).fetchall()
                        ]
                    )
                    for h in over:
                        rows = self._exec(
                            cur, "SELECT id, sha256 FROM archives WHERE hash_id = ? ORDER BY id DESC", (h,)
                        ).fetchall()
                        doomed |= {tuple(x) for x in rows[r["keep_per_group"] :]}
                quota = r["archive_quota"] if table == "archives" else r["kernel_quota"]
                if quota:
                    total = self._one(cur, "SELECT COALESCE(SUM(size), 0) FROM %s" % table)
                    total -= sum(
                        self._one(cur, "SELECT size FROM %s WHERE id = ?" % table, (i,)) for i, _ in doomed
                    )
                    last = 0
                    while total > quota:
                        batch = self._exec(
                            cur,
                            "SELECT id, sha256, size FROM %s WHERE id > ? ORDER BY id LIMIT 200" % table,
                            (last,),
                        ).fetchall()
                        if not batch:
                            break
                        for row_id, sha256, size in batch:
                            last = row_id
                            if total <= quota:
                                break
                            if (row_id, sha256) not in doomed:
                                doomed.add((row_id, sha256))
                                total -= size
                for row_id, sha256 in doomed:
                    self._exec(cur, "DELETE FROM %s WHERE id = ?" % table, (row_id,))
                    files.append(sha256)
        self._drop_files(files)
        return len(files)

    def sweep_orphans(self, min_age=TEMP_MAX_AGE):
        """Removes stored files no row points to (left by a process killed between the file and its
        row) once they are old enough that no process can still be about to write the row."""
        self.files.sweep_temporaries()
        now = time.time()
        with self.transaction() as cur:
            known = {
                r[0]
                for r in self._exec(
                    cur, "SELECT sha256 FROM archives UNION SELECT sha256 FROM kernel_dumps"
                ).fetchall()
            }
        candidates = []
        for sha256, path in self.files.named_files():
            with contextlib.suppress(OSError):
                if sha256 not in known and now - os.path.getmtime(path) > min_age:
                    candidates.append(sha256)
        self._drop_files(candidates)
        return sum(1 for s in candidates if not self.files.exists(s))

    # --- login sessions ----------------------------------------------------------------------------
    def create_session(self, key, token_fp, csrf, remote, expires, now=None):
        with self.transaction(write=True) as cur:
            self._exec(
                cur,
                "INSERT INTO sessions (key, token_fp, csrf, remote, created, expires) VALUES"
                " (?, ?, ?, ?, ?, ?)",
                (key, token_fp, csrf, remote, now or time.time(), expires),
            )

    def session(self, key):
        """(token fingerprint, CSRF value, expiry) of a session, or None."""
        with self.transaction() as cur:
            row = self._exec(
                cur, "SELECT token_fp, csrf, expires FROM sessions WHERE key = ?", (key,)
            ).fetchone()
        return tuple(row) if row else None

    def end_session(self, key):
        with self.transaction(write=True) as cur:
            self._exec(cur, "DELETE FROM sessions WHERE key = ?", (key,))

    def purge_sessions(self, token_fp, now=None):
        """Drops expired sessions and every session of another token (the token changed)."""
        with self.transaction(write=True) as cur:
            return self._exec(
                cur, "DELETE FROM sessions WHERE expires < ? OR token_fp <> ?", (now or time.time(), token_fp)
            ).rowcount


class SqliteStorage(Storage):
    def __init__(self, data_dir, max_archives=3, retention=None):
        super().__init__(data_dir, max_archives, retention)
        self.path = os.path.join(data_dir, "crashes.sqlite")
        self.local = threading.local()
        # Writers of this process queue on a lock instead of SQLite's busy handler, whose sleeps
        # grow with each retry and made the slowest uploads wait far longer than their turn.
        self.write_lock = threading.Lock()
        with self.transaction(write=True) as cur:
            self.create_schema(cur)
        self.files.sweep_temporaries()

    def _columns(self, cur, table):
        return {r[1] for r in cur.execute("PRAGMA table_info(%s)" % table).fetchall()}

    def _connection(self):
        conn = getattr(self.local, "conn", None)
        if conn is None:
            conn = sqlite3.connect(self.path, timeout=60, isolation_level=None, check_same_thread=False)
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=FULL")
            conn.execute("PRAGMA busy_timeout=60000")
            self.local.conn = conn
        return conn

    @contextlib.contextmanager
    def transaction(self, write=False):
        if write:
            with self.write_lock:
                with self._transaction(True) as cur:
                    yield cur
        else:
            with self._transaction(False) as cur:
                yield cur

    @contextlib.contextmanager
    def _transaction(self, write):
        conn = self._connection()
        cur = conn.cursor()
        # IMMEDIATE takes the write lock at the start, so a decision never reads a count that a
        # concurrent writer is about to change (and never fails on upgrading a read lock).
        cur.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            yield cur
        except BaseException:
            with contextlib.suppress(sqlite3.Error):
                cur.execute("ROLLBACK")
            raise
        else:
            cur.execute("COMMIT")
        finally:
            cur.close()


class PostgresStorage(Storage):
    placeholder = "%s"
    serial = "BIGSERIAL PRIMARY KEY"

    def __init__(self, dsn, data_dir, max_archives=3, pool_size=20, retention=None):
        import psycopg2
        import psycopg2.pool

        super().__init__(data_dir, max_archives, retention)
        self.psycopg2 = psycopg2
        # As many connections as threads that may use one, opened when first needed and then kept:
        # a pool that keeps fewer open closes and opens a connection per request under load.
        self.pool = psycopg2.pool.ThreadedConnectionPool(1, pool_size, dsn)
        self.pool.minconn = pool_size  # what putconn keeps idle
        self.slots = threading.BoundedSemaphore(pool_size)
        with self.transaction(write=True) as cur:
            # Processes starting together must not race on CREATE TABLE IF NOT EXISTS.
            cur.execute("SELECT pg_advisory_xact_lock(727001)")
            self.create_schema(cur)
        self.files.sweep_temporaries()

    def _columns(self, cur, table):
        cur.execute("SELECT column_name FROM information_schema.columns WHERE table_name = %s", (table,))
        return {r[0] for r in cur.fetchall()}

    def _lock_key(self, cur, key):
        cur.execute("SELECT pg_advisory_xact_lock(hashtext(%s))", (key,))

    @contextlib.contextmanager
    def transaction(self, write=False):
        with self.slots:
            conn = self.pool.getconn()
            try:
                with conn:  # commits on success, rolls back on an exception
                    with conn.cursor() as cur:
                        yield cur
            finally:
                # A connection the database dropped (restart, network) is not handed out again.
                self.pool.putconn(conn, close=bool(conn.closed))

    def close(self):
        self.pool.closeall()


def open_storage(data_dir, database=None, max_archives=3, pool_size=20, retention=None):
    os.makedirs(data_dir, mode=0o700, exist_ok=True)
    if database and database.startswith(("postgresql:", "postgres:", "host=", "dbname=")):
        return PostgresStorage(database, data_dir, max_archives, pool_size, retention)
    return SqliteStorage(data_dir, max_archives, retention)
