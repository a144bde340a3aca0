"""The API key masked where the service's text quotes it as a token of its own,
in keygate's rejection (message and log) and in the price fetchers' error message."""

import re
import types

import pytest
from hypothesis import given, settings, strategies as st

import private_core.daybars as db
import private_core.keygate as kg
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError


def reference_mask(text, key):
    # A token of its own: no letter, digit, "-" or "_" on either side.
    return re.sub(rf"(?<![\w-]){re.escape(key)}(?![\w-])", "***", text) if key else text


def rejection(key, status, payload, caplog):
    def post(path, json_body):
        raise HttpError(f"HTTP {status}", status_code=status, payload=payload)
    with pytest.raises(ApiKeyValidationError) as info:
        kg.validate_api_key(types.SimpleNamespace(api_key=key, post=post), client_version="1.0")
    (record,) = [r for r in caplog.records if r.name == kg.logger.name]
    return str(info.value), record.args[1]


@pytest.mark.parametrize("key, status, payload, message, logged", [
    # A short key inside words is no echo of the key.
    ("k", 401, {"detail": "Invalid key"}, "Invalid key", {"detail": "Invalid key"}),
    ("key", 401, {"detail": "Invalid key"}, "Invalid ***", "{'detail': 'Invalid ***'}"),
    # The fallback is this module's own text; field names stay readable.
    ("5", 503, {"detail": ""}, "Backend rejected API key validation (HTTP 503)", {"detail": ""}),
    ("a", 401, {"detail": "bad"}, "bad", {"detail": "bad"}),
    # Inside a longer token it is part of something else.
    ("sk-live-1", 401, "key sk-live-12 unknown", "key sk-live-12 unknown", "key sk-live-12 unknown"),
    ("sk-live-1", 401, "token_sk-live-1 refused", "token_sk-live-1 refused", "token_sk-live-1 refused"),
    # Echoed alone, quoted or after punctuation it is masked everywhere.
    ("sk-live-1", 401, " sk-live-1 ", "***", " *** "),
    ("sk-live-1", 422, {"detail": "key=sk-live-1;", "input": ["sk-live-1"]}, "key=***;",
     "{'detail': 'key=***;', 'input': ['***']}"),
])
def test_rejection_masks_the_key_as_a_token(caplog, key, status, payload, message, logged):
    assert rejection(key, status, payload, caplog) == (message, logged)


def backend_error(key, error):
    answer = types.SimpleNamespace(json=lambda: {"error": error, "data": []})
    session = types.SimpleNamespace(get=lambda path, params: answer)
    if key is not None:
        session.api_key = key
    with pytest.raises(DataDecodingError) as info:
        db.fetch_ohlcv(session, "vnm", show_progress=False)
    return str(info.value).removeprefix("Backend returned error for VNM: ")


@pytest.mark.parametrize("key, error, shown", [
    ("sk-9", "key sk-9 has no access", "key *** has no access"),
    ("sk-9", {"reason": "sk-9"}, "{'reason': '***'}"),
    ("sk-9", "sk-90 is another key", "sk-90 is another key"),
    ("E", "ERROR: E", "ERROR: ***"),
    (None, "no key on this session", "no key on this session"),
    (b"sk-9", "sk-9", "sk-9"),  # a key that is no text masks nothing
])
def test_price_error_masks_the_session_key(key, error, shown):
    assert backend_error(key, error) == shown


TEXT = st.text(alphabet=st.sampled_from("ab-_ .:'\"é1\u00e9\u3000k"), min_size=1, max_size=30)


@settings(max_examples=300, deadline=None)
@given(key=st.text(alphabet=st.sampled_from("ab-_ .é1k"), min_size=1, max_size=4), text=TEXT)
def test_mask_matches_the_token_rule(key, text):
    assert backend_error(key, text) == reference_mask(text, key)
