"""Property tests: arbitrary Python values as arguments of every function and method,
arbitrary JSON as the body of every fetcher's answer.  Only the documented
exceptions may come out: never a SystemError, never a crash."""

from __future__ import annotations

import contextlib
import importlib
import io
import json
import math
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta
from decimal import Decimal
from fractions import Fraction
from typing import Callable

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import private_core.progress as pg
from gates import (FETCHER_IDS, FETCHERS, Reply, assert_no_secret, exception_texts, local_session, price_stubs,
                   serving)
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

# -- arbitrary values -------------------------------------------------------------------


class Hostile(Exception):
    """Raised by the hostile values' own methods; propagating it is the caller's own doing."""


def _hostile(*args, **kwargs):
    raise Hostile


class HostileObject:
    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __iter__ = __int__ = __index__ = _hostile
    __float__ = __getitem__ = __getattr__ = __call__ = __lt__ = __ge__ = __add__ = __radd__ = _hostile


class HostileStr(str):
    __str__ = __repr__ = __eq__ = __hash__ = __len__ = __iter__ = strip = upper = lower = _hostile
    __getitem__ = __contains__ = encode = startswith = __add__ = _hostile


class HostileDict(dict):
    keys = items = values = get = __iter__ = __getitem__ = __len__ = __contains__ = copy = _hostile


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class IntSub(int):
    pass


# Sizes stay small on purpose: a width or count of billions would make a correct
# function allocate gigabytes, which tests the machine, not the code.
INTEGERS = st.integers(-10_000, 10_000) | st.sampled_from([2**63 - 1, -(2**63), 2**64, 10**100, -(10**100)])
FLOATS = st.floats(-1e4, 1e4) | st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e300, -1e300])
TEXT = st.text(max_size=12)
SCALARS = st.one_of(
    st.none(), st.booleans(), INTEGERS, FLOATS, TEXT, st.binary(max_size=8),
    st.complex_numbers(max_magnitude=1e6), st.builds(bytearray, st.binary(max_size=4)),
    st.sampled_from([Decimal("NaN"), Decimal("1e999"), Fraction(1, 3), Ellipsis, NotImplemented, int, print, object,
                     date(2024, 1, 2), datetime(2024, 1, 2, 9, 30), timedelta(days=-1), timedelta(minutes=1)]),
    st.builds(object), st.builds(HostileObject), st.builds(lambda: iter([1, "a"])),
    st.builds(StrSub, TEXT), st.builds(HostileStr, TEXT), st.builds(IntSub, st.integers(-5, 5)),
)
HASHABLE = st.one_of(st.none(), st.booleans(), INTEGERS, TEXT, st.builds(StrSub, TEXT))
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(HASHABLE, inner, max_size=4),
        st.frozensets(HASHABLE, max_size=3), st.sets(HASHABLE, max_size=3),
        st.builds(DictSub, st.dictionaries(TEXT, inner, max_size=3)), st.builds(ListSub, st.lists(inner, max_size=3)),
        st.builds(HostileDict, st.dictionaries(TEXT, inner, max_size=2)),
    ),
    max_leaves=8,
)

# Conversions of odd numbers to int or float: NaN, infinities, huge values.
NUMERIC = (TypeError, ValueError, OverflowError)

# -- the table of callables --------------------------------------------------------------


class Env:
    """Objects the callables work on; one per module, shared by the examples."""

    def __init__(self, server):
        import private_core.memoguard as mg
        import private_core.memstore as ms

        self.server = server
        self.session = local_session(server.base_url)
        self.cache = ms._Cache(True)
        self.guard = mg.BaseMemoguard()
        self.meter = pg._Meter(3, 0.0, 0.0, "X", True)
        self.entry = ms.CacheEntry(data=None, fetched_at=None, expires_at=datetime(2024, 1, 1))

    def close(self):
        self.session.close()


