"""Faults found by adversarial runs: keys that cannot travel in a header, the key
in a logged rejection, bodies nested too deeply to decode, and a waiting caller
deaf to signals."""

import _thread
import logging
import threading
import time
from datetime import timedelta

import pytest

import private_core.keygate as kg
import private_core.ledgerbook as lb
from conftest import KEY
from private_core import memstore
from private_core.memoguard import BaseMemoguard
from private_core.wirelink import HttpSession
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

HEADER_MESSAGE = "api_key contains characters that cannot be sent in an HTTP header"
TOO_DEEP = "[" * 100_000 + "]" * 100_000


# -- a key that cannot travel in a header ----------------------------------------


@pytest.mark.parametrize("key", [
    "sk-abc\n", "sk-\rabc", "\tsk", "sk\x00", "sk\x1f", "sk\x7f", "sk-ключ", "sk-\u0100", "sk-\U0001f511",
])
def test_key_that_cannot_be_sent_is_refused(key):
    with pytest.raises(ValueError) as info:
        HttpSession(key)
    assert str(info.value) == HEADER_MESSAGE
    assert key not in str(info.value) and info.value.__cause__ is None


@pytest.mark.parametrize("key", ["sk-abc", "", " spaced key ", "sk-é\xff", "sk-\xa0~"])
def test_key_that_can_be_sent_is_kept_exactly(key):
    session = HttpSession(key)
    assert session.api_key == key
    assert session._session.headers["Authorization"] == "Bearer " + key


def test_argument_checks_come_before_the_key_check():
    with pytest.raises(TypeError, match="Argument 'timeout'"):
        HttpSession("sk\n", timeout="30")
    with pytest.raises(TypeError, match="Argument 'api_key'"):
        HttpSession(b"sk\n")


def test_latin1_key_reaches_the_service(httpserver, base_url):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({})
    with HttpSession("sk-é", base_url=base_url) as session:
        session.get("x")
    assert httpserver.log[0][0].headers["Authorization"].encode("latin-1") == "Bearer sk-é".encode("latin-1")


# -- the key in keygate's log ----------------------------------------------------


VALIDATION = "/api/v1/tessaro/auth/validate"


def rejection_records(caplog):
    return [r for r in caplog.records if r.name == kg.logger.name]


@pytest.mark.parametrize("body", [
    {"detail": [{"loc": ["body", "apiKey"], "msg": "invalid", "input": KEY}]},
    {"detail": [{"input": {"apiKey": KEY, "again": KEY}}]},
    f"key {KEY} is not valid",
])
def test_key_is_masked_in_the_logged_payload(httpserver, session, caplog, body):
    if isinstance(body, str):
        httpserver.expect_request(VALIDATION).respond_with_data(body, status=422)
    else:
        httpserver.expect_request(VALIDATION).respond_with_json(body, status=422)
    with pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(session, client_version="1.0")
    (record,) = rejection_records(caplog)
    payload = info.value.__cause__.payload
    assert record.args == (422, str(payload).replace(KEY, "***"))
    assert KEY not in record.getMessage() and "***" in record.getMessage()


@pytest.mark.parametrize("body", [{"detail": f"key {KEY} is not valid"}, f"  key {KEY} is not valid  "])
def test_key_is_masked_in_the_message_shown_to_the_user(httpserver, session, body):
    if isinstance(body, str):
        httpserver.expect_request(VALIDATION).respond_with_data(body, status=401)
    else:
        httpserver.expect_request(VALIDATION).respond_with_json(body, status=401)
    with pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(session, client_version="1.0")
    assert str(info.value) == "key *** is not valid"


def test_payload_without_the_key_is_logged_as_it_came(httpserver, session, caplog):
    body = {"detail": [{"loc": ["body"], "msg": "bad"}]}
    httpserver.expect_request(VALIDATION).respond_with_json(body, status=422)
    with pytest.raises(ApiKeyValidationError):
        kg.validate_api_key(session, client_version="1.0")
    (record,) = rejection_records(caplog)
    assert record.args == (422, body) and type(record.args[1]) is dict


def test_newline_key_never_reaches_a_log_record(caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(ValueError):
        kg.validate_api_key(HttpSession(KEY + "\n"), client_version="1")
    assert all(KEY not in r.getMessage() and not r.exc_info for r in caplog.records)


# -- a body nested too deeply to decode --------------------------------------------


def test_deep_error_body_becomes_the_text_payload(httpserver, session):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_data(TOO_DEEP, status=502)
    with pytest.raises(HttpError) as info:
        session.get("x")
    assert info.value.status_code == 502 and info.value.payload == TOO_DEEP


@pytest.mark.parametrize("call, path", [
    (lambda s: lb.validate_company_types(s, ["a"]), "/reporting/meta/company-types/validate"),
    (lambda s: lb.fetch_statement_values(s, symbols=["a"], statement_id=1, start_year=2020, end_year=2021,
                                         period="year"), "/reporting/statements/values"),
])
def test_deep_statement_body_is_a_decoding_error(httpserver, session, call, path):
    httpserver.expect_request("/api/v1/tessaro" + path).respond_with_data(TOO_DEEP)
    with pytest.raises(DataDecodingError, match=f"^Unable to decode JSON response for {path}.$") as info:
        call(session)
    assert type(info.value.__cause__) is RecursionError


def test_deep_validation_body_is_invalid_json(httpserver, session):
    httpserver.expect_request(VALIDATION).respond_with_data(TOO_DEEP)
    with pytest.raises(ApiKeyValidationError, match="^Backend returned invalid JSON payload$") as info:
        kg.validate_api_key(session, client_version="1.0")
    assert type(info.value.__cause__) is RecursionError


# -- a waiting caller hears signals ---------------------------------------------------


class Client(BaseMemoguard):
    pass


def test_waiting_caller_handles_a_pending_signal(sigint_raises):
    client = Client()
    slot = ("eod", ("VNM",))
    assert client._cache._begin_inflight(*slot)  # another caller is fetching this slot
    fetched = []
    timer = threading.Timer(0.05, _thread.interrupt_main)
    started = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            client._fetch_with_cache(*slot, live=False, fetcher=lambda: fetched.append(1), ttl_live=None,
                                     ttl_history=None, wait_timeout=30.0, wait_interval=0.01)
    finally:
        timer.join()
    # Interrupted while waiting, long before the wait would have ended.
    assert time.monotonic() - started < 10 and fetched == []
    # The interrupted caller's registration was ended; the other's remains.
    assert client._cache._inflight == {slot: 1}
    client._cache._end_inflight(*slot)
    assert client._cache._inflight == {} and isinstance(client._cache, memstore._Cache)
