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
