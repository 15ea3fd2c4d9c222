import tempfile

import pytest

from serverlib import Client, Postgres, Server, Setup


@pytest.fixture(scope="session")
def postgres():
    cluster = Postgres().start()
    yield cluster
    cluster.stop()


@pytest.fixture
def data_dir():
    with tempfile.TemporaryDirectory(prefix="crashserver-data-") as d:
        yield d


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
