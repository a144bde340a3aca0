"""Company-type validation and statement values through a real session."""

import inspect
from collections import OrderedDict
from types import MappingProxyType
from typing import Any, Dict

import pytest

import private_core.ledgerbook as lb
from conftest import json_of, only_request
from tessaro.exceptions import DataDecodingError, HttpError

TYPES = "/api/v1/tessaro/reporting/meta/company-types/validate"
VALUES = "/api/v1/tessaro/reporting/statements/values"
ARGS = {"symbols": ["vnm"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year"}


def test_module_surface():
    names = [n for n in vars(lb) if not n.startswith("__")]
    assert names == ["Any", "Dict", "Iterable", "List", "Mapping", "Sequence", "DataDecodingError", "HttpSession",
                     "_COMPANY_TYPE_ENDPOINT", "_STATEMENT_ENDPOINT", "JsonDict", "_ensure_json_dict",
                     "_decode_response", "_coerce_symbols", "validate_company_types", "fetch_statement_values"]
    assert (lb._COMPANY_TYPE_ENDPOINT, lb._STATEMENT_ENDPOINT) == (TYPES[15:], VALUES[15:])
    assert lb.JsonDict == Dict[str, Any]
    assert lb._decode_response.__annotations__ == {"context": "str", "return": "JsonDict"}
    assert str(inspect.signature(lb.fetch_statement_values)) == (
        "(session: 'HttpSession', *, symbols: 'Sequence[str]', statement_id: 'int', start_year: 'int', "
        "end_year: 'int', period: 'str') -> 'JsonDict'")
    assert lb._ensure_json_dict.__doc__.splitlines()[:3] == [
        "_ensure_json_dict(payload: Any, *, context: str) -> JsonDict", "",
        "Coerce a decoded JSON payload into a dictionary."]


@pytest.mark.parametrize("symbols, expected", [
    ([" vnm ", "", "\t", "fpt", "vnm"], ["VNM", "FPT", "VNM"]),
    (("a",), ["A"]),
    ("vnm ", ["VNM"]),
    (iter(["x ", " "]), ["X"]),
    ({"hpg": 1}, ["HPG"]),
])
def test_coerce_symbols(symbols, expected):
    assert lb._coerce_symbols(symbols) == expected


@pytest.mark.parametrize("symbols, error", [
    ([], ValueError), (["  ", ""], ValueError), ("   ", ValueError), (["A", 1], TypeError), ([None], TypeError),
    (b"VNM", TypeError), (5, TypeError),
])
def test_coerce_symbols_rejects(symbols, error):
    with pytest.raises(error, match="non-empty value|string|iterable"):
        lb._coerce_symbols(symbols)


def test_coerce_symbols_survives_list_mutation():
    items = []

    class Shrinking(str):
        def strip(self, *args):
            items.clear()
            return str.strip(self)

    items.extend([Shrinking("a"), "b", "c"])
    assert lb._coerce_symbols(items) == ["A"]


def test_validate_company_types_request(httpserver, session):
    httpserver.expect_request(TYPES, method="GET").respond_with_json({"ok": True})
    assert lb.validate_company_types(session, [" fpt", "vnm", "FPT "]) == {"ok": True}
    assert lb.validate_company_types(symbols="fpt", session=session) == {"ok": True}
    assert [r.query_string for r, _ in httpserver.log] == [b"symbol=FPT&symbol=VNM&symbol=FPT", b"symbol=FPT"]


@pytest.mark.parametrize("changes, sent", [
    ({}, {"symbol": ["VNM"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year"}),
    ({"statement_id": 2.9, "start_year": True, "symbols": ("a", "a")},
     {"symbol": ["A", "A"], "statement_id": 2, "start_year": 1, "end_year": 2021, "period": "year"}),
    ({"statement_id": 7, "start_year": 1800, "end_year": 1700, "period": "month"},
     {"symbol": ["VNM"], "statement_id": 7, "start_year": 1800, "end_year": 1700, "period": "month"}),
])
def test_fetch_statement_values_body(httpserver, session, changes, sent):
    httpserver.expect_request(VALUES, method="POST").respond_with_json({"data": [1]})
    assert lb.fetch_statement_values(session, **{**ARGS, **changes}) == {"data": [1]}
    body = json_of(only_request(httpserver))
    assert list(body.items()) == list(sent.items())
    assert all(type(body[k]) is int for k in ("statement_id", "start_year", "end_year"))


@pytest.mark.parametrize("changes, error, message", [
    ({"start_year": "2020"}, TypeError, "Argument 'start_year' has incorrect type (expected int, got str)"),
    ({"statement_id": None}, TypeError, "Argument 'statement_id' has incorrect type (expected int, got NoneType)"),
    ({"period": b"year"}, TypeError, "Argument 'period' has incorrect type (expected str, got bytes)"),
    ({"end_year": [], "symbols": []}, TypeError, "Argument 'end_year' has incorrect type (expected int, got list)"),
    ({"period": None}, TypeError, "fetch_statement_values() needs keyword-only argument period"),
    ({"symbols": ["A", 3]}, TypeError, "symbols must contain only strings"),
    ({"symbols": [" "]}, ValueError, "symbols must contain at least one non-empty value."),
])
def test_fetch_statement_values_refuses_before_sending(httpserver, session, changes, error, message):
    kwargs = {k: v for k, v in {**ARGS, **changes}.items() if (k, v) != ("period", None)}
    with pytest.raises(error) as info:
        lb.fetch_statement_values(session, **kwargs)
    assert str(info.value).startswith(message)
    assert httpserver.log == []


@pytest.mark.parametrize("call, path", [
    (lambda s: lb.validate_company_types(s, ["a"]), TYPES),
    (lambda s: lb.fetch_statement_values(s, **ARGS), VALUES),
])
@pytest.mark.parametrize("body, status, message, cause", [
    ("<html>oops</html>", 200, "Unable to decode JSON response for {}.", ValueError),
    ("[]", 200, "Unexpected payload structure for {}.", None),
    ("null", 200, "Unexpected payload structure for {}.", None),
    ('"text"', 200, "Unexpected payload structure for {}.", None),
    ('{"detail": "no"}', 404, "Tessaro backend returned HTTP 404 for http", None),
])
def test_decoding_failures(httpserver, session, call, path, body, status, message, cause):
    httpserver.expect_request(path).respond_with_data(body, status=status)
    error = HttpError if status >= 400 else DataDecodingError
    with pytest.raises(error) as info:
        call(session)
    assert str(info.value).startswith(message.format(path[15:]))
    assert type(info.value) is error
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert isinstance(info.value.__cause__, cause)


class Answer:
    def __init__(self, payload):
        self.payload = payload

    def json(self):
        if isinstance(self.payload, BaseException):
            raise self.payload
        return self.payload


@pytest.mark.parametrize("payload", [{"a": {"b": 1}}, OrderedDict(a=1), MappingProxyType({"a": 1})])
def test_decode_response_returns_new_plain_dict(payload):
    out = lb._decode_response(Answer(payload), context="c")
    assert type(out) is dict and out == dict(payload) and out is not payload
    out["new"] = 1
    assert "new" not in payload


def test_decode_response_lets_other_errors_through():
    with pytest.raises(KeyError):
        lb._decode_response(Answer(KeyError("x")), context="c")
    with pytest.raises(TypeError, match="Argument 'context' has incorrect type \\(expected str, got NoneType\\)"):
        lb._ensure_json_dict({}, context=None)


def test_module_names_read_at_call_time(monkeypatch, httpserver, session):
    httpserver.expect_request("/api/v1/tessaro/elsewhere").respond_with_json([1])
    monkeypatch.setattr(lb, "_STATEMENT_ENDPOINT", "/elsewhere")
    monkeypatch.setattr(lb, "_coerce_symbols", lambda symbols: ["FIXED"])
    monkeypatch.setattr(lb, "_ensure_json_dict", lambda payload, context: {"seen": payload, "context": context})
    assert lb.fetch_statement_values(session, **ARGS) == {"seen": [1], "context": "/elsewhere"}
    assert json_of(only_request(httpserver))["symbol"] == ["FIXED"]
    monkeypatch.setattr(lb, "_decode_response", lambda response, context: "decoded")
    monkeypatch.setattr(lb, "_COMPANY_TYPE_ENDPOINT", "/elsewhere")
    assert lb.validate_company_types(session, ["a"]) == "decoded"
