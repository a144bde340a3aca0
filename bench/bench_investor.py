"""Resampling of a market-wide investor-flow frame: the bridge against pandas' own
grouped resample and against a per-group loop.

The frame holds 500 identifiers with 250 trading days each, as the service
answers a request for every listed stock.  The references are pandas'
``groupby(identifier).resample(rule).sum(min_count=1)`` and the plain rendering
with one resample per identifier (the tests' oracle); all must give the same
sums, and the oracle the same frame.  Run: ``python bench/bench_investor.py``.
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np
import pandas as pd

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
sys.path.insert(1, str(here.parent / "tests"))  # the per-group oracle the tests hold the bridge to
from _report import Row, report  # noqa: E402
from test_bridgework_resample import assert_same_frame, per_group_resample, summation_scale  # noqa: E402

from private_core.investor.bridgework import InvestorBridgework  # noqa: E402

TARGET_GROUPED = 4.0  # against pandas' groupby(...).resample(...)
TARGET_LOOP = 8.0  # against one resample per identifier
ROUNDS = 3
IDENTIFIERS = 500
DAYS = 250


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


VALUES = ["buy_volume", "sell_volume", "buy_value", "sell_value"]


def grouped_resample(frame, namespace, interval):
    """pandas' own resample of every identifier at once."""
    rule = interval + "E" if interval.endswith("M") else interval
    return frame.groupby("symbol").resample(rule, on="date")[VALUES].sum(min_count=1)


def best_ns(fn, frame, interval, best):
    start = time.perf_counter_ns()
    out = fn(frame, "stock", interval)
    return min(best, time.perf_counter_ns() - start), out


def main() -> int:
    frame = market_frame()
    scale = summation_scale(frame)
    bridge = InvestorBridgework(None)
    rows = []
    for interval in ("1W", "1M"):
        ours = grouped = loop = float("inf")
        # Rounds alternate between the three so that a busy machine slows all alike.
        for _ in range(ROUNDS):
            ours, got = best_ns(bridge._resample_frame, frame, interval, ours)
            grouped, by_pandas = best_ns(grouped_resample, frame, interval, grouped)
            loop, expected = best_ns(per_group_resample, frame, interval, loop)
        assert_same_frame(got, expected, scale)
        assert_same_frame(got.set_index(["symbol", "date"])[VALUES], by_pandas, scale)
        case = f"_resample_frame {IDENTIFIERS}x{DAYS} rows, {interval}"
        rows.append(Row(f"{case} vs groupby().resample()", ours, grouped, TARGET_GROUPED))
        rows.append(Row(f"{case} vs per-group loop", ours, loop, TARGET_LOOP))
    return report("Investor resampling", rows)


if __name__ == "__main__":
    sys.exit(main())
