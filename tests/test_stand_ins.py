"""Tests for the host stand-ins and the pure-Python price helpers."""

import math

import pandas as pd
import pydantic
import pytest

from private_core.helpers import _to_dataframe, resample_ohlcv_multi
from tessaro.exceptions import (
    ApiKeyValidationError,
    DataDecodingError,
    HttpError,
    TessaroError,
)
from tessaro.types import ApiKeyValidationResponse

# --------------------------------------------------------------------------
# exceptions / types


@pytest.mark.parametrize(
    "kwargs, status, payload",
    [
        ({}, None, None),
        ({"status_code": 404, "payload": {"error": "not found"}}, 404, {"error": "not found"}),
    ],
)
def test_http_error_forms(kwargs, status, payload):
    err = HttpError("boom", **kwargs)
    assert isinstance(err, TessaroError)
    assert (str(err), err.message, err.status_code, err.payload) == ("boom", "boom", status, payload)


@pytest.mark.parametrize("cls", [DataDecodingError, ApiKeyValidationError])
def test_plain_errors_share_base(cls):
    with pytest.raises(TessaroError, match="bad"):
        raise cls("bad")


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"valid": True}, {"valid": True, "plan": None, "expires_at": None, "messages": [], "client_version": None}),
        (
            {"valid": False, "plan": "pro", "expires_at": "2025-01-01", "messages": ["expired"],
             "client_version": "1.2.3", "unknown": 1},
            {"valid": False, "plan": "pro", "expires_at": "2025-01-01", "messages": ["expired"],
             "client_version": "1.2.3"},
        ),
        ({"valid": "true"}, {"valid": True, "plan": None, "expires_at": None, "messages": [], "client_version": None}),
    ],
)
def test_api_key_response_valid(data, expected):
    assert ApiKeyValidationResponse.model_validate(data).model_dump() == expected


def test_api_key_response_messages_default_not_shared():
    a = ApiKeyValidationResponse.model_validate({"valid": True})
    a.messages.append("x")
    assert ApiKeyValidationResponse.model_validate({"valid": True}).messages == []


@pytest.mark.parametrize("data", [{}, {"plan": "pro"}, {"valid": "maybe"}, {"valid": None}, [], [{"valid": True}]])
def test_api_key_response_invalid(data):
    with pytest.raises(pydantic.ValidationError):
        ApiKeyValidationResponse.model_validate(data)


# --------------------------------------------------------------------------
# _to_dataframe


@pytest.mark.parametrize(
    "raw, expected",
    [
        (1704067200, "2024-01-01 00:00:00"),
        ("2024-01-02", "2024-01-02 00:00:00"),
        ("2024-01-02T09:15:00", "2024-01-02 09:15:00"),
        ("2024-01-02 09:15:30", "2024-01-02 09:15:30"),
        ("2024-01-02T09:15:00+07:00", "2024-01-02 02:15:00"),
    ],
)
@pytest.mark.parametrize("key", ["time", "date", "timestamp", "datetime"])
def test_to_dataframe_time_parsing(key, raw, expected):
    df = _to_dataframe([{"symbol": "AAA", key: raw, "close": 1}])
    assert list(df.columns) == ["symbol", "time", "close"]
    assert pd.api.types.is_datetime64_dtype(df["time"])
    assert df["time"].iloc[0] == pd.Timestamp(expected)


def test_to_dataframe_types_and_order():
    rows = [
        {"symbol": "BBB", "time": 1704240000, "open": "20", "high": 21, "low": 19, "close": "n/a",
         "volume": 5, "exchange": "HOSE"},
        {"symbol": "AAA", "time": 1704326400, "open": 11, "high": 12, "low": 10, "close": 11.5,
         "volume": 7, "exchange": "HNX"},
        {"symbol": "AAA", "time": 1704240000, "open": 10, "high": 11, "low": 9, "close": "10.5",
         "volume": 6, "exchange": "HNX"},
    ]
    df = _to_dataframe(rows)
    assert list(df.index) == [0, 1, 2]
    assert list(df["symbol"]) == ["AAA", "AAA", "BBB"]
    assert list(df["time"]) == [pd.Timestamp("2024-01-03"), pd.Timestamp("2024-01-04"), pd.Timestamp("2024-01-03")]
    for col in ("open", "high", "low", "close", "volume"):
        assert pd.api.types.is_numeric_dtype(df[col]), col
    assert df["close"].iloc[0] == 10.5 and math.isnan(df["close"].iloc[2])
    assert df["open"].iloc[2] == 20
    assert list(df["exchange"]) == ["HNX", "HNX", "HOSE"]


def test_to_dataframe_sort_is_stable_for_equal_keys():
    rows = [{"symbol": "AAA", "date": "2024-01-02", "tag": t} for t in "xyz"]
    assert list(_to_dataframe(rows)["tag"]) == ["x", "y", "z"]


@pytest.mark.parametrize(
    "rows, match",
    [([], "empty"), ([{"symbol": "AAA", "close": 1}], "time member")],
)
def test_to_dataframe_rejects(rows, match):
    with pytest.raises(ValueError, match=match):
        _to_dataframe(rows)


# --------------------------------------------------------------------------
# resample_ohlcv_multi

COLS = ["symbol", "time", "open", "high", "low", "close", "volume"]


