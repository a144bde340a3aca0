"""Native shortcuts on common paths give what the generic path gives, and step
aside when the name they stand for is rebound."""

from datetime import date, datetime, timedelta

import pytest

from private_core import ledgerbook, memstore, ttlrules

LIVE = ["ttl_intraday_live", "ttl_orderbook_live", "ttl_eod_latest"]


@pytest.mark.parametrize("name", LIVE)
def test_one_minute_is_a_fresh_timedelta(name):
    first, second = getattr(ttlrules, name)(), getattr(ttlrules, name)()
    assert first == timedelta(minutes=1) and type(first) is timedelta and first is not second


@pytest.mark.parametrize("name", LIVE)
def test_rebound_timedelta_is_called(monkeypatch, name):
    monkeypatch.setattr(ttlrules, "timedelta", lambda **kw: ("called", kw))
    assert getattr(ttlrules, name)() == ("called", {"minutes": 1})


class Clock(datetime):
    pass


@pytest.mark.parametrize("value, expected", [
    (datetime(2024, 3, 5, 23, 59), date(2024, 3, 5)),
    (Clock(2024, 3, 5, 1, 2), date(2024, 3, 5)),
])
def test_to_date_of_datetimes(value, expected):
    result = memstore.to_date(value)
    assert result == expected and type(result) is date


def test_is_today_follows_a_rebound_clock(monkeypatch):
    class Frozen(datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2030, 1, 2, 3, 4)

    monkeypatch.setattr(memstore, "datetime", Frozen)
    assert memstore.is_today("2030-01-02") is True and memstore.is_today(date(2030, 1, 3)) is False


@pytest.mark.parametrize("symbols, expected", [
    (["vnm", " fpt\t", "\u3000hpg\u2003", "ß"], ["VNM", "FPT", "HPG", "SS"]),
    (["  ", "\x1c", "ok"], ["OK"]),
    ("éa", ["ÉA"]),
])
def test_symbols_cleaned_like_str_methods(symbols, expected):
    assert ledgerbook._coerce_symbols(symbols) == expected


def test_module_attribute_reads_follow_rebinding(monkeypatch):
    import time

    from private_core import progress

    monkeypatch.setattr(progress, "_state", progress._Meter(10, 0.0, 0.0, "X", False, 1e9))
    seen = []
    for tag in ("first", "second"):
        monkeypatch.setattr(time, "perf_counter", lambda tag=tag: seen.append(tag) or 1.0)
        progress.update_progress(1)  # throttled: reads the clock, draws nothing
    assert seen == ["first", "second"]


def test_global_reads_follow_rebinding(monkeypatch):
    assert ttlrules.touches_latest_trading_day(date(2000, 1, 1)) is False
    monkeypatch.setattr(ttlrules, "is_today", lambda end: "patched")
    assert ttlrules.touches_latest_trading_day(None) == "patched"


def test_store_lock_made_as_threading_makes_it(monkeypatch):
    import threading

    assert type(memstore._Cache()._lock) is type(threading.RLock())
    monkeypatch.setattr(threading, "_CRLock", None)  # what RLock() falls back to without the C lock
    assert type(memstore._Cache()._lock) is threading._PyRLock
    monkeypatch.setattr(memstore, "RLock", lambda: "replaced factory")
    assert memstore._Cache()._lock == "replaced factory"


def test_is_today_reads_to_date_at_call_time(monkeypatch):
    monkeypatch.setattr(memstore, "to_date", lambda d: datetime.now().date())
    assert memstore.is_today("not a date at all") is True
