"""Tests for the cached-fetch mixin: hits, lifetimes, single-flight with real threads."""

import threading
import time
from collections import Counter
from datetime import timedelta

import pandas as pd
import pytest

from private_core import memoguard, memstore
from private_core.memoguard import BaseMemoguard

SLOT = ("eod", ("VNM", "2024-01-02", "2024-03-05"))
MISSING = object()


class TracingCache(memstore._Cache):
    """A store that counts its calls and lets tests wait for registrations."""

    def __init__(self, enable_singleflight=True):
        super().__init__(enable_singleflight)
        self.calls = Counter()
        self.changed = threading.Condition()

    def _count(self, name):
        with self.changed:
            self.calls[name] += 1
            self.changed.notify_all()

    def get(self, ns, key):
        self._count("get")
        return super().get(ns, key)

    def _begin_inflight(self, ns, key):
        result = super()._begin_inflight(ns, key)
        self._count("begin")
        return result

    def wait_for_begins(self, count):
        with self.changed:
            assert self.changed.wait_for(lambda: self.calls["begin"] >= count, timeout=5)


class Client(BaseMemoguard):
    pass


class FakeTime:
    def __init__(self, on_sleep=None):
        self.now, self.sleeps, self.on_sleep = 0.0, [], on_sleep

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
        if self.on_sleep:
            self.on_sleep(len(self.sleeps))


@pytest.fixture
def client(monkeypatch):
    monkeypatch.setattr(memoguard, "_Cache", TracingCache)  # read when the client is built
    return Client()


def fetch(client, fetcher, *, live=False, slot=SLOT, **kwargs):
    kwargs = {"ttl_live": timedelta(minutes=1), "ttl_history": None, **kwargs}
    return client._fetch_with_cache(*slot, live=live, fetcher=fetcher, **kwargs)