def _frame(records):
    df = pd.DataFrame(records, columns=COLS)
    df["time"] = pd.to_datetime(df["time"])
    return df


# Daily bars. AAA: Mon 2024-01-29 .. Fri 2024-02-09 (crosses a month end).
# BBB: two days in the week of Jan 29, nothing in the weeks of Feb 5 and
# Feb 12, one day in the week of Feb 19. Rows are deliberately shuffled.
DAILY = _frame([
    ("BBB", "2024-02-20", 50, 55, 48, 52, 30),
    ("AAA", "2024-02-01", 13, 16, 12, 14, 40),
    ("AAA", "2024-01-29", 10, 12, 9, 11, 10),
    ("AAA", "2024-01-30", 11, 13, 10, 12, 20),
    ("AAA", "2024-01-31", 12, 15, 11, 13, 30),
    ("AAA", "2024-02-02", 14, 15, 8, 15, 50),
    ("AAA", "2024-02-05", 15, 17, 14, 16, 60),
    ("AAA", "2024-02-09", 16, 20, 15, 19, 70),
    ("BBB", "2024-01-31", 40, 45, 39, 44, 10),
    ("BBB", "2024-02-02", 44, 46, 42, 43, 20),
])


@pytest.mark.parametrize(
    "interval, expected",
    [
        ("1W", [
            ("AAA", "2024-01-29", 10, 16, 8, 15, 150),
            ("AAA", "2024-02-05", 15, 20, 14, 19, 130),
            ("BBB", "2024-01-29", 40, 46, 39, 43, 30),
            ("BBB", "2024-02-19", 50, 55, 48, 52, 30),
        ]),
        ("1M", [
            ("AAA", "2024-01-01", 10, 15, 9, 13, 60),
            ("AAA", "2024-02-01", 13, 20, 8, 19, 220),
            ("BBB", "2024-01-01", 40, 45, 39, 44, 10),
            ("BBB", "2024-02-01", 44, 55, 42, 52, 50),
        ]),
    ],
)
def test_resample_daily_to_weekly_and_monthly(interval, expected):
    got = resample_ohlcv_multi(DAILY, interval=interval)
    pd.testing.assert_frame_equal(got, _frame(expected), check_dtype=False)


def test_resample_daily_1d_keeps_rows():
    got = resample_ohlcv_multi(DAILY, interval="1D")
    want = DAILY.sort_values(["symbol", "time"]).reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want, check_dtype=False)


# One-minute bars: AAA 09:58..10:07 with 10:03-10:04 missing, BBB 10:00-10:01
# and 10:10 only (so its 10:05 bucket is empty).
MINUTE = _frame([
    ("AAA", "2024-03-04 09:58", 100, 101, 99, 100, 1),
    ("AAA", "2024-03-04 09:59", 100, 102, 100, 101, 2),
    ("AAA", "2024-03-04 10:00", 101, 103, 101, 102, 3),
    ("AAA", "2024-03-04 10:01", 102, 104, 98, 103, 4),
    ("AAA", "2024-03-04 10:02", 103, 103, 102, 102, 5),
    ("AAA", "2024-03-04 10:05", 102, 105, 102, 104, 6),
    ("AAA", "2024-03-04 10:06", 104, 106, 103, 105, 7),
    ("AAA", "2024-03-04 10:07", 105, 105, 101, 101, 8),
    ("BBB", "2024-03-04 10:10", 53, 54, 52, 53, 30),
    ("BBB", "2024-03-04 10:00", 50, 51, 49, 51, 10),
    ("BBB", "2024-03-04 10:01", 51, 52, 50, 52, 20),
])


@pytest.mark.parametrize(
    "interval, expected",
    [
        ("5m", [
            ("AAA", "2024-03-04 09:55", 100, 102, 99, 101, 3),
            ("AAA", "2024-03-04 10:00", 101, 104, 98, 102, 12),
            ("AAA", "2024-03-04 10:05", 102, 106, 101, 101, 21),
            ("BBB", "2024-03-04 10:00", 50, 52, 49, 52, 30),
            ("BBB", "2024-03-04 10:10", 53, 54, 52, 53, 30),
        ]),
        ("1H", [
            ("AAA", "2024-03-04 09:00", 100, 102, 99, 101, 3),
            ("AAA", "2024-03-04 10:00", 101, 106, 98, 101, 33),
            ("BBB", "2024-03-04 10:00", 50, 54, 49, 53, 60),
        ]),
    ],
)
def test_resample_minutes(interval, expected):
    got = resample_ohlcv_multi(MINUTE, interval=interval)
    pd.testing.assert_frame_equal(got, _frame(expected), check_dtype=False)


def test_resample_sums_extra_numeric_and_drops_text():
    df = DAILY.assign(value=1.5, exchange="HOSE")
    got = resample_ohlcv_multi(df, interval="1M")
    assert list(got.columns) == COLS + ["value"]
    assert list(got["value"]) == [4.5, 6.0, 1.5, 3.0]


@pytest.mark.parametrize("interval", ["2D", "1h", "1Y", ""])
def test_resample_unknown_interval(interval):
    with pytest.raises(ValueError, match=r"1D, 1W, 1M, 1m, 5m, 15m, 30m, 1H"):
        resample_ohlcv_multi(DAILY, interval=interval)
