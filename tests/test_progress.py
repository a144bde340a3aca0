"""Tests for the terminal progress meter (private_core.progress)."""

import dataclasses
import errno
import fcntl
import inspect
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import termios
import types

import pytest

from private_core import progress

# Escape sequences spelled out here rather than read from the module, so a
# wrong constant cannot agree with itself.
BOLD, RESET, DIM, CYAN = "\x1b[1m", "\x1b[0m", "\x1b[2m", "\x1b[36m"
GREEN, YELLOW, BLUE = "\x1b[38;2;93;105;244m", "\x1b[33m", "\x1b[34m"
ANSI = re.compile(r"\x1b\[[0-9;]*[a-zA-Z]")


def visible(text):
    return ANSI.sub("", text)


class FakeTerminal:
    """Standard output, clock and terminal size under test control."""

    def __init__(self, tty=True):
        self.tty = tty
        self.writes = []
        self.flushes = 0
        self.now = 100.0
        self.columns = 80

    def isatty(self):
        return self.tty

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        self.flushes += 1

    def perf_counter(self):
        return self.now

    def get_terminal_size(self, fallback):
        return os.terminal_size((self.columns, 24))


@pytest.fixture
def term(monkeypatch):
    fake = FakeTerminal()
    monkeypatch.setattr(progress, "sys", types.SimpleNamespace(stdout=fake))
    monkeypatch.setattr(progress, "time", fake)
    monkeypatch.setattr(progress, "shutil", fake)
    monkeypatch.setattr(progress, "_state", None)
    return fake


# --------------------------------------------------------------------------
# module surface


def test_module_binds_names_in_order_with_their_values():
    names = [name for name in vars(progress) if not name.startswith("__")]
    assert names == [
        "math", "os", "re", "shutil", "sys", "time", "dataclass", "List", "Tuple",
        "_SPINNER", "_DONE_TOKEN", "_BAR_FILLED", "_BAR_EMPTY", "_RESET", "_DIM", "_BOLD", "_CYAN",
        "_GREEN", "_YELLOW", "_BLUE", "_Meter", "_isatty", "_ansi_ok", "_fmt_time", "_fmt_rate",
        "_term_width", "_strip_ansi", "_len_noansi", "_pad_to_width", "_state",
        "start_progress", "update_progress", "finish_progress",
        "_draw_progress", "_compose_right", "_join_right",
    ]  # fmt: skip
    assert progress._SPINNER == ("-", "\\", "|", "/")
    assert (progress._DONE_TOKEN, progress._BAR_FILLED, progress._BAR_EMPTY) == ("OK", "#", ".")
    assert (progress._RESET, progress._DIM, progress._BOLD, progress._CYAN) == (RESET, DIM, BOLD, CYAN)
    assert (progress._GREEN, progress._YELLOW, progress._BLUE) == (GREEN, YELLOW, BLUE)


@pytest.mark.parametrize(
    "func, doc",
    [
        (progress.start_progress, "start_progress(total: int, symbol: str) -> None\n\nKhởi tạo meter mới."),
        (progress.update_progress, "update_progress(current: int) -> None\n\nCập nhật trạng thái tiến độ."),
        (progress.finish_progress, "finish_progress() -> None\n\nHoàn tất meter và xuống dòng."),
        (
            progress._compose_right,
            "_compose_right(current: int, total: int, rate: float, remaining: float, elapsed: float, pal, "
            "completed: bool) -> List[Tuple[str, str]]",
        ),
        (progress._term_width, "_term_width(default: int = 80) -> int"),
        (progress._Meter.palette, "palette(self, code: str) -> str"),
    ],
)
def test_signatures_and_docstrings(func, doc):
    assert func.__doc__ == doc
    assert all(isinstance(a, str) for a in func.__annotations__.values())
    assert str(inspect.signature(func)).replace("'", "") in doc


