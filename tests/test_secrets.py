"""The API key never shows in a log record, an exception, a cause or a repr, on any
path; certificate verification is never switched off."""

import json

import pytest

import private_core.keygate as kg
from gates import (FAULTS, FETCHER_IDS, FETCHERS, SECRET, TIMEOUT, all_records, assert_no_secret, exception_texts,
                   json_reply, local_session, serving)
from private_core.wirelink import HttpSession
from tessaro.exceptions import ApiKeyValidationError

UNSENDABLE = "api_key contains characters that cannot be sent in an HTTP header"


@pytest.fixture(scope="module")
def server():
    with serving() as server:
        yield server


class Recorder:
    """Stands in front of the requests session and keeps the keyword arguments of each call."""

    def __init__(self, real):
        self.real, self.calls = real, []

    def __call__(self, method, url, **kwargs):
        self.calls.append(kwargs)
        return self.real(method, url, **kwargs)


def run_scanned(fetcher, session):
    """Run one call, returning every text it left: records, exception chain, reprs."""
    with all_records() as texts:
        try:
            fetcher.run(session)
        except Exception as error:  # noqa: BLE001 - every outcome is scanned, not judged, here
            texts.extend(exception_texts(error))
    texts += [repr(session), str(session)]
    return texts


@pytest.mark.parametrize("fault", [*FAULTS, "good"])
@pytest.mark.parametrize("fetcher", FETCHERS, ids=FETCHER_IDS)
def test_key_stays_out_of_every_outcome(server, fetcher, fault):
    fetcher.resolve()
    server.reply = fetcher.good if fault == "good" else FAULTS[fault]
    with local_session(server.base_url) as session:
        session.timeout = TIMEOUT
        recorder = session._session.request = Recorder(session._session.request)
        texts = run_scanned(fetcher, session)
        assert_no_secret(texts)
        assert session._session.verify is True
        assert recorder.calls and all(call.get("verify", True) is not False for call in recorder.calls)


def test_session_verifies_certificates():
    with HttpSession(SECRET) as session:
        assert session._session.verify is True
        assert SECRET not in repr(session)


@pytest.mark.parametrize("key", [f"{SECRET}\n", f"\r{SECRET}", f"{SECRET}\x00", f"{SECRET}\x7f", f"{SECRET}\u0100",
                                 f"{SECRET}\U0001f511"])
class TestUnsendableKey:
    def test_refused_without_echo(self, key):
        with pytest.raises(ValueError) as info:
            HttpSession(key)
        assert str(info.value) == UNSENDABLE
        assert_no_secret(exception_texts(info.value))

    def test_never_leaks_through_validation(self, server, key):
        server.reply = json_reply({"valid": True})
        with all_records() as texts:
            try:
                with local_session(server.base_url, key) as session:
                    kg.validate_api_key(session, client_version="1.0")
            except Exception as error:  # noqa: BLE001 - refused early or failed late, nothing may echo the key
                texts.extend(exception_texts(error))
        assert_no_secret(texts)


ECHOES = [
    # A validation error list that repeats the request body.
    (422, {"detail": [{"type": "string_too_long", "loc": ["body", "apiKey"], "msg": "too long",
                       "input": {"apiKey": SECRET, "clientVersion": "1.0"}}]}),
    (422, {"detail": [{"loc": ["body", "apiKey"], "input": SECRET}], "message": "Invalid request body"}),
    (400, json.dumps({"apiKey": SECRET}, indent=1)),
]


@pytest.mark.parametrize("status, payload", ECHOES)
def test_echoed_key_is_masked_in_the_log(server, status, payload):
    server.reply = json_reply(payload, status) if not isinstance(payload, str) else json_reply(None, status)
    if isinstance(payload, str):
        server.reply.body, server.reply.content_type = payload.encode(), "text/plain"
    with all_records() as texts, local_session(server.base_url) as session:
        with pytest.raises(ApiKeyValidationError):
            kg.validate_api_key(session, client_version="1.0")
    rejected = [t for t in texts if "Backend rejected API key validation" in t]
    assert len(rejected) == 1 and "***" in rejected[0]
    assert_no_secret(texts)


@pytest.mark.parametrize("body", [{"detail": f"Unknown key {SECRET}"}, {"message": f"key {SECRET} expired"}])
def test_echoed_key_stays_out_of_the_message(server, body):
    server.reply = json_reply(body, 401)
    with local_session(server.base_url) as session, pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(session, client_version="1.0")
    assert_no_secret(exception_texts(info.value))
