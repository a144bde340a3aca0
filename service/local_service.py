"""A local stand-in for the market-data service, for offline work, the demo and tests.

It serves every API path the native modules call, under the same base path,
with deterministic synthetic data for a realistic set of Vietnamese tickers,
and checks the bearer token like the real service. Standard library only; it
listens on 127.0.0.1.

    python service/local_service.py --port 8000

Test hooks that only this service knows:

- a ticker (or investor identifier) of the form ``FAULT-<status>`` answers with
  that HTTP status and a JSON "detail"; ``FAULT-ERROR`` answers 200 with an
  "error" member; ``FAULT-HTML`` answers 200 with an HTML page;
- an unknown ticker answers 200 with an "error" member (price endpoints) or
  422 (investor and statement endpoints), as the real service does;
- POST to /market-data/investor/market/flow answers 405: that path is GET-only;
- ``LocalService.latency`` delays every answer, ``LocalService.requests`` logs them;
- ``LocalService(quota=N)`` (``--quota N``) answers 429 with Retry-After beyond N
  requests per second per key, as the real service does;
- ``LocalService(today=...)`` and ``set_today`` fix the service's date: bars
  after it do not exist yet, and adjusted prices before an ex-rights date are
  revised once it passes that date (a corporate action);
- ``LocalService(row_cost=...)`` adds that many seconds per row served (the
  real service's answer time grows with its rows), and ``rows_served`` counts
  the rows answered per path.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import random
import threading
import time as clock
from collections import deque
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit

BASE_PATH = "/api/v1/tessaro"
DEMO_API_KEY = "demo-key"
DEFAULT_PORT = 8000

# ticker -> (exchange, ICB sector code, company type, reference price in thousand VND)
STOCKS: dict[str, tuple[str, str, str, float]] = {
    "ACB": ("HOSE", "8300", "bank", 24.5), "BCM": ("HOSE", "8600", "non-financial", 62.0),
    "BID": ("HOSE", "8300", "bank", 47.0), "BVH": ("HOSE", "8500", "insurance", 42.0),
    "CTG": ("HOSE", "8300", "bank", 33.0), "FPT": ("HOSE", "9500", "non-financial", 115.0),
    "GAS": ("HOSE", "0500", "non-financial", 76.0), "GVR": ("HOSE", "1300", "non-financial", 30.0),
    "HDB": ("HOSE", "8300", "bank", 23.0), "HPG": ("HOSE", "1700", "non-financial", 28.0),
    "MBB": ("HOSE", "8300", "bank", 23.5), "MSN": ("HOSE", "3500", "non-financial", 72.0),
    "MWG": ("HOSE", "5300", "non-financial", 55.0), "PLX": ("HOSE", "0500", "non-financial", 38.0),
    "POW": ("HOSE", "7500", "non-financial", 12.0), "SAB": ("HOSE", "3500", "non-financial", 58.0),
    "SHB": ("HOSE", "8300", "bank", 11.2), "SSB": ("HOSE", "8300", "bank", 17.5),
    "SSI": ("HOSE", "8700", "securities", 33.0), "STB": ("HOSE", "8300", "bank", 31.0),
    "TCB": ("HOSE", "8300", "bank", 24.0), "TPB": ("HOSE", "8300", "bank", 17.0),
    "VCB": ("HOSE", "8300", "bank", 91.0), "VHM": ("HOSE", "8600", "non-financial", 42.0),
    "VIB": ("HOSE", "8300", "bank", 21.0), "VIC": ("HOSE", "8600", "non-financial", 45.0),
    "VJC": ("HOSE", "5700", "non-financial", 102.0), "VNM": ("HOSE", "3500", "non-financial", 66.0),
    "VPB": ("HOSE", "8300", "bank", 19.5), "VRE": ("HOSE", "8600", "non-financial", 21.0),
    "DGC": ("HOSE", "1300", "non-financial", 110.0), "REE": ("HOSE", "2300", "non-financial", 63.0),
    "PNJ": ("HOSE", "3700", "non-financial", 96.0), "VND": ("HOSE", "8700", "securities", 15.5),
    "HCM": ("HOSE", "8700", "securities", 27.0), "SHS": ("HNX", "8700", "securities", 16.0),
    "PVS": ("HNX", "0500", "non-financial", 35.0), "IDC": ("HNX", "8600", "non-financial", 55.0),
}
VN30 = ("ACB", "BCM", "BID", "BVH", "CTG", "FPT", "GAS", "GVR", "HDB", "HPG", "MBB", "MSN", "MWG", "PLX", "POW",
        "SAB", "SHB", "SSB", "SSI", "STB", "TCB", "TPB", "VCB", "VHM", "VIB", "VIC", "VJC", "VNM", "VPB", "VRE")
INDICES: dict[str, float] = {"VNINDEX": 1250.0, "VN30": 1290.0, "HNXINDEX": 235.0, "UPCOMINDEX": 93.0}
SECTORS: dict[str, str] = {
    "0500": "Oil & Gas", "1300": "Chemicals", "1700": "Basic Resources", "2300": "Construction & Materials",
    "3500": "Food & Beverage", "3700": "Personal & Household Goods", "5300": "Retail", "5700": "Travel & Leisure",
    "7500": "Utilities", "8300": "Banks", "8500": "Insurance", "8600": "Real Estate",
    "8700": "Financial Services", "9500": "Technology",
}
INVESTOR_GROUPS = ("foreign", "proprietary", "local_institutional", "local_individual",
                   "foreign_institutional", "foreign_individual", "all")
INVESTOR_OPS = {"stock": ("flow", "breakdown", "foreign_room"), "market": ("flow", "breakdown"),
                "sector": ("flow", "breakdown", "foreign_room")}
# The one investor path that accepts GET only, so clients meet the POST-to-GET fallback.
GET_ONLY_INVESTOR_PATH = "/market-data/investor/market/flow"

# Exchange holidays (Tet and the fixed national days), enough for the years the data covers.
HOLIDAYS = frozenset(
    [date(y, 1, 1) for y in range(2020, 2028)]
    + [date(y, m, d) for y in range(2020, 2028) for m, d in ((4, 30), (5, 1), (9, 2))]
    + [date(2024, 2, d) for d in (8, 9, 12, 13, 14)] + [date(2024, 4, 18), date(2024, 9, 3)]
    + [date(2025, 1, d) for d in (27, 28, 29, 30, 31)] + [date(2025, 4, 7), date(2025, 9, 1)]
    + [date(2026, 2, d) for d in (16, 17, 18, 19, 20)] + [date(2026, 4, 27)]
)
MORNING = (time(9, 15), time(11, 30))
AFTERNOON = (time(13, 0), time(14, 30))
CLOSING_AUCTION = time(14, 45)
MAX_INTRADAY_DAYS = 31
MAX_HISTORY_YEARS = 30
# One answer holds at most this many rows (a row costs about 0.1 ms to make):
# a request for thousands of identifiers over decades is refused at once
# instead of holding a thread for minutes and the memory for gigabytes.
MAX_ROWS = 20_000
# Request bodies are small JSON objects; anything larger is refused unread.
MAX_BODY_BYTES = 1 << 20
# Seconds a connection may stay silent (before its request, within its body)
# before it is closed, so idle clients cannot hold threads forever.
IDLE_TIMEOUT = 10.0
FIRST_YEAR = 1900


class ServiceError(Exception):
    """An answer other than 200, with the JSON "detail" the real service sends."""

    def __init__(self, status: int, detail: str, headers: dict[str, str] | None = None) -> None:
        super().__init__(detail)
        self.status, self.detail, self.headers = status, detail, headers or {}


# ---------------------------------------------------------------- calendar and prices


def _seed(*parts: object) -> int:
    digest = hashlib.blake2b("|".join(map(str, parts)).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "big")


def _unit(*parts: object) -> float:
    """A deterministic number in [0, 1) for the given parts."""
    return _seed(*parts) / 2**64


def is_trading_day(day: date) -> bool:
    return day.weekday() < 5 and day not in HOLIDAYS


def trading_days(first: date, last: date) -> list[date]:
    span = (last - first).days + 1
    return [d for d in (first + timedelta(n) for n in range(max(span, 0))) if is_trading_day(d)]


def last_trading_day(on_or_before: date) -> date:
    day = on_or_before
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def _tick(price: float, instrument: str) -> float:
    if instrument in INDICES:
        return 0.01
    return 0.01 if price < 10 else 0.05 if price < 50 else 0.1


def _round_tick(price: float, instrument: str) -> float:
    step = _tick(price, instrument)
    return round(round(price / step) * step, 2)


def _reference_price(instrument: str) -> float:
    return INDICES[instrument] if instrument in INDICES else STOCKS[instrument][3]


def _model_close(instrument: str, day: date) -> float:
    """A smooth trend plus daily noise: closed-form, so any day costs the same."""
    t = day.toordinal()
    phase1, phase2 = _unit(instrument, "p1") * 2 * math.pi, _unit(instrument, "p2") * 2 * math.pi
    noise = _unit(instrument, day, "close") * 2 - 1
    log_move = 0.18 * math.sin(2 * math.pi * t / 365 + phase1) + 0.07 * math.sin(2 * math.pi * t / 47 + phase2)
    return _reference_price(instrument) * math.exp(log_move + 0.015 * noise)


def _ex_rights_date(instrument: str) -> date | None:
    """Stocks have one dividend event; prices before it are adjusted by 0.95."""
    if instrument in INDICES:
        return None
    return date(2024, 1, 1) + timedelta(days=_seed(instrument, "ex") % 730)


def _adjustment(instrument: str, day: date, adjusted: bool, as_of: date | None) -> float:
    """Raw prices before the ex-rights date stand 1/0.95 above the adjusted ones.
    Adjusted prices are adjusted only for events that have happened by ``as_of``
    (None: every event): before its ex-rights date a dividend changes nothing,
    and once the service's date passes it the adjusted history before it is revised."""
    ex_date = _ex_rights_date(instrument)
    if ex_date is None or day >= ex_date:
        return 1.0
    happened = as_of is None or as_of >= ex_date
    return 1.0 if adjusted and happened else 1 / 0.95


