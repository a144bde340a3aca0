"""The mixin that wraps any fetch in a per-client cache."""

from datetime import timedelta
from typing import Any, Callable, Dict, Optional

import pandas as pd

from .memstore import CacheKey, CacheStore, Namespace

__all__ = ["BaseMemoguard"]

class BaseMemoguard:
    """Mixin providing a shared _Cache instance and helper utilities."""

    # A _Cache after __init__; any store of the CacheStore interface may replace it.
    _cache: CacheStore
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def clear_cache(self, ns: Optional[str] = None) -> None: ...
    def _fetch_with_cache(
        self,
        namespace: Namespace,
        key: CacheKey,
        *,
        live: bool,
        fetcher: Callable[[], pd.DataFrame],
        ttl_live: Optional[timedelta],
        ttl_history: Optional[timedelta],
        params: Optional[Dict[str, Any]] = None,
        wait_timeout: float = 1.0,
        wait_interval: float = 0.05,
    ) -> pd.DataFrame: ...
