"""The terminal progress meter drawn while a batch downloads."""

from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple

_SPINNER: Tuple[str, str, str, str]
_DONE_TOKEN: str
_BAR_FILLED: str
_BAR_EMPTY: str
_RESET: str
_DIM: str
_BOLD: str
_CYAN: str
_GREEN: str
_YELLOW: str
_BLUE: str

@dataclass
class _Meter:
    total: int
    start_t: float
    last_draw_t: float
    symbol: str
    enable_color: bool
    min_redraw_interval: float = 0.041666666666666664
    def palette(self, code: str) -> str: ...

_state: Optional[_Meter]

def _isatty() -> bool: ...
def _ansi_ok() -> bool: ...
def _fmt_time(seconds: float) -> str: ...
def _fmt_rate(rate: float) -> str: ...
def _term_width(default: int = 80) -> int: ...
def _strip_ansi(s: str) -> str: ...
def _len_noansi(s: str) -> int: ...
def _pad_to_width(s: str, width: int) -> str: ...
def start_progress(total: int, symbol: str) -> None: ...
def update_progress(current: int) -> None: ...
def finish_progress() -> None: ...
def _draw_progress(current: int, force: bool = False) -> None: ...
def _compose_right(
    current: int,
    total: int,
    rate: float,
    remaining: float,
    elapsed: float,
    pal: Callable[[str], str],
    completed: bool,
) -> List[Tuple[str, str]]: ...
def _join_right(parts: List[str]) -> str: ...