def daily_bar(instrument: str, day: date, adjusted: bool = True, as_of: date | None = None) -> dict[str, Any]:
    factor = _adjustment(instrument, day, adjusted, as_of)
    close = _model_close(instrument, day)
    previous = _model_close(instrument, last_trading_day(day - timedelta(days=1)))
    open_ = previous * (1 + 0.005 * (_unit(instrument, day, "open") * 2 - 1))
    high = max(open_, close) * (1 + 0.012 * _unit(instrument, day, "high"))
    low = min(open_, close) * (1 - 0.012 * _unit(instrument, day, "low"))

    def rnd(price: float) -> float:
        return _round_tick(price * factor, instrument)

    open_r, close_r = rnd(open_), rnd(close)
    base_volume = 120_000_000 if instrument in INDICES else 300_000 + _seed(instrument, "vol") % 9_000_000
    volume = int(base_volume * (0.6 + 0.8 * _unit(instrument, day, "volume"))) // 100 * 100
    return {"time": day.isoformat(), "open": open_r, "high": max(rnd(high), open_r, close_r),
            "low": min(rnd(low), open_r, close_r), "close": close_r, "volume": volume}


def _session_minutes(day: date) -> list[datetime]:
    minutes = []
    for begin, end in (MORNING, AFTERNOON):
        at = datetime.combine(day, begin)
        while at.time() < end:
            minutes.append(at)
            at += timedelta(minutes=1)
    minutes.append(datetime.combine(day, CLOSING_AUCTION))
    return minutes