def run_threads(*targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    return threads, errors


def join(threads, errors):
    for thread in threads:
        thread.join(10)
    assert not errors and not any(t.is_alive() for t in threads)


def test_module_surface():
    names = [n for n in vars(memoguard) if not n.startswith("__")]
    assert names == ["time", "timedelta", "Any", "Callable", "Dict", "Optional", "pd", "CacheKey", "Namespace",
                     "_Cache", "BaseMemoguard"]
    assert memoguard.__all__ == ["BaseMemoguard"] and memoguard._Cache is memstore._Cache
    assert BaseMemoguard.__init__.__doc__ == "__init__(self, *args, **kwargs)"
    assert BaseMemoguard._fetch_with_cache.__doc__.endswith("\n\nShared helper encapsulating get/set + singleflight orchestration.")


def test_history_hit_skips_fetch_and_registry(client):
    frame = pd.DataFrame({"close": [1.0]})
    client._cache.set(*SLOT, frame)
    assert fetch(client, fetcher=None) is frame
    assert client._cache.calls == {"get": 1}


@pytest.mark.parametrize("live, ttl_live, ttl_history, expiring", [
    (True, timedelta(minutes=1), timedelta(days=1), True), (True, None, timedelta(days=1), False),
    (False, timedelta(minutes=1), None, False), (False, None, timedelta(days=1), True),
])
def test_fetch_stores_with_the_matching_lifetime(client, live, ttl_live, ttl_history, expiring):
    client._cache.set(*SLOT, "stale", ttl=timedelta(seconds=-1) if not live else None)
    frame, params = pd.DataFrame(), {"symbol": "VNM"}
    assert fetch(client, lambda: frame, live=live, ttl_live=ttl_live, ttl_history=ttl_history, params=params) is frame
    entry = client._cache.get(*SLOT)
    assert entry.data is frame and entry.params is params and (entry.expires_at is not None) is expiring
    assert client._cache._inflight == {}


@pytest.mark.parametrize("live", [False, True])
def test_fetch_errors_propagate_and_end_the_registration(client, live):
    def failing():
        raise LookupError("boom")

    with pytest.raises(LookupError, match="boom") as info:
        fetch(client, failing, live=live)
    assert info.value.__cause__ is None and client._cache._inflight == {} and client._cache._store == {}


@pytest.mark.parametrize("kwargs, message", [
    ({"params": []}, r"^Argument 'params' has incorrect type \(expected dict, got list\)$"),
    ({"wait_timeout": "1"}, "must be real number, not str"),
    ({"wait_interval": None}, "must be real number, not NoneType"),
    ({"ttl_history": MISSING}, r"^_fetch_with_cache\(\) needs keyword-only argument ttl_history$"),
])
def test_argument_checks_come_first(client, kwargs, message):
    kwargs = {"live": False, "fetcher": lambda: 1, "ttl_live": None, "ttl_history": None, **kwargs}
    kwargs = {name: value for name, value in kwargs.items() if value is not MISSING}
    with pytest.raises(TypeError, match=message):
        client._fetch_with_cache(*SLOT, **kwargs)
    assert not client._cache.calls


@pytest.mark.parametrize("live", [False, True])
def test_overlapping_calls_share_one_fetch(client, live):
    frame, fetched = pd.DataFrame({"close": [1.0]}), []
    start, results = threading.Barrier(16), []

    def fetcher():
        fetched.append(1)
        client._cache.wait_for_begins(16)  # everyone has registered before the result lands
        return frame

    def caller():
        start.wait(5)
        results.append(fetch(client, fetcher, live=live, wait_timeout=10, wait_interval=0.001))

    join(*run_threads(*[caller] * 16))
    assert len(fetched) == 1 and len(results) == 16 and all(r is frame for r in results)
    assert client._cache._inflight == {}


def test_slow_fetch_lets_a_waiter_fetch_itself(client):
    entered, release, first, second = threading.Event(), threading.Event(), object(), object()

    def slow():
        entered.set()
        release.wait(5)
        return first

    threads, errors = run_threads(lambda: fetch(client, slow))
    assert entered.wait(5)
    assert fetch(client, lambda: second, wait_timeout=0.05, wait_interval=0.01) is second
    release.set()
    join(threads, errors)
    assert client._cache.get(*SLOT).data is first and client._cache._inflight == {}


def test_failed_fetch_leaves_waiters_to_fetch_alone(client):
    entered, outcome, frame = threading.Event(), [], object()

    def failing():
        entered.set()
        client._cache.wait_for_begins(2)
        raise ConnectionError("down")

    def first_caller():
        with pytest.raises(ConnectionError):
            fetch(client, failing)
        outcome.append("failed")

    threads, errors = run_threads(first_caller)
    assert entered.wait(5)
    assert fetch(client, lambda: frame, wait_timeout=0.2, wait_interval=0.01) is frame
    join(threads, errors)
    assert outcome == ["failed"] and client._cache.get(*SLOT).data is frame and client._cache._inflight == {}


def test_other_slots_never_wait(client, monkeypatch):
    class NoSleep:
        monotonic = staticmethod(time.monotonic)

        @staticmethod
        def sleep(seconds):
            raise AssertionError("a call on another slot waited")

    monkeypatch.setattr(memoguard, "time", NoSleep)
    entered, release = threading.Event(), threading.Event()
    threads, errors = run_threads(lambda: fetch(client, lambda: entered.set() or release.wait(5)))
    assert entered.wait(5)
    for slot in [("eod", ("FPT",)), ("intraday", SLOT[1])]:
        assert fetch(client, lambda: slot, slot=slot, wait_timeout=60) is slot
    release.set()
    join(threads, errors)


@pytest.mark.parametrize("appears_after, polls, sleeps, fetched", [(None, 4, 4, True), (2, 3, 2, False)])
def test_waiting_polls_until_the_deadline(client, monkeypatch, appears_after, polls, sleeps, fetched):
    frame, other = object(), object()
    clock = FakeTime(lambda n: n == appears_after and client._cache.set(*SLOT, other))
    monkeypatch.setattr(memoguard, "time", clock)
    client._cache._begin_inflight(*SLOT)  # someone else is fetching
    result = fetch(client, lambda: frame, live=True, wait_timeout=1.0, wait_interval=0.25)
    assert result is (frame if fetched else other)
    assert client._cache.calls["get"] == polls and clock.sleeps == [0.25] * sleeps
    assert client._cache._inflight == {SLOT: 1}


@pytest.mark.parametrize("timeout", [0, -1.0])
def test_no_wait_budget_fetches_at_once(client, monkeypatch, timeout):
    monkeypatch.setattr(memoguard, "time", FakeTime())
    client._cache._begin_inflight(*SLOT)
    assert fetch(client, lambda: "mine", live=True, wait_timeout=timeout) == "mine"
    assert client._cache.calls["get"] == 0


@pytest.mark.parametrize("args, left", [((), []), ((None,), []), (("",), []), (("eod",), ["intraday"]), ((1,), None)])
def test_clear_cache(client, args, left):
    for ns in ("eod", "intraday"):
        client._cache.set(ns, (1,), "df")
    if left is None:
        with pytest.raises(TypeError, match=r"^Argument 'ns' has incorrect type \(expected str, got int\)$"):
            client.clear_cache(*args)
        return
    assert client.clear_cache(*args) is None
    assert list(client._cache._store) == left


def test_cooperates_with_other_bases():
    class Session:
        def __init__(self, token, *, timeout=5):
            self.token, self.timeout = token, timeout

    class Api(BaseMemoguard, Session):
        pass

    api = Api("key", timeout=9)
    assert (api.token, api.timeout, type(api._cache)) == ("key", 9, memstore._Cache)
    assert api._cache._singleflight is True
    with pytest.raises(TypeError):
        Client("unexpected")  # object.__init__ receives everything