@dataclass
class E:
    """Placeholder for an Env attribute in an argument list."""

    name: str


@dataclass
class Case:
    name: str
    target: str | Callable  # "module:attr.attr", or the callable itself
    args: list
    kwargs: dict = field(default_factory=dict)
    raises: tuple = ()
    self_slot: bool = False  # the first argument is an instance or session; an arbitrary one may lack attributes

    def resolve(self):
        if callable(self.target):
            return self.target
        module, _, path = self.target.partition(":")
        obj = importlib.import_module(module)
        for part in path.split("."):
            if not hasattr(obj, part):
                pytest.skip(f"{module} has no {path} yet")
            obj = getattr(obj, part)
        return obj

    def bind(self, env):
        def value(v):
            return getattr(env, v.name) if isinstance(v, E) else v

        return [value(a) for a in self.args], {k: value(v) for k, v in self.kwargs.items()}


class Answer:
    def json(self):
        return {"a": 1}


def _entry_is_expired(expires_at):
    from private_core.memstore import CacheEntry

    return CacheEntry(None, None, expires_at=expires_at).is_expired()


S = E("session")
REQUEST = (TypeError, ValueError, OverflowError, HttpError)
LEDGER = (TypeError, ValueError, OverflowError, AttributeError, HttpError, DataDecodingError)
FETCH = (TypeError, ValueError, HttpError, DataDecodingError)
WL, LB, KG, PG, MS, TR, MG = (f"private_core.{m}:" for m in
                              ("wirelink", "ledgerbook", "keygate", "progress", "memstore", "ttlrules", "memoguard"))
DB, TL, BW = "private_core.daybars:", "private_core.ticklane:", "private_core.investor.bridgework:"

