"""A small market-data client built on private_core, the way a host package builds one.

One ``HttpSession`` per client, one cached method per fetcher: each method names
its request with a namespace and a key, asks the freshness rules whether the
request reaches today, and lets ``BaseMemoguard`` serve it from the cache or
fetch it once for all concurrent callers.

    with MarketClient(api_key, base_url=url) as client:
        bars = client.eod(["VNM", "FPT"], start="2024-01-02", end="2024-03-29")
"""

from __future__ import annotations

from datetime import date, datetime, timedelta
from typing import Any, Sequence, Union

import pandas as pd

from private_core import daybars, keygate, ledgerbook, ticklane, ttlrules
from private_core.helpers import Interval, IntervalIntraday
from private_core.investor import bridgework
from private_core.memoguard import BaseMemoguard
from private_core.wirelink import HttpSession
from tessaro.exceptions import DataDecodingError
from tessaro.types import ApiKeyValidationResponse

Symbols = Union[str, Sequence[str]]
DateLike = Union[str, date, datetime, None]

# Filings change a few times a year; an hour keeps a long session from showing stale figures.
REFERENCE_TTL = timedelta(hours=1)


def built() -> dict[str, bool]:
    """Which fetchers the installed native modules provide."""
    return {
        "eod": hasattr(daybars, "fetch_ohlcv"),
        "intraday": hasattr(ticklane, "fetch_ohlcv"),
        "orderbook": hasattr(ticklane, "fetch_orderbook"),
        "investor": hasattr(bridgework, "InvestorBridgework"),
    }


def _day(value: DateLike) -> DateLike:
    """The date part of an end bound: intraday bounds may carry a time of day."""
    if isinstance(value, str) and len(value) > 10:
        return value[:10]
    return value


def _symbol_key(normalize: Any, symbol: Symbols) -> tuple[str, ...]:
    # The fetcher de-duplicates without a stable order; the key must not depend on it.
    return tuple(sorted(normalize(symbol)))


