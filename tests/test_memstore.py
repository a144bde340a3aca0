"""Tests for the frame store: entries, expiry, the single-flight registry, dates."""

import dataclasses
import inspect
import random
import threading
import time
from collections import OrderedDict
from datetime import date, datetime, timedelta
from typing import Hashable, Tuple

import pytest

from private_core import memstore
from private_core.memstore import CacheEntry, _Cache, is_today, to_date

NOW = datetime(2024, 3, 5, 10, 0, 0)


class FrozenClock(datetime):
    current = NOW

    @classmethod
    def now(cls, tz=None):
        return cls.current


@pytest.fixture
def clock(monkeypatch):
    FrozenClock.current = NOW
    monkeypatch.setattr(memstore, "datetime", FrozenClock)
    return FrozenClock


def test_module_surface():
    names = [n for n in vars(memstore) if not n.startswith("__")]
    assert names == ["dataclass", "field", "date", "datetime", "timedelta", "RLock", "Any", "Dict", "Hashable",
                     "Optional", "Tuple", "pd", "CacheKey", "Namespace", "CacheEntry", "_Cache", "to_date", "is_today"]
    assert memstore.__all__ == ["_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"]
    assert memstore.CacheKey == Tuple[Hashable, ...] and memstore.Namespace is str
    assert _Cache.__doc__ == "Namespace-keyed cache with optional TTL and (optional) singleflight.\nThread-safe via RLock."
    assert _Cache._begin_inflight.__doc__.endswith("\n\nReturns True if caller should fetch; False if another fetch in progress.")
    assert str(inspect.signature(_Cache.set)) == (
        "(self, ns: 'Namespace', key: 'CacheKey', data: 'pd.DataFrame', *, params: 'Optional[Dict[str, Any]]' = None, "
        "ttl: 'Optional[timedelta]' = None) -> 'CacheEntry'")
    fields = dataclasses.fields(CacheEntry)
    assert [(f.name, f.type) for f in fields] == [("data", "pd.DataFrame"), ("fetched_at", "datetime"),
                                                  ("params", "Dict[str, Any]"), ("expires_at", "Optional[datetime]")]
    a, b = CacheEntry("df", NOW), CacheEntry("df", NOW)
    assert a == b and a.params is not b.params and a.expires_at is None
    with pytest.raises(TypeError):
        hash(a)


@pytest.mark.parametrize("ttl, expires", [(None, None), (timedelta(0), None), (timedelta(seconds=5), NOW + timedelta(seconds=5))])
def test_ttl_sets_expiry(clock, ttl, expires):
    cache = _Cache()
    entry = cache.set("eod", ("VNM",), "df", ttl=ttl)
    assert (entry.fetched_at, entry.expires_at) == (NOW, expires)
    clock.current = NOW + timedelta(days=365)
    assert cache.get("eod", ("VNM",)) is (entry if expires is None else None)


@pytest.mark.parametrize("offset, expired", [(timedelta(microseconds=-1), False), (timedelta(0), True)])
def test_expiry_boundary(clock, offset, expired):
    cache = _Cache()
    entry = cache.set("eod", ("VNM",), "df", ttl=timedelta(seconds=5))
    clock.current = entry.expires_at + offset
    assert entry.is_expired() is expired
    assert cache.get("eod", ("VNM",)) is (None if expired else entry)


def test_expired_entry_is_dropped_but_namespace_stays():
    cache = _Cache()
    cache.set("eod", ("VNM",), "df", ttl=timedelta(seconds=-1))
    assert cache.get("eod", ("VNM",)) is None
    assert cache._store == {"eod": {}}
    cache.clear_ns("eod")
    cache.clear_ns("eod")
    assert cache._store == {}


@pytest.mark.parametrize("ns, key", [("never", ("VNM",)), ("empty", ("VNM",)), ("eod", ("FPT",))])
def test_get_misses_create_nothing(ns, key):
    cache = _Cache()
    cache.set("eod", ("VNM",), "df")
    cache._store["empty"] = {}
    assert cache.get(ns, key) is None
    assert cache._store == {"eod": {("VNM",): cache.get("eod", ("VNM",))}, "empty": {}}


def test_params_identity_and_replacement():
    cache = _Cache()
    given_empty, given = {}, {"symbol": "VNM"}
    assert cache.set("eod", (1,), "a", params=given_empty).params is not given_empty
    assert cache.set("eod", (1,), "b", params=given).params is given
    assert cache.get("eod", (1,)).data == "b"
    with pytest.raises(TypeError, match=r"^Argument 'params' has incorrect type \(expected dict, got collections.OrderedDict\)$"):
        cache.set("eod", (2,), "c", params=OrderedDict())
    assert list(cache._store["eod"]) == [(1,)]


@pytest.mark.parametrize("call", [lambda c: c.get("eod", [1]), lambda c: c.set("eod", [1], "df"),
                                  lambda c: c.set("eod", (1,), "df", ttl=5), lambda c: c._begin_inflight("eod", [1])])