CASES = [
    Case("default_user_agent", WL + "_default_user_agent", ["1.0"], raises=(TypeError,)),
    Case("HttpSession", WL + "HttpSession", ["key"],
         {"base_url": "http://127.0.0.1:9", "version": "1", "timeout": 3, "user_agent": None}, raises=NUMERIC),
    Case("prepare_url", WL + "HttpSession._prepare_url", [S, "/x"], raises=(TypeError, ValueError), self_slot=True),
    # requests refuses odd methods, URLs, headers and bodies with its own errors; those that
    # are request errors become HttpError, the others come through unchanged.
    Case("request", WL + "HttpSession.request", [S, "GET", "/x"],
         {"params": {"a": "1"}, "json_body": {"a": 1}, "data": None, "headers": {"X": "1"}, "timeout": 5},
         raises=REQUEST, self_slot=True),
    Case("get", WL + "HttpSession.get", [S, "/x"], {"params": None, "headers": None, "timeout": None},
         raises=REQUEST, self_slot=True),
    Case("post", WL + "HttpSession.post", [S, "/x"], {"json_body": None, "data": b"x", "headers": None, "timeout": 2},
         raises=REQUEST, self_slot=True),
    Case("enter", WL + "HttpSession.__enter__", [S], self_slot=True),
    Case("ensure_json_dict", LB + "_ensure_json_dict", [{"a": 1}], {"context": "c"},
         raises=(TypeError, ValueError, DataDecodingError)),
    # The response's own json() is called; whatever it raises, other than a ValueError, is its own.
    Case("decode_response", LB + "_decode_response", [Answer()], {"context": "c"},
         raises=(TypeError, AttributeError, DataDecodingError)),
    # Items that are not strings have no strip(); what they should yield is left open.
    Case("coerce_symbols", LB + "_coerce_symbols", [["vnm"]], raises=(TypeError, ValueError, AttributeError)),
    Case("validate_company_types", LB + "validate_company_types", [S, ["vnm"]], raises=LEDGER),
    Case("fetch_statement_values", LB + "fetch_statement_values", [S],
         {"symbols": ["vnm"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year"}, raises=LEDGER),
    # A session without api_key fails before anything is sent, with its AttributeError.
    Case("validate_api_key", KG + "validate_api_key", [S],
         {"client_version": "1", "include_messages": True, "extra_context": None},
         raises=(TypeError, AttributeError, ApiKeyValidationError)),
    Case("fmt_time", PG + "_fmt_time", [1.0], raises=NUMERIC),
    Case("fmt_rate", PG + "_fmt_rate", [1.0], raises=NUMERIC),
    Case("term_width", PG + "_term_width", [80], raises=NUMERIC),
    Case("strip_ansi", PG + "_strip_ansi", ["\x1b[1mx"], raises=(TypeError,)),
    Case("len_noansi", PG + "_len_noansi", ["x"], raises=(TypeError,)),
    # Padding to a width beyond memory fails as the repetition of a text does.
    Case("pad_to_width", PG + "_pad_to_width", ["x", 5], raises=NUMERIC + (MemoryError,)),
    Case("palette", PG + "_Meter.palette", [E("meter"), "x"], raises=(TypeError,), self_slot=True),
    Case("start_progress", PG + "start_progress", [3, "x"], raises=NUMERIC),
    Case("update_progress", PG + "update_progress", [1], raises=NUMERIC),
    Case("draw_progress", PG + "_draw_progress", [1], {"force": False}, raises=NUMERIC),
    # `pal` is called with each colour code and its result joined into the line.
    Case("compose_right", PG + "_compose_right", [1, 3, 1.0, 2.0, 1.0, str, False], raises=NUMERIC),
    Case("join_right", PG + "_join_right", [["a", ""]], raises=(TypeError,)),
    Case("cache", MS + "_Cache", [True]),
    Case("cache_get", MS + "_Cache.get", [E("cache"), "ns", ("k",)], raises=(TypeError,), self_slot=True),
    # A lifetime that is no timedelta, or one that leaves the calendar, fails in the addition.
    Case("cache_set", MS + "_Cache.set", [E("cache"), "ns", ("k",), None], {"params": None, "ttl": None},
         raises=(TypeError, OverflowError), self_slot=True),
    Case("clear_ns", MS + "_Cache.clear_ns", [E("cache"), "ns"], raises=(TypeError,), self_slot=True),
    Case("clear_all", MS + "_Cache.clear_all", [E("cache")], self_slot=True),
    Case("begin_inflight", MS + "_Cache._begin_inflight", [E("cache"), "ns", ("k",)], raises=(TypeError,),
         self_slot=True),
    Case("end_inflight", MS + "_Cache._end_inflight", [E("cache"), "ns", ("k",)], raises=(TypeError,),
         self_slot=True),
    Case("is_expired", MS + "CacheEntry.is_expired", [E("entry")], raises=(TypeError,), self_slot=True),
    Case("entry_expiry", _entry_is_expired, [datetime(2024, 1, 1)], raises=(TypeError,)),
    Case("to_date", MS + "to_date", [None], raises=(ValueError,)),
    Case("is_today", MS + "is_today", ["2024-01-02"], raises=(ValueError,)),
    Case("touches_latest_trading_day", TR + "touches_latest_trading_day", [None], raises=(ValueError,)),
    Case("memoguard", MG + "BaseMemoguard", [], raises=(TypeError,)),
    Case("clear_cache", MG + "BaseMemoguard.clear_cache", [E("guard")], {"ns": None}, raises=(TypeError,),
         self_slot=True),
    # The fetcher is called as given; a value that is no callable fails in that call.
    Case("fetch_with_cache", MG + "BaseMemoguard._fetch_with_cache", [E("guard"), "ns", ("k",)],
         {"live": False, "fetcher": dict, "ttl_live": None, "ttl_history": None, "params": None, "wait_timeout": 0.0,
          "wait_interval": 0.0}, raises=(TypeError, ValueError, OverflowError), self_slot=True),
    # Price fetchers: the answers carry no rows, so no frame is built.
    *[Case(f"{m.split('.')[1].rstrip(':')}._normalize_symbols", m + "_normalize_symbols", ["vnm"],
           raises=(TypeError, ValueError)) for m in (DB, TL)],
    *[Case(f"{m.split('.')[1].rstrip(':')}._render_progress", m + "_render_progress", [1, 3, "x"],
           raises=NUMERIC + (MemoryError,)) for m in (DB, TL)],
    Case("daybars.fetch_ohlcv", DB + "fetch_ohlcv", [S, "vnm", None, None, "1D"], {"show_progress": True},
         raises=FETCH, self_slot=True),
    Case("ticklane.fetch_ohlcv", TL + "fetch_ohlcv", [S, "vnm", None, None, "1m", None], {"show_progress": True},
         raises=FETCH, self_slot=True),
    Case("ticklane.fetch_orderbook", TL + "fetch_orderbook", [S, "vnm", None], {"show_progress": True},
         raises=FETCH, self_slot=True),
    Case("strict_str", BW + "_strict_str", ["x"]),
    # Namespaces and operations without lower() fail with the AttributeError of the call.
    Case("fetch_df", BW + "InvestorBridgework.fetch_df", [E("bridge"), "stock", "flow", {"ids": ["VNM"]}],
         raises=(TypeError, ValueError, AttributeError, HttpError, DataDecodingError), self_slot=True),
    Case("prepare_payload", BW + "InvestorBridgework._prepare_payload", [E("bridge"), {"ids": "VNM"}],
         raises=(TypeError,), self_slot=True),
    Case("to_query_params", BW + "InvestorBridgework._to_query_params", [E("bridge"), {"ids": ["VNM"]}],
         raises=(TypeError,), self_slot=True),
    Case("normalise_records", BW + "InvestorBridgework._normalise_records", [E("bridge"), [], "stock"],
         raises=(TypeError, DataDecodingError), self_slot=True),
    Case("ensure_mapping", BW + "InvestorBridgework._ensure_mapping", [E("bridge"), {}, "stock", None],
         raises=(TypeError, DataDecodingError), self_slot=True),
]


class TtySink(io.TextIOBase):
    """A terminal that swallows what is drawn, so the meter draws."""

    def isatty(self):
        return True

    def write(self, text):
        return len(text)


@pytest.fixture(scope="module")
def env():
    with serving() as server:
        server.reply = Reply(200, b'{"valid": true, "data": []}')
        env = Env(server)
        bridgework = importlib.import_module("private_core.investor.bridgework")
        if hasattr(bridgework, "InvestorBridgework"):
            env.bridge = bridgework.InvestorBridgework(env.session)
        yield env
        env.close()


def call_case(case, env, args, kwargs):
    fn = case.resolve()
    allowed = case.raises + (Hostile,)
    if case.self_slot and args and args[0] is not case.bind(env)[0][0]:
        allowed += (TypeError, AttributeError)
    with contextlib.redirect_stdout(TtySink()):
        try:
            pg._state = env.meter
            fn(*args, **kwargs)
        except allowed as error:
            assert_no_secret(exception_texts(error))
        finally:
            pg._state = None


# An overflowing time-out makes requests drop a socket it opened without closing it.
@pytest.mark.filterwarnings("ignore:Exception ignored in. <socket.socket:pytest.PytestUnraisableExceptionWarning")
@pytest.mark.filterwarnings("ignore:unclosed <socket.socket:ResourceWarning")
@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
@settings(max_examples=40)
@given(data=st.data())
def test_arbitrary_arguments(env, case, data):
    case.resolve()
    args, kwargs = case.bind(env)
    slots = [*range(len(args)), *kwargs]
    if slots:
        for slot in data.draw(st.lists(st.sampled_from(slots), min_size=1, max_size=3, unique=True), label="slots"):
            value = data.draw(VALUES, label=f"argument {slot}")
            if isinstance(slot, int):
                args[slot] = value
            else:
                kwargs[slot] = value
    call_case(case, env, args, kwargs)


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_baselines_succeed(env, case):
    fn = case.resolve()
    args, kwargs = case.bind(env)
    with contextlib.redirect_stdout(TtySink()):
        pg._state = env.meter
        try:
            fn(*args, **kwargs)
        finally:
            pg._state = None


# -- arbitrary JSON bodies ----------------------------------------------------------------

JSON_SCALARS = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True, allow_infinity=True),
                         st.text())
JSON = st.recursive(JSON_SCALARS, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner,
                                                                                                 max_size=5),
                    max_leaves=25)
