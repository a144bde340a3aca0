"""One table and one verdict wording for every benchmark script.

A script builds a list of `Row`s and ends with ``sys.exit(report(title, rows))``:
the table is printed, and the exit status is `MISSED_STATUS` when any row
misses its target (1 stays a script that failed: an uncaught exception).
``bench/run.py`` (``make bench``) reports the misses of every script and fails
on them only with ``--check`` (``make bench-check``): timings on a busy machine
are a report, not a verdict.

A row compares our figure with a reference (a plain-Python rendering, or a
floor no client can beat) as ``speed-up = reference / ours``; `target` is the
least speed-up accepted (None: reported, not judged).
"""

from __future__ import annotations

import json
import os
import sys
import time
from dataclasses import asdict, dataclass
from typing import Optional, Sequence

MET, MISSED, NO_TARGET = "met", "MISSED", "-"
MISSED_STATUS = 3

# Every table reported in this process, as (title, rows).  bench/run.py runs
# each script in a process of its own (a script may patch module globals) and
# names a file in BENCH_REPORT_FILE where the tables are appended as JSON lines.
REPORTED: list = []
REPORT_FILE_ENV = "BENCH_REPORT_FILE"


@dataclass
class Row:
    name: str
    ours_ns: float
    reference_ns: Optional[float] = None
    target: Optional[float] = None  # least accepted reference / ours

    @property
    def speedup(self) -> Optional[float]:
        if self.reference_ns is None or self.ours_ns <= 0:
            return None
        return self.reference_ns / self.ours_ns

    @property
    def verdict(self) -> str:
        if self.target is None or self.speedup is None:
            return NO_TARGET
        return MET if self.speedup >= self.target else MISSED


def _fmt_ns(ns: Optional[float]) -> str:
    if ns is None:
        return ""
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.0f} ns"


def best_of_alternating(*runs, rounds: int) -> tuple[list[float], list]:
    """Best time in ns of each run over rounds that alternate between them, and
    what each run returned in the last round.  Results are released after the
    clock stops (a caller keeps what it asked for, so freeing it is not part of
    the timed work), and only the last round's are kept."""
    best = [float("inf")] * len(runs)
    results: list = [None] * len(runs)
    for round_ in range(rounds):
        for i, run in enumerate(runs):
            t0 = time.perf_counter_ns()
            result = run()
            best[i] = min(best[i], time.perf_counter_ns() - t0)
            if round_ == rounds - 1:
                results[i] = result
            del result
    return best, results


def report(title: str, rows: Sequence[Row], file=None) -> int:
    """Prints the table; returns the exit status (`MISSED_STATUS` when a target is missed)."""
    REPORTED.append((title, list(rows)))
    if os.environ.get(REPORT_FILE_ENV):
        with open(os.environ[REPORT_FILE_ENV], "a", encoding="utf-8") as sink:
            sink.write(json.dumps({"title": title, "rows": [asdict(r) for r in rows]}) + "\n")
    out = file or sys.stdout
    width = max([len(r.name) for r in rows] + [len("case")])
    print(f"{title}", file=out)
    print(f"  {'case':<{width}}  {'ours':>10}  {'reference':>10}  {'speed-up':>8}  {'target':>7}  verdict", file=out)
    for r in rows:
        speedup = f"{r.speedup:.2f}x" if r.speedup is not None else ""
        target = f">={r.target:.3g}x" if r.target is not None else ""
        print(f"  {r.name:<{width}}  {_fmt_ns(r.ours_ns):>10}  {_fmt_ns(r.reference_ns):>10}  {speedup:>8}  "
              f"{target:>7}  {r.verdict}", file=out)
    missed = [r.name for r in rows if r.verdict == MISSED]
    print(f"  targets {MISSED}: {', '.join(missed)}" if missed else f"  all targets {MET}", file=out)
    return MISSED_STATUS if missed else 0
