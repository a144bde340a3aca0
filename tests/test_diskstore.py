"""The store kept in one directory: tiers, entries, expiry, eviction, damage, permissions, single-flight, faults."""

import logging
import os
import signal
import sqlite3
import stat
import subprocess
import sys
import threading
import time
import types
import warnings
from contextlib import closing
from datetime import timedelta

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow")

from private_core import diskstore  # noqa: E402
from private_core.diskstore import DiskStore  # noqa: E402
from private_core.memoguard import BaseMemoguard  # noqa: E402

FRAME = pd.DataFrame({"symbol": ["VNM", "FPT"], "close": [66.5, 115.0],
                      "time": pd.to_datetime(["2024-01-02", "2024-01-03"])})
LOGGER = "private_core.diskstore"
DB = "cache.sqlite3"


class Client(BaseMemoguard):
    def __init__(self, store):
        super().__init__()
        self._cache = store


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def rows(path, query="SELECT slot, size, expires_at, used_at FROM entries ORDER BY slot"):
    with closing(sqlite3.connect(os.path.join(path, DB))) as conn, conn:
        return conn.execute(query).fetchall()


@pytest.fixture
def clock(monkeypatch):
    """The store's clock (UTC epoch seconds), moved by the test instead of waiting."""
    now = [1_800_000_000.0]
    monkeypatch.setattr(diskstore, "time", types.SimpleNamespace(time=lambda: now[0]))
    return now


@pytest.fixture
def pair(tmp_path):
    """Two stores on one directory, as two processes would have."""
    return DiskStore(tmp_path / "cache"), DiskStore(str(tmp_path / "cache"))


@pytest.mark.parametrize("seed", range(4))
def test_random_frames_and_answers_read_back_identical_through_the_disk(pair, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 200))
    frame = pd.DataFrame({
        "symbol": rng.choice(["VNM", "Hòa Phát", None], n), "volume": rng.integers(0, 10**9, n),
        "close": np.where(rng.random(n) < 0.1, np.nan, rng.normal(50, 10, n)),
        "at": pd.date_range("2024-01-02", periods=n, freq="h", tz="Asia/Ho_Chi_Minh"),
    })
    if seed % 2:
        frame = frame.set_index("at")
    answer = {"data": [{"x": int(v), "y": [1.5, None, "é"]} for v in rng.integers(0, 9, 3)]}
    writer, reader = pair
    writer.set("eod", ("K", seed), frame, params={"symbols": ["VNM"], "start": None})
    writer.set("json", ("K", seed), answer)
    entry = reader.get("eod", ("K", seed))
    pd.testing.assert_frame_equal(entry.data, frame, check_exact=True, check_index_type=True,
                                  check_column_type=True, check_freq=False)
    assert entry.params == {"symbols": ["VNM"], "start": None}
    assert reader.get("json", ("K", seed)).data == answer
    assert reader._local.get("eod", ("K", seed)) is entry  # kept in the local tier


@pytest.mark.parametrize("value, params", [
    (pd.DataFrame({"mixed": [1, "a"]}), None),  # Arrow cannot write it
    ({"pair": (1, 2)}, None),                   # a tuple comes back a list
    (object(), None),
    (FRAME, {"when": object()}),
    (pd.DataFrame({"x": np.zeros(5000)}), None),  # larger than max_bytes
])
def test_unshareable_values_stay_local_with_one_warning_per_namespace(tmp_path, caplog, value, params):
    writer, reader = DiskStore(tmp_path, max_bytes=20_000), DiskStore(tmp_path, max_bytes=20_000)
    for key in ("a", "b"):
        assert writer.set("local", (key,), value, params=params).data is value
        assert writer.get("local", (key,)).data is value
        assert reader.get("local", (key,)) is None
    assert len(warnings_of(caplog)) == 1 and "'local'" in warnings_of(caplog)[0]
    assert rows(tmp_path) == []


@pytest.mark.parametrize("ttl, stored_ms", [(None, None), (timedelta(0), None), (timedelta(seconds=30), 30_000),
                                            (timedelta(milliseconds=1500), 1_500), (timedelta(seconds=-1), "none")])
def test_lifetimes_are_kept_as_absolute_instants(pair, tmp_path, clock, ttl, stored_ms):
    writer, reader = pair
    writer.set("eod", ("VNM",), FRAME, ttl=ttl)
    found = rows(tmp_path / "cache")
    if stored_ms == "none":
        assert found == [] and reader.get("eod", ("VNM",)) is None
        return
    assert found[0][2] == (None if stored_ms is None else round(clock[0] * 1000) + stored_ms)
    assert reader.get("eod", ("VNM",)) is not None


