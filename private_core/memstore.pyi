"""In-memory frame store with expiry and a single-flight registry."""

from dataclasses import dataclass
from datetime import date, datetime, timedelta
from threading import RLock
from typing import Any, Dict, Hashable, Optional, Protocol, Tuple, type_check_only

import pandas as pd

__all__ = ["_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"]

CacheKey = Tuple[Hashable, ...]
Namespace = str

@dataclass
class CacheEntry:
    data: pd.DataFrame
    fetched_at: datetime
    params: Dict[str, Any] = ...
    expires_at: Optional[datetime] = None
    def is_expired(self) -> bool: ...

@type_check_only
class CacheStore(Protocol):
    """What BaseMemoguard asks of the store in its ``_cache``: this module's
    ``_Cache``, ``redisstore.RedisStore`` and any store of your own with these
    methods.  It exists for type checkers only (import it under
    ``typing.TYPE_CHECKING``)."""

    def get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(
        self,
        ns: Namespace,
        key: CacheKey,
        data: pd.DataFrame,
        *,
        params: Optional[Dict[str, Any]] = ...,
        ttl: Optional[timedelta] = ...,
    ) -> CacheEntry: ...
    def clear_ns(self, ns: Namespace) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: Namespace, key: CacheKey) -> bool: ...
    def _end_inflight(self, ns: Namespace, key: CacheKey) -> None: ...

class _Cache:
    """Namespace-keyed cache with optional TTL and (optional) singleflight.
    Thread-safe via RLock."""

    _store: Dict[Namespace, Dict[CacheKey, CacheEntry]]
    _lock: RLock
    _inflight: Optional[Dict[Tuple[Namespace, CacheKey], int]]
    _singleflight: bool
    def __init__(self, enable_singleflight: bool = True) -> None: ...
    def get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(
        self,
        ns: Namespace,
        key: CacheKey,
        data: pd.DataFrame,
        *,
        params: Optional[Dict[str, Any]] = None,
        ttl: Optional[timedelta] = None,
    ) -> CacheEntry: ...
    def clear_ns(self, ns: Namespace) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: Namespace, key: CacheKey) -> bool: ...
    def _end_inflight(self, ns: Namespace, key: CacheKey) -> None: ...

def to_date(d: Any) -> date: ...
def is_today(d: Any) -> bool: ...