def minute_bars(instrument: str, day: date, adjusted: bool = True, as_of: date | None = None) -> list[dict[str, Any]]:
    """One-minute bars of one day whose open, high, low, close and volume add up to the daily bar."""
    bar = daily_bar(instrument, day, adjusted, as_of)
    minutes = _session_minutes(day)
    n = len(minutes)
    rng = random.Random(_seed(instrument, day, "minutes"))
    walk = [0.0]
    for _ in range(n):
        walk.append(walk[-1] + rng.gauss(0, 1))
    span = bar["high"] - bar["low"]
    path = [bar["open"] + (bar["close"] - bar["open"]) * i / n + (walk[i] - walk[n] * i / n) * span / (3 * math.sqrt(n))
            for i in range(n + 1)]
    path = [min(max(p, bar["low"]), bar["high"]) for p in path]
    weights = [1 + 1.5 * ((i - n / 2) / (n / 2)) ** 2 * rng.uniform(0.5, 1.5) for i in range(n - 1)] + [8.0]
    total = sum(weights)
    lots = [int(bar["volume"] / 100 * w / total) for w in weights]
    lots[-1] += bar["volume"] // 100 - sum(lots)
    rows: list[dict[str, Any]] = []
    for i, at in enumerate(minutes):
        o, c = _round_tick(path[i], instrument), _round_tick(path[i + 1], instrument)
        wiggle = span * 0.05 * rng.random()
        rows.append({"time": at.isoformat(), "open": o, "high": _round_tick(min(max(o, c) + wiggle, bar["high"]), instrument),
                     "low": _round_tick(max(min(o, c) - wiggle, bar["low"]), instrument), "close": c,
                     "volume": lots[i] * 100})
    rows[0]["open"], rows[-1]["close"] = bar["open"], bar["close"]
    for row in (rows[0], rows[-1]):
        row["high"], row["low"] = max(row["high"], row["open"], row["close"]), min(row["low"], row["open"], row["close"])
    max(rows, key=lambda r: r["high"])["high"] = bar["high"]
    min(rows, key=lambda r: r["low"])["low"] = bar["low"]
    return rows


def orderbook_records(instrument: str, day: date) -> list[dict[str, Any]]:
    """Matched orders of one day with the best three bid and ask levels after each match."""
    bars = minute_bars(instrument, day)
    rng = random.Random(_seed(instrument, day, "orderbook"))
    picks = sorted(rng.sample(range(len(bars) - 1), k=min(len(bars) - 1, 60 + _seed(instrument, day) % 90)))
    records = []
    for index in picks + [len(bars) - 1]:
        bar = bars[index]
        price = bar["close"]
        step = _tick(price, instrument)
        at = datetime.fromisoformat(bar["time"]) + timedelta(seconds=rng.randrange(60) if index < len(bars) - 1 else 0)
        record: dict[str, Any] = {"time": at.isoformat(), "price": price, "volume": rng.randint(1, 200) * 100,
                                  "side": rng.choice(("buy", "sell"))}
        # A buyer took the best ask, so what is left of it stays at the match price (and vice versa).
        best_bid = price - step * (record["side"] == "buy")
        best_ask = price + step * (record["side"] == "sell")
        for level in (1, 2, 3):
            record[f"bid_price_{level}"] = round(best_bid - (level - 1) * step, 2)
            record[f"bid_volume_{level}"] = rng.randint(1, 500) * 100
        for level in (1, 2, 3):
            record[f"ask_price_{level}"] = round(best_ask + (level - 1) * step, 2)
            record[f"ask_volume_{level}"] = rng.randint(1, 500) * 100
        records.append(record)
    return records


