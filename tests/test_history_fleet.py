"""Processes sharing one store of end-of-day history: what one fetched, the others never ask for.

Spawned processes, so the sanitizer run leaves this file out: each worker makes
the calls that test_history.py makes in one process.
"""

from datetime import date

import pytest
from test_history import EOD, at, exchange_time_zone  # noqa: F401  (an autouse fixture)

import local_service
from private_core import daybars, history
from private_core.wirelink import HttpSession

FLEET_DAY = date(2025, 12, 11)
TWO_YEARS = (sorted(local_service.STOCKS), "2023-12-11", None)
COLD = (sorted(local_service.STOCKS)[:12], "2024-01-02", "2024-05-31")


def open_store(spec):
    kind, where = spec
    if kind == "disk":
        from private_core.diskstore import DiskStore

        return DiskStore(where)
    import redis

    from private_core.redisstore import RedisStore

    return RedisStore(redis.Redis.from_url(where), "history")


def worker(base_url, api_key, spec, request, barrier, results):
    """One process with its own store object on ``spec``: waits for the others, then asks."""
    from fleet import fingerprint

    with HttpSession(api_key, base_url=base_url) as s:
        store = open_store(spec)
        barrier.wait(60)
        frame = history.fetch_ohlcv(s, *request, store=store, now=at(FLEET_DAY, "21:00"), workers=4,
                                    show_progress=False)
        results.put(fingerprint(frame))


def in_processes(service, spec, request, processes):
    """The requests ``processes`` spawned processes made between them, each having
    checked its frame against the sequential fetch's."""
    import multiprocessing

    from fleet import fingerprint

    context = multiprocessing.get_context("spawn")
    barrier, results = context.Barrier(processes), context.Queue()
    workers = [context.Process(target=worker, args=(service.base_url, service.api_key, spec, request, barrier,
                                                    results), daemon=True) for _ in range(processes)]
    before = service.count(EOD)
    for process in workers:
        process.start()
    try:
        prints = [results.get(timeout=120) for _ in workers]
    finally:
        for process in workers:
            process.join(30)
            if process.is_alive():
                process.kill()
    asked = service.count(EOD) - before
    with HttpSession(service.api_key, base_url=service.base_url) as s:
        expected = fingerprint(daybars.fetch_ohlcv(s, *request, show_progress=False))
    assert prints == [expected] * processes
    return asked


@pytest.fixture(params=["disk", "redis"])
def store_spec(request, tmp_path):
    if request.param == "disk":
        return ("disk", str(tmp_path / "history"))
    pytest.importorskip("redis")
    pytest.importorskip("pyarrow")
    server = request.getfixturevalue("redis_server")
    request.getfixturevalue("redis_client")  # an empty database
    return ("redis", server.url)


def test_a_second_process_on_the_same_store_asks_for_nothing(store_spec):
    with local_service.LocalService(today=FLEET_DAY) as service, \
            HttpSession(service.api_key, base_url=service.base_url) as s:
        symbols, start, end = TWO_YEARS
        history.fetch_ohlcv(s, symbols, start, end, store=open_store(store_spec), now=at(FLEET_DAY, "21:00"),
                            show_progress=False)
        assert service.count(EOD) == len(symbols)
        assert in_processes(service, store_spec, TWO_YEARS, 1) == 0


# Eight spawned processes and waits bounded in seconds: kept apart from other tests.
@pytest.mark.timing
def test_eight_processes_asking_for_a_cold_range_make_one_request_per_symbol(tmp_path):
    with local_service.LocalService(latency=0.02, today=FLEET_DAY) as service:
        assert in_processes(service, ("disk", str(tmp_path / "history")), COLD, 8) == len(COLD[0])
