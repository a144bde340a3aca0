"""The shared cache on a real Redis: tiers, slot names, entries, expiry, clearing, single-flight, faults."""

import logging
import subprocess
import sys
import threading
import time
from datetime import date, datetime, timedelta, timezone

import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

pytest.importorskip("pyarrow")
redis = pytest.importorskip("redis")

from redis.backoff import NoBackoff  # noqa: E402
from redis.retry import Retry  # noqa: E402

from private_core.memoguard import BaseMemoguard  # noqa: E402
from private_core.redisstore import RedisStore  # noqa: E402

FRAME = pd.DataFrame({"symbol": ["VNM", "FPT"], "close": [66.5, 115.0],
                      "time": pd.to_datetime(["2024-01-02", "2024-01-03"])})
LOGGER = "private_core.redisstore"


class Client(BaseMemoguard):
    def __init__(self, store):
        super().__init__()
        self._cache = store


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


@pytest.fixture
def pair(redis_client):
    """Two stores on one Redis, as two processes would have."""
    return RedisStore(redis_client, "t"), RedisStore(redis_client, "t")


def random_frame(rng, rows):
    frame = pd.DataFrame({
        "symbol": rng.choice(["VNM", "FPT", "Hòa Phát", None], rows),
        "close": np.where(rng.random(rows) < 0.1, np.nan, rng.normal(50, 10, rows)),
        "volume": rng.integers(0, 10**9, rows),
        "time": pd.Timestamp("2024-01-02") + pd.to_timedelta(rng.integers(0, 10**6, rows), unit="s"),
        "flag": rng.random(rows) < 0.5,
        "nullable": pd.array(np.where(rng.random(rows) < 0.2, None, rng.integers(0, 9, rows)), dtype="Int64"),
        "sector": pd.Categorical(rng.choice(["bank", "energy"], rows)),
        "at": pd.date_range("2024-01-02", periods=rows, freq="h", tz="Asia/Ho_Chi_Minh"),
    })
    return frame[list(rng.permutation(frame.columns))]


@pytest.mark.parametrize("seed", range(6))
def test_random_frames_read_back_identical_in_another_process(pair, seed):
    rng = np.random.default_rng(seed)
    frame = random_frame(rng, int(rng.integers(0, 300)))
    if seed % 2:
        frame = frame.set_index(["symbol", "time"]) if seed % 3 else frame.set_index("time")
    writer, reader = pair
    writer.set("eod", ("K", seed), frame, params={"symbols": ["VNM"], "start": None})
    entry = reader.get("eod", ("K", seed))
    pd.testing.assert_frame_equal(entry.data, frame, check_exact=True, check_index_type=True,
                                  check_column_type=True, check_freq=False)
    assert entry.params == {"symbols": ["VNM"], "start": None}


@pytest.mark.parametrize("value", [
    pd.DataFrame(), pd.DataFrame({0: [1, 2], 1: [3.5, 4.0]}), pd.DataFrame({"s": pd.array(["a", None], dtype="str")}),
    {"data": [{"x": 1, "y": [1.5, None, True, "é"]}]}, [1, "two", None],
    pd.DataFrame({"x": [1, 2, 3]}, index=pd.date_range("2024-01-01", periods=3, freq="B")),  # freq comes back too
    pd.DataFrame({"x": [1, 2]}, index=pd.timedelta_range("1h", periods=2, freq="30min")),
])
def test_other_shareable_values_read_back_equal(pair, value):
    pair[0].set("v", ("k",), value)
    got = pair[1].get("v", ("k",)).data
    if isinstance(value, pd.DataFrame):
        pd.testing.assert_frame_equal(got, value, check_exact=True, check_index_type=True, check_column_type=True)
    else:
        assert got == value and type(got) is type(value)


@pytest.mark.parametrize("value, params", [
    (pd.DataFrame({"mixed": [1, "a"]}), None),          # Arrow cannot write it
    pytest.param(pd.DataFrame({"o": pd.Series(["a"], dtype=object)}), None,  # would read back as str
                 marks=pytest.mark.skipif(int(pd.__version__.split(".")[0]) < 3, reason="pandas 2 keeps object")),
    ({"pair": (1, 2)}, None),                           # a tuple comes back a list
    ({1: "x"}, None),                                    # JSON keys are text
    (object(), None),
    (FRAME, {"when": date(2024, 1, 2)}),
])
def test_unshareable_values_stay_local_with_one_warning_per_namespace(pair, redis_client, caplog, value, params):
    writer, reader = pair
    for key in ("a", "b"):
        assert writer.set("local", (key,), value, params=params).data is value
        assert writer.get("local", (key,)).data is value
        assert reader.get("local", (key,)) is None
    assert len(warnings_of(caplog)) == 1 and "'local'" in warnings_of(caplog)[0]
    assert redis_client.keys("t:*:e") == []