# ---------------------------------------------------------------- investor flows and statements


def _flow_numbers(identifier: str, day: date, group: str) -> dict[str, Any]:
    scale = 2_000_000 if identifier in INDICES or identifier in SECTORS else 150_000
    buy = int(scale * (0.3 + _unit(identifier, day, group, "buy"))) // 100 * 100
    sell = int(scale * (0.3 + _unit(identifier, day, group, "sell"))) // 100 * 100
    price = _model_close(identifier, day) if identifier in STOCKS else 30.0  # market-wide average
    # values in million VND: shares x price in thousand VND / 1000
    return {"group": group, "buy_volume": buy, "sell_volume": sell, "net_volume": buy - sell,
            "buy_value": round(buy * price / 1000, 2), "sell_value": round(sell * price / 1000, 2),
            "net_value": round((buy - sell) * price / 1000, 2)}


def _breakdown_numbers(identifier: str, day: date) -> dict[str, Any]:
    nets = {g: round((_unit(identifier, day, g, "net") * 2 - 1) * 50_000, 2)
            for g in ("foreign_institutional", "foreign_individual", "proprietary", "local_institutional")}
    foreign = round(nets["foreign_institutional"] + nets["foreign_individual"], 2)
    individual = round(-(foreign + nets["proprietary"] + nets["local_institutional"]), 2)
    return {"foreign_net_value": foreign, "foreign_institutional_net_value": nets["foreign_institutional"],
            "foreign_individual_net_value": nets["foreign_individual"], "proprietary_net_value": nets["proprietary"],
            "local_institutional_net_value": nets["local_institutional"], "local_individual_net_value": individual}


def _foreign_room_numbers(identifier: str, day: date) -> dict[str, Any]:
    limit = 30.0 if identifier in STOCKS and STOCKS[identifier][2] == "bank" else 49.0
    owned = round(limit * (0.35 + 0.6 * _unit(identifier, "owned")) + 0.3 * math.sin(day.toordinal() / 9), 2)
    owned = min(owned, limit)
    shares = 1_000_000_000 + _seed(identifier, "shares") % 4_000_000_000
    return {"foreign_limit_pct": limit, "foreign_owned_pct": owned, "foreign_room_pct": round(limit - owned, 2),
            "foreign_room_shares": int(shares * (limit - owned) / 100)}


def investor_payload(namespace: str, op: str, ids: list[str], group: str, first: date, last: date) -> Any:
    """Daily rows in the shape each namespace answers with.

    stock: an envelope {"data": [rows with "symbol"]}; market: a bare list of rows
    with "symbol"; sector: an object keyed by ICB code whose rows carry no code.
    """
    known = {"stock": set(STOCKS), "market": set(INDICES), "sector": set(SECTORS)}[namespace]
    unknown = [i for i in ids if i not in known]
    if unknown:
        raise ServiceError(422, f"Unknown {namespace} identifier(s): {', '.join(unknown)}")
    days = trading_days(first, last)
    _check_rows(len(ids) * len(days))
    per_id: dict[str, list[dict[str, Any]]] = {}
    for identifier in ids:
        rows = per_id.setdefault(identifier, [])
        for day in days:
            if op == "flow":
                numbers = _flow_numbers(identifier, day, group)
            elif op == "breakdown":
                numbers = _breakdown_numbers(identifier, day)
            else:
                numbers = _foreign_room_numbers(identifier, day)
            rows.append({"date": day.isoformat(), **numbers})
    if namespace == "sector":
        return per_id
    rows = [{"symbol": identifier, **row} for identifier, rows in per_id.items() for row in rows]
    return {"data": rows} if namespace == "stock" else rows


STATEMENTS = (1, 2, 3, 4)  # income statement, balance sheet, cash flows, key ratios


def _statement_items(symbol: str, statement_id: int, year: int, quarter: int | None) -> dict[str, Any]:
    """Figures in million VND (ratios in percent or VND), internally consistent within one statement."""

    def u(item: str) -> float:
        return _unit(symbol, year, quarter, item)

    size = _reference_price(symbol) * (20 + _seed(symbol, "size") % 400) * 1.07 ** (year - 2015)
    share = 0.25 * (0.8 + 0.4 * u("season")) if quarter else 1.0
    revenue = round(size * 1_000 * share * (0.9 + 0.2 * u("revenue")))
    if statement_id == 1:
        gross = round(revenue * (0.18 + 0.22 * u("gross")))
        operating = round(gross * (0.4 + 0.3 * u("operating")))
        return {"revenue": revenue, "gross_profit": gross, "operating_profit": operating,
                "net_income": round(operating * 0.8)}
    if statement_id == 2:
        assets = round(size * 2_500 * (0.9 + 0.2 * u("assets")))
        liabilities = round(assets * (0.35 + 0.55 * u("liabilities")))
        return {"total_assets": assets, "total_liabilities": liabilities, "owners_equity": assets - liabilities,
                "cash_and_equivalents": round(assets * (0.03 + 0.12 * u("cash")))}
    if statement_id == 3:
        return {"operating_cash_flow": round(revenue * (0.05 + 0.15 * u("cfo"))),
                "investing_cash_flow": -round(revenue * 0.1 * u("cfi")),
                "financing_cash_flow": round(revenue * 0.1 * (u("cff") - 0.6))}
    return {"eps": round(1_000 + 5_000 * u("eps")), "roe": round(8 + 17 * u("roe"), 2),
            "roa": round(1 + 9 * u("roa"), 2), "pe": round(7 + 13 * u("pe"), 2)}


