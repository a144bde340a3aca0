"""Call overhead of a native function against a Python function of the same shape.

Target: a native call costs no more than the equivalent Python call.
"""

import timeit

from private_core._runtime_probe import bench as native


def python(session, symbol: str, start=None, end=None, *, show_progress: bool = True):
    return session


CASES = {
    "positional": "f(s, 'VNM')",
    "positional + keyword": "f(s, 'VNM', end='2024-01-31')",
    "all forms": "f(s, 'VNM', '2024-01-01', end='2024-01-31', show_progress=False)",
}


def per_call_ns(fn, stmt, number=200_000, repeat=7):
    timer = timeit.Timer(stmt, globals={"f": fn, "s": object()})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    print(f"{'call':<22}{'python ns':>11}{'native ns':>11}{'ratio':>8}")
    worst = 0.0
    for name, stmt in CASES.items():
        py_ns = per_call_ns(python, stmt)
        native_ns = per_call_ns(native, stmt)
        worst = max(worst, native_ns / py_ns)
        print(f"{name:<22}{py_ns:>11.1f}{native_ns:>11.1f}{native_ns / py_ns:>8.2f}")
    verdict = "met" if worst <= 1.0 else "NOT met"
    print(f"target (native <= python): {verdict}, worst ratio {worst:.2f}")


if __name__ == "__main__":
    main()
