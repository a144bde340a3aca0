"""Call overhead of a native function against a Python function of the same shape.

Target: a native call costs no more than the equivalent Python call.
"""

import pathlib
import sys
import timeit

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from _report import Row, report  # noqa: E402

from private_core._runtime_probe import bench as native  # noqa: E402

TARGET = 1.0
ROUNDS = 15
NUMBER = 100_000


def python(session, symbol: str, start=None, end=None, *, show_progress: bool = True):
    return session


CASES = {
    "positional": "f(s, 'VNM')",
    "positional + keyword": "f(s, 'VNM', end='2024-01-31')",
    "all forms": "f(s, 'VNM', '2024-01-01', end='2024-01-31', show_progress=False)",
}


def main() -> int:
    timers = {(impl, name): timeit.Timer(stmt, globals={"f": fn, "s": object()})
              for impl, fn in (("native", native), ("python", python)) for name, stmt in CASES.items()}
    best = dict.fromkeys(timers, float("inf"))
    # Alternating rounds, best of each kept: a busy machine slows both alike.
    for _ in range(ROUNDS):
        for slot, timer in timers.items():
            best[slot] = min(best[slot], timer.timeit(NUMBER) / NUMBER * 1e9)
    rows = [Row(name, best["native", name], best["python", name], TARGET) for name in CASES]
    return report("Call overhead against a Python function (speed-up = python / native)", rows)


if __name__ == "__main__":
    sys.exit(main())