ROW_KEYS = st.sampled_from(["symbol", "time", "date", "close", "volume", "valid", "detail", "message", "data", "error",
                            "icb", "timestamp"]) | st.text(max_size=6)
ROWS = st.lists(st.dictionaries(ROW_KEYS, JSON, max_size=5) | JSON, max_size=5)
# Bodies shaped like an answer reach the deeper checks; free ones test the first.
BODIES = st.one_of(
    JSON,
    st.fixed_dictionaries({"data": ROWS}, optional={"error": JSON, "results": JSON}),
    st.fixed_dictionaries({}, optional={"valid": JSON, "plan": JSON, "messages": JSON, "detail": JSON,
                                        "message": JSON}),
    st.dictionaries(st.text(max_size=4), ROWS, max_size=3),
)


def encode(body, ascii_only):
    return json.dumps(body, ensure_ascii=ascii_only, allow_nan=True).encode("utf-8", "surrogatepass")


@pytest.fixture(scope="module")
def server():
    with serving() as server:
        yield server


@pytest.mark.parametrize("fetcher", FETCHERS, ids=FETCHER_IDS)
@settings(max_examples=60)
@given(body=BODIES, status=st.sampled_from([200, 200, 200, 404, 422, 500]), ascii_only=st.booleans())
def test_arbitrary_json_bodies(server, fetcher, body, status, ascii_only):
    mod = fetcher.resolve()
    server.reply = Reply(status, encode(body, ascii_only))
    with local_session(server.base_url) as session, contextlib.ExitStack() as stack:
        for name, stub in price_stubs(mod).items():
            old = getattr(mod, name)
            setattr(mod, name, stub)
            stack.callback(setattr, mod, name, old)
        try:
            fetcher.run(session)
        except fetcher.body_errors as error:
            assert_no_secret(exception_texts(error))


