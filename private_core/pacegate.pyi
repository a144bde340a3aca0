"""Requests at the service's pace: a gate per API key, retries, and the adapter that installs both."""

import contextvars
import logging
import threading
from typing import Any, Callable, Iterable, Mapping, Optional, Union

import requests
from requests.adapters import HTTPAdapter
from typing_extensions import disjoint_base

from .wirelink import HttpSession

__all__ = ["Cancelled", "PaceAdapter", "PaceGate", "RetryPolicy", "attach"]

logger: logging.Logger
RETRY_STATUSES: tuple[int, ...]
RETRY_METHODS: tuple[str, ...]
_CANCEL: contextvars.ContextVar[Optional[threading.Event]]

class Cancelled(Exception):
    """A wait of the gate or the retry policy ended by a cancelled bulk fetch."""

@disjoint_base
class PaceGate:
    """Token buckets per API key, in this process or shared through Redis."""

    @property
    def rate(self) -> float: ...
    @property
    def burst(self) -> int: ...
    @property
    def prefix(self) -> str: ...
    def __init__(
        self,
        rate: float,
        burst: int = 1,
        *,
        redis: Any = None,
        prefix: str = "pacegate:",
        secret: Optional[Union[bytes, str]] = None,
        retry_interval: float = 1.0,
        clock: Optional[Callable[[], float]] = None,
        sleep: Optional[Callable[[float], object]] = None,
    ) -> None: ...
    def reserve(self, key: str, hold: float = 0.0) -> float: ...
    def acquire(self, key: str, hold: float = 0.0) -> float: ...

class RetryPolicy:
    """When and how long to wait before sending a failed request again."""

    attempts: int
    total_wait: float
    backoff: float
    backoff_max: float
    statuses: frozenset[int]
    methods: frozenset[str]
    transport_errors: bool
    def __init__(
        self,
        attempts: int = 5,
        *,
        total_wait: float = 60.0,
        backoff: float = 0.5,
        backoff_max: float = 16.0,
        statuses: Iterable[int] = (429, 503),
        methods: Iterable[str] = ("GET",),
        transport_errors: bool = False,
        clock: Optional[Callable[[], float]] = None,
        sleep: Optional[Callable[[float], object]] = None,
        random: Optional[Callable[[], float]] = None,
    ) -> None: ...
    def retries(self, method: str, status: Optional[int]) -> bool: ...
    def delay(self, failures: int, retry_after: Optional[str] = None) -> float: ...

class PaceAdapter(HTTPAdapter):
    """requests transport adapter that paces and retries."""

    gate: Optional[PaceGate]
    retry: RetryPolicy
    def __init__(self, gate: Optional[PaceGate] = None, retry: Optional[RetryPolicy] = None) -> None: ...
    def send(
        self,
        request: requests.PreparedRequest,
        stream: bool = False,
        timeout: Union[None, float, tuple[Optional[float], Optional[float]]] = None,
        verify: Union[bool, str] = True,
        cert: Union[None, bytes, str, tuple[Union[bytes, str], Union[bytes, str]]] = None,
        proxies: Optional[Mapping[str, str]] = None,
    ) -> requests.Response: ...

def attach(session: HttpSession, gate: Optional[PaceGate] = None, retry: Optional[RetryPolicy] = None) -> PaceAdapter: ...
