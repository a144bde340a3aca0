"""A cache store shared through Redis, with a process-local store in front."""

from datetime import timedelta
from threading import Thread
from typing import Any, Dict, List, Optional, Set, Union

from .memstore import CacheEntry, CacheKey, Namespace, _Cache

__all__ = ["RedisStore"]

class RedisStore:
    """Cache store shared through Redis, with a process-local _Cache in front.
    Single-flight across processes; leases free the slots of dead processes."""

    _redis: Any
    _prefix: str
    _local: _Cache
    _mac: Any
    _lease: float
    _lease_ms: int
    _retry_interval: float
    _outage: bool
    _prober: Optional[Thread]
    _held: Dict[bytes, List[str]]
    _renewer: Optional[Thread]
    _unshared: Set[str]
    _holder: str
    _begin_script: Any
    _end_script: Any
    _renew_script: Any
    def __init__(
        self,
        redis: Any,
        prefix: str = "private_core",
        *,
        secret: Optional[Union[bytes, str]] = None,
        lease: float = 10.0,
        retry_interval: float = 1.0,
    ) -> None: ...
    def get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(
        self,
        ns: Namespace,
        key: CacheKey,
        data: Any,
        *,
        params: Optional[Dict[str, Any]] = None,
        ttl: Optional[timedelta] = None,
    ) -> CacheEntry: ...
    def clear_ns(self, ns: Namespace) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: Namespace, key: CacheKey) -> bool: ...
    def _end_inflight(self, ns: Namespace, key: CacheKey) -> None: ...
    def _renew_leases(self) -> None: ...
    def _probe_redis(self) -> None: ...