def test_meter_is_a_dataclass_with_palette():
    meter = progress._Meter(3, 1.0, 0.0, "ABC", True)
    assert [f.name for f in dataclasses.fields(meter)] == [
        "total", "start_t", "last_draw_t", "symbol", "enable_color", "min_redraw_interval",
    ]  # fmt: skip
    assert meter.min_redraw_interval == 1 / 24
    assert meter == progress._Meter(3, 1.0, 0.0, "ABC", True, 1 / 24)
    assert repr(meter).startswith("_Meter(total=3, start_t=1.0, last_draw_t=0.0, symbol='ABC'")
    assert meter.palette(BOLD) == BOLD
    assert progress._Meter(3, 1.0, 0.0, "ABC", False).palette(BOLD) == ""
    with pytest.raises(TypeError, match=r"Argument 'code' has incorrect type \(expected str, got bytes\)"):
        meter.palette(b"x")


# --------------------------------------------------------------------------
# text helpers


@pytest.mark.parametrize(
    "seconds, text",
    [
        (-0.1, "--:--"), (float("inf"), "--:--"), (float("-inf"), "--:--"), (0, "00:00"), (7, "00:07"),
        (59.49, "00:59"), (59.5, "01:00"), (3600, "60:00"), (5999.4, "99:59"), (5999.5, "1h40m"),
        (90000, "25h00m"), (1e19, "2777777777777777h46m"),
    ],
)  # fmt: skip
def test_fmt_time(seconds, text):
    assert progress._fmt_time(seconds) == text


@pytest.mark.parametrize(
    "rate, text",
    [
        (0, "--/s"), (-3, "--/s"), (float("nan"), "--/s"), (float("inf"), "--/s"), (0.5, "0.50/s"),
        (0.999, "1.00/s"), (2.5, "2.5/s"), (9.96, "10.0/s"), (12.5, "12/s"), (13.5, "14/s"), (37.2, "37/s"),
    ],
)  # fmt: skip
def test_fmt_rate(rate, text):
    assert progress._fmt_rate(rate) == text


@pytest.mark.parametrize(
    "func, value, error",
    [
        (progress._fmt_time, "1", TypeError),
        (progress._fmt_rate, None, TypeError),
        (progress._fmt_time, float("nan"), ValueError),  # int() refuses NaN; nothing catches it first
    ],
)
def test_formatter_failures(func, value, error):
    with pytest.raises(error):
        func(value)


@pytest.mark.parametrize(
    "text",
    [
        "", "plain", f"{BOLD}OK{RESET}", f"{GREEN}###{RESET}", "\x1b[?25l", "\x1b[12", "\x1b\x1b[0m",
        "\x1b[\x1b[1mx", "é\x1b[1mà", "日本\x1b[33m語", "😀\x1b[;;mx\x1b[0", "\x1b[1;2;3Z\x1b[m",
        "longer than ten",
    ],
)  # fmt: skip
def test_escape_helpers_match_the_pattern(text):
    stripped = ANSI.sub("", text)
    assert progress._strip_ansi(text) == stripped
    assert progress._len_noansi(text) == len(stripped)
    padded = progress._pad_to_width(text, 10)
    assert padded == text + " " * max(0, 10 - len(stripped))


@pytest.mark.parametrize(
    "call",
    [
        lambda: progress._strip_ansi(b"x"),
        lambda: progress._len_noansi(None),
        lambda: progress._pad_to_width(type("S", (str,), {})("x"), 3),  # subclasses are refused too
        lambda: progress._join_right(("a",)),
    ],
)
def test_text_helpers_want_exact_types(call):
    with pytest.raises(TypeError, match=r"Argument '(s|parts)' has incorrect type \(expected (str|list)"):
        call()


def test_pad_and_join_edges():
    assert progress._pad_to_width("abc", -(2**80)) == "abc"
    assert progress._join_right(["a", "", "b", ""]) == "a  b"


def test_term_width_reads_the_environment(monkeypatch):
    monkeypatch.setenv("COLUMNS", "123")
    assert progress._term_width() == 123


class _Stdout:
    def __init__(self, fileno):
        self._fileno = fileno

    def fileno(self):
        if isinstance(self._fileno, type) and issubclass(self._fileno, BaseException):
            raise self._fileno("no descriptor")
        return self._fileno


