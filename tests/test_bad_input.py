"""Every function and method with wrong-typed arguments: an exception or a valid result, never a crash."""

import math
import re
from decimal import Decimal

import pytest
import requests

import private_core.keygate as kg
import private_core.ledgerbook as lb
import private_core.wirelink as wl
from private_core.wirelink import HttpSession
from tessaro.types import ApiKeyValidationResponse


class Boom(Exception):
    pass


def _boom(*args, **kwargs):
    raise Boom


class Bomb:
    """Every protocol an argument checker or a formatter might touch raises."""

    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __iter__ = _boom
    __int__ = __index__ = __float__ = __getitem__ = __getattr__ = _boom


class Text(str):
    pass


class BombText(str):
    __str__ = __repr__ = __eq__ = __hash__ = strip = upper = __len__ = __iter__ = _boom


class Table(dict):
    pass


class BombTable(dict):
    keys = __iter__ = __getitem__ = get = items = __len__ = _boom


WEIRD = [
    None, True, 0, -1, 10**100, 1.5, math.nan, math.inf, 1j, Decimal("NaN"), "", " x ", Text("vnm"), BombText("vnm"),
    b"x", bytearray(b"x"), [], ["vnm", None], [BombText("a")], (), ("a", "b"), {}, {"a": 1}, Table(a=1), BombTable(a=1),
    object(), Bomb(), int, print, iter([1]),
]
WEIRD_IDS = [type(v).__name__ + str(i) for i, v in enumerate(WEIRD)]


@pytest.fixture
def live(httpserver, base_url):
    httpserver.expect_request(re.compile(".*")).respond_with_json({"valid": True})
    with HttpSession("k", base_url=base_url) as s:
        yield s


def _session(s):
    return s


class Answer:
    def json(self):
        return {"a": 1}


