"""Authenticated HTTP session used by every fetcher."""

import logging
from types import TracebackType
from typing import TYPE_CHECKING as TYPE_CHECKING, Any, Dict, Optional

import requests

logger: logging.Logger
BASE_URL: str
DEFAULT_TIMEOUT: int

def _default_user_agent(version: str) -> str: ...

class HttpSession:
    """Lightweight wrapper around :class:`requests.Session` with Tessaro defaults."""

    api_key: str
    base_url: str
    timeout: int
    _session: requests.Session
    def __init__(
        self,
        api_key: str,
        *,
        base_url: str = ...,
        version: str = "0.0.0",
        timeout: int = 30,
        user_agent: Optional[str] = None,
    ) -> None: ...
    def _prepare_url(self, path: str) -> str: ...
    def request(
        self,
        method: str,
        path: str,
        *,
        params: Optional[Dict[str, Any]] = None,
        json_body: Optional[Dict[str, Any]] = None,
        data: Optional[Any] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def get(
        self,
        path: str,
        *,
        params: Optional[Dict[str, Any]] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def post(
        self,
        path: str,
        *,
        json_body: Optional[Dict[str, Any]] = None,
        data: Optional[Any] = None,
        headers: Optional[Dict[str, str]] = None,
        timeout: Optional[int] = None,
    ) -> requests.Response: ...
    def close(self) -> None: ...
    def __enter__(self) -> HttpSession: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
