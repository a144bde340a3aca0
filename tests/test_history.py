"""Incremental history: the sequential fetch's frame from stored series, asking only for what is missing."""

import os
import time as clock
from datetime import date, datetime, time, timedelta, timezone

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from tessaro.exceptions import DataDecodingError, HttpError

import local_service
from conftest import examples
from private_core import daybars, history
from private_core.memstore import _Cache
from private_core.wirelink import HttpSession

EOD = "/market-data/eod/ohlcv"
VN = timezone(timedelta(hours=7))
# A symbol with a dividend inside the windows below, one without, an index.
EX_DAY = local_service._ex_rights_date("FPT")
SYMBOLS = ["FPT", "VNM", "VNINDEX"]


@pytest.fixture(autouse=True, scope="module")
def exchange_time_zone():
    """The machine's local day is the exchange's, whatever zone the tests run in (the
    latest trading day is judged on local days)."""
    before = os.environ.get("TZ")
    os.environ["TZ"] = "ICT-7"
    clock.tzset()
    yield
    if before is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = before
    clock.tzset()


def at(day, hhmm):
    """The instant of ``hhmm`` in Vietnam on ``day``, as a clock for fetch_ohlcv."""
    moment = datetime.combine(day, time.fromisoformat(hhmm), VN).timestamp()
    return lambda: moment


@pytest.fixture(scope="module")
def service():
    with local_service.LocalService() as running:
        yield running


@pytest.fixture(scope="module")
def session(service):
    with HttpSession(service.api_key, base_url=service.base_url) as s:
        yield s


class Counter:
    """Requests and rows the service served since the last look."""

    def __init__(self, service):
        self.service, self.seen = service, (service.count(EOD), service.rows_served.get(EOD, 0))

    def take(self):
        now = (self.service.count(EOD), self.service.rows_served.get(EOD, 0))
        delta, self.seen = (now[0] - self.seen[0], now[1] - self.seen[1]), now
        return delta


def both(service, session, store, day, hhmm, *args):
    """history's frame and the sequential fetch's, on ``day`` at ``hhmm``, and what history asked for."""
    service.set_today(day)
    counter = Counter(service)
    got = history.fetch_ohlcv(session, *args, store=store, now=at(day, hhmm), show_progress=False)
    served = counter.take()
    expected = daybars.fetch_ohlcv(session, *args, show_progress=False)
    pd.testing.assert_frame_equal(got, expected)
    return served


# ---------------------------------------------------------------- identity on random request sequences

BASE = EX_DAY - timedelta(days=20)


def requests_strategy():
    offset = st.integers(-60, 40)
    request = st.tuples(
        st.one_of(st.none(), offset),  # start, days from BASE
        st.one_of(st.none(), offset),  # end
        st.sampled_from(["1D", "1D", "1W", "1M"]),
        st.integers(0, 9),  # days the clock moves forward first (past the dividend too)
        st.sampled_from(["10:00", "14:59", "15:00", "21:00"]),
    )
    return st.lists(request, min_size=1, max_size=6)


@settings(max_examples=examples(32))
@given(steps=requests_strategy())
def test_random_request_sequences_give_the_sequential_frame(service, session, steps):
    store, day = _Cache(), BASE
    for start, end, interval, advance, hhmm in steps:
        day += timedelta(days=advance)
        text = lambda offset: None if offset is None else (BASE + timedelta(days=offset)).isoformat()
        both(service, session, store, day, hhmm, SYMBOLS, text(start), text(end), interval)


# ---------------------------------------------------------------- what is asked for

FINAL = EX_DAY - timedelta(days=40)  # a day long before the dividend, the bars settled


@pytest.mark.parametrize(
    "first, second, requests, most_rows",
    [
        # the same request again: nothing
        (("2024-01-02", "2024-03-29"), ("2024-01-02", "2024-03-29"), 0, 0),
        # inside what is stored: nothing
        (("2024-01-02", "2024-03-29"), ("2024-02-01", "2024-02-29"), 0, 0),
        # later end: from the last final bar on (the revision check) to the new end
        (("2024-01-02", "2024-03-01"), ("2024-01-02", "2024-03-08"), 1, 6),
        # earlier start: back to the first stored bar
        (("2024-02-01", "2024-03-01"), ("2024-01-22", "2024-03-01"), 1, 9),
        # both ways: one request each way
        (("2024-02-01", "2024-03-01"), ("2024-01-22", "2024-03-08"), 2, 15),
        # disjoint, later: the gap is filled, not the old range again
        (("2024-01-02", "2024-01-31"), ("2024-03-01", "2024-03-08"), 1, 32),
    ],
)
def test_only_missing_days_are_asked_for(service, session, first, second, requests, most_rows):
    store, today = _Cache(), date(2024, 6, 3)
    both(service, session, store, today, "21:00", ["HPG"], *first)
    asked, rows = both(service, session, store, today, "21:00", ["HPG"], *second)
    assert asked == requests and rows <= most_rows


