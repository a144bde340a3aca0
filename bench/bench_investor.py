"""Resampling of a market-wide investor-flow frame: native bridge against a per-group loop.

The frame holds 500 identifiers with 250 trading days each, as the service
answers a request for every listed stock; the reference is the plain pandas
rendering with one resample per identifier.  Both must give the same frame.
Run: ``python bench/bench_investor.py``.
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from _report import Row, report  # noqa: E402

import private_core.investor.bridgework as bw  # noqa: E402
from private_core.investor.bridgework import InvestorBridgework  # noqa: E402

TARGET = 20.0
ROUNDS = 3
IDENTIFIERS = 500
DAYS = 250


def per_group_resample(frame, namespace, interval):
    """One pandas resample per identifier (the straightforward rendering)."""
    if interval.endswith("M") and interval[:-1].lstrip("+-").isdigit():
        interval += "E"  # pandas has dropped the bare month rule
    if frame.empty:
        return frame
    date_col = next((c for c in ("date", "Date") if c in frame.columns), None)
    if date_col is None:
        return frame
    working = frame.dropna(subset=[date_col])
    if working.empty:
        return frame
    working = working.copy()
    working[date_col] = pd.to_datetime(working[date_col], errors="coerce")
    working = working.dropna(subset=[date_col])
    if working.empty:
        return frame
    candidates = [InvestorBridgework._ID_FIELD.get(namespace), "symbol", "icb", "code", "ticker"]
    id_col = next((c for c in candidates if c is not None and c in working.columns), None)
    if id_col:
        working[id_col] = working[id_col].apply(bw._strict_str)
        working = working[working[id_col] != ""]
    value_cols = [c for c in working.select_dtypes(include="number").columns.tolist() if c != id_col]
    if not value_cols:
        return frame
    groups = working.groupby(id_col, group_keys=False) if id_col else [(None, working)]
    aggregated = []
    for key, rows in groups:
        resampled = rows.set_index(date_col)[value_cols].resample(interval).sum(min_count=1)
        if resampled.empty:
            continue
        resampled.index.name = date_col
        resampled = resampled.reset_index()
        if id_col and key is not None:
            resampled[id_col] = bw._strict_str(key)
        for col in rows.columns:
            if col in (date_col, id_col) or col in value_cols:
                continue
            resampled[col] = rows[col].iloc[0]
        aggregated.append(resampled)
    if not aggregated:
        return frame
    combined = pd.concat(aggregated, ignore_index=True)
    keys = [k for k in (id_col, date_col) if k and k in combined.columns]
    if not keys:
        return combined
    return combined.sort_values(keys).reset_index(drop=True)


def market_frame() -> pd.DataFrame:
    """Daily flows as `_to_dataframe` hands them over: sorted by symbol and date."""
    rng = np.random.default_rng(7)
    days = pd.bdate_range("2024-01-02", periods=DAYS)
    symbols = [f"S{i:03d}" for i in range(IDENTIFIERS)]
    n = IDENTIFIERS * DAYS
    buy_value = rng.random(n) * 1e9
    buy_value[rng.random(n) < 0.01] = np.nan  # the service leaves some values out
    return pd.DataFrame({
        "symbol": np.repeat(symbols, DAYS),
        "date": np.tile(days.values, IDENTIFIERS),
        "buy_volume": rng.integers(0, 10**7, n),
        "sell_volume": rng.integers(0, 10**7, n),
        "buy_value": buy_value,
        "sell_value": rng.random(n) * 1e9,
        "group": "foreign",
        "exchange": np.repeat(rng.choice(["HOSE", "HNX", "UPCOM"], IDENTIFIERS), DAYS),
    })


def best_ns(fn, frame, interval, best):
    start = time.perf_counter_ns()
    out = fn(frame, "stock", interval)
    return min(best, time.perf_counter_ns() - start), out


def main() -> int:
    frame = market_frame()
    bridge = InvestorBridgework(None)
    rows = []
    for interval in ("1W", "1M"):
        ours = reference = float("inf")
        # Rounds alternate between the two so that a busy machine slows both alike.
        for _ in range(ROUNDS):
            ours, got = best_ns(bridge._resample_frame, frame, interval, ours)
            reference, expected = best_ns(per_group_resample, frame, interval, reference)
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        rows.append(Row(f"_resample_frame {IDENTIFIERS}x{DAYS} rows, {interval}", ours, reference, TARGET))
    return report("Investor resampling (reference: one pandas resample per identifier)", rows)


if __name__ == "__main__":
    sys.exit(main())
