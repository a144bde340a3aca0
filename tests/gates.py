"""Shared pieces of the reliability gates: a misbehaving HTTP server on 127.0.0.1,
sessions that cannot leave the machine, the table of fetchers with the outcome
each documents for every kind of fault, and a scan for the API key.

Rows for modules that are not built yet are kept in the tables and skipped while
the module lacks the name, so they switch on by themselves once it exists.
"""

from __future__ import annotations

import copy
import importlib
import json
import logging
import re
import threading
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import urlsplit

import pytest
import requests
from requests.adapters import HTTPAdapter

from private_core.wirelink import HttpSession
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

# A key distinctive enough that finding it anywhere is a leak, not a coincidence.
SECRET = "sk-live-7f3a9c41d2e8b605"
NETWORK_FAILURE = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!"


# -- the server --------------------------------------------------------------------


@dataclass
class Reply:
    """One answer. `cut` sends that many body bytes, announcing all of them, then hangs up."""

    status: int = 200
    body: bytes = b"{}"
    content_type: str = "application/json"
    delay: float = 0.0
    cut: int | None = None


def json_reply(value: Any, status: int = 200) -> Reply:
    return Reply(status, json.dumps(value).encode())


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # the suite's output is no place for an access log
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        server: FaultServer = self.server  # type: ignore[assignment]
        reply = server.answer(self.command, self.path, body)
        with server.lock:
            server.requests += 1
            server.last = (self.command, self.path, dict(self.headers), body)
        if reply.delay:
            server.stopping.wait(reply.delay)
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        if reply.cut is not None:
            self.send_header("Connection", "close")
        self.end_headers()
        if reply.cut is None:
            self.wfile.write(reply.body)
            return
        self.wfile.write(reply.body[: reply.cut])
        self.wfile.flush()
        self.close_connection = True

    do_GET = do_POST = _serve


class FaultServer(ThreadingHTTPServer):
    """Answers every request with `reply`, or with what `router(method, path, body)` returns."""

    daemon_threads = True
    block_on_close = False

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.reply = Reply()
        self.router: Callable[[str, str, bytes], Reply] | None = None
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.requests = 0
        self.last = None

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/api/v1/tessaro"

    def answer(self, method, path, body) -> Reply:
        return self.router(method, path, body) if self.router else self.reply

    def handle_error(self, request, client_address):
        pass  # clients that time out and hang up are part of the plan


@contextmanager
def serving():
    server = FaultServer()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.stopping.set()
        server.shutdown()
        server.server_close()
        thread.join(5)


class LocalOnly(HTTPAdapter):
    """Refuses every host but the loopback one: arbitrary paths must never reach the network."""

    def send(self, request, **kwargs):
        if urlsplit(request.url).hostname != "127.0.0.1":
            raise requests.ConnectionError(f"refused non-local host in {request.url!r}")
        return super().send(request, **kwargs)


def local_session(base_url: str, key: str = SECRET, **kwargs) -> HttpSession:
    session = HttpSession(key, base_url=base_url, **kwargs)
    for prefix in ("http://", "https://"):
        session._session.mount(prefix, LocalOnly())
    return session


def session_state(session: HttpSession):
    return (session.api_key, session.base_url, session.timeout, dict(session._session.headers),
            session._session.verify)


# -- what a failing call must look like ----------------------------------------------


@dataclass
class Expect:
    """The documented failure: its type, its text (exact, or a pattern), its chain of causes."""

    exc: type
    message: str | re.Pattern | None = None
    causes: tuple = ()
    status: int | None = None

    def check(self, error: BaseException):
        assert isinstance(error, self.exc), f"{type(error).__name__}: {error}"
        if isinstance(self.message, re.Pattern):
            assert self.message.fullmatch(str(error)), str(error)
        elif self.message is not None:
            assert str(error) == self.message
        link = error
        for cause in self.causes:
            link = link.__cause__
            assert isinstance(link, cause), f"cause {type(link).__name__}, expected {cause.__name__}"
        if self.status is not None:
            assert error.status_code == self.status


RETURNS = None  # the call returns normally


def status_error(status: int) -> Expect:
    # Raised with no cause: the status itself is the failure.
    return Expect(HttpError, re.compile(rf"Tessaro backend returned HTTP {status} for http://127\.0\.0\.1:\d+/\S*"),
                  status=status)


def transport(cause: type) -> Expect:
    return Expect(HttpError, NETWORK_FAILURE, (cause,))


