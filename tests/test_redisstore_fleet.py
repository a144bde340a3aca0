"""Processes sharing one cache through Redis: one request per key, and a fetcher killed mid-fetch."""

import multiprocessing
import os
import signal
import time

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("redis")

import local_service  # noqa: E402
from fleet import END, START, fingerprint, run_fleet  # noqa: E402

from private_core.memoguard import BaseMemoguard  # noqa: E402
from private_core.redisstore import RedisStore  # noqa: E402

pytestmark = pytest.mark.timing

EOD = "/market-data/eod/ohlcv"
LEASE = 1.0


def test_four_processes_make_one_request_per_key_and_a_second_round_none(redis_server, redis_client):
    symbols = list(local_service.STOCKS)
    with local_service.LocalService(latency=0.02) as service:
        counts = []
        reports = run_fleet(service.base_url, service.api_key, redis_server.url, symbols, workers=4, rounds=2,
                            between_rounds=lambda _: counts.append(service.count(EOD)))
        assert counts == [len(symbols), len(symbols)]
        from client import MarketClient

        with MarketClient(service.api_key, base_url=service.base_url) as direct:
            expected = [fingerprint(direct.eod(s, START, END, show_progress=False)) for s in symbols]
    assert len(reports) == 8 and all(prints == expected for _, prints in reports)


class Holder(BaseMemoguard):
    pass


def hold_slot(redis_url, started):
    """Registers for a slot and fetches forever: the process is killed mid-fetch."""
    import redis

    client = Holder()
    client._cache = RedisStore(redis.Redis.from_url(redis_url), "t", lease=LEASE)

    def fetch():
        started.set()
        time.sleep(60)

    client._fetch_with_cache("eod", ("VNM",), live=False, fetcher=fetch, ttl_live=None, ttl_history=None)


def test_a_process_killed_mid_fetch_frees_its_slot_after_the_lease(redis_server, redis_client):
    context = multiprocessing.get_context("spawn")
    started = context.Event()
    holder = context.Process(target=hold_slot, args=(redis_server.url, started), daemon=True)
    holder.start()
    try:
        assert started.wait(60)
        time.sleep(LEASE)  # the lease has been renewed at least once
        os.kill(holder.pid, signal.SIGKILL)
        holder.join(10)
    finally:
        if holder.is_alive():
            holder.kill()
    slot = 't:{"eod":("VNM")}:f'
    assert redis_client.zcard(slot) == 1
    waiter = Holder()
    waiter._cache = RedisStore(redis_client, "t", lease=LEASE)
    wait_timeout, began = 0.5, time.monotonic()
    frame = waiter._fetch_with_cache("eod", ("VNM",), live=False, fetcher=lambda: "frame", ttl_live=None,
                                     ttl_history=None, wait_timeout=wait_timeout, wait_interval=0.02)
    assert frame == "frame" and time.monotonic() - began < LEASE + wait_timeout
    deadline = time.monotonic() + LEASE + 2
    while redis_client.exists(slot) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not redis_client.exists(slot)
    assert waiter._cache._begin_inflight("eod", ("VNM",)) is True
    waiter._cache._end_inflight("eod", ("VNM",))
