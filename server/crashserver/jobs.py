"""Symbolication as jobs in the database, so that an archive post never waits for it and any number
of worker processes, on any machine sharing the database and the data folder, share the work.

Every stored archive gets one row in "symbolication". Workers find archives without a row (so the
upload path needs no change), take the oldest waiting row (PostgreSQL: FOR UPDATE SKIP LOCKED, so
workers never wait on each other; SQLite: under its write lock), and write the result back. A row
taken by a worker that died is taken again after LEASE_SECONDS, at most MAX_ATTEMPTS times. Symbols
uploaded later put the rows that lacked them back in the queue. Idle workers only read; an archive
committed out of id order (PostgreSQL) is found by the full scan every half minute.
"""
import json
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS symbolication (
  archive_id BIGINT PRIMARY KEY, hash_id TEXT NOT NULL, state TEXT NOT NULL,
  queued DOUBLE PRECISION NOT NULL, taken DOUBLE PRECISION NOT NULL DEFAULT 0,
  done DOUBLE PRECISION NOT NULL DEFAULT 0, attempts INTEGER NOT NULL DEFAULT 0,
  title TEXT NOT NULL DEFAULT '', frames_text TEXT NOT NULL DEFAULT '', missing TEXT NOT NULL DEFAULT '',
  result TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS symbolication_state ON symbolication (state, queued);
CREATE INDEX IF NOT EXISTS symbolication_hash ON symbolication (hash_id);
CREATE TABLE IF NOT EXISTS kernel_dump_headers (
  dump_id BIGINT PRIMARY KEY, readable INTEGER NOT NULL, error TEXT NOT NULL, bug_check INTEGER NOT NULL,
  parameters TEXT NOT NULL, os_build TEXT NOT NULL, machine TEXT NOT NULL, processors INTEGER NOT NULL,
  dump_time DOUBLE PRECISION NOT NULL);
"""
LEASE_SECONDS = 120
MAX_ATTEMPTS = 3


def ensure_schema(storage):
    # Marked on the storage itself: an id() of a storage gone may be a new storage's on another database.
    if getattr(storage, "jobs_schema_ready", False):
        return
    with storage.transaction(write=True) as cur:
        if storage.placeholder != "?":
            cur.execute("SELECT pg_advisory_xact_lock(727002)")
        storage.run_ddl(cur, SCHEMA)
    storage.jobs_schema_ready = True


def queue_new_archives(storage, everything=False, now=None):
    """Rows for archives that have none; only those above the highest known id unless everything."""
    ensure_schema(storage)
    now = now or time.time()
    newer = "" if everything else " AND a.id > (SELECT COALESCE(MAX(archive_id), 0) FROM symbolication)"
    with storage.transaction(write=True) as cur:
        storage._exec(
            cur,
            "INSERT INTO symbolication (archive_id, hash_id, state, queued) SELECT a.id, a.hash_id,"
            " 'pending', ? FROM archives a WHERE NOT EXISTS (SELECT 1 FROM symbolication s"
            " WHERE s.archive_id = a.id)" + newer + " ON CONFLICT (archive_id) DO NOTHING",
            (now,),
        )


def work_waiting(storage, now=None):
    """(archives without a row above the highest known, rows waiting) from a read alone, so that idle
    workers do not take the database's write lock several times a second."""
    ensure_schema(storage)
    now = now or time.time()
    newer, waiting = storage.read_rows(
        "SELECT (SELECT COALESCE(MAX(id), 0) FROM archives) > (SELECT COALESCE(MAX(archive_id), 0) FROM"
        " symbolication), EXISTS (SELECT 1 FROM symbolication WHERE state = 'pending' OR (state = 'running'"
        " AND taken < ?))",
        (now - LEASE_SECONDS,),
    )[0]
    return bool(newer), bool(waiting)


def take(storage, now=None):
    """The archive id of one waiting job, now leased to the caller; None when there is none."""
    now = now or time.time()
    lock = " FOR UPDATE SKIP LOCKED" if storage.placeholder != "?" else ""
    with storage.transaction(write=True) as cur:
        row = storage._exec(
            cur,
            "SELECT archive_id, attempts FROM symbolication WHERE state = 'pending' OR"
            " (state = 'running' AND taken < ?) ORDER BY queued, archive_id LIMIT 1" + lock,
            (now - LEASE_SECONDS,),
        ).fetchone()
        if row is None:
            return None
        archive_id, attempts = row
        if attempts >= MAX_ATTEMPTS:
            # Whatever this archive does to a worker, it does not get to do it again.
            storage._exec(
                cur,
                "UPDATE symbolication SET state = 'done', done = ?, result = ? WHERE archive_id = ?",
                (
                    now,
                    json.dumps({"error": "symbolication did not finish in %d attempts" % attempts}),
                    archive_id,
                ),
            )
            return None
        storage._exec(
            cur,
            "UPDATE symbolication SET state = 'running', taken = ?, attempts = attempts + 1"
            " WHERE archive_id = ?",
            (now, archive_id),
        )
    return archive_id


def finish(storage, archive_id, result, title, frames_text, missing, now=None):
    now = now or time.time()
    with storage.transaction(write=True) as cur:
        storage._exec(
            cur,
            "UPDATE symbolication SET state = 'done', done = ?, attempts = 0, title = ?,"
            " frames_text = ?, missing = ?, result = ? WHERE archive_id = ?",
            (now, title, frames_text, "\n".join(m.lower() for m in missing), json.dumps(result), archive_id),
        )


def requeue_module(storage, module, now=None):
    """Puts back in the queue every archive that lacked symbols of this module; returns how many."""
    ensure_schema(storage)
    now = now or time.time()
    pattern = "%" + module.lower().replace("%", "").replace("_", "\\_") + "/%"
    with storage.transaction(write=True) as cur:
        cur_ = storage._exec(
            cur,
            "UPDATE symbolication SET state = 'pending', queued = ?, attempts = 0"
            " WHERE state = 'done' AND missing LIKE ? ESCAPE '\\'",
            (now, pattern),
        )
        return cur_.rowcount


def results(storage, hash_id=None, archive_ids=None):
    """{archive id: row} of the symbolication rows of a group."""
    ensure_schema(storage)
    rows = storage.read_rows(
        "SELECT archive_id, state, title, missing, result, queued, done FROM symbolication"
        " WHERE hash_id = ?",
        (hash_id,),
    )
    out = {}
    for archive_id, state, title, missing, result, queued, done in rows:
        try:
            data = json.loads(result) if result else {}
        except ValueError:
            data = {}
        out[archive_id] = {
            "state": state,
            "title": title,
            "missing": missing.split("\n") if missing else [],
            "result": data,
            "queued": queued,
            "done": done,
        }
    return out


def titles(storage, hash_ids):
    """{crash ID: the title of its newest archive with one} for these crash IDs."""
    ensure_schema(storage)
    # Ordered by archive, so the newest archive's title is the one kept.
    return dict(
        storage.select_in(
            "SELECT hash_id, title FROM symbolication WHERE state = 'done' AND title <> ''"
            " AND hash_id IN (%s) ORDER BY archive_id",
            hash_ids,
        )
    )


def forget_deleted(storage):
    """Drops the results of archives and headers of kernel dumps that are gone (deleted on request or
    by retention): a result holds the report, e-mail and description included."""
    ensure_schema(storage)
    with storage.transaction(write=True) as cur:
        storage._exec(
            cur,
            "DELETE FROM symbolication WHERE NOT EXISTS (SELECT 1 FROM archives a WHERE"
            " a.id = symbolication.archive_id)",
        )
        storage._exec(
            cur,
            "DELETE FROM kernel_dump_headers WHERE NOT EXISTS (SELECT 1 FROM kernel_dumps k WHERE"
            " k.id = kernel_dump_headers.dump_id)",
        )


def search(storage, text):
    """Crash IDs starting with the text, or with it in module, application, title or any frame."""
    ensure_schema(storage)
    like = "%" + text.lower().replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
    prefix = text.upper().replace("\\", "").replace("%", "").replace("_", "") + "%"
    rows = storage.read_rows(
        "SELECT g.hash_id FROM crash_groups g WHERE g.hash_id LIKE ? OR LOWER(g.module)"
        " LIKE ? ESCAPE '\\' OR LOWER(g.app) LIKE ? ESCAPE '\\' OR EXISTS (SELECT 1 FROM"
        " symbolication s WHERE s.hash_id = g.hash_id AND (LOWER(s.title) LIKE ? ESCAPE '\\'"
        " OR LOWER(s.frames_text) LIKE ? ESCAPE '\\'))",
        (prefix, like, like, like, like),
    )
    return {r[0] for r in rows}


def pending_count(storage):
    ensure_schema(storage)
    return storage.read_rows("SELECT COUNT(*) FROM symbolication WHERE state <> 'done'")[0][0]