def _library_width(default):
    try:
        return shutil.get_terminal_size(fallback=(default, 24)).columns
    except Exception:
        return default


@pytest.mark.parametrize("columns", [None, "77", " 91 ", "0", "wide"])
@pytest.mark.parametrize("stdout", ["tty 123", "tty 0", "pipe", -1, 2**40, "3", ValueError, OSError, RuntimeError,
                                    None, "no fileno"])
def test_term_width_reads_the_terminal_as_the_library_does(monkeypatch, stdout, columns):
    """The width read without entering shutil is the width shutil reports."""
    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    fds = []
    if isinstance(stdout, str) and stdout.startswith("tty"):
        master, slave = pty.openpty()
        fds += [master, slave]
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, int(stdout.split()[1]), 0, 0))
        stream = _Stdout(slave)
    elif stdout == "pipe":
        fds += list(os.pipe())
        stream = _Stdout(fds[1])
    elif stdout == "no fileno":
        stream = object()
    else:
        stream = None if stdout is None else _Stdout(stdout)
    monkeypatch.setattr(sys, "__stdout__", stream)
    try:
        assert progress._term_width(57) == _library_width(57)
    finally:
        for fd in fds:
            os.close(fd)


@pytest.mark.parametrize("failure", [OSError, ValueError, AttributeError])
def test_term_width_falls_back_on_any_failure(monkeypatch, failure):
    seen = []

    def broken(fallback):
        seen.append(fallback)
        raise failure("no terminal")

    monkeypatch.setattr(progress, "shutil", types.SimpleNamespace(get_terminal_size=broken))
    assert (progress._term_width(), progress._term_width(57)) == (80, 57)
    assert seen == [(80, 24), (57, 24)]


def test_isatty_follows_standard_output(monkeypatch):
    monkeypatch.setattr(progress, "sys", types.SimpleNamespace(stdout=FakeTerminal(tty=True)))
    assert progress._isatty() is True and progress._ansi_ok() is True
    monkeypatch.setattr(progress, "sys", types.SimpleNamespace(stdout=None))
    with pytest.raises(AttributeError):
        progress._isatty()


@pytest.mark.parametrize(
    "current, total, percent", [(29, 100, " 28%"), (57, 100, " 56%"), (1, 3, " 33%"), (5, 0, "  0%")]
)
def test_compose_right_truncates_percent_after_division(current, total, percent):
    items = progress._compose_right(current, total, 1.0, 2.0, 3.0, lambda code: "", False)
    assert items == [
        ("progress", f"{current}/{total}"),
        ("percent", percent),
        ("rate", "1.0/s"),
        ("eta", "ETA 00:02"),
        ("elapsed", "+00:03"),
    ]


# --------------------------------------------------------------------------
# drawing


def test_worked_example_line_in_colour(term):
    progress.start_progress(10, "ABC")
    assert visible(term.writes[0]) == "\r- ABC [" + "." * 36 + "] 0/10    0%  --/s  ETA --:--  +00:00"
    assert progress._state.start_t == progress._state.last_draw_t == 100.0
    term.now = 102.0
    progress._draw_progress(3)
    assert term.writes[-1] == (
        f"\r{BOLD}-{RESET} {CYAN}ABC{RESET} [{GREEN}{'#' * 10}{RESET}{DIM}{'.' * 25}{RESET}] "
        f"{DIM}3/10{RESET}  {BLUE} 30%{RESET}  {YELLOW}1.5/s{RESET}  ETA {YELLOW}00:05{RESET}  {DIM}+00:02{RESET}"
    )
    assert len(visible(term.writes[-1])) == 81  # "\r" plus exactly 80 columns, no padding

    progress.finish_progress()
    assert term.writes[-2:] == [
        f"\r{BOLD}OK{RESET} {CYAN}ABC{RESET} [{GREEN}{'#' * 38}{RESET}] "
        f"{DIM}10/10{RESET}  {BLUE}100%{RESET}  {YELLOW}5.0/s{RESET}  {GREEN}done{RESET}  {DIM}+00:02{RESET}",
        "\n",
    ]
    assert term.flushes == len(term.writes)