class MarketClient(BaseMemoguard):
    """Prices, order books, investor flows and statements, cached per client."""

    def __init__(self, api_key: str, *, base_url: str, version: str = "0.1.0", timeout: int = 30) -> None:
        super().__init__()
        self.version = version
        self.session = HttpSession(api_key, base_url=base_url, version=version, timeout=timeout)
        self._investor: Any = None

    def close(self) -> None:
        self.session.close()

    def __enter__(self) -> MarketClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ------------------------------------------------------------ account

    def validate_key(self, *, include_messages: bool = True) -> ApiKeyValidationResponse:
        """Asks the service whether this client's key is valid (never cached)."""
        return keygate.validate_api_key(self.session, client_version=self.version, include_messages=include_messages)

    # ------------------------------------------------------------ prices

    def eod(self, symbol: Symbols, start: str | None = None, end: str | None = None, interval: Interval = "1D",
            *, show_progress: bool = True) -> pd.DataFrame:
        """End-of-day bars; history is cached for good, a range that reaches today for a minute."""
        key = (_symbol_key(daybars._normalize_symbols, symbol), start, end, interval)
        return self._fetch_with_cache(
            "eod", key,
            live=ttlrules.touches_latest_trading_day(end),
            fetcher=lambda: daybars.fetch_ohlcv(self.session, symbol, start, end, interval,
                                                show_progress=show_progress),
            ttl_live=ttlrules.ttl_eod_latest(), ttl_history=ttlrules.ttl_eod_history(),
            params={"symbol": list(key[0]), "start": start, "end": end, "interval": interval},
        )

    def intraday(self, symbol: Symbols, start: str | None = None, end: str | None = None,
                 interval: IntervalIntraday = "1m",
                 adjusted: bool | None = None, *, show_progress: bool = True) -> pd.DataFrame:
        """Intraday bars resampled to ``interval``; today's bars are cached for a minute."""
        key = (_symbol_key(ticklane._normalize_symbols, symbol), start, end, interval, adjusted)
        return self._fetch_with_cache(
            "intraday", key,
            live=ttlrules.touches_latest_trading_day(_day(end)),
            fetcher=lambda: ticklane.fetch_ohlcv(self.session, symbol, start, end, interval, adjusted,
                                                 show_progress=show_progress),
            ttl_live=ttlrules.ttl_intraday_live(), ttl_history=ttlrules.ttl_intraday_history(),
            params={"symbol": list(key[0]), "start": start, "end": end, "interval": interval, "adjusted": adjusted},
        )

    def orderbook(self, symbol: Symbols, target_date: str | None = None, *, show_progress: bool = True
                  ) -> pd.DataFrame:
        """Order-book records of one day; a past day's book no longer changes, so it never expires."""
        key = (_symbol_key(ticklane._normalize_symbols, symbol), target_date)
        return self._fetch_with_cache(
            "orderbook", key,
            live=ttlrules.touches_latest_trading_day(target_date),
            fetcher=lambda: ticklane.fetch_orderbook(self.session, symbol, target_date, show_progress=show_progress),
            ttl_live=ttlrules.ttl_orderbook_live(), ttl_history=None,
            params={"symbol": list(key[0]), "target_date": target_date},
        )

    # ------------------------------------------------------------ investor flows

    @property
    def investor(self) -> Any:
        """The investor bridge, made on first use and sharing this client's session."""
        if self._investor is None:
            self._investor = bridgework.InvestorBridgework(self.session)
        return self._investor

    def investor_flows(self, namespace: str, op: str, ids: Symbols, *, group: str | None = None,
                       start: DateLike = None, end: DateLike = None, interval: str = "1D",
                       **extra: Any) -> pd.DataFrame:
        """Investor statistics (``namespace`` stock, market or sector) as daily, weekly or monthly rows."""
        id_list = [ids] if isinstance(ids, str) else list(ids)
        params: dict[str, Any] = {"ids": id_list, "group": group, "start": start, "end": end,
                                  "interval": interval, **extra}
        key = (namespace.lower(), op.lower(), tuple(id_list), group, str(start), str(end), interval.upper(),
               tuple(sorted((k, repr(v)) for k, v in extra.items())))
        return self._fetch_with_cache(
            "investor", key,
            live=ttlrules.touches_latest_trading_day(end),
            fetcher=lambda: self.investor.fetch_df(namespace, op, params),
            ttl_live=ttlrules.ttl_eod_latest(), ttl_history=ttlrules.ttl_eod_history(),
            params=params,
        )

    # ------------------------------------------------------------ statements

    def company_types(self, symbols: Sequence[str]) -> pd.DataFrame:
        """One row per symbol with the company type the service knows it by."""
        key = tuple(ledgerbook._coerce_symbols(symbols))

        def fetch() -> pd.DataFrame:
            answer = ledgerbook.validate_company_types(self.session, symbols)
            types = answer.get("data")
            if not isinstance(types, dict):
                raise DataDecodingError("Unexpected company-type answer.")
            return pd.DataFrame({"symbol": list(types), "company_type": list(types.values())})

        return self._fetch_with_cache("company_types", key, live=False, fetcher=fetch,
                                      ttl_live=REFERENCE_TTL, ttl_history=REFERENCE_TTL)

    def statements(self, symbols: Sequence[str], *, statement_id: int, start_year: int, end_year: int,
                   period: str = "year") -> pd.DataFrame:
        """Statement values, one row per symbol and period."""
        key = (tuple(ledgerbook._coerce_symbols(symbols)), statement_id, start_year, end_year, period)

        def fetch() -> pd.DataFrame:
            answer = ledgerbook.fetch_statement_values(self.session, symbols=symbols, statement_id=statement_id,
                                                       start_year=start_year, end_year=end_year, period=period)
            if answer.get("error"):
                raise DataDecodingError(f"Backend returned error for statements: {answer['error']}")
            rows = answer.get("data")
            if not isinstance(rows, list):
                raise DataDecodingError("Unexpected statement answer.")
            return pd.DataFrame(rows)

        return self._fetch_with_cache("statements", key, live=False, fetcher=fetch,
                                      ttl_live=REFERENCE_TTL, ttl_history=REFERENCE_TTL,
                                      params={"statement_id": statement_id, "period": period})
