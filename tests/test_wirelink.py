"""HttpSession against a live local server: headers, URLs, statuses, time-outs, logging."""

import inspect
import logging
import subprocess
import sys

import pytest
import requests
import tessaro.exceptions

import private_core.wirelink as wirelink
from conftest import KEY, only_request, records
from private_core.wirelink import HttpSession
from tessaro.exceptions import HttpError

NETWORK_FAILURE = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!"


def test_module_surface():
    names = [n for n in vars(wirelink) if not n.startswith("__")]
    assert names == ["logging", "TYPE_CHECKING", "Any", "Dict", "Optional", "urljoin", "requests", "logger",
                     "BASE_URL", "DEFAULT_TIMEOUT", "_default_user_agent", "HttpSession"]
    assert wirelink.logger.name == "private_core.wirelink"
    assert wirelink.BASE_URL.startswith("https://") and wirelink.BASE_URL.endswith("/api/v1/tessaro")
    assert type(wirelink.DEFAULT_TIMEOUT) is int and wirelink.DEFAULT_TIMEOUT == 30
    assert HttpSession.__doc__ == "Lightweight wrapper around :class:`requests.Session` with Tessaro defaults."


@pytest.mark.parametrize("fn, signature", [
    (wirelink._default_user_agent, "(version: 'str') -> 'str'"),
    (HttpSession.__init__, "(self, api_key: 'str', *, base_url: 'str' = '%s', version: 'str' = '0.0.0', "
                           "timeout: 'int' = 30, user_agent: 'Optional[str]' = None) -> 'None'" % wirelink.BASE_URL),
    (HttpSession._prepare_url, "(self, path: 'str') -> 'str'"),
    (HttpSession.request, "(self, method: 'str', path: 'str', *, params: 'Optional[Dict[str, Any]]' = None, "
                          "json_body: 'Optional[Dict[str, Any]]' = None, data: 'Optional[Any]' = None, "
                          "headers: 'Optional[Dict[str, str]]' = None, timeout: 'Optional[int]' = None) "
                          "-> 'requests.Response'"),
    (HttpSession.get, "(self, path: 'str', *, params: 'Optional[Dict[str, Any]]' = None, headers: "
                      "'Optional[Dict[str, str]]' = None, timeout: 'Optional[int]' = None) -> 'requests.Response'"),
    (HttpSession.post, "(self, path: 'str', *, json_body: 'Optional[Dict[str, Any]]' = None, data: 'Optional[Any]' "
                       "= None, headers: 'Optional[Dict[str, str]]' = None, timeout: 'Optional[int]' = None) "
                       "-> 'requests.Response'"),
    (HttpSession.__enter__, "(self) -> \"'HttpSession'\""),
    (HttpSession.__exit__, "(self, exc_type, exc_value, traceback) -> 'None'"),
])
def test_signatures(fn, signature):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__.splitlines()[0].startswith(fn.__name__ + "(")


def test_loads_without_host_package():
    code = "import sys; sys.modules['tessaro'] = None; import private_core.wirelink as w; print(w.HttpSession)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert done.returncode == 0, done.stderr


def test_constructor_state(monkeypatch):
    default_base = wirelink.BASE_URL
    monkeypatch.setattr(wirelink, "BASE_URL", "https://elsewhere")  # defaults were fixed at class creation
    monkeypatch.setattr(wirelink, "_default_user_agent", lambda v: "agent/" + v)
    s = HttpSession("k", base_url="http://h/x///", version="9", timeout=12.9)
    assert list(vars(s)) == ["api_key", "base_url", "timeout", "_session"]
    assert (s.api_key, s.base_url, s.timeout, type(s.timeout)) == ("k", "http://h/x", 12, int)
    assert s._session.headers["User-Agent"] == "agent/9"
    assert (HttpSession("k").base_url, HttpSession("k").timeout) == (default_base, 30)


@pytest.mark.parametrize("kwargs, agent", [
    ({}, "tessaro/0.0.0"), ({"user_agent": "", "version": "1.2"}, "tessaro/1.2"),
    ({"user_agent": "mine/1", "version": "1.2"}, "mine/1"),
])
def test_fixed_headers_sent(httpserver, base_url, kwargs, agent):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    with HttpSession(KEY, base_url=base_url, **kwargs) as s:
        s.get("x")
    h = only_request(httpserver).headers
    assert (h["Authorization"], h["Accept"], h["Content-Type"], h["User-Agent"]) == (
        "Bearer " + KEY, "application/json", "application/json", agent)


