"""Where the server keeps what it receives: rows in SQLite (default) or PostgreSQL behind one
interface, and the archives as files named by their SHA-256 in the data folder.

Order of a stored archive: the bytes go to a temporary file, are flushed to disk and renamed to
their SHA-256 name, and only then is the row written. A process killed at any point leaves at most
a temporary file (removed at the next start) or a named file no row points to, never a row without
its file. Several processes may share one database and one archive folder: names are content
addressed, renames are atomic, and every decision runs in one transaction that holds the crash
ID's group row (PostgreSQL) or the database's write lock (SQLite).
"""
import contextlib
import hashlib
import os
import re
import socket
import sqlite3
import threading
import time
import uuid

# An answer of "true" reserves one of the crash ID's archive places for that machine until the
# archive arrives or this many seconds pass (the uploader gives its archive post 50 s).
GRANT_SECONDS = 600
TEMP_MAX_AGE = 3600
HOST = socket.gethostname().replace("-", "_")

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
"""

GROUP_COLUMNS = ("hash_id", "product", "module", "app", "first_seen", "last_seen", "report_count",
                 "post_count")
ARCHIVE_COLUMNS = ("id", "hash_id", "guid", "sha256", "size", "received", "remote", "program_name",
                   "program_version", "app_name", "windows_version", "module", "report_time", "email",
                   "user_context", "stack", "report_name", "dump_name", "dump_size")
KERNEL_COLUMNS = ("id", "sha256", "size", "received", "remote", "machine_id", "version", "module",
                  "dump_name", "dump_size")


class ArchiveFolder:
    """Content-addressed files: DATA/archives/ab/abcdef....zip, written by temp file and rename."""

    def __init__(self, root):
        self.root = os.path.join(root, "archives")
        self.temp = os.path.join(self.root, "tmp")
        os.makedirs(self.temp, exist_ok=True)

    def path(self, sha256):
        return os.path.join(self.root, sha256[:2], sha256 + ".zip")

    def put(self, body):
        sha256 = hashlib.sha256(body).hexdigest()
        final = self.path(sha256)
        if os.path.exists(final) and os.path.getsize(final) == len(body):
            return sha256
        os.makedirs(os.path.dirname(final), exist_ok=True)
        temp = os.path.join(self.temp, "%s-%d-%s.part" % (HOST, os.getpid(), uuid.uuid4().hex))
        try:
            with open(temp, "wb") as f:
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
    connection handling and the dialect."""

    placeholder = "?"
    serial = "INTEGER PRIMARY KEY AUTOINCREMENT"

    def __init__(self, data_dir, max_archives=3):
        self.files = ArchiveFolder(data_dir)
        self.max_archives = max_archives

    # --- connection handling, per back end --------------------------------------------------------
    def transaction(self, write=False):
        raise NotImplementedError

    def close(self):
        pass

    def _q(self, sql):
        return sql if self.placeholder == "?" else sql.replace("?", "%s")

    def _exec(self, cur, sql, args=()):
        cur.execute(self._q(sql), args)
        return cur

    def _rows(self, cur, sql, args, columns):
        return [dict(zip(columns, row)) for row in self._exec(cur, sql, args).fetchall()]

    def create_schema(self, cur, schema=SCHEMA):
        for statement in schema.format(serial=self.serial).split(";"):
            if statement.strip() and not self._index_exists(cur, statement):
                cur.execute(statement)

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
        h, guid = fields["hash_id"], fields["guid"]
        counted = 1 if fields["count"] == "1" else 0
        with self.transaction(write=True) as cur:
            # The upsert takes the group's row lock (PostgreSQL) or runs under the write lock
            # (SQLite), so two posts for one crash ID decide one after the other.
            self._exec(cur, "INSERT INTO crash_groups (hash_id, product, module, app, first_seen, last_seen,"
                            " report_count, post_count) VALUES (?, ?, ?, ?, ?, ?, ?, 1)"
                            " ON CONFLICT (hash_id) DO UPDATE SET last_seen = excluded.last_seen,"
                            " report_count = crash_groups.report_count + excluded.report_count,"
                            " post_count = crash_groups.post_count + 1",
                       (h, fields["product"], fields["module"], fields["app"], now, now, counted))
            stored = self._exec(cur, "SELECT COUNT(*) FROM archives WHERE hash_id = ?", (h,)).fetchone()[0]
            open_grants = self._exec(cur, "SELECT COUNT(*) FROM grants WHERE hash_id = ? AND archive_id IS NULL"
                                          " AND granted > ?", (h, now - GRANT_SECONDS)).fetchone()[0]
            same_machine = self._exec(cur, "SELECT COUNT(*) FROM grants WHERE hash_id = ? AND guid = ? AND"
                                           " (archive_id IS NOT NULL OR granted > ?)",
                                      (h, guid, now - GRANT_SECONDS)).fetchone()[0]
            want = stored + open_grants < self.max_archives and same_machine == 0
            if want:
                self._exec(cur, "INSERT INTO grants (hash_id, guid, mail, remote, granted) VALUES (?, ?, ?, ?, ?)",
                           (h, guid, fields["mail"], remote, now))
            self._exec(cur, "INSERT INTO info_posts (hash_id, guid, product, version, app, module, count_flag,"
                            " mail, received, remote, answer) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                       (h, guid, fields["product"], fields["version"], fields["app"], fields["module"],
                        counted, fields["mail"], now, remote, "true" if want else "false"))
        return want

    def store_archive(self, body, report, remote, now=None):
        """Stores an archive the server asked for; returns its row id, or None when no answer of
        "true" for its crash ID is waiting (nothing is stored then)."""
        now = now or time.time()
        h = report["hash_code"]
        with self.transaction() as cur:
            if not self._waiting_grant(cur, h, remote, now):
                return None
        sha256 = self.files.put(body)  # before the row: a row never points to a missing file
        with self.transaction(write=True) as cur:
            # Holds the group's row lock (PostgreSQL), so two archives never take the same answer.
            self._exec(cur, "UPDATE crash_groups SET last_seen = last_seen WHERE hash_id = ?", (h,))
            grant = self._waiting_grant(cur, h, remote, now)
            if grant is None:
                return None
            grant_id, guid = grant
            row = (h, guid, sha256, len(body), now, remote, report["program_name"], report["program_version"],
                   report["app_name"], report["windows_version"], report["module"], report["report_time"],
                   report["email"], report["user_context"], "\n".join(report["stack"]),
                   report["report_name"], report["dump_name"], report["dump_size"])
            archive_id = self._insert(cur, "archives", ARCHIVE_COLUMNS[1:], row)
            self._exec(cur, "UPDATE grants SET archive_id = ? WHERE id = ?", (archive_id, grant_id))
        return archive_id

    def _waiting_grant(self, cur, h, remote, now):
        # The archive post carries no machine identity: it takes the oldest waiting answer for its
        # crash ID, one from the same address first.
        rows = self._exec(cur, "SELECT id, guid, remote FROM grants WHERE hash_id = ? AND archive_id IS NULL"
                               " AND granted > ? ORDER BY id", (h, now - GRANT_SECONDS)).fetchall()
        for grant_id, guid, grant_remote in sorted(rows, key=lambda r: (r[2] != remote, r[0])):
            return grant_id, guid
        return None

    def store_kernel_dump(self, body, info, remote, now=None):
        now = now or time.time()
        sha256 = self.files.put(body)
        with self.transaction(write=True) as cur:
            return self._insert(cur, "kernel_dumps", KERNEL_COLUMNS[1:],
                                (sha256, len(body), now, remote, info["machine_id"], info["version"],
                                 info["module"], info["dump_name"], info["dump_size"]))

    def _insert(self, cur, table, columns, values):
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, ", ".join(columns), ", ".join("?" * len(columns)))
        if self.placeholder == "?":
            return self._exec(cur, sql, values).lastrowid
        return self._exec(cur, sql + " RETURNING id", values).fetchone()[0]

    # --- reading ---------------------------------------------------------------------------------
    def groups(self, sort="last_seen", version=None, module=None):
        order = {"count": "report_count DESC, last_seen DESC", "last_seen": "last_seen DESC"}[sort]
        where, args = [], []
        if module:
            where.append("g.module = ?")
            args.append(module)
        if version:
            where.append("(EXISTS (SELECT 1 FROM info_posts p WHERE p.hash_id = g.hash_id AND p.version = ?)"
                         " OR EXISTS (SELECT 1 FROM archives a WHERE a.hash_id = g.hash_id"
                         " AND a.program_version = ?))")
            args += [version, version]
        sql = ("SELECT %s, (SELECT COUNT(DISTINCT guid) FROM info_posts p WHERE p.hash_id = g.hash_id),"
               " (SELECT COUNT(*) FROM archives a WHERE a.hash_id = g.hash_id) FROM crash_groups g %s ORDER BY %s"
               % (", ".join("g." + c for c in GROUP_COLUMNS), "WHERE " + " AND ".join(where) if where else "",
                  order))
        with self.transaction() as cur:
            groups = self._rows(cur, sql, args, GROUP_COLUMNS + ("machines", "archives"))
            versions = {}
            for h, v in self._exec(cur, "SELECT DISTINCT hash_id, version FROM info_posts UNION SELECT DISTINCT"
                                        " hash_id, program_version FROM archives").fetchall():
                versions.setdefault(h, set()).add(v)
        for g in groups:
            g["versions"] = sorted(versions.get(g["hash_id"], ()))
        return groups

    def group(self, hash_id):
        with self.transaction() as cur:
            rows = self._rows(cur, "SELECT %s FROM crash_groups WHERE hash_id = ?" % ", ".join(GROUP_COLUMNS),
                              (hash_id,), GROUP_COLUMNS)
            if not rows:
                return None
            g = rows[0]
            g["machines"] = self._exec(cur, "SELECT COUNT(DISTINCT guid) FROM info_posts WHERE hash_id = ?",
                                       (hash_id,)).fetchone()[0]
            g["archive_list"] = self._rows(cur, "SELECT %s FROM archives WHERE hash_id = ? ORDER BY id"
                                           % ", ".join(ARCHIVE_COLUMNS), (hash_id,), ARCHIVE_COLUMNS)
            g["archives"] = len(g["archive_list"])
            g["posts"] = self._rows(cur, "SELECT received, guid, version, app, module, count_flag, mail, answer"
                                         " FROM info_posts WHERE hash_id = ? ORDER BY id", (hash_id,),
                                    ("received", "guid", "version", "app", "module", "count", "mail", "answer"))
        g["versions"] = sorted({p["version"] for p in g["posts"]} |
                               {a["program_version"] for a in g["archive_list"]})
        for a in g["archive_list"]:
            a["stack"] = a["stack"].split("\n") if a["stack"] else []
        g["stack"] = next((a["stack"] for a in g["archive_list"] if a["stack"]), [])
        return g

    def _by_id(self, table, columns, row_id):
        with self.transaction() as cur:
            rows = self._rows(cur, "SELECT %s FROM %s WHERE id = ?" % (", ".join(columns), table), (row_id,), columns)
        return rows[0] if rows else None

    def archive(self, archive_id):
        return self._by_id("archives", ARCHIVE_COLUMNS, archive_id)

    def kernel_dumps(self):
        with self.transaction() as cur:
            return self._rows(cur, "SELECT %s FROM kernel_dumps ORDER BY machine_id, version, id DESC"
                              % ", ".join(KERNEL_COLUMNS), (), KERNEL_COLUMNS)

    def kernel_dump(self, dump_id):
        return self._by_id("kernel_dumps", KERNEL_COLUMNS, dump_id)

    def missing_files(self):
        """Rows whose archive file is not there (should always be empty)."""
        with self.transaction() as cur:
            rows = self._exec(cur, "SELECT 'archive', id, sha256 FROM archives UNION ALL"
                                   " SELECT 'kernel', id, sha256 FROM kernel_dumps").fetchall()
        return [r for r in rows if not self.files.exists(r[2])]


