"""End-of-day and intraday bars of many symbols, requested by a bounded number of workers."""

from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, Union, overload

import pandas as pd

from .helpers import Interval, IntervalIntraday
from .wirelink import HttpSession

EOD_ENDPOINT: str
INTRADAY_ENDPOINT: str

def _work(job: Any) -> None: ...
def _fetch_planned(
    session: HttpSession, plan: Dict[str, Dict[str, str]], *, workers: int = 8, show_progress: bool = True
) -> Tuple[Dict[str, List[Dict[str, Any]]], Dict[str, Exception]]: ...
@overload
def fetch_eod(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: Interval = "1D",
    *,
    workers: int = 8,
    errors: Literal["raise"] = "raise",
    show_progress: bool = True,
) -> pd.DataFrame: ...
@overload
def fetch_eod(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: Interval = "1D",
    *,
    workers: int = 8,
    errors: Literal["collect"],
    show_progress: bool = True,
) -> Tuple[pd.DataFrame, Dict[str, Exception]]: ...
@overload
def fetch_intraday(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: IntervalIntraday = "1m",
    adjusted: Optional[bool] = None,
    *,
    workers: int = 8,
    errors: Literal["raise"] = "raise",
    show_progress: bool = True,
) -> pd.DataFrame: ...
@overload
def fetch_intraday(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: IntervalIntraday = "1m",
    adjusted: Optional[bool] = None,
    *,
    workers: int = 8,
    errors: Literal["collect"],
    show_progress: bool = True,
) -> Tuple[pd.DataFrame, Dict[str, Exception]]: ...
