import os
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from serverlib import Client, Front, Postgres, Server  # noqa: E402


@pytest.fixture(scope="session")
def postgres():
    cluster = Postgres().start()
    yield cluster
    cluster.stop()


@pytest.fixture
def data_dir():
    with tempfile.TemporaryDirectory(prefix="crashserver-data-") as d:
        yield d


@pytest.fixture(params=["sqlite", "nginx-sqlite", "nginx-postgres"])
def backend(request, data_dir):
    """Servers on the chosen back end and a client over them: one process on SQLite, or two
    processes sharing one database and one archive folder behind nginx (TLS) on SQLite or on a
    private PostgreSQL cluster."""
    started = []

    def start(*extra):
        if request.param == "sqlite":
            started.append(Server(data_dir, *extra).start())
            return Client(started)
        if request.param == "nginx-postgres":
            extra = ("--database", request.getfixturevalue("postgres").new_database()) + extra
        servers = [Server(data_dir, "--trusted-proxy", "127.0.0.1", *extra).start() for _ in range(2)]
        started.extend(servers)
        front = Front(servers)
        started.append(front)
        front.start()
        return Client([front])

    start.kind = request.param
    start.data = data_dir
    start.servers = started
    yield start
    for s in reversed(started):
        s.stop()
