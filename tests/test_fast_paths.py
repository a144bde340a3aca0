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