def test_expired_entries_are_removed_not_only_skipped(pair, tmp_path, clock):
    writer, reader = pair
    writer.set("eod", ("VNM",), FRAME, ttl=timedelta(seconds=60))
    writer.set("eod", ("FPT",), FRAME, ttl=timedelta(seconds=60))
    clock[0] += 60
    assert reader.get("eod", ("VNM",)) is None  # expired at the very instant, and removed by the read
    assert [r[0] for r in rows(tmp_path / "cache")] == ['"eod":("FPT")']
    writer.set("eod", ("HPG",), FRAME)  # a write sweeps every expired entry
    assert [r[0] for r in rows(tmp_path / "cache")] == ['"eod":("HPG")']


def test_least_recently_used_entries_go_when_the_store_is_full(tmp_path, clock):
    values = {name: {"pad": name * 3000} for name in "abcd"}  # about 3 kB each
    store = DiskStore(tmp_path, max_bytes=10_000)
    for name in "abc":
        store.set("v", (name,), values[name])
        clock[0] += 2
    store._local.clear_all()
    assert store.get("v", ("a",)) is not None  # "a" is now the most recent
    clock[0] += 2
    store.set("v", ("d",), values["d"])
    kept = [r[0] for r in rows(tmp_path)]
    assert kept == ['"v":("a")', '"v":("c")', '"v":("d")']
    (total,), = rows(tmp_path, "SELECT bytes FROM totals")
    assert total == sum(r[1] for r in rows(tmp_path)) <= 10_000


