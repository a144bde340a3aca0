"""Plain-Python rendering of the progress meter, the baseline of the benchmarks.

A module of its own, like the native one, so a benchmark can swap `sys`,
`time` or `_term_width` here exactly as it does there.
"""

from __future__ import annotations

import math
import re
import shutil
import sys
import time
from dataclasses import dataclass
from typing import List, Tuple

_SPINNER = ("-", "\\", "|", "/")
_DONE_TOKEN = "OK"
_BAR_FILLED = "#"
_BAR_EMPTY = "."
_RESET = "\x1b[0m"
_DIM = "\x1b[2m"
_BOLD = "\x1b[1m"
_CYAN = "\x1b[36m"
_GREEN = "\x1b[38;2;93;105;244m"
_YELLOW = "\x1b[33m"
_BLUE = "\x1b[34m"

_ANSI = re.compile(r"\x1b\[[0-9;]*[a-zA-Z]")


def _type_error(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


@dataclass
class _Meter:
    total: int
    start_t: float
    last_draw_t: float
    symbol: str
    enable_color: bool
    min_redraw_interval: float = 1.0 / 24.0

    def palette(self, code: str) -> str:
        if type(code) is not str:
            raise _type_error("code", "str", code)
        return code if self.enable_color else ""


def _isatty() -> bool:
    return sys.stdout.isatty()


def _ansi_ok() -> bool:
    return _isatty()


def _fmt_time(seconds: float) -> str:
    seconds = float(seconds)
    if seconds < 0 or math.isinf(seconds):
        return "--:--"
    t = int(seconds + 0.5)
    m, s = divmod(t, 60)
    if m >= 100:
        h, m = divmod(m, 60)
        return f"{h:d}h{m:02d}m"
    return f"{m:02d}:{s:02d}"


def _fmt_rate(rate: float) -> str:
    rate = float(rate)
    if not math.isfinite(rate) or rate <= 0:
        return "--/s"
    if rate < 1:
        return f"{rate:0.2f}/s"
    if rate < 10:
        return f"{rate:0.1f}/s"
    return f"{rate:0.0f}/s"


def _term_width(default: int = 80) -> int:
    if type(default) is not int:
        default = int(default)
    try:
        return shutil.get_terminal_size(fallback=(default, 24)).columns
    except Exception:
        return default


def _strip_ansi(s: str) -> str:
    if type(s) is not str:
        raise _type_error("s", "str", s)
    return _ANSI.sub("", s)


def _len_noansi(s: str) -> int:
    return len(_strip_ansi(s))


def _pad_to_width(s: str, width: int) -> str:
    if type(width) is not int:
        width = int(width)
    s_len = _len_noansi(s)
    if s_len < width:
        return s + " " * (width - s_len)
    return s


_state = None


def start_progress(total: int, symbol: str) -> None:
    global _state
    if type(total) is not int:
        total = int(total)
    if type(symbol) is not str:
        raise _type_error("symbol", "str", symbol)
    if total <= 0:
        _state = None
        return
    if not _isatty():
        _state = None
        return
    _state = _Meter(total, time.perf_counter(), 0.0, symbol, _ansi_ok())
    _draw_progress(0, force=True)


def update_progress(current: int) -> None:
    if type(current) is not int:
        current = int(current)
    if _state is None:
        return
    now = time.perf_counter()
    if current < _state.total and now - _state.last_draw_t < _state.min_redraw_interval:
        return
    _draw_progress(current)


def finish_progress() -> None:
    if _state is None:
        return
    _draw_progress(_state.total, force=True)
    sys.stdout.write("\n")
    sys.stdout.flush()


def _draw_progress(current: int, force: bool = False) -> None:
    if type(current) is not int:
        current = int(current)
    force = bool(force)
    m = _state
    if m is None:
        return
    current = max(0, min(current, m.total))
    now = time.perf_counter()
    elapsed = max(1e-9, now - m.start_t)
    rate = current / elapsed
    remaining = (m.total - current) / rate if rate > 0 else float("inf")
    spin = _DONE_TOKEN if current == m.total else _SPINNER[int(now * 10) % len(_SPINNER)]
    pal = m.palette
    completed = current == m.total
    left = pal(_BOLD) + spin + pal(_RESET) + " " + pal(_CYAN) + m.symbol + pal(_RESET)
    right_items = _compose_right(current, m.total, rate, remaining, elapsed, pal, completed)
    visible_items = list(right_items)
    width = max(40, _term_width())
    bar_min = 10

    def build_right(items):
        if type(items) is not list:
            raise _type_error("items", "list", items)
        return _join_right([t for _, t in items if t])

    right = build_right(visible_items)
    budget_right_bar = width - _len_noansi(left) - 4
    if budget_right_bar < bar_min:
        budget_right_bar = bar_min
    bar_w = max(bar_min, budget_right_bar - _len_noansi(right))
    right = build_right(visible_items)
    frac = 0 if m.total == 0 else current / m.total
    filled = bar_w if completed else min(bar_w, int(bar_w * frac))
    bar = pal(_GREEN) + _BAR_FILLED * filled + pal(_RESET)
    if bar_w - filled > 0:
        bar += pal(_DIM) + _BAR_EMPTY * (bar_w - filled) + pal(_RESET)
    line = left + " [" + bar + "]"
    if right:
        line += " " + right
    sys.stdout.write("\r" + _pad_to_width(line, width))
    sys.stdout.flush()
    m.last_draw_t = now


def _compose_right(current: int, total: int, rate: float, remaining: float, elapsed: float, pal,
                   completed: bool) -> List[Tuple[str, str]]:
    if type(current) is not int:
        current = int(current)
    if type(total) is not int:
        total = int(total)
    rate, remaining, elapsed, completed = float(rate), float(remaining), float(elapsed), bool(completed)
    percent = int(current / total * 100) if total else 0
    eta = (pal(_GREEN) + "done" + pal(_RESET)) if completed else ("ETA " + pal(_YELLOW) + _fmt_time(remaining)
                                                                  + pal(_RESET))
    return [
        ("progress", pal(_DIM) + f"{current}/{total}" + pal(_RESET)),
        ("percent", pal(_BLUE) + f"{percent:3d}" + "%" + pal(_RESET)),
        ("rate", pal(_YELLOW) + _fmt_rate(rate) + pal(_RESET)),
        ("eta", eta),
        ("elapsed", pal(_DIM) + "+" + _fmt_time(elapsed) + pal(_RESET)),
    ]


def _join_right(parts: List[str]) -> str:
    if type(parts) is not list:
        raise _type_error("parts", "list", parts)
    return "  ".join(p for p in parts if p)