def test_per_call_header_override_leaves_caller_dict(httpserver, session, sent):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    mine = {"Accept": "text/csv", "X-Extra": "1"}
    session.get("x", headers=mine)
    session.get("x", headers={})
    h = httpserver.log[0][0].headers
    assert (h["Accept"], h["X-Extra"], h["Authorization"]) == ("text/csv", "1", "Bearer " + KEY)
    assert httpserver.log[1][0].headers["Accept"] == "application/json"
    assert sent[0]["headers"] == mine and sent[0]["headers"] is not mine and sent[1]["headers"] is None
    assert mine == {"Accept": "text/csv", "X-Extra": "1"}


@pytest.mark.parametrize("base, path, url", [
    ("http://h/api/v1/tessaro", "/market-data/eod/ohlcv", "http://h/api/v1/tessaro/market-data/eod/ohlcv"),
    ("http://h/api/v1/tessaro///", "///a/b", "http://h/api/v1/tessaro/a/b"),
    ("http://h/base", "", "http://h/base/"),
    ("http://h/base", "a/../b?x=1", "http://h/base/b?x=1"),
    ("http://h/base", "https://other/p", "https://other/p"),
    ("http://h/base", "http://other/p", "http://other/p"),
])
def test_prepare_url(base, path, url):
    assert HttpSession("k", base_url=base)._prepare_url(path) == url


def test_absolute_url_gets_token_too(httpserver, closed_url):
    httpserver.expect_request("/elsewhere").respond_with_json({})
    with HttpSession(KEY, base_url=closed_url) as s:
        s.get(httpserver.url_for("/elsewhere"))
    assert only_request(httpserver).headers["Authorization"] == "Bearer " + KEY


def test_get_and_post_send_params_and_body(httpserver, session):
    httpserver.expect_request("/api/v1/tessaro/q", method="GET", query_string="symbol=A&symbol=B").respond_with_json(
        {"ok": 1})
    httpserver.expect_request("/api/v1/tessaro/p", method="POST", json={"a": [1]}).respond_with_json({"ok": 2})
    assert session.get("/q", params={"symbol": ["A", "B"]}).json() == {"ok": 1}
    assert session.post("/p", json_body={"a": [1]}).json() == {"ok": 2}
    httpserver.expect_request("/api/v1/tessaro/p", method="PUT", data=b"raw").respond_with_data("", status=204)
    assert session.request("PUT", "p", data=b"raw").status_code == 204


@pytest.mark.parametrize("status, body, payload", [
    (400, '{"detail": "bad"}', {"detail": "bad"}),
    (500, "plain failure", "plain failure"),
    (503, "", ""),
    (404, "[1, 2]", [1, 2]),
])
def test_error_status_raises(httpserver, session, base_url, status, body, payload):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_data(body, status=status)
    with pytest.raises(HttpError) as info:
        session.get("x", params={"a": "1"})
    err = info.value
    assert str(err) == f"Tessaro backend returned HTTP {status} for {base_url}/x"
    assert (err.status_code, err.payload, err.__cause__) == (status, payload, None)


def test_error_message_when_url_is_not_text(httpserver, session, base_url):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_data("no", status=404)
    url = (base_url + "/x").encode()
    session._prepare_url = lambda path: url  # requests accepts bytes URLs
    with pytest.raises(HttpError) as info:
        session.get("x")
    assert str(info.value) == f"Tessaro backend returned HTTP 404 for {url}"


def test_status_399_is_returned(httpserver, session):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_data("not json", status=399)
    assert session.get("x").text == "not json"


@pytest.mark.parametrize("path", ["x", "http://[bad"])
def test_transport_failure(closed_url, path):
    with HttpSession(KEY, base_url=closed_url) as s, pytest.raises(HttpError) as info:
        s.post(path, json_body={})
    assert (str(info.value), info.value.status_code, info.value.payload) == (NETWORK_FAILURE, None, None)
    assert isinstance(info.value.__cause__, requests.RequestException)