def test_failures_release_the_lock(call):
    cache = _Cache()
    cache.set("eod", (0,), "df")
    with pytest.raises(TypeError):
        call(cache)
    acquired = []
    worker = threading.Thread(target=lambda: acquired.append(cache._lock.acquire(blocking=False)))
    worker.start()
    worker.join()
    assert acquired == [True]
    assert list(cache._store) == ["eod"] and cache._inflight == {}


def test_singleflight_registry():
    cache = _Cache()
    assert [cache._begin_inflight("eod", (1,)), cache._begin_inflight("eod", (1,))] == [True, False]
    assert cache._begin_inflight("eod", (2,)) and cache._begin_inflight("intraday", (1,))
    cache.clear_all()
    assert cache._inflight[("eod", (1,))] == 2
    for _ in range(3):
        cache._end_inflight("eod", (1,))
    assert cache._inflight == {("eod", (2,)): 1, ("intraday", (1,)): 1}


@pytest.mark.parametrize("flag", [False, 0, ""])
def test_singleflight_disabled(flag):
    cache = _Cache(flag)
    assert cache._inflight is None and cache._singleflight is False
    assert cache._begin_inflight("eod", (1,)) and cache._begin_inflight("eod", (1,))
    assert cache._end_inflight("eod", (1,)) is None


def test_patched_methods_and_locks_are_honoured():
    cache = _Cache()
    entry = cache.set("eod", (1,), "df")
    entry.is_expired = lambda: True  # an instance attribute shadows the method
    assert cache.get("eod", (1,)) is None
    calls = []
    inner = cache._lock

    class CountingLock:
        def __enter__(self):
            calls.append("enter")
            return inner.__enter__()

        def __exit__(self, *exc_info):
            calls.append("exit")
            return inner.__exit__(*exc_info)

    cache._lock = CountingLock()
    cache.set("eod", (1,), "df")
    original = CacheEntry.is_expired
    try:
        CacheEntry.is_expired = lambda self: True
        assert cache.get("eod", (1,)) is None
    finally:
        CacheEntry.is_expired = original
    assert calls == ["enter", "exit"] * 2


class AcquireReleaseOnly:
    def acquire(self):
        raise AssertionError("a lock is used as a context manager")

    release = acquire


class SwallowingLock:
    """Its __exit__ swallows errors, which ends the with statement quietly."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return True


def test_lock_is_used_as_a_context_manager():
    cache = _Cache()
    cache.set("eod", (1,), "df")
    cache._lock = AcquireReleaseOnly()
    with pytest.raises(TypeError, match="does not support the context manager protocol"):
        cache.get("eod", (1,))
    cache._lock = SwallowingLock()
    cache._store = None  # every store operation now fails inside the lock
    assert cache.get("eod", (1,)) is None
    assert cache.clear_ns("eod") is None


@pytest.mark.parametrize("value, expected", [
    ("2024-03-05", date(2024, 3, 5)), (datetime(2024, 3, 5, 23, 59), date(2024, 3, 5)), (date(2024, 3, 5), date(2024, 3, 5)),
])
def test_to_date(value, expected):
    result = to_date(value)
    assert result == expected and type(result) is date
    if type(value) is date:
        assert result is value


@pytest.mark.parametrize("value, message", [
    ("2024/03/05", "does not match format"), ("2024-03-05 10:00", "unconverted data remains"),
    (20240305, r"^Unsupported date type: <class 'int'>$"),
])
def test_to_date_rejects(value, message):
    with pytest.raises(ValueError, match=message):
        to_date(value)


def test_is_today():
    assert is_today(None) and is_today(datetime.now()) and not is_today(date.today() - timedelta(days=1))


def test_concurrent_use_leaves_a_consistent_store():
    cache = _Cache()
    frames = [object() for _ in range(4)]
    slots = [(ns, (k,)) for ns in ("eod", "intraday") for k in range(3)]
    errors = []
    deadline = time.monotonic() + 1.0

    def worker(seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < deadline:
                ns, key = rng.choice(slots)
                op = rng.randrange(6)
                if op == 0:
                    cache.set(ns, key, rng.choice(frames), ttl=rng.choice([None, timedelta(seconds=-1)]))
                elif op == 1:
                    entry = cache.get(ns, key)
                    assert entry is None or entry.data in frames
                elif op == 2:
                    cache.clear_ns(ns) if rng.random() < 0.9 else cache.clear_all()
                elif op == 3:
                    cache._begin_inflight(ns, key)
                    cache.get(ns, key)
                    cache._end_inflight(ns, key)
                elif op == 4:
                    with pytest.raises(TypeError):
                        cache.set(ns, [key], frames[0])
                else:
                    with cache._lock:  # re-entrant: store calls while holding it
                        cache.set(ns, key, frames[0])
                        assert cache.get(ns, key).data is frames[0]
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert not errors
    assert cache._inflight == {}
    assert cache._lock.acquire(blocking=False)
    for ns, bucket in cache._store.items():
        assert type(bucket) is dict
        assert all((ns, key) in slots and type(entry) is CacheEntry and entry.data in frames for key, entry in bucket.items())
