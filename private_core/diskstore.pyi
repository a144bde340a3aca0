"""A cache store kept in one directory, shared by the processes of one machine."""

import os
from datetime import timedelta
from typing import Any, Dict, Optional, Union

from typing_extensions import disjoint_base

from .memstore import CacheEntry, CacheKey, Namespace, _Cache

__all__ = ["DiskStore"]

# Instances carry native state: a class cannot derive from this and another such class at once.
@disjoint_base
class DiskStore:
    """Cache store kept in one directory, shared by the processes of this machine, with a
    process-local _Cache in front.  Single-flight across processes under renewed leases."""

    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        *,
        max_bytes: int = 268435456,
        secret: Optional[Union[bytes, str]] = None,
        lease: float = 10.0,
    ) -> None: ...
    @property
    def _local(self) -> _Cache: ...
    @property
    def path(self) -> str: ...
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
