"""Bulk fetching: the sequential batch's frame, its failures, cancellation and concurrent callers."""

import random
import signal
import threading
import time

import pandas as pd
import pytest
from tessaro.exceptions import DataDecodingError, HttpError

import local_service
from private_core import bulkfetch, daybars, ticklane
from private_core.pacegate import PaceGate, attach
from private_core.wirelink import HttpSession

TICKERS = sorted(local_service.STOCKS) + sorted(local_service.INDICES)
EOD_PATH = "/market-data/eod/ohlcv"


@pytest.fixture
def session(local):
    with HttpSession(local.api_key, base_url=local.base_url) as s:
        yield s


def random_call(rng):
    """A fetch with random symbols (mixed case, padding, repeats) and arguments, both kinds."""
    names = rng.sample(TICKERS, rng.randint(1, 12))
    symbols = [rng.choice([s, s.lower(), f" {s}\t"]) for s in names + rng.sample(names, min(2, len(names)))]
    if rng.random() < 0.5:
        start = rng.choice([None, "", "2024-01-02", "2024-02-15"])
        args = (symbols, start, rng.choice(["2024-03-29", "2024-06-28"]), rng.choice(["1D", "1W", "1M"]))
        return daybars.fetch_ohlcv, bulkfetch.fetch_eod, args
    day = rng.choice(["2024-03-05", "2024-03-06"])
    args = (symbols, day, day, rng.choice(["1m", "5m", "1H"]), rng.choice([None, True, False]))
    return ticklane.fetch_ohlcv, bulkfetch.fetch_intraday, args


@pytest.mark.parametrize("seed", range(8))
def test_the_bulk_frame_is_the_sequential_frame(session, seed):
    rng = random.Random(seed)
    sequential, bulk, args = random_call(rng)
    expected = sequential(session, *args, show_progress=False)
    got = bulk(session, *args, workers=rng.choice([1, 3, 8, 40]), show_progress=False)
    pd.testing.assert_frame_equal(got, expected)


class Staggered:
    """A session whose answers for earlier symbols arrive later."""

    def __init__(self, session, symbols):
        self.session, self.symbols, self.order = session, symbols, []

    def get(self, path, params=None):
        time.sleep(0.01 * (len(self.symbols) - self.symbols.index(params["symbol"])))
        self.order.append(params["symbol"])
        return self.session.get(path, params=params)


def test_rows_keep_symbol_order_whatever_order_the_answers_come_in(session):
    symbols = TICKERS[:8]
    staggered = Staggered(session, symbols)
    got = bulkfetch.fetch_eod(staggered, symbols, "2024-01-02", "2024-01-31", workers=8, show_progress=False)
    assert staggered.order != symbols
    pd.testing.assert_frame_equal(got, daybars.fetch_ohlcv(session, symbols, "2024-01-02", "2024-01-31",
                                                           show_progress=False))


@pytest.mark.parametrize("symbols, failed", [
    (["VNM", "NOPE", "FPT"], {"NOPE": DataDecodingError}),
    (["FAULT-503", "vnm", "FAULT-HTML"], {"FAULT-503": HttpError, "FAULT-HTML": DataDecodingError}),
    (["FAULT-404"], {"FAULT-404": HttpError}),
])
def test_collected_failures_come_back_beside_the_frame_of_the_others(session, symbols, failed):
    frame, failures = bulkfetch.fetch_eod(session, symbols, "2024-01-02", "2024-01-31", errors="collect",
                                          show_progress=False)
    assert list(failures) == list(failed)
    assert all(isinstance(failures[s], kind) for s, kind in failed.items())
    good = [s for s in symbols if s not in failed]
    expected = daybars.fetch_ohlcv(session, good, "2024-01-02", "2024-01-31", show_progress=False) if good \
        else pd.DataFrame()
    pd.testing.assert_frame_equal(frame, expected)


def test_the_first_failure_in_symbol_order_propagates_and_cancels_the_rest(session, local):
    symbols = ["VNM", "FAULT-500", "FPT", "NOPE"] + TICKERS[:30]
    before = local.count(EOD_PATH)
    with pytest.raises(HttpError) as info:
        bulkfetch.fetch_eod(session, symbols, workers=2, show_progress=False)
    assert info.value.status_code == 500
    assert local.count(EOD_PATH) - before < 10


@pytest.mark.parametrize("options", [{"workers": 0}, {"errors": "ignore"}])
def test_bad_options_are_refused_before_any_request(session, options):
    with pytest.raises(ValueError):
        bulkfetch.fetch_eod(session, "VNM", **options)


def test_the_meter_is_drawn_from_the_calling_thread_only(session, monkeypatch):
    calls = []
    for name in ("start_progress", "update_progress", "finish_progress"):
        monkeypatch.setattr(bulkfetch, name, lambda *a, name=name: calls.append((name, a, threading.get_ident())))
    bulkfetch.fetch_eod(session, TICKERS[:10], "2024-01-02", "2024-01-31", workers=4)
    assert {ident for _, _, ident in calls} == {threading.get_ident()}
    assert calls[0][:2] == ("start_progress", (10, "Batch EOD")) and calls[-1][0] == "finish_progress"
    updates = [a[0] for name, a, _ in calls if name == "update_progress"]
    assert updates == sorted(updates) and updates[-1] == 10


def test_two_concurrent_calls_keep_their_own_results(session):
    batches = [TICKERS[:15], TICKERS[15:]]
    results = [None, None]

    def fetch(i):
        results[i] = bulkfetch.fetch_eod(session, batches[i], "2024-01-02", "2024-02-29", workers=4,
                                         show_progress=False)

    threads = [threading.Thread(target=fetch, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    for batch, got in zip(batches, results):
        pd.testing.assert_frame_equal(got, daybars.fetch_ohlcv(session, batch, "2024-01-02", "2024-02-29",
                                                               show_progress=False))


@pytest.mark.timing
def test_ctrl_c_stops_within_half_a_second_and_leaves_no_worker(session, sigint_raises):
    attach(session, PaceGate(4))  # workers spend their time waiting in the gate
    fired = []

    def interrupt():
        fired.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    timer = threading.Timer(0.6, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        bulkfetch.fetch_eod(session, TICKERS, "2024-01-02", "2024-01-31", show_progress=False)
    assert time.monotonic() - fired[0] < 0.5
    timer.join()
    assert not [t for t in threading.enumerate() if t.name.startswith("bulkfetch")]
