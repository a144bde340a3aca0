"""API-key validation end to end: request body, failure table, logging."""

import inspect
import logging

import pydantic
import pytest

import private_core.keygate as kg
from conftest import KEY, json_of, only_request, records
from private_core.wirelink import HttpSession
from tessaro.exceptions import ApiKeyValidationError, HttpError
from tessaro.types import ApiKeyValidationResponse

PATH = "/api/v1/tessaro/auth/validate"
LOGGER = "private_core.keygate"


@pytest.fixture(autouse=True)
def _debug(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)


def test_module_surface():
    names = [n for n in vars(kg) if not n.startswith("__")]
    assert names == ["logging", "Optional", "ValidationError", "ApiKeyValidationError", "HttpError",
                     "ApiKeyValidationResponse", "HttpSession", "logger", "VALIDATION_ENDPOINT", "validate_api_key"]
    assert (kg.logger.name, kg.VALIDATION_ENDPOINT) == (LOGGER, "/auth/validate")
    assert str(inspect.signature(kg.validate_api_key)) == (
        "(session: 'HttpSession', *, client_version: 'str', include_messages: 'bool' = True, "
        "extra_context: 'Optional[dict]' = None) -> 'ApiKeyValidationResponse'")
    assert kg.validate_api_key.__doc__.endswith("Validate the provided API key with the backend.")


@pytest.mark.parametrize("kwargs, body", [
    ({}, {"apiKey": KEY, "clientVersion": "1.0", "includeMessages": True}),
    ({"include_messages": 0, "extra_context": {}}, {"apiKey": KEY, "clientVersion": "1.0", "includeMessages": False}),
    ({"include_messages": "x", "extra_context": {"b": [1], "a": None}},
     {"apiKey": KEY, "clientVersion": "1.0", "includeMessages": True, "context": {"b": [1], "a": None}}),
])
def test_success(httpserver, session, caplog, kwargs, body):
    httpserver.expect_request(PATH, method="POST").respond_with_json({"valid": True, "plan": "pro"})
    result = kg.validate_api_key(session, client_version="1.0", **kwargs)
    assert isinstance(result, ApiKeyValidationResponse) and (result.valid, result.plan) == (True, "pro")
    sent = json_of(only_request(httpserver))
    assert list(sent.items()) == list(body.items()) and list(sent.get("context", {})) == list(body.get("context", {}))
    assert records(caplog, LOGGER) == [("DEBUG", "API key validated successfully for version %s", ("1.0",))]


DETAIL_LIST = [{"loc": ["body"], "msg": "bad"}]


@pytest.mark.parametrize("status, body, message", [
    (401, {"detail": "Key expired", "message": "other"}, "Key expired"),
    (403, {"detail": "", "message": "Plan too small"}, "Plan too small"),
    (403, {}, "Backend rejected API key validation (HTTP 403)"),
    (422, {"detail": DETAIL_LIST}, "Backend rejected API key validation (HTTP 422)"),
    (422, {"detail": DETAIL_LIST, "message": "Invalid body"}, "Invalid body"),
    (400, {"detail": None, "message": 5}, "Backend rejected API key validation (HTTP 400)"),
    (400, [1, 2], "Backend rejected API key validation (HTTP 400)"),
    (400, None, "Backend rejected API key validation (HTTP 400)"),
    (500, "  Maintenance \n", "Maintenance"),
    (500, "   ", "Backend rejected API key validation (HTTP 500)"),
])
def test_rejected(httpserver, session, caplog, status, body, message):
    if isinstance(body, str):
        httpserver.expect_request(PATH).respond_with_data(body, status=status)
    else:
        httpserver.expect_request(PATH).respond_with_json(body, status=status)
    with pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(session, client_version="1.0")
    cause = info.value.__cause__
    assert (str(info.value), type(cause), cause.status_code) == (message, HttpError, status)
    assert records(caplog, LOGGER) == [
        ("ERROR", "Backend rejected API key validation (status=%s, payload=%s)", (status, cause.payload))]
    assert len(httpserver.log) == 1


def test_transport_failure(closed_url, caplog):
    with pytest.raises(ApiKeyValidationError, match="^Unable to validate API key$") as info:
        kg.validate_api_key(HttpSession(KEY, base_url=closed_url), client_version="1.0")
    assert type(info.value.__cause__) is HttpError and info.value.__cause__.status_code is None
    (record,) = [r for r in caplog.records if r.name == LOGGER]
    assert (record.levelname, record.getMessage()) == ("ERROR", "Failed to validate API key with Tessaro backend")
    assert record.exc_info[1] is info.value.__cause__


