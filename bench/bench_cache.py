"""Cost of a cache hit: native store and cached-fetch helper against plain Python.

The baseline is the same store and helper written as ordinary Python (in
``_reference``: a dict of dicts guarded by an RLock through ``with lock:``, a
dataclass entry with an ``is_expired`` method), so the ratio shows what the
native path saves on the hot read path of a client.  Run: ``python bench/bench_cache.py``.
"""

from __future__ import annotations

import pathlib
import sys
import time
import timeit
from datetime import timedelta

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import pandas as pd  # noqa: E402
from _reference import Memoguard as PyMemoguard  # noqa: E402
from _report import Row, report  # noqa: E402

from private_core.memoguard import BaseMemoguard  # noqa: E402

TARGET = 2.0
ROUNDS = 25
NUMBER = 20_000


class NativeClient(BaseMemoguard):
    pass


def setup(client) -> dict:
    frame = pd.DataFrame({"close": [1.0, 2.0]})
    key = ("VNM", "2024-01-02", "2024-03-05")
    cache = client._cache
    # History entries are stored without expiry (ttl_history is None); the
    # live one shows the same read when the clock has to be consulted.
    cache.set("eod", key, frame)
    cache.set("eod_live", key, frame, ttl=timedelta(hours=1))
    assert client._fetch_with_cache("eod", key, live=False, fetcher=None, ttl_live=None, ttl_history=None) is frame
    return {"client": client, "cache": cache, "key": key, "fetch": lambda: frame}


# name -> (statement, counts towards the target)
CASES = {
    "_Cache.get, history hit": ("cache.get('eod', key)", True),
    "_fetch_with_cache, history hit": (
        "client._fetch_with_cache('eod', key, live=False, fetcher=fetch, ttl_live=None, ttl_history=None)", True),
    "_Cache.get, miss": ("cache.get('eod', ('none',))", False),
    "_Cache.get, hit with expiry": ("cache.get('eod_live', key)", False),
}


def main() -> int:
    envs = {"native": setup(NativeClient()), "python": setup(PyMemoguard())}
    timers = {(impl, name): timeit.Timer(stmt, globals=envs[impl], timer=time.perf_counter_ns)
              for impl in envs for name, (stmt, _) in CASES.items()}
    best = dict.fromkeys(timers, float("inf"))
    # Rounds alternate between the two implementations so that a busy
    # machine slows both alike; the best round of each is kept.
    for _ in range(ROUNDS):
        for slot, timer in timers.items():
            best[slot] = min(best[slot], timer.timeit(NUMBER) / NUMBER)
    rows = [Row(name, best["native", name], best["python", name], TARGET if counted else None)
            for name, (_, counted) in CASES.items()]
    return report("Cache hit against the same store written in Python (speed-up = python / native)", rows)


if __name__ == "__main__":
    sys.exit(main())
