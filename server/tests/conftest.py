import os
import shutil
import tempfile

import pytest

from serverlib import Client, Front, Postgres, Server, start_all


@pytest.fixture(scope="session")
def postgres():
    cluster = Postgres().start()
    yield cluster
    cluster.stop()


@pytest.fixture
def data_dir():
    with tempfile.TemporaryDirectory(prefix="crashserver-data-") as d:
        yield d


class Setup:
    """Two server processes on one database and one data folder behind nginx."""

    def __init__(self, kind, data, dsn, extra):
        self.kind, self.data, self.dsn = kind, data, dsn
        args = ("--database", dsn) + extra if dsn else extra
        self.servers = start_all([Server(data, "--trusted-proxy", "127.0.0.1", *args) for _ in range(2)])
        self.front = Front(self.servers).start()

    def empty(self):
        """Back to an empty server (row numbers from 1 again) without restarting anything."""
        tables = (
            "crash_groups",
            "info_posts",
            "grants",
            "archives",
            "kernel_dumps",
            "group_versions",
            "sessions",
            "symbolication",
            "kernel_dump_headers",
        )
        if self.dsn:
            import psycopg2

            conn = psycopg2.connect(self.dsn)
            with conn, conn.cursor() as cur:
                cur.execute("TRUNCATE %s RESTART IDENTITY" % ", ".join(tables))
            conn.close()
        else:
            import sqlite3

            conn = sqlite3.connect(os.path.join(self.data, "crashes.sqlite"), isolation_level=None)
            conn.execute("BEGIN IMMEDIATE")
            for t in tables + ("sqlite_sequence",):
                conn.execute("DELETE FROM " + t)
            conn.execute("COMMIT")
            conn.close()
        folder = os.path.join(self.data, "archives")
        for d in os.listdir(folder):
            if d != "tmp":
                shutil.rmtree(os.path.join(folder, d))

    def stop(self):
        self.front.stop()
        for s in self.servers:
            s.stop()
        shutil.rmtree(self.data, ignore_errors=True)


@pytest.fixture(scope="session")
def shared_setups():
    """The nginx setups without extra options, started once and emptied before each test."""
    setups = {}
    yield setups
    for s in setups.values():
        s.stop()


@pytest.fixture(params=["sqlite", "nginx-sqlite", "nginx-postgres"])
def backend(request, data_dir, shared_setups):
    """Servers on the chosen back end and a client over them: one process on SQLite, or two
    processes sharing one database and one archive folder behind nginx (TLS) on SQLite or on a
    private PostgreSQL cluster. Tests that give no options share one such setup per kind."""
    started = []

    def new_setup(*extra):
        dsn = (
            request.getfixturevalue("postgres").new_database() if request.param == "nginx-postgres" else None
        )
        return Setup(request.param, tempfile.mkdtemp(prefix="crashserver-data-"), dsn, extra)

    def start(*extra):
        if request.param == "sqlite":
            started.append(Server(data_dir, *extra).start())
            start.data = data_dir
            return Client(started)
        if extra:
            setup = new_setup(*extra)
            started.append(setup)
        else:
            setup = shared_setups.get(request.param)
            if setup is None:
                setup = shared_setups[request.param] = new_setup()
            setup.empty()
        start.data, start.dsn = setup.data, setup.dsn
        return Client([setup.front])

    start.kind = request.param
    start.data, start.dsn = data_dir, None
    yield start
    for s in reversed(started):
        s.stop()