class Poster:
    api_key = "k"

    def __init__(self, error):
        self.error, self.calls = error, []

    def post(self, path, json_body=None):
        self.calls.append((path, json_body))
        raise self.error


class Stop(BaseException):
    pass


def test_other_posting_failures(caplog):
    boom, context = RuntimeError("boom"), {"app": "x"}
    poster = Poster(boom)
    with pytest.raises(ApiKeyValidationError, match="^Unable to validate API key$") as info:
        kg.validate_api_key(poster, client_version="v", include_messages=[], extra_context=context)
    assert info.value.__cause__ is boom
    assert poster.calls == [("/auth/validate", {"apiKey": "k", "clientVersion": "v", "includeMessages": False,
                                                "context": context})]
    assert poster.calls[0][1]["context"] is context
    assert [r.exc_info[1] for r in caplog.records if r.name == LOGGER] == [boom]
    with pytest.raises(Stop):  # not an Exception: left alone
        kg.validate_api_key(Poster(Stop()), client_version="v")


@pytest.mark.parametrize("body, message, cause", [
    ("<html>hi</html>", "Backend returned invalid JSON payload", ValueError),
    ('{"plan": "pro"}', "Backend response did not match expected schema", pydantic.ValidationError),
    ('[{"valid": true}]', "Backend response did not match expected schema", pydantic.ValidationError),
])
def test_bad_success_body(httpserver, session, caplog, body, message, cause):
    httpserver.expect_request(PATH).respond_with_data(body, status=200)
    with pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(session, client_version="1.0")
    assert str(info.value) == message and isinstance(info.value.__cause__, cause)
    assert records(caplog, LOGGER) == []


@pytest.mark.parametrize("kwargs, message", [
    ({"client_version": b"1"}, "Argument 'client_version' has incorrect type (expected str, got bytes)"),
    ({"client_version": "1", "extra_context": type("D", (dict,), {})(a=1)},
     "Argument 'extra_context' has incorrect type (expected dict, got D)"),
    ({"client_version": "1", "extra_context": [("a", 1)]},
     "Argument 'extra_context' has incorrect type (expected dict, got list)"),
    ({}, "validate_api_key() needs keyword-only argument client_version"),
])
def test_arguments_refused_before_sending(kwargs, message):
    poster = Poster(AssertionError("sent"))
    with pytest.raises(TypeError) as info:
        kg.validate_api_key(poster, **kwargs)
    assert str(info.value) == message and poster.calls == []
    with pytest.raises(TypeError):
        kg.validate_api_key(poster, "1", client_version="1")


def test_session_without_key():
    class NoKey:
        post = Poster.post
        calls = []

    with pytest.raises(AttributeError, match="api_key"):
        kg.validate_api_key(NoKey(), client_version="1")
    assert NoKey.calls == []


def test_module_names_read_at_call_time(monkeypatch, httpserver, session, caplog):
    class OtherError(Exception):
        pass

    class Model:
        @classmethod
        def model_validate(cls, value):
            raise OtherError(value)

    httpserver.expect_request("/api/v1/tessaro/other").respond_with_json({"valid": True})
    monkeypatch.setattr(kg, "VALIDATION_ENDPOINT", "/other")
    monkeypatch.setattr(kg, "ApiKeyValidationResponse", Model)
    with pytest.raises(OtherError):  # not a ValidationError: unchanged
        kg.validate_api_key(session, client_version="1")
    monkeypatch.setattr(kg, "ValidationError", OtherError)
    monkeypatch.setattr(kg, "ApiKeyValidationError", KeyError)
    with pytest.raises(KeyError, match="did not match") as info:
        kg.validate_api_key(session, client_version="1")
    assert type(info.value.__cause__) is OtherError
    monkeypatch.setattr(kg, "HttpError", OtherError)
    monkeypatch.setattr(kg, "logger", logging.getLogger("elsewhere"))
    with pytest.raises(KeyError, match="Unable"):  # a real HttpError no longer counts as a rejection
        kg.validate_api_key(Poster(HttpError("x", status_code=401)), client_version="1")
    assert [(r.name, r.levelname) for r in caplog.records if r.name in (LOGGER, "elsewhere")] == [("elsewhere", "ERROR")]