def test_error_class_read_when_raising(monkeypatch, closed_url):
    class Replaced(HttpError):
        pass

    monkeypatch.setattr(tessaro.exceptions, "HttpError", Replaced)
    with pytest.raises(Replaced):
        HttpSession(KEY, base_url=closed_url).get("x")


def test_other_exceptions_propagate_unwrapped(session):
    def broken(*args, **kwargs):
        raise KeyError("inner")

    session._session.request = broken
    with pytest.raises(KeyError, match="inner"):
        session.get("x")


@pytest.mark.parametrize("timeout, expected", [(None, 7), (0, 7), (0.5, 7), (2.9, 2), (True, 1), (5, 5)])
def test_timeout_rules(httpserver, session, sent, timeout, expected):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    session.timeout = 7  # read at each call
    session.get("x", timeout=timeout)
    session.post("x", timeout=timeout)
    session.request("GET", "x", timeout=timeout)
    assert [c["timeout"] for c in sent] == [expected] * 3 and all(type(c["timeout"]) is int for c in sent)


def test_get_post_delegate_to_request(monkeypatch, session):
    calls = []
    monkeypatch.setattr(session, "request", lambda *a, **kw: calls.append((a, kw)) or "r", raising=False)
    assert session.get("g", params={"a": 1}) == "r"
    assert session.post("p", json_body={"b": 2}, data="d", headers={"h": "v"}, timeout=3) == "r"
    assert calls == [(("GET", "g"), {"params": {"a": 1}, "headers": None, "timeout": None}),
                     (("POST", "p"), {"json_body": {"b": 2}, "data": "d", "headers": {"h": "v"}, "timeout": 3})]


def test_debug_record_per_request(httpserver, session, base_url, caplog):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    caplog.set_level(logging.DEBUG, logger="private_core.wirelink")
    session.get("/x", params={"s": "A"})
    session.post("x")
    assert records(caplog, "private_core.wirelink") == [
        ("DEBUG", "HTTP %s %s params=%s", ("GET", base_url + "/x", {"s": "A"})),
        ("DEBUG", "HTTP %s %s params=%s", ("POST", base_url + "/x", None)),
    ]


def test_debug_line_not_formatted_when_disabled(httpserver, session, caplog):
    class Loud:
        def __repr__(self):
            raise AssertionError("formatted")

        __str__ = lambda self: "v"  # noqa: E731  (what requests encodes)

    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    caplog.set_level(logging.INFO, logger="private_core.wirelink")
    session.get("x", params={"k": Loud()})


def test_with_block_closes_and_propagates(base_url):
    closed = []
    with pytest.raises(ZeroDivisionError):
        with HttpSession(KEY, base_url=base_url) as s:
            real = s._session.close
            s._session.close = lambda: closed.append(1) or real()
            assert s.__enter__() is s
            1 / 0
    assert closed == [1]
    assert s.__exit__(None, None, None) is None and s.close() is None


class Sub(dict):
    pass


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda s: HttpSession(b"k"), "api_key", "str", "bytes"),
    (lambda s: HttpSession("k", base_url=None), "base_url", "str", "NoneType"),
    (lambda s: HttpSession("k", timeout="30"), "timeout", "int", "str"),
    (lambda s: HttpSession("k", user_agent=1), "user_agent", "str", "int"),
    (lambda s: wirelink._default_user_agent(1.0), "version", "str", "float"),
    (lambda s: s.get("x", params=[("a", 1)]), "params", "dict", "list"),
    (lambda s: s.get("x", params=Sub()), "params", "dict", "Sub"),
    (lambda s: s.post("x", json_body="{}"), "json_body", "dict", "str"),
    (lambda s: s.request(b"GET", "x"), "method", "str", "bytes"),
    (lambda s: s.request("GET", "x", headers=Sub()), "headers", "dict", "Sub"),
    (lambda s: s.get("x", timeout="1"), "timeout", "int", "str"),
    (lambda s: s._prepare_url(None), "path", "str", "NoneType"),
])
def test_argument_types(closed_url, call, name, expected, got):
    with pytest.raises(TypeError) as info:
        call(HttpSession("k", base_url=closed_url))
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