DEEP_BODY = b"[" * 100_000 + b"]" * 100_000
HTML_PAGE = b"<html><head><title>502 Bad Gateway</title></head><body><h1>Bad Gateway</h1></body></html>"
FAULTS = {
    "closed_mid_body": Reply(200, b'{"data": [{"time": "2024-01-02", "close": 1.5}' + b" " * 400, cut=24),
    "slower_than_timeout": Reply(200, b'{"data": []}', delay=1.5),
    "truncated_json": Reply(200, b'{"data": [{"time": "2024-01-02", "close": 1.'),
    "html_5xx": Reply(502, HTML_PAGE, content_type="text/html"),
    "empty_200": Reply(200, b""),
    "deep_200": Reply(200, DEEP_BODY),
    "deep_5xx": Reply(500, DEEP_BODY),
}
TIMEOUT = 0.3  # seconds; the slow reply takes longer


def fetcher_faults(decode: Callable[[tuple], Expect], *, status=status_error, transport=transport,
                   deep_cause=RecursionError) -> dict[str, Expect | None]:
    """Outcomes of a fetcher that decodes the body itself; `decode(causes)` is its decoding failure."""
    deep_200 = decode((deep_cause,))
    deep_5xx = status(500)
    return {
        "closed_mid_body": transport(requests.RequestException),
        "slower_than_timeout": transport(requests.Timeout),
        "truncated_json": decode((ValueError,)),
        "html_5xx": status(502),
        "empty_200": decode((ValueError,)),
        "deep_200": deep_200,
        "deep_5xx": deep_5xx,
    }


# -- the fetchers ---------------------------------------------------------------------


@dataclass
class Fetcher:
    """A call that sends requests through a session, with everything the caller holds."""

    name: str
    module: str
    attr: str
    call: Callable[[Any, HttpSession, dict], Any]
    held: Callable[[], dict]
    good: Reply
    faults: dict[str, Expect | None]
    body_errors: tuple = ()  # documented failures for an answer with an arbitrary JSON body
    stubs: dict = field(default_factory=dict)  # module globals replaced so only this module's code is judged

    def resolve(self):
        """The module, or a skip while it lacks the name."""
        mod = importlib.import_module(self.module)
        obj = mod
        for part in self.attr.split("."):
            if not hasattr(obj, part):
                pytest.skip(f"{self.module} has no {self.attr} yet")
            obj = getattr(obj, part)
        return mod

    def run(self, session: HttpSession, held: dict | None = None):
        mod = self.resolve()
        return self.call(mod, session, self.held() if held is None else held)


def _keygate_faults():
    def rejected(status):
        return Expect(ApiKeyValidationError, None, (HttpError,))

    def unreachable(cause):
        return Expect(ApiKeyValidationError, "Unable to validate API key", (HttpError, cause))

    faults = fetcher_faults(
        lambda causes: Expect(ApiKeyValidationError, "Backend returned invalid JSON payload", causes),
        status=rejected, transport=unreachable)
    faults["html_5xx"] = Expect(ApiKeyValidationError, HTML_PAGE.decode(), (HttpError,))
    return faults


def _price_faults(what):
    faults = fetcher_faults(
        lambda causes: Expect(DataDecodingError, f"Unable to decode {what} response as JSON", causes))
    return faults


def _ledger_faults(endpoint):
    return fetcher_faults(
        lambda causes: Expect(DataDecodingError, f"Unable to decode JSON response for {endpoint}.", causes))


def _raw_faults():
    faults = fetcher_faults(lambda causes: RETURNS)
    for name in ("truncated_json", "empty_200", "deep_200"):
        faults[name] = RETURNS  # the body is the caller's to decode
    return faults


def _investor_faults():
    # The bridge lets the decoder's own error through.
    faults = fetcher_faults(lambda causes: Expect(causes[0]))
    faults["truncated_json"] = faults["empty_200"] = Expect(ValueError)
    return faults


BARS = {"data": [{"time": "2024-01-02T09:15:00", "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5,
                  "volume": 100}]}
PRICE_ROWS_ERRORS = (DataDecodingError, HttpError)

