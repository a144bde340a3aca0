"""End-of-day bars kept per symbol in a store and refreshed incrementally."""

from typing import Any, Callable, Optional, Sequence, Union

import pandas as pd

from .helpers import Interval
from .wirelink import HttpSession

ENDPOINT: str
NAMESPACE: str

def default_store_path() -> str: ...
def _make_default_store() -> Any: ...
def fetch_ohlcv(
    session: HttpSession,
    symbol: Union[str, Sequence[str]],
    start: Optional[str] = None,
    end: Optional[str] = None,
    interval: Interval = "1D",
    *,
    store: Any = None,
    workers: int = 8,
    now: Optional[Callable[[], float]] = None,
    wait_timeout: float = 30.0,
    show_progress: bool = True,
) -> pd.DataFrame: ...