def statement_values(body: dict[str, Any]) -> dict[str, Any]:
    try:
        symbols = body["symbol"]
        statement_id, first, last, period = body["statement_id"], body["start_year"], body["end_year"], body["period"]
    except KeyError as exc:
        raise ServiceError(422, f"Missing field: {exc.args[0]}") from None
    if not isinstance(symbols, list) or not symbols or not all(isinstance(s, str) for s in symbols):
        raise ServiceError(422, "symbol must be a non-empty list")
    if statement_id not in STATEMENTS:
        raise ServiceError(422, "statement_id must be 1, 2, 3 or 4")
    if not (isinstance(first, int) and isinstance(last, int) and 1900 <= first <= last <= first + MAX_HISTORY_YEARS):
        raise ServiceError(422, "start_year and end_year must satisfy 1900 <= start_year <= end_year")
    if period not in ("year", "quarter"):
        raise ServiceError(422, "period must be 'year' or 'quarter'")
    unknown = [s for s in symbols if s not in STOCKS]
    if unknown:
        raise ServiceError(422, f"Unknown symbol(s): {', '.join(map(str, unknown))}")
    _check_rows(len(symbols) * (last - first + 1) * (4 if period == "quarter" else 1))
    rows = []
    for symbol in symbols:
        for year in range(first, last + 1):
            for quarter in (1, 2, 3, 4) if period == "quarter" else (None,):
                head: dict[str, Any] = {"symbol": symbol, "year": year}
                if quarter:
                    head["quarter"] = quarter
                rows.append({**head, "period": period, **_statement_items(symbol, statement_id, year, quarter)})
    return {"data": rows, "error": None}


def _check_rows(rows: int) -> None:
    if rows > MAX_ROWS:
        raise ServiceError(422, f"The request asks for {rows} rows; one request may ask for at most {MAX_ROWS}: "
                                "ask for fewer identifiers or a shorter period")


def company_types(symbols: list[str]) -> dict[str, Any]:
    return {"data": {s: (STOCKS[s][2] if s in STOCKS else "unknown") for s in symbols}}


# ---------------------------------------------------------------- request parsing


def _parse_day(text: Any, name: str) -> date | None:
    if text is None or text == "":
        return None
    try:
        day = datetime.fromisoformat(str(text)).date()
    except ValueError:
        raise ServiceError(400, f"{name} must be a date YYYY-MM-DD, got {text!r}") from None
    return _after_first_year(day, name)


def _parse_moment(text: str | None, name: str, *, end: bool) -> datetime | None:
    """A date or a date-time; a bare end date covers its whole day."""
    if not text:
        return None
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise ServiceError(400, f"{name} must be YYYY-MM-DD or YYYY-MM-DD HH:MM, got {text!r}") from None
    if end and len(text) <= 10:
        moment = datetime.combine(moment.date(), time.max)
    _after_first_year(moment.date(), name)
    return moment.replace(tzinfo=None)


def _after_first_year(day: date, name: str) -> date:
    """Dates before FIRST_YEAR are refused: the default start 30 days earlier and
    the previous trading day would otherwise run off the calendar's first day."""
    if day.year < FIRST_YEAR:
        raise ServiceError(400, f"{name} must not lie before {FIRST_YEAR}, got {day.isoformat()}")
    return day


def _instrument(query: dict[str, list[str]]) -> str:
    symbol = (query.get("symbol") or [""])[0].strip().upper()
    if not symbol:
        raise ServiceError(422, "symbol is required")
    return symbol


def _unknown_symbol(symbol: str) -> dict[str, Any]:
    return {"data": [], "error": f"Unknown symbol {symbol!r}"}


@dataclass
class Request:
    method: str
    path: str
    query: dict[str, list[str]]
    body: Any
    today: date

    def arg(self, name: str) -> str | None:
        values = self.query.get(name)
        return values[0] if values else None


def _eod(req: Request) -> Any:
    symbol = _instrument(req.query)
    if symbol not in STOCKS and symbol not in INDICES:
        return _unknown_symbol(symbol)
    interval = req.arg("interval") or "1D"
    if interval not in ("1D", "1W", "1M"):
        raise ServiceError(422, f"Unsupported interval {interval!r}")
    last = _parse_day(req.arg("end"), "end") or req.today
    first = _parse_day(req.arg("start"), "start") or last - timedelta(days=30)
    if (last - first).days > 366 * MAX_HISTORY_YEARS:
        raise ServiceError(400, f"End-of-day requests cover at most {MAX_HISTORY_YEARS} years")
    # Bars after the service's date do not exist yet.
    days = trading_days(first, min(last, req.today))
    return {"data": [daily_bar(symbol, d, as_of=req.today) for d in days], "error": None}


