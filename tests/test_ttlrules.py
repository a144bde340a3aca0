"""Tests for the freshness rules: live detection and lifetimes per kind of data."""

from datetime import date, datetime, timedelta

import pytest

from private_core import ttlrules

ALL = ["touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live",
       "ttl_eod_latest", "ttl_eod_history"]
LIVE = ["ttl_intraday_live", "ttl_orderbook_live", "ttl_eod_latest"]
HISTORY = ["ttl_intraday_history", "ttl_eod_history"]


def test_module_surface():
    names = [n for n in vars(ttlrules) if not n.startswith("__")]
    assert names == ["timedelta", "Optional", "is_today", *ALL] and ttlrules.__all__ == ALL
    assert ttlrules.ttl_eod_history.__doc__ == "ttl_eod_history() -> Optional[timedelta]"


@pytest.mark.parametrize("name", LIVE + HISTORY)
def test_lifetimes(name):
    fn = getattr(ttlrules, name)
    first, second = fn(), fn()
    if name in LIVE:
        assert first == timedelta(seconds=60) and first is not second
    else:
        assert first is None
    with pytest.raises(TypeError):
        fn(1)


@pytest.mark.parametrize("end, live", [
    (None, True), (date.today(), True), (datetime.combine(date.today(), datetime.min.time()), True),
    (date.today().isoformat(), True), (date.today() - timedelta(days=1), False),
    (date.today() + timedelta(days=1), False),
])
def test_touches_latest_trading_day(end, live):
    assert ttlrules.touches_latest_trading_day(end) is live


def test_live_check_uses_current_is_today(monkeypatch):
    seen = []
    monkeypatch.setattr(ttlrules, "is_today", lambda d: seen.append(d) or "answer")
    assert ttlrules.touches_latest_trading_day("x") == "answer" and seen == ["x"]


@pytest.mark.parametrize("end, message", [(3.5, "Unsupported date type: <class 'float'>"), ("05/03/2024", "format")])
def test_bad_dates_propagate(end, message):
    with pytest.raises(ValueError, match=message):
        ttlrules.touches_latest_trading_day(end)
