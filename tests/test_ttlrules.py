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


@pytest.mark.parametrize("end_on, live", [
    (lambda today: None, True), (lambda today: today, True),
    (lambda today: datetime.combine(today, datetime.min.time()), True), (date.isoformat, True),
    (lambda today: today - timedelta(days=1), False),
    # A range ending after today covers today's bars: live, never cached as history.
    (lambda today: today + timedelta(days=1), True), (lambda today: (today + timedelta(days=366)).isoformat(), True),
    (lambda today: "2099-12-31", True),
])
def test_touches_latest_trading_day(end_on, live):
    while True:  # asked again when the day changed during the call
        today = date.today()
        answer = ttlrules.touches_latest_trading_day(end_on(today))
        if date.today() == today:
            break
    assert answer is live


class FixedClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2024, 3, 5, 23, 59)


@pytest.mark.parametrize("end, live", [
    (None, True), ("2024-03-05", True), ("2024-03-06", True), (date(2025, 1, 1), True),
    ("2024-03-04", False), (FixedClock(2024, 3, 4, 23, 59), False),
])
def test_fixing_memstore_clock_fixes_both_answers(monkeypatch, end, live):
    from private_core import memstore
    monkeypatch.setattr(memstore, "datetime", FixedClock)
    assert ttlrules.touches_latest_trading_day(end) is live


@pytest.mark.parametrize("answer, end, expected", [
    (0, 3.5, 0),  # to_date cannot convert it: the replaced is_today's answer stands
    (False, "2099-12-31", True),
    (None, "2000-01-01", False),
])
def test_replaced_is_today_and_what_to_date_makes_of_the_end(monkeypatch, answer, end, expected):
    monkeypatch.setattr(ttlrules, "is_today", lambda d: answer)
    assert ttlrules.touches_latest_trading_day(end) is expected


def test_live_check_uses_current_is_today(monkeypatch):
    seen = []
    monkeypatch.setattr(ttlrules, "is_today", lambda d: seen.append(d) or "answer")
    assert ttlrules.touches_latest_trading_day("x") == "answer" and seen == ["x"]


@pytest.mark.parametrize("end, message", [(3.5, "Unsupported date type: <class 'float'>"), ("05/03/2024", "format")])
def test_bad_dates_propagate(end, message):
    with pytest.raises(ValueError, match=message):
        ttlrules.touches_latest_trading_day(end)