HUGE = [
    b"1" * 5000,  # an integer past the interpreter's conversion limit
    json.dumps({"data": [{"time": "2024-01-02", "close": 1.0}] * 20_000}).encode(),
    json.dumps({"detail": "é" * 500_000, "data": "\U0001f4c8" * 100_000}, ensure_ascii=False).encode(),
    b'{"data": [NaN, Infinity, -Infinity], "valid": NaN}',
    b'{"data": "\\ud800", "valid": "\\udfff"}',
    b"\xff\xfe{\x00}\x00",
]


@pytest.mark.parametrize("body", HUGE, ids=["long_int", "many_rows", "non_ascii", "nan", "surrogates", "not_utf8"])
@pytest.mark.parametrize("fetcher", FETCHERS, ids=FETCHER_IDS)
@pytest.mark.parametrize("status", [200, 500])
def test_huge_and_odd_bodies(server, fetcher, body, status):
    mod = fetcher.resolve()
    server.reply = Reply(status, body)
    with local_session(server.base_url) as session, contextlib.ExitStack() as stack:
        for name, stub in price_stubs(mod).items():
            old = getattr(mod, name)
            setattr(mod, name, stub)
            stack.callback(setattr, mod, name, old)
        try:
            fetcher.run(session)
        except fetcher.body_errors as error:
            assert_no_secret(exception_texts(error))
