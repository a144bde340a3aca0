"""Cost of the terminal progress meter.

Measures one full draw, one throttled update (the call a fetcher makes after
every item, which almost always returns without drawing), and the share a
10,000-item batch adds to a loop whose only other work is 50 microseconds
per item.  Output goes to a stand-in terminal so the figures are the meter's
own cost, not the terminal emulator's.

Run: python bench/bench_progress.py
"""

import os
import pathlib
import sys
import time
import types

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from _report import Row, report  # noqa: E402

from private_core import progress  # noqa: E402

ITEMS = 10_000
WORK_NS = 50_000
ROUNDS = 5


class NullTerminal:
    """A terminal that accepts everything at no cost."""

    # Builtins, as a real terminal's methods are: no binding, no Python frame.
    write = len
    flush = int
    isatty = True.__bool__


def busy(ns):
    end = time.perf_counter_ns() + ns
    while time.perf_counter_ns() < end:
        pass


def per_call_ns(func, arg, n):
    best = float("inf")
    for _ in range(ROUNDS):
        t0 = time.perf_counter_ns()
        for _ in range(n):
            func(arg)
        best = min(best, (time.perf_counter_ns() - t0) / n)
    return best


def batch_ns(with_meter):
    t0 = time.perf_counter_ns()
    if with_meter:
        progress.start_progress(ITEMS, "Batch EOD")
        for i in range(1, ITEMS + 1):
            busy(WORK_NS)
            progress.update_progress(i)
        progress.finish_progress()
    else:
        for i in range(1, ITEMS + 1):
            busy(WORK_NS)
    return time.perf_counter_ns() - t0


def main():
    progress.sys = types.SimpleNamespace(stdout=NullTerminal())
    progress._term_width = lambda: 120

    progress.start_progress(ITEMS, "Batch EOD")
    draw = per_call_ns(progress._draw_progress, ITEMS // 3, 20_000)

    # With a draw just made and an interval that never runs out, every
    # intermediate update takes the throttled path.
    progress._state.min_redraw_interval = 1e9
    throttled = per_call_ns(progress.update_progress, ITEMS // 3, 200_000)

    with open(os.devnull, "w") as devnull:
        progress.sys = types.SimpleNamespace(stdout=types.SimpleNamespace(
            write=devnull.write, flush=devnull.flush, isatty=lambda: True))
        progress.start_progress(ITEMS, "Batch EOD")
        draw_file = per_call_ns(progress._draw_progress, ITEMS // 3, 20_000)
        progress.sys = types.SimpleNamespace(stdout=NullTerminal())

    # Alternate the two loops so drift in machine speed hits both alike.
    base, metered = [], []
    for _ in range(3):
        base.append(batch_ns(False))
        metered.append(batch_ns(True))
    rows = [
        Row("one _draw_progress (null terminal)", draw),
        Row("one _draw_progress (written to /dev/null)", draw_file),
        # A throttled update must cost at most a tenth of a draw.
        Row("throttled update_progress vs one draw", throttled, draw, 10.0),
        # The meter may add at most 5 % to a batch of 50-microsecond items.
        Row(f"batch of {ITEMS:,} x 50 us: with meter vs without", min(metered), min(base), 1 / 1.05),
    ]
    return report("Progress meter (speed-up = reference / ours)", rows)


if __name__ == "__main__":
    sys.exit(main())
