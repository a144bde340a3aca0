"""A cache store shared through Redis, with a process-local store in front."""

from datetime import timedelta
from typing import Any, Dict, Optional, Union

from typing_extensions import disjoint_base

from .memstore import CacheEntry, CacheKey, Namespace, _Cache

__all__ = ["RedisStore"]

@disjoint_base
class RedisStore:
    """Cache store shared through Redis, with a process-local _Cache in front.
    Single-flight across processes; leases free the slots of dead processes."""

    @property
    def _local(self) -> _Cache: ...
    @property
    def _outage(self) -> bool: ...
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