def test_the_trading_day_is_asked_again_until_a_fetch_after_the_close_holds_it(service, session):
    store, day = _Cache(), date(2024, 3, 5)
    start = "2024-02-01"
    runs = [both(service, session, store, day, hhmm, SYMBOLS, start) for hhmm in
            ("10:00", "11:00", "14:59", "15:00", "15:01", "21:00")]
    assert [asked for asked, _ in runs] == [3, 3, 3, 3, 0, 0]
    # the next day: one request per symbol, the last final bar and the new one
    asked, rows = both(service, session, store, day + timedelta(days=1), "09:30", SYMBOLS, start)
    assert asked == 3 and rows <= 2 * 3


def test_a_corporate_action_drops_the_history_and_fetches_it_whole(service, session):
    store = _Cache()
    before = EX_DAY - timedelta(days=1)
    both(service, session, store, before, "21:00", ["FPT", "VNM"], (EX_DAY - timedelta(days=90)).isoformat())
    # After the ex-rights date FPT's adjusted bars before it change: its whole history
    # comes again, VNM's does not.
    after = EX_DAY + timedelta(days=3)
    asked, rows = both(service, session, store, after, "21:00", ["FPT", "VNM"],
                       (EX_DAY - timedelta(days=90)).isoformat())
    assert asked == 3 and rows > 60
    assert both(service, session, store, after, "21:00", ["FPT", "VNM"],
                (EX_DAY - timedelta(days=90)).isoformat()) == (0, 0)


def test_the_next_day_costs_one_request_and_a_few_rows_per_symbol(service, session):
    symbols, store = sorted(local_service.STOCKS), _Cache()
    day, next_day = date(2025, 12, 11), date(2025, 12, 12)  # no ex-rights date between them
    asked, rows = both(service, session, store, day, "21:00", symbols, "2023-12-11")
    assert asked == len(symbols) and rows > 480 * len(symbols)
    asked, rows = both(service, session, store, next_day, "21:00", symbols, "2023-12-11")
    assert asked == len(symbols) and rows == 2 * len(symbols)


@pytest.mark.parametrize(
    "symbols, error, message",
    [
        (["VNM", "NOPE"], DataDecodingError, "Backend returned error for NOPE: Unknown symbol 'NOPE'"),
        (["VNM", "FAULT-503", "FAULT-ERROR"], HttpError, None),
        (["FAULT-ERROR", "VNM"], DataDecodingError, "Injected error"),
    ],
)
def test_failures_are_raised_as_the_sequential_fetch_raises_them_and_store_nothing(
        service, session, symbols, error, message):
    store, day = _Cache(), date(2024, 6, 3)
    service.set_today(day)
    args = (symbols, "2024-03-01", "2024-03-29")
    with pytest.raises(error) as sequential:
        daybars.fetch_ohlcv(session, *args, show_progress=False)
    for stored in (0, 1):  # a failure is asked for again: nothing marked it covered
        counter = Counter(service)
        with pytest.raises(error) as got:
            history.fetch_ohlcv(session, *args, store=store, now=at(day, "21:00"), show_progress=False)
        assert str(got.value) == str(sequential.value)
        assert message is None or message in str(got.value)
        assert counter.take()[0] == len(symbols) - stored
    assert store.get(history.NAMESPACE, ("VNM",)) is not None
    assert all(store.get(history.NAMESPACE, (s,)) is None for s in symbols if s != "VNM")


@pytest.mark.parametrize(
    "start, end",
    [
        ("2024-02-08", "2024-02-14"),  # the Tet holidays: asked, answered empty, kept so
        ("2024-03-09", "2024-03-10"),  # a weekend
        ("2024-07-01", "2024-07-31"),  # after the service's today: nothing yet, so not kept
    ],
)
def test_days_without_bars(service, session, start, end):
    store, day = _Cache(), date(2024, 6, 3)
    first, _ = both(service, session, store, day, "21:00", ["VNM"], start, end)
    again, _ = both(service, session, store, day, "21:00", ["VNM"], start, end)
    assert first == 1 and again == (0 if end < day.isoformat() else 1)