@pytest.mark.parametrize("damage", ["truncate", "garbage", "pickle", "flip", "moved", "untagged", "unexpected tag"])
def test_damaged_entries_are_misses_refetched_and_overwritten(tmp_path, caplog, damage):
    secret = None if damage == "unexpected tag" else b"s3cret"
    DiskStore(tmp_path, secret=b"s3cret" if damage != "untagged" else None).set("eod", ("VNM",), FRAME)
    (value,), = rows(tmp_path, "SELECT value FROM entries")
    slot = '"eod":("VNM")'
    if damage == "truncate":
        value = value[: len(value) // 2]
    elif damage == "garbage":
        value = bytes(range(256)) * 4
    elif damage == "pickle":
        value = b"\x80\x04\x95 a pickle, say"
    elif damage == "flip":
        value = value[:-40] + bytes([value[-40] ^ 1]) + value[-39:]
    elif damage == "moved":
        slot = '"eod":("FPT")'
    with closing(sqlite3.connect(tmp_path / DB)) as conn, conn:
        conn.execute("INSERT OR REPLACE INTO entries VALUES (?, ?, ?, 0, NULL, 0)", (slot, value, len(value)))
    reader = Client(DiskStore(tmp_path, secret=secret))
    asked = ("FPT",) if damage == "moved" else ("VNM",)
    calls = []
    got = [reader._fetch_with_cache("eod", asked, live=False, fetcher=lambda: calls.append(1) or FRAME,
                                    ttl_live=None, ttl_history=None) for _ in range(2)]
    assert got == [FRAME, FRAME] and calls == [1] and len(warnings_of(caplog)) == 1
    pd.testing.assert_frame_equal(DiskStore(tmp_path, secret=secret).get("eod", asked).data, FRAME)  # overwritten


def test_directory_and_files_are_private_and_keys_never_become_paths(tmp_path):
    root = tmp_path / "new" / "cache"
    store = DiskStore(root)
    for key in (("../../escape",), ("/etc/passwd",), ("a/b\\c\x00",)):
        store.set("../ns", key, FRAME)
        assert DiskStore(root).get("../ns", key) is not None
    assert stat.S_IMODE(os.stat(root).st_mode) == 0o700
    names = sorted(os.listdir(root))
    assert names == [DB, DB + "-shm", DB + "-wal"]
    assert all(stat.S_IMODE(os.stat(root / name).st_mode) == 0o600 for name in names)
    assert sorted(p.name for p in tmp_path.rglob("*")) == sorted(["new", "cache", *names])


@pytest.mark.parametrize("setup", ["parent is a file", "others may write", "database is a link", "foreign file"])
def test_a_directory_that_cannot_be_used_leaves_entries_local_with_one_warning(tmp_path, caplog, clock, setup):
    path = tmp_path / "cache"
    if setup == "parent is a file":
        (tmp_path / "file").write_text("x")
        path = tmp_path / "file" / "cache"
    elif setup == "others may write":
        path.mkdir(mode=0o777)
        os.chmod(path, 0o777)
    elif setup == "database is a link":
        path.mkdir(mode=0o700)
        (path / DB).symlink_to(tmp_path / "elsewhere")
    else:
        path.mkdir(mode=0o700)
        (path / DB).write_bytes(b"not a database at all" * 100)
    client = Client(DiskStore(path))
    for _ in range(3):
        clock[0] += 11  # past the retry delay: each round tries the disk again
        frame = client._fetch_with_cache("eod", ("VNM",), live=False, fetcher=lambda: FRAME, ttl_live=None,
                                         ttl_history=None)
        assert frame is FRAME
        client.clear_cache()
        assert client._cache._begin_inflight("eod", ("VNM",)) is True
        assert client._cache._begin_inflight("eod", ("VNM",)) is False
        client._cache._end_inflight("eod", ("VNM",))
        client._cache._end_inflight("eod", ("VNM",))
    assert len(warnings_of(caplog)) == 1 and str(path) in warnings_of(caplog)[0]
    assert client._cache._local._inflight == {}


def test_the_directory_is_used_again_once_it_works(tmp_path, caplog, clock):
    (tmp_path / "cache").write_text("in the way")
    store = DiskStore(tmp_path / "cache")
    store.set("eod", ("VNM",), FRAME)
    os.remove(tmp_path / "cache")
    store.set("eod", ("FPT",), FRAME)  # too early: still local
    clock[0] += 11
    store.set("eod", ("HPG",), FRAME)
    assert [r[0] for r in rows(tmp_path / "cache")] == ['"eod":("HPG")']
    assert len(warnings_of(caplog)) == 1


def test_a_full_disk_leaves_entries_local_with_one_warning(tmp_path):
    # RLIMIT_FSIZE makes every write past the limit fail as on a full disk.
    script = f"""
import logging, resource, signal, pandas as pd
from private_core.diskstore import DiskStore
logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(message)s")
store = DiskStore({str(tmp_path)!r})
store.set("eod", ("small",), [1])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
for i in range(5):
    big = pd.DataFrame({{"x": range(50_000 + i)}})
    assert store.set("eod", ("big", i), big).data is big and store.get("eod", ("big", i)).data is big
print("served", store.get("eod", ("small",)).data)
"""
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "served [1]"
    assert done.stderr.count("WARNING") == 1 and "cannot be used" in done.stderr
    assert DiskStore(tmp_path).get("eod", ("small",)).data == [1]


def test_single_flight_counts_holders_across_stores_and_frees_lapsed_leases(pair, tmp_path, clock):
    a, b = pair
    assert a._begin_inflight("eod", ("VNM",)) is True
    assert b._begin_inflight("eod", ("VNM",)) is False and a._begin_inflight("eod", ("FPT",)) is True
    tokens = rows(tmp_path / "cache", "SELECT token FROM holders")
    assert len(tokens) == len(set(tokens)) == 3
    clock[0] += 10  # a holder that stopped renewing is freed after its lease
    c = DiskStore(tmp_path / "cache")
    assert c._begin_inflight("eod", ("VNM",)) is True
    for store, symbol in ((a, "VNM"), (b, "VNM"), (c, "VNM"), (a, "FPT"), (a, "FPT")):
        store._end_inflight("eod", (symbol,))
    assert rows(tmp_path / "cache", "SELECT * FROM holders") == []


def test_a_holder_whose_lease_lapsed_does_not_replace_a_newer_entry(pair, clock):
    late, other = pair
    assert late._begin_inflight("eod", ("VNM",)) is True
    clock[0] += 11
    assert other._begin_inflight("eod", ("VNM",)) is True
    other.set("eod", ("VNM",), {"newer": True})
    other._end_inflight("eod", ("VNM",))
    late.set("eod", ("VNM",), {"older": True})
    late._end_inflight("eod", ("VNM",))
    other._local.clear_all()
    assert other.get("eod", ("VNM",)).data == {"newer": True}


def test_a_caller_that_missed_waits_for_an_entry_stored_before_it_registered(pair):
    a, b = pair
    assert a.get("eod", ("VNM",)) is None
    other_process = threading.Thread(target=b.set, args=("eod", ("VNM",), FRAME))
    other_process.start()
    other_process.join(30)
    assert a._begin_inflight("eod", ("VNM",)) is False  # its first look finds the entry
    a._end_inflight("eod", ("VNM",))
    assert a._begin_inflight("eod", ("VNM",)) is True  # no miss just before: a live call fetches anew
    a._end_inflight("eod", ("VNM",))


def forked(child):
    """Runs child() in a forked process; its exit status (-1 when it hung and was killed)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        pid = os.fork()
    if pid == 0:
        ok = False
        try:
            ok = child()
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return -1


def test_forked_children_drop_their_parents_registrations_and_connection(tmp_path):
    store, busy, stop = DiskStore(tmp_path), DiskStore(tmp_path), threading.Event()
    assert store._begin_inflight("eod", ("VNM",)) is True  # starts the renewing thread

    def child():
        store._end_inflight("eod", ("VNM",))  # not the child's: the parent still holds it
        store.set("eod", ("FPT",), [1])
        ok = store._begin_inflight("eod", ("VNM",)) is False and DiskStore(tmp_path).get("eod", ("FPT",))
        store._end_inflight("eod", ("VNM",))
        return ok

    def write_while_forking():  # another thread inside SQLite when the fork comes
        while not stop.is_set():
            busy._begin_inflight("eod", ("HPG",))
            busy._end_inflight("eod", ("HPG",))
            DiskStore(tmp_path).get("eod", ("HPG",))  # opens and closes the database

    writer = threading.Thread(target=write_while_forking)
    writer.start()
    try:
        assert [forked(child) for _ in range(10)] == [0] * 10
    finally:
        stop.set()
        writer.join(30)
    assert len(rows(tmp_path, "SELECT * FROM holders")) == 1
    store._end_inflight("eod", ("VNM",))


@pytest.mark.parametrize("kwargs, error, match", [
    ({"max_bytes": 0}, ValueError, "max_bytes"), ({"max_bytes": "1"}, TypeError, None),
    ({"lease": 0}, ValueError, "lease"), ({"lease": float("nan")}, ValueError, "lease"),
    ({"secret": b""}, ValueError, "secret"), ({"secret": 1}, TypeError, "secret"),
    ({"path": ""}, ValueError, "path"), ({"path": 1}, TypeError, None),
])
def test_constructor_checks_its_arguments(tmp_path, kwargs, error, match):
    kwargs = {"path": tmp_path, **kwargs}
    with pytest.raises(error, match=match):
        DiskStore(kwargs.pop("path"), **kwargs)


def test_the_secret_stays_out_of_sight(tmp_path):
    store = DiskStore(tmp_path, secret="hunter2-secret")
    store.set("eod", ("VNM",), FRAME)
    seen = [repr(getattr(store, name)) for name in dir(store) if not name.startswith("__")]
    assert "hunter2" not in repr(store) + str(seen) + str(rows(tmp_path, "SELECT * FROM entries"))


def test_processes_exit_cleanly_while_their_leases_are_renewed(tmp_path):
    script = (f"import time; from private_core.diskstore import DiskStore; "
              f"DiskStore({str(tmp_path)!r}, lease=0.003)._begin_inflight('ns', ('k',)); time.sleep(0.05)")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-X", "dev", "-P", "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("path", ["local hit", "disk hit", "miss", "set", "unshareable", "damaged", "registration",
                                  "outage"])
def test_no_path_keeps_memory_or_references(tmp_path, monkeypatch, path):
    from test_leaks import assert_no_leak

    monkeypatch.setattr(logging.getLogger(LOGGER), "disabled", True)  # the damaged path logs every call
    store, reader = DiskStore(tmp_path), DiskStore(tmp_path)
    small = pd.DataFrame({"close": [1.0, 2.0]})
    store.set("eod", ("VNM",), small)
    key = tuple(["VNM"])

    def damaged():
        with closing(sqlite3.connect(tmp_path / DB)) as conn, conn:
            conn.execute("INSERT OR REPLACE INTO entries VALUES ('\"eod\":(\"BAD\")', x'00', 1, 0, NULL, 0)")
        return store.get("eod", ("BAD",))

    calls = {
        "local hit": lambda: store.get("eod", key),
        "disk hit": lambda: (reader._local.clear_all(), reader.get("eod", key)),
        "miss": lambda: store.get("eod", ("FPT",)),
        "set": lambda: store.set("eod", key, small, params={"a": 1}),
        "unshareable": lambda: store.set("other", key, object()),
        "damaged": damaged,
        "registration": lambda: (store._begin_inflight("eod", key), store._end_inflight("eod", key)),
        "outage": lambda: (store.get("eod", ("FPT",)), store._begin_inflight("eod", key),
                           store._end_inflight("eod", key)),
    }
    if path == "outage":
        (tmp_path / "file").write_text("x")
        store = DiskStore(tmp_path / "file")
    assert_no_leak(calls[path], watched=[small, key])


def test_clearing_removes_its_namespace_only_and_leaves_registrations(pair, tmp_path):
    a, b = pair
    for ns in ("eod", "eod2", 'eod"', "eo", "intraday"):
        for i in range(3):
            a.set(ns, (i,), [i])
    b._begin_inflight("eod", (1,))
    a.clear_ns("eod")
    assert a.get("eod", (1,)) is None and b._local.get("eod", (1,)) is None
    assert sorted({r[0].split(":(")[0] for r in rows(tmp_path / "cache")}) == ['"eo"', '"eod2"', '"eod\\""',
                                                                              '"intraday"']
    b.clear_all()
    assert rows(tmp_path / "cache") == [] and a._local.get("eo", (1,)).data == [1]  # a's local copy stays
    assert len(rows(tmp_path / "cache", "SELECT * FROM holders")) == 1
    b._end_inflight("eod", (1,))
