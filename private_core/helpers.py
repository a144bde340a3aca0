"""Pure-Python helpers used by the native price fetchers.

The fetchers hand decoded JSON rows to :func:`_to_dataframe` and, when the
caller asked for a coarser interval than the service delivers, pass the frame
on to :func:`resample_ohlcv_multi`.
"""

from __future__ import annotations

from typing import Any, Callable, Literal, Mapping, Sequence, get_args

import pandas as pd

Interval = Literal["1D", "1W", "1M"]
IntervalIntraday = Literal["1m", "5m", "15m", "30m", "1H"]

# Names the service uses for the bar timestamp, in order of preference.
_TIME_KEYS = ("time", "date", "timestamp", "datetime")
_OHLCV = ("open", "high", "low", "close", "volume")
_OHLCV_AGG = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}


def _parse_time(values: pd.Series) -> pd.Series:
    """Integers/floats are epoch seconds; anything else is ISO 8601 text.

    The result is always tz-naive: epoch values and offset-carrying strings
    are expressed in UTC, offset-less strings are kept as written.
    """
    if pd.api.types.is_numeric_dtype(values) and not pd.api.types.is_bool_dtype(values):
        return pd.to_datetime(values, unit="s")
    parsed = pd.to_datetime(values, format="ISO8601")
    if isinstance(parsed.dtype, pd.DatetimeTZDtype):
        parsed = parsed.dt.tz_convert("UTC").dt.tz_localize(None)
    return parsed


def _to_dataframe(rows: Sequence[Mapping[str, Any]]) -> pd.DataFrame:
    """Build a typed frame from service rows (``{"symbol": ..., "time": ..., ...}``).

    The time member (``time``/``date``/``timestamp``/``datetime``) becomes a
    datetime64 column named ``time``; OHLCV columns are coerced to numbers
    (unparseable values become NaN); other columns are kept untouched. Rows
    are sorted by symbol, then time (stable), with a fresh 0..n-1 index.
    """
    if not rows:
        raise ValueError("cannot build a price frame from an empty list of rows")
    frame = pd.DataFrame(list(rows))
    time_key = next((k for k in _TIME_KEYS if k in frame.columns), None)
    if time_key is None:
        raise ValueError(
            f"price rows have no time member (expected one of {', '.join(_TIME_KEYS)}); "
            f"got columns {list(frame.columns)}"
        )
    if "symbol" not in frame.columns:
        raise ValueError("price rows have no 'symbol' member")
    frame[time_key] = _parse_time(frame[time_key])
    if time_key != "time":
        frame = frame.rename(columns={time_key: "time"})
    for col in _OHLCV:
        if col in frame.columns:
            frame[col] = pd.to_numeric(frame[col], errors="coerce")
    frame = frame.sort_values(["symbol", "time"], kind="stable")
    return frame.reset_index(drop=True)


def _week_start(t: pd.Series) -> pd.Series:
    start: pd.Series = t.dt.normalize() - pd.to_timedelta(t.dt.day_of_week, unit="D")
    return start


def _month_start(t: pd.Series) -> pd.Series:
    start: pd.Series = t.dt.normalize() - pd.to_timedelta(t.dt.day - 1, unit="D")
    return start


def _floor(rule: str) -> Callable[[pd.Series], pd.Series]:
    return lambda t: t.dt.floor(rule)


# Each bucket is labelled by its start and is closed on the left:
# days at midnight, weeks at Monday 00:00, months at the 1st 00:00,
# intraday buckets at multiples of their width counted from midnight.
_BUCKETS: dict[str, Callable[[pd.Series], pd.Series]] = {
    "1D": _floor("D"),
    "1W": _week_start,
    "1M": _month_start,
    "1m": _floor("1min"),
    "5m": _floor("5min"),
    "15m": _floor("15min"),
    "30m": _floor("30min"),
    "1H": _floor("h"),
}
_ACCEPTED = get_args(Interval) + get_args(IntervalIntraday)


def resample_ohlcv_multi(
    frame: pd.DataFrame, interval: Interval | IntervalIntraday = "1D"
) -> pd.DataFrame:
    """Aggregate OHLCV bars per symbol into ``interval`` buckets.

    open=first, high=max, low=min, close=last, volume=sum; any other numeric
    column is summed and non-numeric extras are dropped. Buckets without bars
    do not appear. Result: symbol, time, open, high, low, close, volume
    (those present), then the extra numeric columns; sorted by symbol then
    time with a 0..n-1 index.
    """
    bucket = _BUCKETS.get(interval)
    if bucket is None:
        raise ValueError(
            f"unsupported interval {interval!r}; accepted values: {', '.join(_ACCEPTED)}"
        )
    missing = {"symbol", "time"} - set(frame.columns)
    if missing:
        raise ValueError(f"frame lacks required column(s): {', '.join(sorted(missing))}")

    spec = {c: a for c, a in _OHLCV_AGG.items() if c in frame.columns}
    for col in frame.columns:
        if (
            col not in spec
            and col not in ("symbol", "time")
            and pd.api.types.is_numeric_dtype(frame[col])
            and not pd.api.types.is_bool_dtype(frame[col])
        ):
            spec[col] = "sum"

    # first/last follow row order, so order by time before bucketing.
    times = pd.to_datetime(frame["time"])
    work = frame.assign(time=times).sort_values(["symbol", "time"], kind="stable")
    work["time"] = bucket(work["time"])
    out = work.groupby(["symbol", "time"], sort=True).agg(spec).reset_index()
    return out[["symbol", "time", *spec]]
