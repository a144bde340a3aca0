"""End-of-day OHLCV bars for one symbol or a batch."""

from typing import List, Optional, Sequence, Union

import pandas as pd

from .helpers import Interval
from .wirelink import HttpSession

ENDPOINT: str

def _normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]: ...
def _render_progress(current: int, total: int, symbol: str) -> None: ...
def fetch_ohlcv(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: Interval = "1D",
    *,
    show_progress: bool = True,
) -> pd.DataFrame: ...
