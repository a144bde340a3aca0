"""The shared cache's read paths against their floors.

A local-tier hit of ``RedisStore`` against the same read written in plain
Python (a dict-and-lock cache, ``_reference.Cache``, in front of Redis), and,
for information, against that bare cache; a Redis-tier hit of a
1,000-row frame against the floor no reader of that entry can beat: a bare
redis-py GET of the same bytes plus a pyarrow IPC read of them into a frame.

The fleet's cold round: 8 spawned processes ask for the same 38 end-of-day
frames from a service answering in 20 ms, each process through its own
client whose cache is a ``RedisStore`` on one Redis, against the same round
through dogpile.cache's Redis backend with its distributed lock (a
development dependency of this benchmark only; the row is skipped with a note
where it is not installed).  Best of alternating runs, Redis emptied before each.

Runs its own redis-server on a free loopback port (skipped, exit 0, where
none is installed).  Run: ``python bench/bench_redisstore.py``.
"""

from __future__ import annotations

import pathlib
import sys
import time
import timeit

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "service"), str(HERE.parent / "demo")]

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from _reference import Cache as PyCache  # noqa: E402
from _reference import Memoguard as PyMemoguard  # noqa: E402
from _report import Row, report  # noqa: E402
from redis_server import RedisServer, redis_server_path  # noqa: E402

from private_core.memoguard import BaseMemoguard  # noqa: E402

LOCAL_TARGET = 2.0
REDIS_TARGET = 1 / 1.5  # within 1.5x of the floor
ROUNDS = 25
LOCAL_NUMBER, REDIS_NUMBER = 20_000, 20
FLEET_WORKERS, FLEET_LATENCY, FLEET_RUNS = 8, 0.02, 4
FLEET_TARGET = 1.0  # the cold round at least as fast as dogpile.cache's
KEY = ("VNM", "2024-01-02", "2024-03-05")


def thousand_rows() -> pd.DataFrame:
    rng = np.random.default_rng(7)
    return pd.DataFrame({
        "symbol": rng.choice(["VNM", "FPT", "HPG"], 1000),
        "time": pd.date_range("2020-01-02", periods=1000, freq="D"),
        "open": rng.normal(50, 5, 1000), "high": rng.normal(52, 5, 1000), "low": rng.normal(48, 5, 1000),
        "close": rng.normal(50, 5, 1000), "volume": rng.integers(0, 10**7, 1000),
    })


class NativeClient(BaseMemoguard):
    pass


class PyTwoTier:
    """The same local-tier read written in plain Python: a dict-and-lock cache in front of Redis."""

    def __init__(self, frame):
        self._local = PyCache()
        self._local.set("eod", KEY, frame)

    def get(self, ns, key):
        hit = self._local.get(ns, key)
        if hit is not None:
            return hit
        raise AssertionError("the benchmark reads hits only")


def dogpile_worker(base_url, api_key, redis_url, symbols, rounds, barrier, results, make_client=None):
    """`fleet.eod_worker` with dogpile.cache's Redis backend and distributed lock as the shared cache."""
    from client import MarketClient
    from dogpile.cache import make_region
    from fleet import END, START, TIMEOUT, fingerprint

    from private_core import daybars

    region = make_region().configure("dogpile.cache.redis", arguments={
        "url": redis_url, "distributed_lock": True, "thread_local_lock": False, "lock_timeout": 60,
        "redis_expiration_time": 600})
    with MarketClient(api_key, base_url=base_url) as client:
        def eod(symbol):
            return region.get_or_create(f"eod:{symbol}:{START}:{END}", lambda: daybars.fetch_ohlcv(
                client.session, symbol, START, END, show_progress=False))

        for round_number in range(rounds):
            barrier.wait(TIMEOUT)
            results.put((round_number, [fingerprint(eod(symbol)) for symbol in symbols]))


