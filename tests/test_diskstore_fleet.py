"""Processes sharing one cache directory: one request per key, writers and holders killed, no lock errors."""

import logging
import multiprocessing
import os
import random
import signal
import sqlite3
import threading
import time
import types
from contextlib import closing

import pandas as pd
import pytest

pytest.importorskip("pyarrow")

import local_service  # noqa: E402
from fleet import END, START, TIMEOUT, disk_client, fingerprint, run_fleet  # noqa: E402

from private_core import diskstore  # noqa: E402
from private_core.diskstore import DiskStore  # noqa: E402
from private_core.memoguard import BaseMemoguard  # noqa: E402

pytestmark = pytest.mark.timing

EOD = "/market-data/eod/ohlcv"
SPAWN = multiprocessing.get_context("spawn")


def test_eight_processes_make_one_request_per_key_and_later_processes_none(tmp_path):
    symbols = list(local_service.STOCKS)
    with local_service.LocalService(latency=0.02) as service:
        counts = []
        reports = run_fleet(service.base_url, service.api_key, str(tmp_path), symbols, workers=8, rounds=2,
                            between_rounds=lambda _: counts.append(service.count(EOD)), make_client=disk_client)
        # A new process on the same directory, after the others have gone.
        reports += run_fleet(service.base_url, service.api_key, str(tmp_path), symbols, workers=1,
                             make_client=disk_client)
        assert counts == [len(symbols), len(symbols)] and service.count(EOD) == len(symbols)
        from client import MarketClient

        with MarketClient(service.api_key, base_url=service.base_url) as direct:
            expected = [fingerprint(direct.eod(s, START, END, show_progress=False)) for s in symbols]
    assert len(reports) == 17 and all(prints == expected for _, prints in reports)


def frame_of(key, version):
    """A large frame whose every value tells which key and version wrote it."""
    rows = 150_000 + 10_000 * (version % 7)
    return pd.DataFrame({"key": key, "version": version, "n": range(rows)})


def write_forever(directory, progress):
    store = DiskStore(directory)
    for version in range(10**9):
        key = version % 5
        store.set("big", (key,), frame_of(key, version))
        progress.put(version)


@pytest.mark.parametrize("kills", [4])
def test_a_writer_killed_mid_write_leaves_the_store_readable_and_correct(tmp_path, caplog, kills):
    rng = random.Random(5)
    for _ in range(kills):
        progress = SPAWN.Queue()
        writer = SPAWN.Process(target=write_forever, args=(str(tmp_path), progress), daemon=True)
        writer.start()
        try:
            for _ in range(rng.randrange(1, 6)):
                progress.get(timeout=TIMEOUT)
            os.kill(writer.pid, signal.SIGKILL)  # somewhere in the next write
            writer.join(TIMEOUT)
        finally:
            if writer.is_alive():
                writer.kill()
    with closing(sqlite3.connect(tmp_path / "cache.sqlite3")) as conn:
        assert conn.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    reader = DiskStore(tmp_path)
    found = [reader.get("big", (key,)) for key in range(5)]
    assert sum(entry is not None for entry in found) >= 3
    for key, entry in enumerate(found):
        if entry is not None:
            version = int(entry.data["version"].iloc[0])
            pd.testing.assert_frame_equal(entry.data, frame_of(key, version))
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []


class Holder(BaseMemoguard):
    pass


def hold_slot(directory, started):
    """Registers for a slot and fetches forever: the process is killed mid-fetch."""
    client = Holder()
    client._cache = DiskStore(directory, lease=1.0)

    def fetch():
        started.set()
        time.sleep(600)

    client._fetch_with_cache("eod", ("VNM",), live=False, fetcher=fetch, ttl_live=None, ttl_history=None)


def test_a_process_killed_mid_fetch_frees_its_slot_after_the_lease(tmp_path, monkeypatch):
    started = SPAWN.Event()
    holder = SPAWN.Process(target=hold_slot, args=(str(tmp_path), started), daemon=True)
    holder.start()
    try:
        assert started.wait(TIMEOUT)
        os.kill(holder.pid, signal.SIGKILL)
        holder.join(TIMEOUT)
    finally:
        if holder.is_alive():
            holder.kill()
    waiter = Holder()
    waiter._cache = DiskStore(tmp_path)
    assert waiter._cache._begin_inflight("eod", ("VNM",)) is False  # the dead holder's lease still runs
    waiter._cache._end_inflight("eod", ("VNM",))
    later = time.time() + 1.5  # past the lease, on this process's clock only
    monkeypatch.setattr(diskstore, "time", types.SimpleNamespace(time=lambda: later))
    frame = waiter._fetch_with_cache("eod", ("VNM",), live=False, fetcher=lambda: "frame", ttl_live=None,
                                     ttl_history=None, wait_timeout=TIMEOUT)
    assert frame == "frame"


def test_leases_are_renewed_while_a_fetch_runs(tmp_path):
    client, started, release = Holder(), threading.Event(), threading.Event()
    client._cache = DiskStore(tmp_path, lease=0.3)

    def slow():
        started.set()
        release.wait(TIMEOUT)
        return [1]

    worker = threading.Thread(target=client._fetch_with_cache, args=("eod", ("VNM",)),
                              kwargs=dict(live=False, fetcher=slow, ttl_live=None, ttl_history=None))
    worker.start()
    try:
        started.wait(TIMEOUT)
        time.sleep(0.9)  # three leases: only renewal keeps the holder
        late = DiskStore(tmp_path)
        assert late._begin_inflight("eod", ("VNM",)) is False
        late._end_inflight("eod", ("VNM",))
    finally:
        release.set()
        worker.join(TIMEOUT)


def churn(directory, seed, barrier, results):
    """Random reads, writes, registrations and clears; reports errors and warnings."""
    seen = []
    handler = logging.Handler(logging.WARNING)
    handler.emit = seen.append
    logging.getLogger("private_core.diskstore").addHandler(handler)
    rng, errors = random.Random(seed), []
    store = DiskStore(directory, max_bytes=400_000, lease=2.0)
    barrier.wait(TIMEOUT)
    for _ in range(300):
        key = ("k", rng.randrange(12))
        try:
            op = rng.random()
            if op < 0.4:
                store.set("ns", key, pd.DataFrame({"v": range(rng.randrange(1, 4000))}))
            elif op < 0.8:
                store._local.clear_all()
                store.get("ns", key)
            elif op < 0.97:
                store._begin_inflight("ns", key)
                store._end_inflight("ns", key)
            else:
                store.clear_ns("ns")
        except Exception as exc:  # reported to the parent, which fails the test
            errors.append(repr(exc))
    results.put((errors, [record.getMessage() for record in seen]))


def test_eight_processes_reading_and_writing_at_once_see_no_errors(tmp_path):
    barrier, results = SPAWN.Barrier(8), SPAWN.Queue()
    workers = [SPAWN.Process(target=churn, args=(str(tmp_path), seed, barrier, results), daemon=True)
               for seed in range(8)]
    for worker in workers:
        worker.start()
    try:
        reports = [results.get(timeout=TIMEOUT * 2) for _ in workers]
    finally:
        for worker in workers:
            worker.join(TIMEOUT)
            if worker.is_alive():
                worker.kill()
    assert reports == [([], [])] * 8
    with closing(sqlite3.connect(tmp_path / "cache.sqlite3")) as conn:
        (total,), = conn.execute("SELECT bytes FROM totals").fetchall()
        assert total == conn.execute("SELECT total(size) FROM entries").fetchone()[0] <= 400_000
        assert conn.execute("SELECT count(*) FROM holders").fetchone() == (0,)
