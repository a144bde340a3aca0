"""Intraday OHLCV bars and order-book records."""

from typing import List, Optional, Sequence, Union

import pandas as pd

from .helpers import IntervalIntraday
from .wirelink import HttpSession

ENDPOINT: str
ORDERBOOK_ENDPOINT: str

def _normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]: ...
def _render_progress(current: int, total: int, symbol: str) -> None: ...
def fetch_ohlcv(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: IntervalIntraday = "1m",
    adjusted: Optional[bool] = None,
    *,
    show_progress: bool = True,
) -> pd.DataFrame: ...
def fetch_orderbook(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    target_date: Optional[str] = None,
    *,
    show_progress: bool = True,
) -> pd.DataFrame: ...