class SqliteStorage(Storage):
    def __init__(self, data_dir, max_archives=3):
        super().__init__(data_dir, max_archives)
        self.path = os.path.join(data_dir, "crashes.sqlite")
        self.local = threading.local()
        # Writers of this process queue on a lock instead of SQLite's busy handler, whose sleeps
        # grow with each retry and made the slowest uploads wait far longer than their turn.
        self.write_lock = threading.Lock()
        with self.transaction(write=True) as cur:
            self.create_schema(cur)
        self.files.sweep_temporaries()

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

    def __init__(self, dsn, data_dir, max_archives=3, pool_size=32):
        import psycopg2
        import psycopg2.pool
        super().__init__(data_dir, max_archives)
        self.psycopg2 = psycopg2
        self.pool = psycopg2.pool.ThreadedConnectionPool(1, pool_size, dsn)
        self.slots = threading.BoundedSemaphore(pool_size)
        with self.transaction(write=True) as cur:
            # Processes starting together must not race on CREATE TABLE IF NOT EXISTS.
            cur.execute("SELECT pg_advisory_xact_lock(727001)")
            self.create_schema(cur)
        self.files.sweep_temporaries()

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


def open_storage(data_dir, database=None, max_archives=3):
    os.makedirs(data_dir, exist_ok=True)
    if database and database.startswith(("postgresql:", "postgres:", "host=", "dbname=")):
        return PostgresStorage(database, data_dir, max_archives)
    return SqliteStorage(data_dir, max_archives)