# Keys equal in Python share one slot; any other pair must not.
@pytest.mark.parametrize("stored, asked, same", [
    (("VNM", 1), ("VNM", 1.0), True),
    ((True, None), (1, None), True),
    ((datetime(2024, 1, 2, 7, tzinfo=timezone(timedelta(hours=7))),), (datetime(2024, 1, 2, tzinfo=timezone.utc),), True),
    ((pd.Timestamp("2024-01-02"),), (datetime(2024, 1, 2),), True),
    (("1",), (1,), False),
    ((date(2024, 1, 2),), (datetime(2024, 1, 2),), False),
    ((("a", "b"),), ("a", "b"), False),
    (('a",b',), ("a", "b"), False),
    ((0.5,), (0.25,), False),
    (("a*",), ("ab",), False),
])
def test_slot_names_follow_python_equality(pair, stored, asked, same):
    pair[0].set("eod", stored, FRAME)
    assert (pair[1].get("eod", asked) is not None) is same


class Refusing:
    """A Redis client that fails the test on any command."""

    def get_encoder(self):
        return type("Encoder", (), {"decode_responses": False})()

    def register_script(self, text):
        return self._fail

    def __getattr__(self, name):
        return self._fail

    @staticmethod
    def _fail(*args, **kwargs):
        raise AssertionError("a Redis command was sent")


@pytest.mark.parametrize("key, kind", [(("a", frozenset()), "frozenset"), ((b"raw",), "bytes"),
                                       (("x", 1j), "complex"), ((object(),), "object")])
@pytest.mark.parametrize("method", ["get", "set", "_begin_inflight", "_end_inflight"])
def test_other_key_types_are_refused_before_any_redis_call(key, kind, method):
    store = RedisStore(Refusing())
    args = ("eod", key, FRAME) if method == "set" else ("eod", key)
    with pytest.raises(TypeError, match=f"'{kind}'"):
        getattr(store, method)(*args)


@pytest.mark.parametrize("ttl, pttl", [(None, -1), (timedelta(0), -1), (timedelta(seconds=30), 30_000),
                                       (timedelta(milliseconds=1500), 1_500), (timedelta(seconds=-1), None)])
def test_lifetimes_expire_in_redis_to_the_millisecond(pair, redis_client, ttl, pttl):
    writer, reader = pair
    stored = writer.set("eod", ("VNM",), FRAME, ttl=ttl)
    names = redis_client.keys("t:*:e")
    if pttl is None:
        assert names == [] and reader.get("eod", ("VNM",)) is None
        return
    left = redis_client.pttl(names[0])
    assert left == -1 if pttl == -1 else pttl - 1000 < left <= pttl
    copy = reader.get("eod", ("VNM",))
    assert (copy.fetched_at, copy.expires_at) == (stored.fetched_at, stored.expires_at)


def test_clearing_unlinks_its_own_entries_only(redis_client):
    store, other = RedisStore(redis_client, "t"), RedisStore(redis_client, "u")
    for i in range(1200):  # more than one SCAN batch
        store.set("eod" if i % 2 else "eod*", (i,), [i])
    other.set("eod", (1,), [1])
    store._begin_inflight("eod", (1,))
    store.clear_ns("eod")
    assert store.get("eod", (1,)) is None and len(redis_client.keys("t:*:e")) == 600
    store.clear_all()
    assert redis_client.keys("t:*:e") == [] and len(redis_client.keys("t:*:f")) == 1
    assert other.get("eod", (1,)).data == [1]
    store._end_inflight("eod", (1,))


def test_single_flight_counts_holders_in_redis(pair, redis_client):
    a, b = pair
    assert a._begin_inflight("eod", ("VNM",)) is True
    assert b._begin_inflight("eod", ("VNM",)) is False and a._begin_inflight("eod", ("FPT",)) is True
    assert redis_client.zcard('t:{"eod":("VNM")}:f') == 2
    for store, symbol in ((a, "VNM"), (b, "VNM"), (a, "FPT"), (a, "FPT")):
        store._end_inflight("eod", (symbol,))
    assert redis_client.keys("t:*") == []