def _adjusted(req: Request) -> bool:
    value = req.arg("adjusted")
    if value not in (None, "true", "false"):
        raise ServiceError(422, "adjusted must be 'true' or 'false'")
    return value != "false"


def _intraday(req: Request) -> Any:
    symbol = _instrument(req.query)
    if symbol not in STOCKS and symbol not in INDICES:
        return _unknown_symbol(symbol)
    if (req.arg("interval") or "1m") != "1m":
        raise ServiceError(422, "Intraday bars are served at the 1m interval only")
    adjusted = _adjusted(req)
    stop = _parse_moment(req.arg("end"), "end", end=True) or datetime.combine(req.today, time.max)
    begin = _parse_moment(req.arg("start"), "start", end=False) or datetime.combine(
        last_trading_day(stop.date()), time.min)
    if (stop.date() - begin.date()).days >= MAX_INTRADAY_DAYS:
        raise ServiceError(400, f"Intraday requests cover at most {MAX_INTRADAY_DAYS} days")
    days = trading_days(begin.date(), stop.date())
    rows = [bar for day in days for bar in minute_bars(symbol, day, adjusted, req.today)
            if begin <= datetime.fromisoformat(bar["time"]) <= stop]
    return {"data": rows, "error": None}


def _orderbook(req: Request) -> Any:
    symbol = _instrument(req.query)
    if symbol not in STOCKS:
        return _unknown_symbol(symbol)
    day = _parse_day(req.arg("target_date"), "target_date") or last_trading_day(req.today)
    return {"data": orderbook_records(symbol, day) if is_trading_day(day) else [], "error": None}


def _investor_ids(raw: Any) -> list[str]:
    if isinstance(raw, str):
        raw = raw.split(",")
    if not isinstance(raw, list):
        raise ServiceError(422, "ids is required")
    ids = [str(item).strip().upper() for item in raw if str(item).strip()]
    if not ids:
        raise ServiceError(422, "ids must name at least one identifier")
    return ids


def _investor(namespace: str, op: str) -> Callable[[Request], Any]:
    def handle(req: Request) -> Any:
        if req.method == "GET":
            params: dict[str, Any] = {k: v[0] for k, v in req.query.items()}
        elif isinstance(req.body, dict):
            params = req.body
        else:
            raise ServiceError(422, "The body must be a JSON object")
        ids = _investor_ids(params.get("ids"))
        group = str(params.get("group") or "foreign").lower()
        if group not in INVESTOR_GROUPS:
            raise ServiceError(422, f"Unknown investor group {group!r}")
        interval = str(params.get("interval") or "1D").upper()
        if interval not in ("1D", "1W", "1M"):
            raise ServiceError(422, f"Unsupported interval {interval!r}")
        last = _parse_day(params.get("end"), "end") or req.today
        first = _parse_day(params.get("start"), "start") or last - timedelta(days=30)
        if (last - first).days > 366 * MAX_HISTORY_YEARS:
            raise ServiceError(400, f"Investor requests cover at most {MAX_HISTORY_YEARS} years")
        # Rows are always daily: clients aggregate to weeks or months themselves.
        return investor_payload(namespace, op, ids, group, first, last)

    return handle


def _company_types(req: Request) -> Any:
    symbols = [s.strip().upper() for s in req.query.get("symbol", []) if s.strip()]
    if not symbols:
        raise ServiceError(422, "symbol is required")
    return company_types(symbols)


def _statements(req: Request) -> Any:
    if not isinstance(req.body, dict):
        raise ServiceError(422, "The body must be a JSON object")
    return statement_values(req.body)


ROUTES: dict[str, dict[str, Callable[[Request], Any]]] = {
    "/market-data/eod/ohlcv": {"GET": _eod},
    "/market-data/intraday/ohlcv": {"GET": _intraday},
    "/market-data/intraday/orderbook": {"GET": _orderbook},
    "/reporting/meta/company-types/validate": {"GET": _company_types},
    "/reporting/statements/values": {"POST": _statements},
}
for _ns, _ops in INVESTOR_OPS.items():
    for _op in _ops:
        _path = f"/market-data/investor/{_ns}/{_op}"
        _handler = _investor(_ns, _op)
        ROUTES[_path] = {"GET": _handler} if _path == GET_ONLY_INVESTOR_PATH else {"GET": _handler, "POST": _handler}


def _identifiers(query: dict[str, list[str]], body: Any) -> list[str]:
    """Every ticker-like value of a request, where a fault may be asked for."""
    found = list(query.get("symbol", [])) + [i for v in query.get("ids", []) for i in v.split(",")]
    if isinstance(body, dict):
        for name in ("symbol", "ids", "apiKey"):
            value = body.get(name)
            found += value if isinstance(value, list) else [value] if isinstance(value, str) else []
    return [str(v).strip().upper() for v in found]


# ---------------------------------------------------------------- HTTP


@dataclass(frozen=True)
class LoggedRequest:
    method: str
    path: str
    query: dict[str, list[str]]
    body: Any
    status: int