def test_colour_off_writes_no_escapes(term, monkeypatch):
    monkeypatch.setattr(progress, "_ansi_ok", lambda: False)
    progress.start_progress(10, "ABC")
    term.now = 102.0
    progress.update_progress(3)
    assert "\x1b" not in "".join(term.writes)
    assert term.writes[-1] == "\r- ABC [##########.........................] 3/10   30%  1.5/s  ETA 00:05  +00:02"


@pytest.mark.parametrize("now, frame", [(102.0, "-"), (102.1, "\\"), (102.25, "|"), (102.39, "/"), (102.4, "-")])
def test_spinner_follows_the_clock(term, now, frame):
    progress.start_progress(10, "ABC")
    term.now = now
    progress._draw_progress(3)
    assert visible(term.writes[-1]).startswith(f"\r{frame} ABC [")


@pytest.mark.parametrize(
    "current, shown",
    [
        (-4, "- ABC [" + "." * 36 + "] 0/10    0%  --/s  ETA --:--  +00:02"),
        (15, "OK ABC [" + "#" * 38 + "] 10/10  100%  5.0/s  done  +00:02"),
    ],
)
def test_out_of_range_counts_are_clamped(term, current, shown):
    progress.start_progress(10, "ABC")
    term.now = 102.0
    progress.update_progress(current)
    assert visible(term.writes[-1]) == "\r" + shown


def test_intermediate_updates_are_throttled(term):
    progress.start_progress(10, "ABC")
    steps = [(100.01, 1, 1), (100.05, 2, 2), (100.06, 3, 2), (100.061, 10, 3), (100.062, 12, 4)]
    for now, current, draws in steps:
        term.now = now
        progress.update_progress(current)
        assert len(term.writes) == draws, (now, current)
    assert progress._state.last_draw_t == 100.062


def test_throttle_interval_is_read_from_the_meter(term):
    progress.start_progress(10, "ABC")
    progress._state.min_redraw_interval = 0.25
    for now, draws in [(100.24, 1), (100.25, 2), (100.49, 2), (100.5, 3)]:
        term.now = now
        progress.update_progress(1)
        assert len(term.writes) == draws


# A clock replaced by Python code may start or end a meter while update_progress reads it: the meter read
# after the clock is the one that decides, as in `current < _state.total` after `time.perf_counter()`.
@pytest.mark.parametrize("during_the_clock, draws, error", [
    (lambda: None, 1, None),                                           # the clock changes nothing: throttled
    (lambda: progress.start_progress(10, "NEW"), 3, None),              # a new meter: drawn at start and by this update
    (lambda: setattr(progress, "_state", None), 1, AttributeError),     # the meter ended: None has no total
])
def test_the_meter_is_read_after_a_replaced_clock(term, during_the_clock, draws, error):
    progress.start_progress(10, "ABC")
    progress._state.min_redraw_interval = 1e9

    def clock():
        term.perf_counter = lambda: term.now  # once only
        during_the_clock()
        if progress._state is not None:
            progress._state.min_redraw_interval = 0.0 if progress._state.symbol == "NEW" else 1e9
        return term.now

    term.perf_counter = clock
    if error:
        with pytest.raises(error):
            progress.update_progress(1)
    else:
        progress.update_progress(1)
    assert len(term.writes) == draws


@pytest.mark.parametrize(
    "columns, symbol, bar_w, right",
    [
        (80, "ABC", 35, "3/10   30%  1.5/s  ETA 00:05  +00:02"),
        (50, "ABC", 13, "3/10   30%  1.5/s  ETA 00:05"),
        (45, "ABC", 19, "3/10   30%  1.5/s"),
        (40, "ABC", 14, "3/10   30%  1.5/s"),
        (12, "ABC", 14, "3/10   30%  1.5/s"),  # narrower than 40 is drawn for 40
        (40, "S" * 14, 10, "3/10   30%"),
        (40, "S" * 20, 10, "3/10"),
        (40, "X" * 40, 10, "3/10"),  # cannot fit: only the count is left
    ],
)
def test_narrow_terminals_drop_right_hand_items(term, columns, symbol, bar_w, right):
    term.columns = columns
    progress.start_progress(10, symbol)
    term.now = 102.0
    progress._draw_progress(3)
    filled = int(bar_w * 0.3)
    line = f"- {symbol} [{'#' * filled}{'.' * (bar_w - filled)}] {right}"
    assert visible(term.writes[-1]) == "\r" + line.ljust(40)