@pytest.mark.parametrize(
    "args",
    [
        (["VNM"], "2024-01-02", "2024-03-29", "2W"),  # an interval the resampler refuses
        (["VNM"], "2024/01/02", "2024-03-29", "1D"),  # a date the service refuses
        (["VNM"], "1800-01-02", "2024-03-29", "1D"),
    ],
)
def test_requests_the_service_would_refuse_fail_alike(session, args):
    with pytest.raises(Exception) as sequential:
        daybars.fetch_ohlcv(session, *args, show_progress=False)
    with pytest.raises(type(sequential.value)) as got:
        history.fetch_ohlcv(session, *args, store=_Cache(), show_progress=False)
    assert str(got.value) == str(sequential.value)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        ({"wait_timeout": -1}, ValueError, "wait_timeout must not be negative"),
        ({"now": 5}, TypeError, "now must be a callable or None"),
        ({"start": 20240102}, TypeError, "Argument 'start' has incorrect type"),
        ({"symbol": []}, ValueError, "symbol sequence must contain at least one non-empty string."),
        ({"store": object()}, TypeError, "store must be a cache store (get, set, _begin_inflight, _end_inflight)"),
    ],
)
def test_bad_arguments(session, kwargs, error, text):
    call = {"symbol": "VNM", "store": _Cache(), **kwargs}
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        history.fetch_ohlcv(session, show_progress=False, **call)


@pytest.mark.parametrize(
    "record",
    [
        "not a record",
        {"first": "2024-03-01", "last": "2024-03-29"},
        {"first": "2024-03-01", "last": "2024-03-29", "final": "2024-03-29", "at": 1.0, "rows": [{"close": 1}]},
        {"first": "2024-03-01", "last": "2024-03-29", "final": "2024-03-29", "at": "soon", "rows": []},
        {"first": "2024-03-01", "last": "2024-03-29", "final": "2024-04-30", "at": 1.0, "rows": []},
    ],
)
def test_a_record_not_of_ours_is_fetched_again_and_replaced(service, session, record):
    store, day = _Cache(), date(2024, 6, 3)
    store.set(history.NAMESPACE, ("VNM",), record)
    assert both(service, session, store, day, "21:00", "VNM", "2024-03-01", "2024-03-29")[0] == 1
    assert both(service, session, store, day, "21:00", "VNM", "2024-03-01", "2024-03-29") == (0, 0)


def test_a_refresh_by_one_process_is_seen_by_another_on_the_same_directory(service, session, tmp_path):
    from private_core.diskstore import DiskStore

    first, second = DiskStore(str(tmp_path)), DiskStore(str(tmp_path))
    day, next_day = date(2024, 3, 5), date(2024, 3, 6)
    assert both(service, session, first, day, "21:00", SYMBOLS, "2024-02-01")[0] == 3
    assert both(service, session, second, day, "21:00", SYMBOLS, "2024-02-01") == (0, 0)
    assert both(service, session, first, next_day, "21:00", SYMBOLS, "2024-02-01")[0] == 3
    # the second store's own copies date from the day before: the directory's are read
    assert both(service, session, second, next_day, "21:00", SYMBOLS, "2024-02-01") == (0, 0)


# ---------------------------------------------------------------- references

class CannedSession:
    """Answers every end-of-day request from the local service's bars, in this thread."""

    def __init__(self, today):
        self.today = today

    def get(self, path, params=None):
        first, last = date.fromisoformat(params["start"]), date.fromisoformat(params["end"])
        if params["symbol"] == "NOPE":
            body = {"data": [], "error": "Unknown symbol 'NOPE'"}
        else:
            days = local_service.trading_days(first, min(last, self.today))
            body = {"data": [local_service.daily_bar(params["symbol"], d, as_of=self.today) for d in days]}
        return type("Answer", (), {"json": lambda answer: body})()


@pytest.mark.parametrize(
    "symbols, hhmm, expected",
    [
        (["VNM", "FPT"], "21:00", ()),  # served from the store
        (["VNM", "FPT"], "10:00", ()),  # the trading day asked again each call
        (["VNM", "NOPE"], "21:00", DataDecodingError),  # a failure, asked again each call
    ],
)
def test_no_leak(monkeypatch, symbols, hhmm, expected):
    from test_leaks import assert_no_leak

    # Frame building belongs to the helper module; only this module's own work is measured.
    monkeypatch.setattr(history, "_to_dataframe", lambda rows: rows)
    monkeypatch.setattr(history, "resample_ohlcv_multi", lambda frame, interval: frame)
    day, store = date(2024, 3, 5), _Cache()
    session, clock = CannedSession(day), at(day, hhmm)

    def call():
        return history.fetch_ohlcv(session, symbols, "2024-02-20", store=store, now=clock, workers=2,
                                   show_progress=False)

    assert_no_leak(call, expected)


def test_without_a_store_the_series_go_to_the_users_cache_directory(service, session, monkeypatch, tmp_path):
    from private_core.diskstore import DiskStore

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    monkeypatch.setattr(history, "_default_store", None)
    assert history.default_store_path() == str(tmp_path / "private_core" / "history")
    assert both(service, session, None, date(2024, 6, 3), "21:00", "VNM", "2024-03-01", "2024-03-29")[0] == 1
    assert DiskStore(history.default_store_path()).get(history.NAMESPACE, ("VNM",)) is not None
    assert both(service, session, None, date(2024, 6, 3), "21:00", "VNM", "2024-03-01", "2024-03-29") == (0, 0)