def _row_count(payload: Any) -> int:
    """The rows of an answer: its "data" list, a bare list, or the lists of an object keyed by identifier."""
    data = payload.get("data", payload) if isinstance(payload, dict) else payload
    if isinstance(data, list):
        return len(data)
    return sum(len(v) for v in data.values() if isinstance(v, list)) if isinstance(data, dict) else 0


class Quota:
    """At most ``limit`` answered requests per key in any one-second window.

    ``seen`` holds the arrival time of every request it judged (answered or
    refused), so a test can count what clients sent in any window.
    """

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError("quota must be at least 1 request per second")
        self.limit = limit
        self.seen: list[float] = []
        self._answered: dict[str, deque[float]] = {}
        self._lock = threading.Lock()

    def check(self, key: str) -> None:
        """Raises a 429 ServiceError when ``key`` has used its second's quota."""
        with self._lock:
            now = clock.monotonic()
            self.seen.append(now)
            window = self._answered.setdefault(key, deque())
            while window and window[0] <= now - 1.0:
                window.popleft()
            if len(window) >= self.limit:
                retry_after = max(1, math.ceil(window[0] + 1.0 - now))
                raise ServiceError(429, "Rate limit exceeded", {"Retry-After": str(retry_after)})
            window.append(now)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    # Many clients connect at once (the demo's threads, load tests): with the
    # default queue of 5 the kernel drops the SYNs past it, and those clients
    # wait out retransmissions of a second and more before they are accepted.
    request_queue_size = 1024

    def __init__(self, address: tuple[str, int], service: LocalService) -> None:
        super().__init__(address, _Handler)
        self.service = service


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "LocalMarketData/1.0"

    def setup(self) -> None:
        # The socket's time-out, read by StreamRequestHandler.setup: a silent
        # connection is closed instead of holding its thread forever.
        self.timeout = self.server.service.idle_timeout
        super().setup()

    def log_message(self, format: str, *args: object) -> None:  # keeps the demo's output clean
        pass

    def _read_body(self) -> bytes:
        """The request's body, read only when its Content-Length is one count of
        bytes within MAX_BODY_BYTES that arrives in full."""
        if self.headers.get("Transfer-Encoding") is not None:
            raise ServiceError(411, "Send the body with a Content-Length, not a Transfer-Encoding.")
        lengths = {text.strip() for text in self.headers.get_all("Content-Length", [])}
        if not lengths:
            return b""
        text = lengths.pop()
        # isascii: str.isdigit also accepts digits that int() does not.
        if lengths or not (text.isascii() and text.isdigit()):
            raise ServiceError(400, "Content-Length must be one count of bytes.")
        if len(text) > len(str(MAX_BODY_BYTES)) or int(text) > MAX_BODY_BYTES:
            raise ServiceError(413, f"The body may hold at most {MAX_BODY_BYTES} bytes.")
        length = int(text)
        try:
            raw = self.rfile.read(length)
        except TimeoutError:
            raise ServiceError(408, "The body did not arrive in time.") from None
        if len(raw) < length:
            raise ServiceError(400, "The body ended before its Content-Length.")
        return raw

    def _send(self, status: int, payload: Any, *, content_type: str = "application/json",
              headers: dict[str, str] | None = None) -> int:
        body = payload.encode() if isinstance(payload, str) else json.dumps(payload).encode()
        # Logged before the answer leaves, so a client that counts requests after its call sees this one.
        self.server.service.log(LoggedRequest(*self._current, status))
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
        return status

    def _check_bearer(self) -> None:
        authorization = self.headers.get("Authorization")
        if not authorization:
            raise ServiceError(401, "Missing bearer token.")
        if authorization != f"Bearer {self.server.service.api_key}":
            raise ServiceError(401, "Invalid API key.")

    def _answer(self, method: str, path: str, query: dict[str, list[str]], body: Any) -> int:
        service = self.server.service
        if (method, path) == ("POST", "/auth/validate"):
            # The key travels in the body here, so a FAULT-<status> key asks this path for a failure.
            fault = self._fault(_identifiers(query, body))
            if fault is not None:
                return fault
            if not isinstance(body, dict) or body.get("apiKey") != service.api_key:
                raise ServiceError(401, "Invalid API key.")
            messages = ["Welcome to the local market-data service."] if body.get("includeMessages") else []
            return self._send(200, {"valid": True, "plan": "demo", "expires_at": None, "messages": messages,
                                    "client_version": body.get("clientVersion")})
        routes = ROUTES.get(path)
        if routes is None:
            raise ServiceError(404, f"No route for {method} {path}")
        # As on the real service, nothing is served, not even an injected fault, without the key.
        self._check_bearer()
        fault = self._fault(_identifiers(query, body))
        if fault is not None:
            return fault
        handler = routes.get(method)
        if handler is None:
            raise ServiceError(405, "Method Not Allowed", {"Allow": ", ".join(routes)})
        payload = handler(Request(method, path, query, body, service.today()))
        service.serve_rows(path, _row_count(payload))
        return self._send(200, payload)

    def _fault(self, identifiers: list[str]) -> int | None:
        for value in identifiers:
            if not value.startswith("FAULT-"):
                continue
            kind = value[len("FAULT-"):]
            if kind == "HTML":
                return self._send(200, "<html><body>Maintenance</body></html>", content_type="text/html")
            if kind == "ERROR":
                return self._send(200, {"data": [], "error": "Injected error for " + value})
            if kind.isdigit() and 400 <= int(kind) <= 599:
                return self._send(int(kind), {"detail": f"Injected fault: HTTP {kind}"})
        return None

    def _route(self, method: str) -> None:
        service = self.server.service
        url = urlsplit(self.path)
        query = parse_qs(url.query, keep_blank_values=True)
        path = url.path[len(BASE_PATH):] if url.path.startswith(BASE_PATH + "/") else None
        self._current: tuple[str, str, dict[str, list[str]], Any] = (method, path or url.path, query, None)
        try:
            try:
                raw = self._read_body()
            except ServiceError as exc:
                # Where the body ends is unknown, so the connection cannot carry another request.
                self.close_connection = True
                exc.headers.setdefault("Connection", "close")
                raise
            if service.latency:
                threading.Event().wait(service.latency)
            if path is None:
                raise ServiceError(404, "Not found")
            body: Any = None
            if raw:
                try:
                    body = json.loads(raw)
                except (ValueError, RecursionError):  # RecursionError: nested deeper than the decoder follows
                    raise ServiceError(400, "The body is not valid JSON.") from None
            self._current = (method, path, query, body)
            if service.quota is not None:
                service.quota.check(self.headers.get("Authorization") or "")
            self._answer(method, path, query, body)
        except ServiceError as exc:
            self._send(exc.status, {"detail": exc.detail}, headers=exc.headers)
        except Exception as exc:  # a bug here must still answer, not drop the connection
            self._send(500, {"detail": f"Internal error: {type(exc).__name__}: {exc}"})

    def do_GET(self) -> None:
        self._route("GET")

    def do_POST(self) -> None:
        self._route("POST")


