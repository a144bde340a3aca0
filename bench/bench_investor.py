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

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
sys.path.insert(1, str(here.parent / "tests"))  # the per-group oracle the tests hold the bridge to
from _report import Row, report  # noqa: E402
from test_bridgework_resample import per_group_resample  # noqa: E402

from private_core.investor.bridgework import InvestorBridgework  # noqa: E402

TARGET = 20.0
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