def test_finish_twice_draws_and_ends_the_line_twice(term):
    progress.start_progress(4, "ABC")
    progress.finish_progress()
    progress.finish_progress()
    assert [visible(w)[:4] for w in term.writes] == ["\r- A", "\rOK ", "\n", "\rOK ", "\n"]


@pytest.mark.parametrize("tty, total", [(False, 5), (True, 0), (True, -3)])
def test_no_meter_means_no_output(term, tty, total):
    term.tty = tty
    progress._state = progress._Meter(9, 0.0, 0.0, "old", True)
    progress.start_progress(total, "ABC")
    progress.update_progress(5)
    progress.finish_progress()
    assert progress._state is None
    assert term.writes == [] and term.flushes == 0


def test_bad_arguments_fail_before_drawing(term):
    with pytest.raises(TypeError, match=r"Argument 'symbol' has incorrect type \(expected str, got int\)"):
        progress.start_progress(5, 7)
    with pytest.raises(TypeError, match=r"Argument 'total' has incorrect type \(expected int, got str\)"):
        progress.start_progress("5", "ABC")
    assert term.writes == []
    progress.start_progress(2.9, "ABC")
    assert progress._state.total == 2


def test_failed_write_does_not_count_as_a_draw(term):
    progress.start_progress(10, "ABC")

    def broken(text):
        raise OSError(errno.EIO, "terminal gone")

    term.write = broken
    term.now = 101.0
    with pytest.raises(OSError):
        progress.update_progress(3)
    assert progress._state.last_draw_t == 100.0


def test_drawing_does_not_leak(term):
    progress.start_progress(1000, "ABC")

    def run(n):
        for i in range(n):
            term.now += 0.05
            progress.update_progress(i)
            progress.update_progress(i)  # throttled
            term.writes.clear()

    run(2000)
    before = sys.getallocatedblocks()
    run(20000)
    assert sys.getallocatedblocks() - before < 2000


# --------------------------------------------------------------------------
# a real terminal

CHILD = """
import time
from private_core.progress import start_progress, update_progress, finish_progress
start_progress(40, "PTY batch")
for i in range(1, 41):
    time.sleep(0.003)
    update_progress(i)
finish_progress()
"""


def screen_rows(text):
    """What a terminal shows for `text`: carriage returns overwrite in place."""
    rows, row, col = [[]], 0, 0
    for ch in visible(text):
        if ch == "\r":
            col = 0
        elif ch == "\n":
            row += 1
            rows.append([])
        else:
            cells = rows[row]
            cells.extend(" " * (col + 1 - len(cells)))
            cells[col] = ch
            col += 1
    return ["".join(cells).rstrip() for cells in rows]


def test_batch_under_a_real_pseudo_terminal(tmp_path):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD], stdin=slave, stdout=slave, stderr=slave, cwd=tmp_path, env=env
    )
    os.close(slave)
    raw = bytearray()
    try:
        while select.select([master], [], [], 10)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the child closed its side
                break
            if not chunk:
                break
            raw += chunk
    finally:
        os.close(master)
        assert child.wait(timeout=10) == 0, raw.decode(errors="replace")

    text = raw.decode()
    assert GREEN in text  # colour is on for a terminal
    rows = screen_rows(text)
    assert rows[-1] == ""  # the meter ended its line
    final = rows[-2]
    match = re.fullmatch(r"OK PTY batch \[(#+)\] 40/40  100%  \S+/s  done  \+00:0\d", final)
    assert match, final
    assert len(final) == 80
