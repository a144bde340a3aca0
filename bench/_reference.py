"""Plain-Python renderings of the native modules, the baselines of the benchmarks.

Each function does what its native counterpart does, argument checks included,
written as ordinary Python; the benchmarks time both on the same inputs.  The
progress meter's rendering lives in `_reference_progress` so that it has its
own module namespace to patch, as the native module has.
"""

from __future__ import annotations

import logging
import re
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from typing import Any, Dict, Optional
from urllib.parse import urljoin

import requests
from pydantic import ValidationError
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError
from tessaro.types import ApiKeyValidationResponse

logger = logging.getLogger("bench.reference")


def _type_error(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


# -- wirelink ----------------------------------------------------------------------

BASE_URL = "https://api.tessaro.vn/api/v1/tessaro"
DEFAULT_TIMEOUT = 30
_UNSENDABLE = re.compile("[\x00-\x1f\x7f\u0100-\U0010ffff]")


def _default_user_agent(version: str) -> str:
    if type(version) is not str:
        raise _type_error("version", "str", version)
    return f"tessaro/{version}"


class HttpSession:
    def __init__(self, api_key, *, base_url=BASE_URL, version="0.0.0", timeout=DEFAULT_TIMEOUT, user_agent=None):
        if type(api_key) is not str:
            raise _type_error("api_key", "str", api_key)
        if type(base_url) is not str:
            raise _type_error("base_url", "str", base_url)
        if type(version) is not str:
            raise _type_error("version", "str", version)
        if type(timeout) is not int:
            timeout = int(timeout)
        if user_agent is not None and type(user_agent) is not str:
            raise _type_error("user_agent", "str", user_agent)
        if _UNSENDABLE.search(api_key):
            raise ValueError("api_key contains characters that cannot be sent in an HTTP header")
        self.api_key = api_key
        self.base_url = base_url.rstrip("/")
        self.timeout = timeout
        self._session = requests.Session()
        ua = user_agent or _default_user_agent(version)
        self._session.headers.update({
            "Authorization": f"Bearer {api_key}",
            "Accept": "application/json",
            "Content-Type": "application/json",
            "User-Agent": ua,
        })

    def _prepare_url(self, path):
        if type(path) is not str:
            raise _type_error("path", "str", path)
        if path.startswith(("http://", "https://")):
            return path
        return urljoin(f"{self.base_url}/", path.lstrip("/"))

    def request(self, method, path, *, params=None, json_body=None, data=None, headers=None, timeout=None):
        if type(method) is not str:
            raise _type_error("method", "str", method)
        if type(path) is not str:
            raise _type_error("path", "str", path)
        for name, value in (("params", params), ("json_body", json_body), ("headers", headers)):
            if value is not None and type(value) is not dict:
                raise _type_error(name, "dict", value)
        if timeout is not None and type(timeout) is not int:
            timeout = int(timeout)
        url = self._prepare_url(path)
        merged = {}
        if headers:
            merged.update(headers)
        logger.debug("HTTP %s %s params=%s", method, url, params)
        try:
            response = self._session.request(method, url, params=params, json=json_body, data=data,
                                             headers=merged or None, timeout=timeout or self.timeout)
        except requests.RequestException as exc:
            raise HttpError("⛔️ Tải dữ liệu lỗi vui lòng tải lại!") from exc
        if response.status_code >= 400:
            try:
                payload = response.json()
            except (ValueError, RecursionError):
                payload = response.text
            raise HttpError(f"Tessaro backend returned HTTP {response.status_code} for {url}",
                            status_code=response.status_code, payload=payload)
        return response

    def get(self, path, *, params=None, headers=None, timeout=None):
        return self.request("GET", path, params=params, headers=headers, timeout=timeout)

    def post(self, path, *, json_body=None, data=None, headers=None, timeout=None):
        return self.request("POST", path, json_body=json_body, data=data, headers=headers, timeout=timeout)

    def close(self):
        self._session.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.close()


# -- ledgerbook --------------------------------------------------------------------

_COMPANY_TYPE_ENDPOINT = "/reporting/meta/company-types/validate"
_STATEMENT_ENDPOINT = "/reporting/statements/values"


def _ensure_json_dict(payload, *, context):
    if type(context) is not str:
        raise _type_error("context", "str", context)
    if not isinstance(payload, Mapping):
        raise DataDecodingError(f"Unexpected payload structure for {context}.")
    return dict(payload)


def _decode_response(response, *, context):
    if type(context) is not str:
        raise _type_error("context", "str", context)
    try:
        payload = response.json()
    except (ValueError, RecursionError) as exc:
        raise DataDecodingError(f"Unable to decode JSON response for {context}.") from exc
    return _ensure_json_dict(payload, context=context)


def _coerce_symbols(symbols):
    if isinstance(symbols, str):
        symbols = [symbols]
    cleaned = []
    for item in symbols:
        if not isinstance(item, str):
            raise TypeError(f"symbols must contain only strings, got {type(item).__name__}")
        if not str(item).strip():
            continue
        cleaned.append(item.strip().upper())
    if not cleaned:
        raise ValueError("symbols must contain at least one non-empty value.")
    return cleaned


def validate_company_types(session, symbols):
    params = {"symbol": _coerce_symbols(symbols)}
    response = session.get(_COMPANY_TYPE_ENDPOINT, params=params)
    return _decode_response(response, context=_COMPANY_TYPE_ENDPOINT)


def fetch_statement_values(session, *, symbols, statement_id, start_year, end_year, period):
    if type(statement_id) is not int:
        statement_id = int(statement_id)
    if type(start_year) is not int:
        start_year = int(start_year)
    if type(end_year) is not int:
        end_year = int(end_year)
    if type(period) is not str:
        raise _type_error("period", "str", period)
    body = {"symbol": _coerce_symbols(symbols), "statement_id": statement_id, "start_year": start_year,
            "end_year": end_year, "period": period}
    response = session.post(_STATEMENT_ENDPOINT, json_body=body)
    return _decode_response(response, context=_STATEMENT_ENDPOINT)


# -- keygate -----------------------------------------------------------------------

VALIDATION_ENDPOINT = "/auth/validate"


def validate_api_key(session, *, client_version, include_messages=True, extra_context=None):
    if type(client_version) is not str:
        raise _type_error("client_version", "str", client_version)
    include_messages = bool(include_messages)
    if extra_context is not None and type(extra_context) is not dict:
        raise _type_error("extra_context", "dict", extra_context)
    body = {"apiKey": session.api_key, "clientVersion": client_version, "includeMessages": include_messages}
    if extra_context:
        body["context"] = extra_context
    try:
        response = session.post(VALIDATION_ENDPOINT, json_body=body)
    except HttpError as exc:
        raise ApiKeyValidationError("Backend rejected API key validation") from exc
    except Exception as exc:
        logger.exception("Failed to validate API key with Tessaro backend")
        raise ApiKeyValidationError("Unable to validate API key") from exc
    try:
        payload = response.json()
    except (ValueError, RecursionError) as exc:
        raise ApiKeyValidationError("Backend returned invalid JSON payload") from exc
    try:
        result = ApiKeyValidationResponse.model_validate(payload)
    except ValidationError as exc:
        raise ApiKeyValidationError("Backend response did not match expected schema") from exc
    logger.debug("API key validated successfully for version %s", client_version)
    return result


# -- memstore ----------------------------------------------------------------------


@dataclass
class CacheEntry:
    data: Any
    fetched_at: datetime
    params: Dict[str, Any] = field(default_factory=dict)
    expires_at: Optional[datetime] = None

    def is_expired(self) -> bool:
        if self.expires_at is None:
            return False
        return datetime.now() >= self.expires_at


class Cache:
    def __init__(self, enable_singleflight: bool = True) -> None:
        self._store: Dict[str, Dict[Any, CacheEntry]] = {}
        self._lock = threading.RLock()
        enable_singleflight = bool(enable_singleflight)
        self._inflight = {} if enable_singleflight else None
        self._singleflight = enable_singleflight

    def get(self, ns, key):
        with self._lock:
            bucket = self._store.get(ns)
            if not bucket:
                return None
            entry = bucket.get(key)
            if entry is None:
                return None
            if entry.is_expired():
                bucket.pop(key, None)
                return None
            return entry

    def set(self, ns, key, data, *, params=None, ttl=None):
        if params is not None and type(params) is not dict:
            raise _type_error("params", "dict", params)
        with self._lock:
            if ns not in self._store:
                self._store[ns] = {}
            expires_at = datetime.now() + ttl if ttl else None
            entry = CacheEntry(data=data, fetched_at=datetime.now(), params=params or {}, expires_at=expires_at)
            self._store[ns][key] = entry
            return entry

    def clear_ns(self, ns):
        with self._lock:
            self._store.pop(ns, None)

    def clear_all(self):
        with self._lock:
            self._store.clear()

    def _begin_inflight(self, ns, key):
        if not self._singleflight:
            return True
        assert self._inflight is not None
        pair = (ns, key)
        with self._lock:
            cnt = self._inflight.get(pair, 0)
            self._inflight[pair] = cnt + 1
            return cnt == 0

    def _end_inflight(self, ns, key):
        if not self._singleflight:
            return
        assert self._inflight is not None
        pair = (ns, key)
        with self._lock:
            cnt = self._inflight.get(pair, 1)
            if cnt <= 1:
                self._inflight.pop(pair, None)
            else:
                self._inflight[pair] = cnt - 1


def to_date(d):
    if d is None:
        return datetime.now().date()
    if isinstance(d, date) and not isinstance(d, datetime):
        return d
    if isinstance(d, datetime):
        return d.date()
    if isinstance(d, str):
        return datetime.strptime(d, "%Y-%m-%d").date()
    raise ValueError(f"Unsupported date type: {type(d)}")


def is_today(d):
    return to_date(d) == datetime.now().date()


# -- ttlrules ----------------------------------------------------------------------


def touches_latest_trading_day(end):
    live = is_today(end)
    if live:
        return live
    try:
        day = to_date(end)
    except ValueError:
        return live
    return day > to_date(None)


def ttl_intraday_live():
    return timedelta(minutes=1)


def ttl_intraday_history():
    return None


def ttl_orderbook_live():
    return timedelta(minutes=1)


def ttl_eod_latest():
    return timedelta(minutes=1)


def ttl_eod_history():
    return None


# -- memoguard ---------------------------------------------------------------------


class Memoguard:
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._cache = Cache(enable_singleflight=True)

    def clear_cache(self, ns=None):
        if ns is not None and type(ns) is not str:
            raise _type_error("ns", "str", ns)
        if ns:
            self._cache.clear_ns(ns)
        else:
            self._cache.clear_all()

    def _fetch_with_cache(self, namespace, key, *, live, fetcher, ttl_live, ttl_history, params=None,
                          wait_timeout=1.0, wait_interval=0.05):
        # The entry checks the native helper performs, so both do the same work.
        if params is not None and type(params) is not dict:
            raise _type_error("params", "dict", params)
        live = bool(live)
        wait_timeout = float(wait_timeout)
        wait_interval = float(wait_interval)
        if not live:
            hit = self._cache.get(namespace, key)
            if hit is not None:
                return hit.data
        should_fetch = self._cache._begin_inflight(namespace, key)
        try:
            if not should_fetch:
                deadline = time.monotonic() + wait_timeout
                while time.monotonic() < deadline:
                    hit = self._cache.get(namespace, key)
                    if hit is not None:
                        return hit.data
                    time.sleep(wait_interval)
            data = fetcher()
            self._cache.set(namespace, key, data, params=params, ttl=ttl_live if live else ttl_history)
            return data
        finally:
            self._cache._end_inflight(namespace, key)
