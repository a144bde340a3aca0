"""Shared fixtures: a local HTTP server and sessions pointed at it.

A test that asserts on wall-clock time is marked `@pytest.mark.timing` (a whole file: `pytestmark = pytest.mark.timing`).
"""

import json
import os
import pathlib
import signal
import socket
import sys

import pytest

from private_core.wirelink import HttpSession

KEY = "secret-key"


@pytest.fixture(scope="session")
def httpserver_listen_address():
    return ("127.0.0.1", 0)


@pytest.fixture
def base_url(httpserver):
    return httpserver.url_for("/api/v1/tessaro")


@pytest.fixture
def session(base_url):
    with HttpSession(KEY, base_url=base_url) as s:
        yield s


@pytest.fixture
def sent(session):
    """Keyword arguments of every call the session hands to requests."""
    calls = []
    real = session._session.request

    def recording(method, url, **kwargs):
        calls.append({"method": method, "url": url, **kwargs})
        return real(method, url, **kwargs)

    session._session.request = recording
    return calls


@pytest.fixture
def closed_url():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}/api"


def only_request(httpserver):
    assert len(httpserver.log) == 1
    return httpserver.log[0][0]


def json_of(request):
    return json.loads(request.get_data())  # keeps the key order of the body


def records(caplog, name):
    return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == name]


# The local service and the demo's client live outside the package, beside it.
ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "service"), str(ROOT / "demo")]


@pytest.fixture(scope="module")
def local():
    """The built-in local service on a free port, stopped (socket closed) after the module's tests."""
    import local_service

    with local_service.LocalService() as service:
        yield service


def needs(module, name):
    """Skip until ``module`` provides ``name`` (fetchers built on other branches)."""
    return pytest.mark.skipif(not hasattr(module, name), reason=f"{module.__name__}.{name} is not built yet")


# Property tests run the same examples on every run and keep no example database
# in the tree; shrinking a failure stays quick.
from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile("gates", derandomize=True, database=None, deadline=None, print_blob=False,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("gates")

# Set by `make sanitize`: the build under test checks every memory access.
SANITIZED = bool(os.environ.get("PC_SANITIZED"))


def examples(n):
    """A property's example count: a quarter under the sanitizers, which check the
    memory the code touches (a few inputs of each shape reach it); the normal run
    checks the results on all of them."""
    return n // 4 if SANITIZED else n


@pytest.fixture(scope="session")
def redis_server():
    """A private redis-server for the session (see service/redis_server.py); skipped where none is installed."""
    import redis_server as launcher

    if launcher.redis_server_path() is None:
        pytest.skip("redis-server is not installed; `make test` installs it where the machine allows")
    with launcher.RedisServer() as server:
        yield server


@pytest.fixture
def redis_client(redis_server):
    """A redis-py client of the session's server, its database emptied before each test."""
    redis_server.start()  # a test may have stopped it
    client = redis_server.client()
    client.flushdb()
    yield client
    client.close()
    client.connection_pool.disconnect()  # redis-py 5.0's close() leaves the pool's sockets open


# The suite runs on two workers (pytest -n 2 --dist loadgroup): every test marked
# `timing` goes to one of them and runs alone there, so no two of them ever share
# the machine; the other worker keeps running the rest.
# xdist groups a test by a suffix it appends to the test's node id; where
# pytest ignores that (pytest-xdist#1386), the groups are silently spread
# over both workers, so a worker stops the run instead.
@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_collection_modifyitems(config, items):
    for item in items:
        if item.get_closest_marker("timing"):
            item.add_marker(pytest.mark.xdist_group("timing"))
    yield
    if getattr(config.option, "loadgroup", False):
        lost = [item.nodeid for item in items if item.get_closest_marker("xdist_group") and "@" not in item.nodeid]
        if lost:
            raise pytest.UsageError(f"pytest-xdist did not group {lost[0]} (and {len(lost) - 1} more): this "
                                    "pytest is one whose node ids it cannot extend; install requirements-dev.txt")


@pytest.fixture
def sigint_raises():
    """Ctrl-C raises KeyboardInterrupt during the test, also when the suite was started with SIGINT ignored
    (in the background of a non-interactive shell); a child process started meanwhile gets the default too."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)
