"""End-of-day bars, intraday bars and order books against a local HTTP server."""

import _thread
import functools
import gc
import itertools
import json
import operator
import random
import signal
import subprocess
import sys
import tracemalloc
import types
from typing import Sequence

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal
from werkzeug import Response

import private_core.daybars as db
import private_core.helpers as helpers
import private_core.ticklane as tl
from private_core.wirelink import HttpSession
from test_bad_input import WEIRD, WEIRD_IDS
from test_imports import load
from tessaro.exceptions import DataDecodingError, HttpError

EOD = "/api/v1/tessaro/market-data/eod/ohlcv"
INTRADAY = "/api/v1/tessaro/market-data/intraday/ohlcv"
ORDERBOOK = "/api/v1/tessaro/market-data/intraday/orderbook"

# (id, fetcher, path, meter label, noun in messages, resampled)
FETCHERS = [
    ("eod", db.fetch_ohlcv, EOD, "Batch EOD", "OHLCV", True),
    ("intraday", tl.fetch_ohlcv, INTRADAY, "Batch intraday", "OHLCV", True),
    ("orderbook", tl.fetch_orderbook, ORDERBOOK, "Orderbook intraday", "orderbook", False),
]
FETCHER_IDS = [f[0] for f in FETCHERS]
MODULES = pytest.mark.parametrize("mod", [db, tl], ids=["daybars", "ticklane"])


def bar(day, price=10.0):
    return {"time": f"2024-01-0{day}", "open": price, "high": price + 1, "low": price - 1, "close": price,
            "volume": 100}


def serve(httpserver, path, answer):
    """Answers each request with answer(symbol) -> body text, or (status, body text)."""

    def handler(request):
        out = answer(request.args.get("symbol"))
        status, body = out if isinstance(out, tuple) else (200, out)
        return Response(body, status=status, content_type="application/json")

    httpserver.expect_request(path).respond_with_handler(handler)


def queries(httpserver):
    return [(r.path, r.query_string.decode()) for r, _ in httpserver.log]


@pytest.fixture
def meter(monkeypatch):
    """Records the progress calls each module makes."""
    calls = []
    for mod in (db, tl):
        monkeypatch.setattr(mod, "start_progress", lambda total, label: calls.append(("start", total, label)))
        monkeypatch.setattr(mod, "update_progress", lambda current: calls.append(("update", current)))
        monkeypatch.setattr(mod, "finish_progress", lambda: calls.append(("finish",)))
    return calls


@pytest.fixture
def frames(monkeypatch):
    """Helpers replaced by recorders that hand back their input."""
    calls = []
    for mod in (db, tl):
        monkeypatch.setattr(mod, "_to_dataframe", lambda rows: calls.append(("frame", rows)) or rows)
        monkeypatch.setattr(mod, "resample_ohlcv_multi",
                            lambda frame, interval: calls.append(("resample", interval)) or frame)
    return calls


# -- module surface ----------------------------------------------------------------


def test_module_surfaces():
    common = ["sys", "Any", "Dict", "List", "Optional", "Sequence", "Union", "DataDecodingError", "HttpSession"]
    progress = ["start_progress", "update_progress", "finish_progress", "pd"]
    assert [n for n in vars(db) if not n.startswith("__")] == [
        *common, "Interval", "_to_dataframe", "resample_ohlcv_multi", *progress, "ENDPOINT", "_normalize_symbols",
        "_render_progress", "fetch_ohlcv"]
    assert [n for n in vars(tl) if not n.startswith("__")] == [
        *common, "IntervalIntraday", "_to_dataframe", "resample_ohlcv_multi", *progress, "ENDPOINT",
        "ORDERBOOK_ENDPOINT", "_normalize_symbols", "_render_progress", "fetch_ohlcv", "fetch_orderbook"]
    assert (db.ENDPOINT, tl.ENDPOINT, tl.ORDERBOOK_ENDPOINT) == (EOD[15:], INTRADAY[15:], ORDERBOOK[15:])
    assert db.Sequence is Sequence and db._to_dataframe is helpers._to_dataframe
    assert tl.fetch_ohlcv.__doc__.splitlines()[0] == (
        "fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], start: Optional[str] = None, "
        "end: Optional[str] = None, interval: IntervalIntraday = \"1m\", adjusted: Optional[bool] = None, *, "
        "show_progress: bool = True) -> pd.DataFrame")
    assert db.fetch_ohlcv.__kwdefaults__ == {"show_progress": True}
    assert tl.fetch_orderbook.__annotations__ == {
        "session": "HttpSession", "symbol": "Union[str, Sequence[str]]", "target_date": "Optional[str]",
        "show_progress": "bool", "return": "pd.DataFrame"}
    assert db._render_progress.__annotations__ == {"current": "int", "total": "int", "symbol": "str",
                                                   "return": "None"}
    assert db._normalize_symbols.__module__ == "private_core.daybars"
    assert tl._normalize_symbols.__module__ == "private_core.ticklane"