class LocalService:
    """The service on 127.0.0.1 in a background thread; a context manager.

    >>> with LocalService() as service:
    ...     service.base_url  # doctest: +ELLIPSIS
    'http://127.0.0.1:.../api/v1/tessaro'
    """

    def __init__(self, port: int = 0, *, api_key: str = DEMO_API_KEY, latency: float = 0.0,
                 today: date | None = None, idle_timeout: float = IDLE_TIMEOUT, quota: int | None = None,
                 row_cost: float = 0.0) -> None:
        if row_cost < 0:
            raise ValueError("row_cost must not be negative")
        self.api_key = api_key
        self.latency = latency
        self.row_cost = row_cost
        self.rows_served: dict[str, int] = {}
        self.idle_timeout = idle_timeout
        self.quota = Quota(quota) if quota is not None else None
        self._today = today
        self.requests: list[LoggedRequest] = []
        self._log_lock = threading.Lock()
        self._server = _Server(("127.0.0.1", port), self)
        self._thread: threading.Thread | None = None

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_port}{BASE_PATH}"

    def today(self) -> date:
        """The service's current date: the machine's local date unless fixed."""
        return self._today or date.today()

    def set_today(self, day: date | None) -> None:
        """Fixes the service's date (None: the machine's local date again), as the next day would."""
        self._today = day

    def serve_rows(self, path: str, rows: int) -> None:
        """Counts the rows of an answer and waits ``row_cost`` seconds per row before it leaves."""
        with self._log_lock:
            self.rows_served[path] = self.rows_served.get(path, 0) + rows
        if self.row_cost and rows:
            threading.Event().wait(self.row_cost * rows)

    def log(self, entry: LoggedRequest) -> None:
        with self._log_lock:
            self.requests.append(entry)

    def count(self, path: str, method: str | None = None) -> int:
        """How many requests reached ``path`` (relative to the base path) so far."""
        with self._log_lock:
            return sum(1 for r in self.requests if r.path == path and method in (None, r.method))

    def start(self) -> LocalService:
        self._thread = threading.Thread(target=self._server.serve_forever, name="local-service", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops serving, waits for the thread and closes the listening socket."""
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()

    def __enter__(self) -> LocalService:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def start(port: int = 0, **options: Any) -> LocalService:
    """Starts the service on ``port`` (0: a free one) and returns it running; call ``stop()`` when done."""
    return LocalService(port, **options).start()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port on 127.0.0.1 (default {DEFAULT_PORT})")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds to wait before each answer")
    parser.add_argument("--quota", type=int, default=None,
                        help="requests per second per key; beyond it 429 with Retry-After")
    parser.add_argument("--today", type=date.fromisoformat, default=None,
                        help="the service's date, YYYY-MM-DD (default: the machine's local date)")
    parser.add_argument("--row-cost", type=float, default=0.0, help="seconds to wait per row served")
    args = parser.parse_args(argv)
    service = LocalService(args.port, latency=args.latency, quota=args.quota, today=args.today,
                           row_cost=args.row_cost)
    print(f"serving on {service.base_url}", flush=True)
    print(f"API key: {service.api_key}", flush=True)
    try:
        service._server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        service.stop()


if __name__ == "__main__":
    main()