FS_KW = {"symbols": ["vnm"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year"}
# (name, callable taking the live session, positional args, keyword args, type of a valid result).
# A positional argument written as _session is replaced by the live session.
CALLS = [
    ("default_user_agent", lambda s: wl._default_user_agent, ["1"], {}, str),
    ("HttpSession", lambda s: HttpSession, ["k"],
     {"base_url": "http://h", "version": "1", "timeout": 3, "user_agent": None}, HttpSession),
    ("prepare_url", lambda s: HttpSession._prepare_url, [_session, "x"], {}, str),
    ("request", lambda s: HttpSession.request, [_session, "GET", "x"],
     {"params": {"a": "1"}, "json_body": {"a": 1}, "data": None, "headers": {"X": "1"}, "timeout": 5},
     requests.Response),
    ("get", lambda s: HttpSession.get, [_session, "x"], {"params": None, "headers": None, "timeout": None},
     requests.Response),
    ("post", lambda s: HttpSession.post, [_session, "x"],
     {"json_body": None, "data": None, "headers": None, "timeout": None}, requests.Response),
    ("close", lambda s: HttpSession.close, [_session], {}, type(None)),
    ("enter", lambda s: HttpSession.__enter__, [_session], {}, object),
    ("exit", lambda s: HttpSession.__exit__, [_session, None, None, None], {}, type(None)),
    ("ensure_json_dict", lambda s: lb._ensure_json_dict, [{"a": 1}], {"context": "c"}, dict),
    ("decode_response", lambda s: lb._decode_response, [Answer()], {"context": "c"}, dict),
    ("coerce_symbols", lambda s: lb._coerce_symbols, [["vnm"]], {}, list),
    ("validate_company_types", lambda s: lb.validate_company_types, [_session, ["vnm"]], {}, dict),
    ("fetch_statement_values", lambda s: lb.fetch_statement_values, [_session], FS_KW, dict),
    ("validate_api_key", lambda s: kg.validate_api_key, [_session],
     {"client_version": "1", "include_messages": True, "extra_context": None}, ApiKeyValidationResponse),
]

SLOTS = [(name, slot) for name, _, args, kwargs, _ in CALLS for slot in [*range(len(args)), *kwargs]]


# An overflowing time-out makes requests drop a socket it opened without closing it.
@pytest.mark.filterwarnings("ignore:Exception ignored in. <socket.socket:pytest.PytestUnraisableExceptionWarning")
@pytest.mark.filterwarnings("ignore:unclosed <socket.socket:ResourceWarning")
@pytest.mark.parametrize("value", WEIRD, ids=WEIRD_IDS)
@pytest.mark.parametrize("name, slot", SLOTS)
def test_wrong_types_never_crash(live, name, slot, value):
    _, fn, args, kwargs, result_type = next(c for c in CALLS if c[0] == name)
    args = [live if a is _session else a for a in args]
    kwargs = dict(kwargs)
    if isinstance(slot, int):
        args[slot] = value
    else:
        kwargs[slot] = value
    try:
        result = fn(live)(*args, **kwargs)
    except SystemError:
        raise
    except Exception:
        return
    assert isinstance(result, result_type)


def test_baselines_succeed(live):
    for name, fn, args, kwargs, result_type in CALLS:
        args = [live if a is _session else a for a in args]
        assert isinstance(fn(live)(*args, **kwargs), result_type), name


@pytest.mark.parametrize("value", WEIRD, ids=WEIRD_IDS)
def test_weird_answers_and_errors(value):
    """Odd objects in places the service or the host package fill."""

    class Odd:
        def json(self):
            return value

    try:
        lb._decode_response(Odd(), context="c")
    except Exception:
        pass

    class Poster:
        api_key = value

        def post(self, path, json_body=None):
            from tessaro.exceptions import HttpError

            raise HttpError("x", status_code=value, payload=value)

    with pytest.raises(Exception):
        kg.validate_api_key(Poster(), client_version="1")


# -- the modules that need no service ---------------------------------------------

import private_core.memoguard as mg  # noqa: E402
import private_core.memstore as ms  # noqa: E402
import private_core.progress as pg  # noqa: E402
import private_core.ttlrules as tr  # noqa: E402


@pytest.fixture
def offline():
    """A meter to draw on, a store and a guard; the meter is gone afterwards."""
    meter = pg._Meter(3, 0.0, 0.0, "X", True)
    pg._state = meter
    try:
        yield {"meter": meter, "cache": ms._Cache(True), "guard": mg.BaseMemoguard(),
               "entry": ms.CacheEntry(data=None, fetched_at=None)}
    finally:
        pg._state = None


def _obj(name):
    return lambda objects: objects[name]


# (name, function, positional args, keyword args); _obj(...) stands for a fixture object.
OFFLINE_CALLS = [
    ("fmt_time", pg._fmt_time, [1.0], {}),
    ("fmt_rate", pg._fmt_rate, [1.0], {}),
    ("term_width", pg._term_width, [80], {}),
    ("strip_ansi", pg._strip_ansi, ["\x1b[1mx"], {}),
    ("len_noansi", pg._len_noansi, ["x"], {}),
    ("pad_to_width", pg._pad_to_width, ["x", 5], {}),
    ("palette", pg._Meter.palette, [_obj("meter"), "x"], {}),
    ("start_progress", pg.start_progress, [3, "x"], {}),
    ("update_progress", pg.update_progress, [1], {}),
    ("draw_progress", pg._draw_progress, [1], {"force": False}),
    ("compose_right", pg._compose_right, [1, 3, 1.0, 2.0, 1.0, str, False], {}),
    ("join_right", pg._join_right, [["a", ""]], {}),
    ("cache_init", ms._Cache, [True], {}),
    ("cache_get", ms._Cache.get, [_obj("cache"), "ns", ("k",)], {}),
    ("cache_set", ms._Cache.set, [_obj("cache"), "ns", ("k",), None], {"params": None, "ttl": None}),
    ("clear_ns", ms._Cache.clear_ns, [_obj("cache"), "ns"], {}),
    ("clear_all", ms._Cache.clear_all, [_obj("cache")], {}),
    ("begin_inflight", ms._Cache._begin_inflight, [_obj("cache"), "ns", ("k",)], {}),
    ("end_inflight", ms._Cache._end_inflight, [_obj("cache"), "ns", ("k",)], {}),
    ("is_expired", ms.CacheEntry.is_expired, [_obj("entry")], {}),
    ("to_date", ms.to_date, [None], {}),
    ("is_today", ms.is_today, [None], {}),
    ("touches_latest_trading_day", tr.touches_latest_trading_day, [None], {}),
    ("clear_cache", mg.BaseMemoguard.clear_cache, [_obj("guard")], {"ns": None}),
    ("fetch_with_cache", mg.BaseMemoguard._fetch_with_cache, [_obj("guard"), "ns", ("k",)],
     {"live": False, "fetcher": dict, "ttl_live": None, "ttl_history": None, "params": None,
      "wait_timeout": 0.0, "wait_interval": 0.0}),
]
OFFLINE_SLOTS = [(name, slot) for name, _, args, kwargs in OFFLINE_CALLS for slot in [*range(len(args)), *kwargs]]


def _run_offline(objects, name, slot=None, value=None):
    _, fn, args, kwargs = next(c for c in OFFLINE_CALLS if c[0] == name)
    args = [a(objects) if callable(a) and a.__name__ == "<lambda>" else a for a in args]
    kwargs = dict(kwargs)
    if isinstance(slot, int):
        args[slot] = value
    elif slot is not None:
        kwargs[slot] = value
    return fn(*args, **kwargs)


@pytest.mark.parametrize("value", WEIRD, ids=WEIRD_IDS)
@pytest.mark.parametrize("name, slot", OFFLINE_SLOTS)
def test_offline_modules_survive_wrong_types(offline, name, slot, value):
    try:
        _run_offline(offline, name, slot, value)
    except SystemError:
        raise
    except Exception:
        pass


def test_offline_baselines_succeed(offline):
    for name, *_ in OFFLINE_CALLS:
        _run_offline(offline, name)


@pytest.mark.parametrize("value", WEIRD, ids=WEIRD_IDS)
@pytest.mark.parametrize("field", ["total", "start_t", "last_draw_t", "symbol", "enable_color", "min_redraw_interval"])
def test_meter_with_odd_fields_survives_drawing(offline, field, value):
    setattr(offline["meter"], field, value)
    for step in (lambda: pg.update_progress(1), lambda: pg._draw_progress(2), pg.finish_progress):
        try:
            step()
        except SystemError:
            raise
        except Exception:
            pass
