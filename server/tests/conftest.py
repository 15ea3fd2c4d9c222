import os
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from serverlib import Client, Postgres, Server  # noqa: E402


@pytest.fixture(scope="session")
def postgres():
    cluster = Postgres().start()
    yield cluster
    cluster.stop()


@pytest.fixture
def data_dir():
    with tempfile.TemporaryDirectory(prefix="crashserver-data-") as d:
        yield d


@pytest.fixture(params=["sqlite", "postgres"])
def backend(request, data_dir):
    """Servers on the chosen back end and a client over them; PostgreSQL runs two server processes
    that share one database and one archive folder, and the client alternates between them."""
    started = []

    def start(*extra):
        if request.param == "postgres":
            dsn = request.getfixturevalue("postgres").new_database()
            started.extend(Server(data_dir, "--database", dsn, *extra).start() for _ in range(2))
        else:
            started.append(Server(data_dir, *extra).start())
        return Client(started)

    start.kind = request.param
    start.data = data_dir
    yield start
    for s in started:
        s.stop()