FETCHERS = [
    Fetcher("session_request", "private_core.wirelink", "HttpSession",
            lambda m, s, h: s.request("POST", "/market-data/x", params=h["params"], json_body=h["body"],
                                      headers=h["headers"]),
            lambda: {"params": {"symbol": ["VNM", "FPT"]}, "body": {"a": [1, {"b": 2}]}, "headers": {"X-Trace": "1"}},
            json_reply({"ok": True}), _raw_faults(), body_errors=(HttpError,)),
    Fetcher("validate_company_types", "private_core.ledgerbook", "validate_company_types",
            lambda m, s, h: m.validate_company_types(s, h["symbols"]),
            lambda: {"symbols": [" vnm ", "fpt", ""]}, json_reply({"data": {"VNM": "bank"}}),
            _ledger_faults("/reporting/meta/company-types/validate"), body_errors=(DataDecodingError, HttpError)),
    Fetcher("fetch_statement_values", "private_core.ledgerbook", "fetch_statement_values",
            lambda m, s, h: m.fetch_statement_values(s, symbols=h["symbols"], statement_id=1, start_year=2020,
                                                     end_year=2021, period="year"),
            lambda: {"symbols": ["vnm"]}, json_reply({"data": []}),
            _ledger_faults("/reporting/statements/values"), body_errors=(DataDecodingError, HttpError)),
    Fetcher("validate_api_key", "private_core.keygate", "validate_api_key",
            lambda m, s, h: m.validate_api_key(s, client_version="1.0", extra_context=h["context"]),
            lambda: {"context": {"app": "gates", "tags": ["a"]}}, json_reply({"valid": True}),
            _keygate_faults(),
            # A "detail" or "message" that is no text fails while the rejection is handled.
            body_errors=(ApiKeyValidationError, TypeError)),
    Fetcher("daybars.fetch_ohlcv", "private_core.daybars", "fetch_ohlcv",
            lambda m, s, h: m.fetch_ohlcv(s, h["symbols"], start="2024-01-01", end="2024-02-01", show_progress=False),
            lambda: {"symbols": ["vnm", " fpt "]}, json_reply(BARS), _price_faults("OHLCV"),
            body_errors=PRICE_ROWS_ERRORS),
    Fetcher("ticklane.fetch_ohlcv", "private_core.ticklane", "fetch_ohlcv",
            lambda m, s, h: m.fetch_ohlcv(s, h["symbols"], interval="5m", adjusted=True, show_progress=False),
            lambda: {"symbols": ["vnm", " fpt "]}, json_reply(BARS), _price_faults("OHLCV"),
            body_errors=PRICE_ROWS_ERRORS),
    Fetcher("ticklane.fetch_orderbook", "private_core.ticklane", "fetch_orderbook",
            lambda m, s, h: m.fetch_orderbook(s, h["symbols"], "2024-01-02", show_progress=False),
            lambda: {"symbols": ("vnm",)}, json_reply(BARS), _price_faults("orderbook"),
            body_errors=PRICE_ROWS_ERRORS),
    Fetcher("bulkfetch.fetch_eod", "private_core.bulkfetch", "fetch_eod",
            lambda m, s, h: m.fetch_eod(s, h["symbols"], start="2024-01-01", end="2024-02-01", workers=2,
                                        show_progress=False),
            lambda: {"symbols": ["vnm", " fpt "]}, json_reply(BARS), _price_faults("OHLCV"),
            body_errors=PRICE_ROWS_ERRORS),
    Fetcher("InvestorBridgework.fetch_df", "private_core.investor.bridgework", "InvestorBridgework",
            lambda m, s, h: m.InvestorBridgework(s).fetch_df("stock", "flow", h["params"]),
            lambda: {"params": {"ids": ["VNM"], "start": "2024-01-01", "interval": None}},
            json_reply({"data": [{"symbol": "VNM", "date": "2024-01-02", "buy": 1.0}]}), _investor_faults(),
            # Rows become a frame through pandas, whose errors on odd values propagate.
            body_errors=(DataDecodingError, HttpError, ValueError, TypeError)),
]
FETCHER_IDS = [f.name for f in FETCHERS]


def price_stubs(mod):
    """Frame building belongs to the helper module: replace it by a recorder of the rows it gets."""
    if hasattr(mod, "_to_dataframe"):
        return {"_to_dataframe": lambda rows: ("rows", rows), "resample_ohlcv_multi": lambda df, interval: df}
    return {}


def held_copy(held: dict) -> dict:
    return copy.deepcopy(held)


# -- the secret scan -----------------------------------------------------------------


def exception_texts(error: BaseException | None):
    """Message, repr and arguments of an exception and of everything it was raised from."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        yield str(error)
        yield repr(error)
        for arg in error.args:
            yield repr(arg)
        error = error.__cause__ or error.__context__


class RecordAll(logging.Handler):
    """Keeps every record of every logger, formatted with its traceback, as a log file would."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
        self.texts: list[str] = []

    def emit(self, record):
        self.texts.append(self.format(record))


@contextmanager
def all_records():
    handler = RecordAll()
    root = logging.getLogger()
    old_level = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    try:
        yield handler.texts
    finally:
        root.removeHandler(handler)
        root.setLevel(old_level)


def assert_no_secret(texts, secret: str = SECRET):
    for text in texts:
        assert secret not in text, f"the key leaked into: {text[:300]!r}"
