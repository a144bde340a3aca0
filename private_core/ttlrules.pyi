"""Freshness lifetimes per kind of data, and the live test of an end date."""

from datetime import timedelta
from typing import Optional

__all__ = [
    "touches_latest_trading_day",
    "ttl_intraday_live",
    "ttl_intraday_history",
    "ttl_orderbook_live",
    "ttl_eod_latest",
    "ttl_eod_history",
]

def touches_latest_trading_day(end: object) -> bool: ...
def ttl_intraday_live() -> timedelta: ...
def ttl_intraday_history() -> Optional[timedelta]: ...
def ttl_orderbook_live() -> timedelta: ...
def ttl_eod_latest() -> timedelta: ...
def ttl_eod_history() -> Optional[timedelta]: ...