@pytest.mark.parametrize("module", ["private_core.daybars", "private_core.ticklane"])
def test_imports(module):
    assert {"tessaro.exceptions", "private_core.wirelink", "private_core.progress", "private_core.helpers",
            "pandas"} <= set(load(module)["loaded"])
    for blocked in ("tessaro", "private_core.helpers"):
        assert "error" in load(module, blocked=[blocked])


# -- symbol normalisation ------------------------------------------------------------


class Text(str):
    def strip(self, *args):
        return Text("  " + str.strip(self) + "?")


class Lengthless(Sequence):
    """Iterates fine, refuses len(): cleaning must only iterate."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 3:
            return f" s{i}"
        raise IndexError


class Up(str):
    def strip(self, *args):
        return self

    def upper(self):
        return Up(str.upper(self))


@MODULES
@pytest.mark.parametrize("symbols, expected", [
    (" vnm\t", ["VNM"]),
    (["vnm", " VNM", "fpt"], ["VNM", "FPT"]),
    (("hpg", "vnm", "HPG ", "", "  ", "vnm"), ["HPG", "VNM"]),
    (["\u3000acb\u2003", "straße"], ["ACB", "STRASSE"]),
    (Text("x"), ["  X?"]),
    ([Text("a"), Text("A "), "a?"], ["  A?", "A?"]),
    (["ñ", "vnm", " Ñ", "VNM", "fpt"], ["Ñ", "VNM", "FPT"]),
    (["vnm", Up("vnm"), Up("fpt"), "FPT "], ["VNM", "FPT"]),
    (Lengthless(), ["S0", "S1", "S2"]),
    ([" " + "x" * 70 + " ", "X" * 70, "x" * 64, " " + "X" * 64], ["X" * 70, "X" * 64]),
])
def test_normalize_symbols(mod, symbols, expected):
    assert mod._normalize_symbols(symbols) == expected


@MODULES
@pytest.mark.parametrize("symbols, error, message", [
    ("  ", ValueError, "symbol must not be empty."),
    ([], ValueError, "symbol sequence must contain at least one non-empty string."),
    (["", " \n"], ValueError, "symbol sequence must contain at least one non-empty string."),
    ({"VNM"}, TypeError, "symbol must be a string or a sequence of strings."),
    ({"VNM": 1}, TypeError, "symbol must be a string or a sequence of strings."),
    (b"VNM", TypeError, "symbol must be a string or a sequence of strings."),
    (iter(["VNM"]), TypeError, "symbol must be a string or a sequence of strings."),
    (None, TypeError, "symbol must be a string or a sequence of strings."),
    (["VNM", 1], TypeError, "All symbols in the sequence must be strings."),
    (["VNM", ["FPT"]], TypeError, "All symbols in the sequence must be strings."),
    (range(3), TypeError, "All symbols in the sequence must be strings."),
])
def test_normalize_symbols_rejects(mod, symbols, error, message):
    with pytest.raises(error) as info:
        mod._normalize_symbols(symbols)
    assert str(info.value) == message


def normalize_reference(symbols):
    """The cleaning rules in plain Python: first occurrence of each cleaned symbol, in order."""
    result = []
    for element in symbols:
        cleaned = element.strip()
        if cleaned and cleaned.upper() not in result:
            result.append(cleaned.upper())
    return result


SYMBOL_PIECES = ["vnm", "FPT", "hpg", "ñ", "ß", "x" * 70, "", "1", "\u3000"]


@pytest.mark.parametrize("seed, size", [(0, 5), (1, 200), (2, 1500), (3, 5000)])
def test_normalize_symbols_agrees_with_the_rules_on_random_lists(seed, size):
    rng = random.Random(seed)
    # Few distinct spellings for small lists (many duplicates), many for large ones (the table grows).
    symbols = [" " * rng.randrange(2) + rng.choice(SYMBOL_PIECES) + str(rng.randrange(size)) + "\t" * rng.randrange(2)
               for _ in range(size)]
    symbols = [s.swapcase() if rng.random() < 0.3 else s for s in symbols]
    assert db._normalize_symbols(symbols) == normalize_reference(symbols)
    assert db._normalize_symbols(tuple(symbols)) == normalize_reference(symbols)


class Growing(str):
    """A symbol whose strip() appends to the list being cleaned: `for` over a list sees the new item."""

    target: list

    def strip(self, *args):
        self.target.append(f"g{len(self.target)}")
        return str.strip(self)


def test_normalize_symbols_sees_a_list_that_grows_while_cleaned():
    symbols = ["a"]
    Growing.target = symbols
    symbols.append(Growing("b"))
    assert db._normalize_symbols(symbols) == ["A", "B", "G2"]


def test_normalize_symbols_reads_sequence_at_call_time(monkeypatch):
    monkeypatch.setattr(db, "Sequence", list)
    assert db._normalize_symbols(["a"]) == ["A"]
    with pytest.raises(TypeError, match="sequence of strings"):
        db._normalize_symbols(("a",))
    assert tl._normalize_symbols(("a",)) == ["A"]


# -- plain progress line ---------------------------------------------------------------


@MODULES
@pytest.mark.parametrize("current, total, stars, width, shown", [
    (1, 3, 16, 49, " 33% 1 of 3"),
    (29, 100, 14, 49, " 28% 29 of 100"),
    (3.9, 3, 49, 49, "100% 3 of 3\n"),
    (6, 3, 98, 98, "200% 6 of 3"),
    (-1, 3, 0, 65, "-33% -1 of 3"),
])
def test_render_progress(mod, capsys, current, total, stars, width, shown):
    mod._render_progress(current, total, "VNM")
    out = capsys.readouterr().out
    bar = out[out.index("[") + 1:out.index("]")]
    assert out.startswith("\r[") and bar.count("*") == stars and len(bar) == width
    pct, counts = shown.split("% ")
    newline = "\n" if counts.endswith("\n") else ""
    assert out.endswith(f"] {pct}%  {counts.strip()} completed | VNM{newline}")


@pytest.mark.parametrize("total", [0, -5])
def test_render_progress_without_total_writes_nothing(capsys, total):
    db._render_progress(1, total, "VNM")
    assert capsys.readouterr().out == ""


def test_render_progress_checks_symbol():
    with pytest.raises(TypeError, match=r"Argument 'symbol' has incorrect type \(expected str, got int\)"):
        db._render_progress(1, 2, 3)


# -- requests sent ------------------------------------------------------------------


@pytest.mark.parametrize("fetcher, args, kwargs, path, query", [
    (db.fetch_ohlcv, [" vnm "], {}, EOD, "symbol=VNM&interval=1D"),
    (db.fetch_ohlcv, [["vnm"], "2024-01-01", "", "1W"], {}, EOD, "symbol=VNM&interval=1W&start=2024-01-01"),
    (db.fetch_ohlcv, ["vnm"], {"end": "not a date", "interval": "1M"}, EOD, "symbol=VNM&interval=1M&end=not+a+date"),
    (tl.fetch_ohlcv, ["vnm", "09:00", "10:00", "5m", True], {}, INTRADAY,
     "symbol=VNM&interval=1m&start=09%3A00&end=10%3A00&adjusted=true"),
    (tl.fetch_ohlcv, ["vnm"], {"adjusted": False, "interval": "1H"}, INTRADAY, "symbol=VNM&interval=1m&adjusted=false"),
    (tl.fetch_ohlcv, ["vnm", ""], {"adjusted": None}, INTRADAY, "symbol=VNM&interval=1m"),
    (tl.fetch_orderbook, ["vnm"], {}, ORDERBOOK, "symbol=VNM"),
    (tl.fetch_orderbook, ["vnm", ""], {}, ORDERBOOK, "symbol=VNM"),
    (tl.fetch_orderbook, ["vnm"], {"target_date": "2024-01-02"}, ORDERBOOK, "symbol=VNM&target_date=2024-01-02"),
])
def test_query_parameters(httpserver, session, fetcher, args, kwargs, path, query):
    serve(httpserver, path, lambda s: '{"data": []}')
    assert fetcher(session, *args, **kwargs).equals(pd.DataFrame())
    assert queries(httpserver) == [(path, query)]
    assert httpserver.log[0][0].headers["Authorization"] == "Bearer secret-key"


def test_endpoint_and_session_method_read_at_call_time(httpserver, session, monkeypatch):
    serve(httpserver, "/api/v1/tessaro/elsewhere", lambda s: '{"data": []}')
    monkeypatch.setattr(db, "ENDPOINT", "/elsewhere")
    db.fetch_ohlcv(session, "a")
    assert queries(httpserver) == [("/api/v1/tessaro/elsewhere", "symbol=A&interval=1D")]


# -- frames ----------------------------------------------------------------------------


@pytest.mark.parametrize("fetcher, path, kwargs", [
    (db.fetch_ohlcv, EOD, {"interval": "1W"}),
    (tl.fetch_ohlcv, INTRADAY, {"interval": "5m"}),
])
def test_bars_come_back_through_the_helpers(httpserver, session, fetcher, path, kwargs):
    bodies = {"FPT": {"data": [bar(3, 20.0), bar(2, 21.0)]}, "VNM": {"data": [bar(1), {**bar(2), "symbol": "x"}]}}
    serve(httpserver, path, lambda s: json.dumps(bodies[s]))
    got = fetcher(session, ["vnm", "fpt", "VNM"], **kwargs)
    rows = [{"symbol": "VNM", **bar(1)}, {"symbol": "x", **bar(2)}, {"symbol": "FPT", **bar(3, 20.0)},
            {"symbol": "FPT", **bar(2, 21.0)}]
    assert [r.query_string.decode().split("&")[0] for r, _ in httpserver.log] == ["symbol=VNM", "symbol=FPT"]
    assert_frame_equal(got, helpers.resample_ohlcv_multi(helpers._to_dataframe(rows), **kwargs))


def test_intraday_minutes_resampled_to_five(httpserver, session):
    minutes = [{"time": f"2024-01-02T09:0{m}:00", "open": m, "high": m + 1, "low": m - 1, "close": m, "volume": 1}
               for m in range(7)]
    serve(httpserver, INTRADAY, lambda s: json.dumps({"data": minutes}))
    got = tl.fetch_ohlcv(session, "vnm", interval="5m")
    assert got[["open", "high", "low", "close", "volume"]].values.tolist() == [[0, 5, -1, 4, 5], [5, 7, 4, 6, 2]]
    assert list(got["time"].astype(str)) == ["2024-01-02 09:00:00", "2024-01-02 09:05:00"]


@pytest.mark.parametrize("fetcher, path, label, noun, resampled", [f[1:] for f in FETCHERS], ids=FETCHER_IDS)
def test_rows_meter_and_helper_calls(httpserver, session, meter, frames, fetcher, path, label, noun, resampled):
    serve(httpserver, path, lambda s: json.dumps({"error": None, "data": [{"n": s, "symbol": s.lower()}, {"n": 2}]}))
    rows = fetcher(session, ["a", "b"])
    assert rows == [{"symbol": "a", "n": "A"}, {"symbol": "A", "n": 2}, {"symbol": "b", "n": "B"},
                    {"symbol": "B", "n": 2}]
    assert [list(r) for r in rows[:2]] == [["symbol", "n"], ["symbol", "n"]]
    assert meter == [("start", 2, label), ("update", 1), ("update", 2), ("finish",)]
    interval = {"eod": "1D", "intraday": "1m"}.get(next(f[0] for f in FETCHERS if f[1] is fetcher))
    assert [c[0] for c in frames] == (["frame", "resample"] if resampled else ["frame"])
    assert frames[1:] == ([("resample", interval)] if resampled else [])


@pytest.mark.parametrize("fetcher, path, label, noun, resampled", [f[1:] for f in FETCHERS], ids=FETCHER_IDS)
def test_no_rows_gives_empty_frame_without_helpers(httpserver, session, meter, monkeypatch, fetcher, path, label,
                                                   noun, resampled):
    serve(httpserver, path, lambda s: '{"data": [], "error": ""}' if s == "A" else '{"data": [], "error": 0}')
    for mod in (db, tl):
        monkeypatch.setattr(mod, "_to_dataframe", None)
        monkeypatch.setattr(mod, "resample_ohlcv_multi", None)
    got = fetcher(session, ["a", "b"], show_progress=False)
    assert type(got) is pd.DataFrame and got.empty and list(got.columns) == [] and len(got) == 0
    assert meter == [("start", 2, label), ("finish",)]


# -- failures --------------------------------------------------------------------------

DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize("body, message, cause", [
    ("not json", "Unable to decode {noun} response as JSON", ValueError),
    (DEEP, "Unable to decode {noun} response as JSON", RecursionError),
    ("[1, 2]", "Unexpected payload structure for {noun} response.", None),
    ('"text"', "Unexpected payload structure for {noun} response.", None),
    ('{"error": "no such symbol"}', "Backend returned error for VNM: no such symbol", None),
    ('{"error": {"code": 7}, "data": []}', "Backend returned error for VNM: {{'code': 7}}", None),
    ('{"error": true, "data": 1}', "Backend returned error for VNM: True", None),
    ("{}", "Unexpected payload format for {noun} series.", None),
    ('{"data": {"time": 1}}', "Unexpected payload format for {noun} series.", None),
    ('{"data": null}', "Unexpected payload format for {noun} series.", None),
    ('{"data": [{"time": 1}, [1]]}', "Each {noun} row must be a dictionary.", None),
    ('{"data": ["x"]}', "Each {noun} row must be a dictionary.", None),
])
@pytest.mark.parametrize("fetcher, path, label, noun, resampled", [f[1:] for f in FETCHERS], ids=FETCHER_IDS)
def test_malformed_answers(httpserver, session, meter, fetcher, path, label, noun, resampled, body, message, cause):
    serve(httpserver, path, lambda s: body)
    with pytest.raises(DataDecodingError) as info:
        fetcher(session, " vnm")
    assert str(info.value) == message.format(noun=noun)
    if cause is None:
        assert info.value.__cause__ is None and info.value.__context__ is None
    else:
        assert isinstance(info.value.__cause__, cause) and info.value.__context__ is info.value.__cause__
    assert meter == [("start", 1, label)]


@pytest.mark.parametrize("fetcher, path, label, noun, resampled", [f[1:] for f in FETCHERS], ids=FETCHER_IDS)
@pytest.mark.parametrize("failure", ["status", "body"])
def test_failure_on_second_symbol_drops_everything(httpserver, session, meter, frames, fetcher, path, label, noun,
                                                   resampled, failure):
    def answer(symbol):
        if symbol != "B":
            return json.dumps({"data": [bar(1)]})
        return (503, '{"detail": "down"}') if failure == "status" else '{"data": [1]}'

    serve(httpserver, path, answer)
    with pytest.raises(HttpError if failure == "status" else DataDecodingError) as info:
        fetcher(session, ["a", "b", "c"])
    if failure == "status":
        assert (info.value.status_code, info.value.payload) == (503, {"detail": "down"})
    assert [q.split("&")[0] for _, q in queries(httpserver)] == ["symbol=A", "symbol=B"]
    assert meter == [("start", 3, label), ("update", 1)]
    assert frames == []


def test_transport_failure_propagates(closed_url, meter):
    with HttpSession("k", base_url=closed_url) as s, pytest.raises(HttpError) as info:
        tl.fetch_orderbook(s, "vnm")
    assert info.value.status_code is None and meter == [("start", 1, "Orderbook intraday")]


@pytest.mark.parametrize("call, message", [
    (lambda s: db.fetch_ohlcv(s, "a", 1), "Argument 'start' has incorrect type (expected str, got int)"),
    (lambda s: db.fetch_ohlcv(s, "a", None, b"x"), "Argument 'end' has incorrect type (expected str, got bytes)"),
    (lambda s: tl.fetch_ohlcv(s, "a", adjusted=1), "Argument 'adjusted' has incorrect type (expected bool, got int)"),
    (lambda s: tl.fetch_ohlcv(s, "a", 5, adjusted=0), "Argument 'start' has incorrect type (expected str, got int)"),
    (lambda s: tl.fetch_orderbook(s, "a", target_date=pd.Timestamp(0)),
     "Argument 'target_date' has incorrect type (expected str, got Timestamp)"),
    (lambda s: tl.fetch_ohlcv(s, [" ", ""]), "symbol sequence must contain at least one non-empty string."),
    (lambda s: tl.fetch_orderbook(s, {"a"}), "symbol must be a string or a sequence of strings."),
])
def test_bad_arguments_send_nothing(httpserver, session, meter, call, message):
    with pytest.raises((TypeError, ValueError)) as info:
        call(session)
    assert str(info.value) == message
    assert httpserver.log == [] and meter == []


class OwnOrder(list):
    def __iter__(self):
        return iter([*reversed(self)])


@pytest.mark.parametrize("fetcher", [f[1] for f in FETCHERS], ids=FETCHER_IDS)
def test_a_list_subclass_of_rows_is_walked_as_it_iterates(monkeypatch, frames, meter, fetcher):
    # A replaced decoder may hand back its own list type: rows follow its iteration.
    answer = types.SimpleNamespace(json=lambda: {"data": OwnOrder([{"n": 1}, {"n": 2}])})
    session = types.SimpleNamespace(get=lambda path, params: answer)
    fetcher(session, "a")
    assert frames[0] == ("frame", [{"symbol": "A", "n": 2}, {"symbol": "A", "n": 1}])


# -- Ctrl-C ----------------------------------------------------------------------------


def interrupting_answers(before, after):
    """An answer class for a session's get whose json() hands out ``before`` payloads,
    then one more while it sets Ctrl-C pending, then ``after`` more, and how many of
    those are left.

    Everything runs in C (no Python frame between two symbols), so nothing but the
    fetcher itself can notice the pending interrupt, and it is raised at a known
    pass instead of whenever a timer thread gets the interpreter.
    """
    payload = {"data": []}
    tail = itertools.repeat(payload, after)
    # zip calls interrupt_main first, then takes the payload: a C-level "interrupt, then answer".
    trigger = map(operator.itemgetter(1), zip(map(_thread.interrupt_main, [signal.SIGINT]), [payload]))
    answers = itertools.chain(itertools.repeat(payload, before), trigger, tail)
    return type("QuickAnswer", (types.SimpleNamespace,), {"json": answers.__next__}), tail.__length_hint__


@pytest.mark.parametrize("fetcher", [f[1] for f in FETCHERS], ids=FETCHER_IDS)
def test_interrupt_lands_inside_a_batch(monkeypatch, fetcher, sigint_raises):
    finished = []
    mod = db if fetcher is db.fetch_ohlcv else tl
    for name in ("ENDPOINT", "ORDERBOOK_ENDPOINT"):
        monkeypatch.setattr(mod, name, {}, raising=False)  # QuickAnswer({}, params=...) then takes no positional
    monkeypatch.setattr(mod, "_normalize_symbols", list)
    monkeypatch.setattr(mod, "finish_progress", functools.partial(finished.append, True))
    before, after = 1_000, 100_000
    answer_class, left = interrupting_answers(before, after)
    session = types.SimpleNamespace(get=answer_class)
    with pytest.raises(KeyboardInterrupt):
        fetcher(session, ["A"] * (before + 1 + after), show_progress=False)
    # Stopped within a few symbols of the interrupt, before the meter was finished.
    assert finished == [] and left() > after - 100


# -- bad input never crashes -------------------------------------------------------------

BODIES = [
    "null", "true", "0", "-1.5e400", '"x"', "[]", "[{}]", "{}", '{"data": null}', '{"data": "abc"}', '{"data": [[]]}',
    '{"data": [null]}', '{"data": [{}]}', '{"data": [{"symbol": null}]}', '{"error": [0], "data": []}',
    '{"error": [], "data": [{"a": NaN}]}', '{"error": {}, "data": [{"a": Infinity}]}', '{"data": [], "data": [{}]}',
    '{"data": [' + "{},".join([""] * 5000) + "{}]}", '{"data": [{"\\ud800": "\\udfff"}]}', "{" * 5000, DEEP,
    '{"data": ' + "[" * 50_000 + "]" * 50_000 + "}", "\xff\xfe", "",
]


@pytest.mark.parametrize("body", BODIES, ids=range(len(BODIES)))
@pytest.mark.parametrize("fetcher, path, label, noun, resampled", [f[1:] for f in FETCHERS], ids=FETCHER_IDS)
def test_any_json_body(httpserver, session, frames, fetcher, path, label, noun, resampled, body):
    serve(httpserver, path, lambda s: body)
    try:
        result = fetcher(session, ["a", "b"])
    except DataDecodingError:
        return
    assert isinstance(result, (list, pd.DataFrame))


def _session(s):
    return s


FETCH_CALLS = [
    (db.fetch_ohlcv, [_session, "vnm", "2024-01-01", "2024-01-05", "1D"], {"show_progress": True}),
    (tl.fetch_ohlcv, [_session, "vnm", "09:00", "10:00", "5m", True], {"show_progress": False}),
    (tl.fetch_orderbook, [_session, "vnm", "2024-01-02"], {"show_progress": True}),
]
SLOTS = [(i, slot) for i, (_, args, kwargs) in enumerate(FETCH_CALLS) for slot in [*range(len(args)), *kwargs]]


@pytest.fixture
def live(httpserver, session):
    for path in (EOD, INTRADAY, ORDERBOOK):
        serve(httpserver, path, lambda s: json.dumps({"data": [bar(2)]}))
    return session


@pytest.mark.parametrize("value", WEIRD, ids=WEIRD_IDS)
@pytest.mark.parametrize("which, slot", SLOTS, ids=[f"{FETCH_CALLS[i][0].__name__}{i}-{s}" for i, s in SLOTS])
def test_any_argument(live, which, slot, value):
    fetcher, args, kwargs = FETCH_CALLS[which]
    args = [live if a is _session else a for a in args]
    kwargs = dict(kwargs)
    if isinstance(slot, int):
        args[slot] = value
    else:
        kwargs[slot] = value
    try:
        result = fetcher(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return
    assert isinstance(result, pd.DataFrame)


def test_baselines_succeed(live):
    for fetcher, args, kwargs in FETCH_CALLS:
        got = fetcher(*[live if a is _session else a for a in args], **kwargs)
        assert list(got["symbol"]) == ["VNM"]


def test_batches_do_not_leak(monkeypatch):
    payload = {"error": None, "data": [bar(1), bar(2)]}

    class Answer:
        def json(self):
            return payload

    class Broken:
        def json(self):
            raise ValueError("bad")

    class Session:
        def get(self, path, params):
            return Broken() if params["symbol"] == "C" else Answer()

    monkeypatch.setattr(db, "_to_dataframe", len)
    monkeypatch.setattr(db, "resample_ohlcv_multi", lambda frame, interval: frame)

    def run():
        assert db.fetch_ohlcv(Session(), ["a", " b"], show_progress=False) == 4
        try:
            db.fetch_ohlcv(Session(), ["a", "c"])
        except DataDecodingError:
            pass
        db._normalize_symbols(["x", "X", " y"])

    for _ in range(200):
        run()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20000, f"{grown} bytes kept"


def reference_normalize(symbols):
    cleaned = [s.strip().upper() for s in symbols]
    return list(dict.fromkeys(s for s in cleaned if s))


@MODULES
@pytest.mark.parametrize("seed", range(4))
def test_normalize_symbols_matches_plain_python(mod, seed):
    # Enough distinct symbols that the table of those seen grows several times.
    rng = random.Random(seed)
    pool = ["".join(rng.choices(" \tabcXYZ19-.é", k=rng.randint(0, 6))) for _ in range(3000)]
    symbols = rng.choices(pool, k=6000)
    assert mod._normalize_symbols(symbols) == reference_normalize(symbols)


def test_normalize_symbols_memory_follows_distinct_symbols():
    # A child process, so that its peak resident size measures this call alone.
    script = (
        "import resource, private_core.daybars as db\n"
        "symbols = ['vnm', 'FPT'] * 4_000_000\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "assert db._normalize_symbols(symbols) == ['VNM', 'FPT']\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n"
    )
    grown_kib = int(subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                                   check=True).stdout)
    assert grown_kib < 16 * 1024