def test_history_caller_that_missed_takes_an_entry_stored_before_it_registered(pair):
    a, b = pair
    assert a.get("eod", ("VNM",)) is None
    other_process = threading.Thread(target=b.set, args=("eod", ("VNM",), FRAME))
    other_process.start()
    other_process.join(5)
    assert a._begin_inflight("eod", ("VNM",)) is False  # it waits, and its first look finds the entry
    a._end_inflight("eod", ("VNM",))
    assert a._begin_inflight("eod", ("VNM",)) is True  # no miss just before: a live call fetches anew
    a._end_inflight("eod", ("VNM",))


@pytest.mark.timing
def test_leases_are_renewed_while_a_fetch_runs(redis_client):
    store = RedisStore(redis_client, "t", lease=0.3)
    client, started = Client(store), threading.Event()

    def slow():
        started.set()
        time.sleep(1.0)
        return FRAME

    worker = threading.Thread(target=client._fetch_with_cache, args=("eod", ("VNM",)),
                              kwargs=dict(live=False, fetcher=slow, ttl_live=None, ttl_history=None))
    worker.start()
    started.wait(5)
    time.sleep(0.6)  # two leases: only renewal keeps the holder
    late = RedisStore(redis_client, "t")
    assert late._begin_inflight("eod", ("VNM",)) is False
    late._end_inflight("eod", ("VNM",))
    worker.join(5)


