"""Worker processes that share one cache through Redis.

Each worker is its own process with its own ``MarketClient`` whose cache is a
``RedisStore`` on the same Redis: the first worker to ask for a frame fetches
it, and every other worker takes it from Redis, even while the first is still
fetching.  Used by the demo and by the fleet tests; the functions are
importable so that "spawn" workers can run them.
"""

from __future__ import annotations

import multiprocessing
from typing import Any, Sequence

import pandas as pd

START, END = "2024-01-02", "2024-03-29"
TIMEOUT = 120.0  # seconds any step of a worker may take before the run is called failed


def shared_client(base_url: str, api_key: str, redis_url: str, prefix: str = "fleet") -> Any:
    """A demo client whose cache is shared through the Redis at ``redis_url``."""
    import redis

    from client import MarketClient
    from private_core.redisstore import RedisStore

    client = MarketClient(api_key, base_url=base_url)
    client._cache = RedisStore(redis.Redis.from_url(redis_url), prefix)
    return client


def disk_client(base_url: str, api_key: str, directory: str) -> Any:
    """A demo client whose cache is the ``DiskStore`` in ``directory``, shared by the machine's processes."""
    from client import MarketClient
    from private_core.diskstore import DiskStore

    client = MarketClient(api_key, base_url=base_url)
    client._cache = DiskStore(directory)
    return client


def fingerprint(frame: pd.DataFrame) -> tuple[int, tuple[str, ...], tuple[str, ...]]:
    """What two copies of one frame agree on: rows, dtypes and column order."""
    values = int(pd.util.hash_pandas_object(frame, index=True).sum()) if len(frame) else 0
    return values, tuple(map(str, frame.dtypes)), tuple(map(str, frame.columns))


def eod_worker(base_url: str, api_key: str, redis_url: str, symbols: Sequence[str], rounds: int,
               barrier: Any, results: Any, make_client: Any = shared_client) -> None:
    """Asks for the end-of-day bars of every symbol, once per round.

    Workers (and the parent) meet at ``barrier`` before each round; from the
    second round on the worker forgets its process-local copies, so the round
    is served by the shared store.
    """
    with make_client(base_url, api_key, redis_url) as client:
        for round_number in range(rounds):
            barrier.wait(TIMEOUT)
            if round_number:
                client._cache._local.clear_all()
            prints = [fingerprint(client.eod(symbol, START, END, show_progress=False)) for symbol in symbols]
            results.put((round_number, prints))


def run_fleet(base_url: str, api_key: str, redis_url: str, symbols: Sequence[str], *, workers: int,
              rounds: int = 1, between_rounds: Any = None, make_client: Any = shared_client,
              ) -> list[tuple[int, list[Any]]]:
    """Runs ``workers`` spawned processes of `eod_worker`; ``between_rounds(n)`` runs
    in this process after round ``n`` has finished everywhere; ``make_client`` builds
    each worker's client (`disk_client` for a store in the directory named in
    place of ``redis_url``).  Returns what the
    workers reported, as (round, fingerprints) pairs."""
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(workers + 1)
    results = context.Queue()
    processes = [context.Process(target=eod_worker, args=(base_url, api_key, redis_url, list(symbols), rounds,
                                                          barrier, results, make_client), daemon=True)
                 for _ in range(workers)]
    for process in processes:
        process.start()
    reports = []
    try:
        for round_number in range(rounds):
            barrier.wait(TIMEOUT)
            # Every worker reports when it has finished the round: counting then sees the whole round.
            reports += [results.get(timeout=TIMEOUT) for _ in range(workers)]
            if between_rounds is not None:
                between_rounds(round_number)
        for process in processes:
            process.join(TIMEOUT)
    finally:
        for process in processes:
            if process.is_alive():
                process.kill()
                process.join()
    return reports