def cold_round_rows(server) -> list[Row]:
    """The fleet's cold round, ours against dogpile.cache's (skipped where it is not installed)."""
    try:
        import dogpile.cache  # noqa: F401
    except ImportError:
        print("bench_redisstore: the cold-round row is skipped, dogpile.cache is not installed "
              "(pip install -r requirements-dev.txt)")
        return []
    import local_service
    from fleet import eod_worker, run_fleet

    symbols = list(local_service.STOCKS)
    best = {"ours": float("inf"), "dogpile": float("inf")}
    requests = {}
    with local_service.LocalService(latency=FLEET_LATENCY) as service:
        for _ in range(FLEET_RUNS):
            for side, worker in (("ours", eod_worker), ("dogpile", dogpile_worker)):
                admin = server.client()
                admin.flushdb()
                admin.connection_pool.disconnect()
                before, durations = service.count("/market-data/eod/ohlcv"), []
                run_fleet(service.base_url, service.api_key, server.url, symbols, workers=FLEET_WORKERS,
                          worker=worker, durations=durations)
                best[side] = min(best[side], durations[0] * 1e9)
                requests[side] = service.count("/market-data/eod/ohlcv") - before
    print(f"bench_redisstore: cold round, requests to the service per run: {requests}")
    name = (f"cold round, {FLEET_WORKERS} processes x {len(symbols)} keys at {FLEET_LATENCY * 1000:.0f} ms "
            f"vs dogpile.cache's Redis backend with its distributed lock")
    return [Row(name, best["ours"], best["dogpile"], FLEET_TARGET)]


def main() -> int:
    if redis_server_path() is None:
        print("bench_redisstore: skipped, redis-server is not installed")
        return 0
    import pyarrow as pa
    import pyarrow.ipc  # noqa: F401

    from private_core.redisstore import RedisStore

    frame = thousand_rows()
    with RedisServer() as server:
        redis = server.client()
        store = RedisStore(redis, "bench")
        store.set("eod", KEY, frame)
        client = NativeClient()
        client._cache = store
        py_cache, py_client = PyCache(), PyMemoguard()
        py_cache.set("eod", KEY, frame)
        py_client._cache.set("eod", KEY, frame)
        name = redis.keys("bench:*:e")[0]
        stored = redis.get(name)
        offset = 10 + int.from_bytes(stored[6:10], "big")  # the Arrow stream follows the header and the meta
        reader = RedisStore(redis, "bench")
        assert reader.get("eod", KEY) is not None

        env = {"store": store, "client": client, "py_cache": py_cache, "py_client": py_client, "key": KEY,
               "fetch": lambda: frame, "reader": reader, "redis": redis, "name": name, "pa": pa,
               "offset": offset, "two_tier": PyTwoTier(frame)}
        # name -> (ours, reference, number, target)
        cases = {
            "get, local-tier hit vs the same store in Python": (
                "store.get('eod', key)", "two_tier.get('eod', key)", LOCAL_NUMBER, LOCAL_TARGET),
            "get, local-tier hit vs a bare dict-and-lock cache": (
                "store.get('eod', key)", "py_cache.get('eod', key)", LOCAL_NUMBER, None),
            "_fetch_with_cache, local-tier hit": (
                "client._fetch_with_cache('eod', key, live=False, fetcher=fetch, ttl_live=None, ttl_history=None)",
                "py_client._fetch_with_cache('eod', key, live=False, fetcher=fetch, ttl_live=None, ttl_history=None)",
                LOCAL_NUMBER, None),
            "get, Redis-tier hit of 1,000 rows vs GET + IPC read": (
                "reader._local.clear_all(); reader.get('eod', key)",
                "pa.ipc.open_stream(memoryview(redis.get(name))[offset:]).read_all().to_pandas()",
                REDIS_NUMBER, REDIS_TARGET),
        }
        timers = {(side, case): timeit.Timer(stmt, globals=env, timer=time.perf_counter_ns)
                  for case, (ours, ref, _, _) in cases.items() for side, stmt in (("ours", ours), ("ref", ref))}
        best = dict.fromkeys(timers, float("inf"))
        # Alternating rounds: a busy machine slows both sides alike; the best round of each is kept.
        for _ in range(ROUNDS):
            for (side, case), timer in timers.items():
                number = cases[case][2]
                best[side, case] = min(best[side, case], timer.timeit(number) / number)
        rows = [Row(case, best["ours", case], best["ref", case], target)
                for case, (_, _, _, target) in cases.items()]
        rows += cold_round_rows(server)
    return report("Shared cache on Redis (speed-up = floor or python / ours)", rows)


if __name__ == "__main__":
    sys.exit(main())