@pytest.mark.parametrize("damage", ["truncate", "garbage", "foreign", "flip", "moved", "untagged", "unexpected tag"])
def test_damaged_entries_are_misses_refetched_and_overwritten(redis_client, caplog, damage):
    secret = None if damage == "unexpected tag" else b"s3cret"
    writer = RedisStore(redis_client, "t", secret=b"s3cret" if damage != "untagged" else None)
    writer.set("eod", ("VNM",), FRAME)
    name = redis_client.keys("t:*:e")[0]
    value = redis_client.get(name)
    target = name
    if damage == "truncate":
        value = value[: len(value) // 2]
    elif damage == "garbage":
        value = bytes(range(256)) * 4
    elif damage == "foreign":
        value = b"\x80\x04\x95 a pickle, say"
    elif damage == "flip":
        value = value[:-40] + bytes([value[-40] ^ 1]) + value[-39:]
    elif damage == "moved":
        target = name.replace(b"VNM", b"FPT")
    redis_client.set(target, value)
    reader = Client(RedisStore(redis_client, "t", secret=secret))
    asked = ("FPT",) if damage == "moved" else ("VNM",)
    calls = []
    got = reader._fetch_with_cache("eod", asked, live=False, fetcher=lambda: calls.append(1) or FRAME,
                                   ttl_live=None, ttl_history=None)
    assert got is FRAME and calls == [1] and len(warnings_of(caplog)) == 1
    assert RedisStore(redis_client, "t", secret=secret).get("eod", asked) is not None  # overwritten


@pytest.fixture
def quick_client(redis_server):
    """A client that fails at once when Redis is down (redis-py 6+ retries with backoff by default)."""
    client = redis_server.client(retry=Retry(NoBackoff(), 0))
    yield client
    client.connection_pool.disconnect()  # the store outlives the test; its sockets must not


def test_redis_outage_falls_back_and_recovers_by_itself(redis_server, redis_client, quick_client, caplog):
    a = Client(RedisStore(quick_client, "t", retry_interval=0.1))
    b = RedisStore(redis_client, "t")
    fetched = []

    def ask(symbol):
        def fetch():
            fetched.append(symbol)
            return FRAME.assign(symbol=symbol)
        frame = a._fetch_with_cache("eod", (symbol,), live=False, fetcher=fetch, ttl_live=None, ttl_history=None)
        assert frame["symbol"].tolist() == [symbol] * 2

    ask("VNM")
    redis_server.stop()
    for symbol in ("VNM", "FPT", "FPT", "HPG"):
        ask(symbol)
    assert fetched == ["VNM", "FPT", "HPG"] and len(warnings_of(caplog)) == 1
    assert a._cache._local._inflight == {}
    redis_server.start()
    deadline = time.monotonic() + 10
    while a._cache._outage and time.monotonic() < deadline:  # the probe notices within retry_interval
        time.sleep(0.02)
    ask("SSI")
    assert b.get("eod", ("SSI",)).data["symbol"].tolist() == ["SSI"] * 2


def test_constructor_checks_and_keeps_the_secret_out_of_sight(redis_server, redis_client):
    with redis_server.client(decode_responses=True) as text_client, pytest.raises(ValueError, match="decode_responses"):
        RedisStore(text_client)
    for bad, error in ((b"", ValueError), (1, TypeError)):
        with pytest.raises(error):
            RedisStore(redis_client, secret=bad)
    for option, value in (("lease", 0), ("lease", 0.001), ("lease", float("nan")), ("retry_interval", 0)):
        with pytest.raises(ValueError, match=option):
            RedisStore(redis_client, **{option: value})
    store = RedisStore(redis_client, secret="hunter2-secret")
    assert "hunter2" not in repr(store) + repr(vars(store))
    for method, args in (("get", ("eod", ("VNM",))), ("_begin_inflight", ("eod", ("VNM",))), ("clear_all", ())):
        with pytest.raises(RuntimeError, match="__init__"):
            getattr(RedisStore.__new__(RedisStore), method)(*args)
    with pytest.raises(TypeError, match="RedisStore"):
        RedisStore.get(object(), "eod", ("VNM",))


def test_processes_exit_cleanly_while_their_leases_are_renewed(redis_server):
    # A renewing thread woken during interpreter shutdown used to crash the process (SIGSEGV).
    script = (f"import time, redis; from private_core.redisstore import RedisStore; "
              f"RedisStore(redis.Redis(port={redis_server.port}), 'exit', lease=0.1)._begin_inflight('ns', ('k',)); "
              f"time.sleep(0.1)")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-X", "dev", "-P", "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("path", ["local hit", "shared hit", "miss", "set", "unshareable", "damaged", "refused key",
                                  "registration", "outage"])
def test_no_path_keeps_memory_or_references(redis_server, redis_client, quick_client, monkeypatch, path):
    from test_leaks import assert_no_leak

    monkeypatch.setattr(logging.getLogger(LOGGER), "disabled", True)  # the damaged path logs every call
    store, reader = RedisStore(redis_client, "t"), RedisStore(redis_client, "t")
    small = pd.DataFrame({"close": [1.0, 2.0]})
    store.set("eod", ("VNM",), small)
    redis_client.set('t:{"eod":("BAD")}:e', b"PCE1F\x00\x00\x00\x00\x05{}")
    key = tuple(["VNM"])  # not the module's shared constant, which other threads may hold
    calls = {
        "local hit": lambda: store.get("eod", key),
        "shared hit": lambda: (reader._local.clear_all(), reader.get("eod", key)),
        "miss": lambda: store.get("eod", ("FPT",)),
        "set": lambda: store.set("eod", key, small, params={"a": 1}),
        "unshareable": lambda: store.set("other", key, object()),
        "damaged": lambda: store.get("eod", ("BAD",)),
        "refused key": lambda: store.set("eod", (b"x",), small),
        "registration": lambda: (store._begin_inflight("eod", key), store._end_inflight("eod", key)),
        "outage": lambda: (store.get("eod", ("FPT",)), store._begin_inflight("eod", key),
                           store._end_inflight("eod", key)),
    }
    if path == "outage":
        redis_server.stop()
        store = RedisStore(quick_client, "t", retry_interval=0.05)
    assert_no_leak(calls[path], expected=TypeError, watched=[small, key])


# A prefix's clear removes its own entries only, whatever the other prefixes are.
@pytest.mark.parametrize("mine, other", [("a", "a:{x"), ("app", "app:{v2}"), ("t", 't:{"eod":(1)}:e:{'),
                                         ("t*", "tx"), ("t", "t:{")])
def test_clearing_leaves_prefixes_that_begin_alike_whole(redis_client, mine, other):
    store, neighbour = RedisStore(redis_client, mine), RedisStore(redis_client, other)
    for each in (store, neighbour):
        each.set("eod", (1,), [1])
        each.set("eod", ("x", 2), [2])
    theirs = sorted(name for name in redis_client.keys("*") if name.startswith(other.encode() + b":{"))
    store.clear_ns("eod")
    store.clear_all()
    assert store.get("eod", (1,)) is None
    assert sorted(name for name in redis_client.keys("*") if name.startswith(other.encode() + b":{")) == theirs
    neighbour._local.clear_all()
    assert neighbour.get("eod", ("x", 2)).data == [2]


def refuse_writes(redis_server, redis_client):
    """A full Redis (OOM): the refusal ends when memory is freed."""
    redis_client.config_set("maxmemory", 1)
    return redis_server.client(), lambda: redis_client.config_set("maxmemory", 0), lambda: None


def refuse_scripts(redis_server, redis_client):
    """An ACL user without scripting: GET and SET are all it may send."""
    redis_client.acl_setuser("noscript", enabled=True, passwords=["+pw"], keys=["*"],
                             commands=["+@all", "-@scripting"])
    client = redis_server.client(username="noscript", password="pw")
    return client, lambda: None, lambda: (client.connection_pool.disconnect(), redis_client.acl_deluser("noscript"))


# An error answer fails the one command it answers: no outage, one warning per kind of error.
@pytest.mark.parametrize("refuse", [refuse_writes, refuse_scripts])
def test_an_error_answer_fails_one_command_and_sharing_goes_on(redis_server, redis_client, caplog, refuse):
    client, lift, cleanup = refuse(redis_server, redis_client)
    writer, reader = RedisStore(client, "t"), RedisStore(redis_client, "t")
    try:
        for symbol in ("VNM", "FPT"):
            writer._begin_inflight("eod", (symbol,))
            assert writer.set("eod", (symbol,), [symbol]).data == [symbol]
            writer._end_inflight("eod", (symbol,))
        shared_while_refused = reader.get("eod", ("FPT",)) is not None
        lift()
        writer.set("eod", ("HPG",), ["HPG"])
        assert reader.get("eod", ("HPG",)).data == ["HPG"] and not writer._outage
    finally:
        lift()
        cleanup()
    assert shared_while_refused is (refuse is refuse_scripts)  # GET and SET alone still share
    assert len(warnings_of(caplog)) == 1 and "refused" in warnings_of(caplog)[0]


def test_a_store_in_a_reference_cycle_is_collected_with_its_threads_done(redis_client):
    import gc
    import weakref

    store = RedisStore(redis_client, "t", lease=0.3)
    store.itself = store  # a cycle through the instance dict, which the collector must see
    before = set(threading.enumerate())
    store._begin_inflight("eod", ("VNM",))
    renewers = [t for t in set(threading.enumerate()) - before if t.name == "private_core.redisstore leases"]
    assert len(renewers) == 1
    store._end_inflight("eod", ("VNM",))
    for renewer in renewers:
        renewer.join(5)  # it ends at its next round, finding no lease held
        assert not renewer.is_alive()
    gone = weakref.ref(store)
    del store
    gc.collect()
    assert gone() is None
    assert redis_client.keys("t:*:f") == []


PREFIX_TEXT = st.text(alphabet='a:{}"(),\\*', min_size=1, max_size=8)
KEY_ELEMENT = st.one_of(st.integers(-3, 3), st.text(alphabet='a:{}"(),\\*', max_size=4), st.none())


# Against the model "a store's names are its own prefix, a slot of it and a kind": whatever two
# prefixes are, clearing one leaves every name the other wrote.
@settings(max_examples=60)
@given(mine=PREFIX_TEXT, other=PREFIX_TEXT, keys=st.lists(st.tuples(KEY_ELEMENT, KEY_ELEMENT), min_size=1, max_size=3),
       namespace=st.sampled_from(["eod", 'e"{', "x}:e"]))
def test_clearing_any_prefix_leaves_any_other_whole(redis_server, mine, other, keys, namespace):
    assume(mine != other)
    with redis_server.client() as client:
        client.flushdb()
        store, neighbour = RedisStore(client, mine), RedisStore(client, other)
        for key in keys:
            store.set(namespace, key, [1])
        ours = set(client.keys("*"))
        for key in keys:
            neighbour.set(namespace, key, [2])
        theirs = set(client.keys("*")) - ours
        assert len(theirs) == len(ours), "two prefixes wrote one name"
        (store.clear_ns if len(keys) % 2 else lambda _: store.clear_all())(namespace)
        assert set(client.keys("*")) == theirs
        client.connection_pool.disconnect()
