"""Investor bridge: request path against a local server, payload shapes, frames."""

import math
import re
from datetime import date, datetime

import pandas as pd
import pytest
import requests

import private_core.investor.bridgework as bw
from conftest import json_of
from private_core.investor.bridgework import InvestorBridgework
from tessaro.exceptions import DataDecodingError, HttpError

PATH = "/api/v1/tessaro/market-data/investor"
# Unparsable date texts make pandas say it parses them one by one.
pytestmark = pytest.mark.filterwarnings("ignore:Could not infer format:UserWarning")


@pytest.fixture
def bridge(session):
    return InvestorBridgework(session)


@pytest.fixture
def meter(monkeypatch):
    """Progress calls, recorded through the module's bindings."""
    calls = []
    monkeypatch.setattr(bw, "start_progress", lambda total, symbol: calls.append(("start", total, symbol)))
    monkeypatch.setattr(bw, "update_progress", lambda current: calls.append(("update", current)))
    monkeypatch.setattr(bw, "finish_progress", lambda: calls.append(("finish",)))
    return calls


def rows_for(symbol):
    return [{"date": "2024-01-03", "buy": 2, "symbol": symbol}, {"date": "2024-01-02", "buy": 1, "symbol": symbol}]


# -- validation --------------------------------------------------------------------


@pytest.mark.parametrize("namespace, op, message", [
    ("fund", "flow", "Unsupported investor namespace: 'fund'"),
    ("FUND", "flow", "Unsupported investor namespace: 'fund'"),
    ("market", "foreign_room",
     "Operation 'foreign_room' is not available for namespace 'market'. Allowed operations: ['breakdown', 'flow']."),
    ("Stock", "Buy",
     "Operation 'buy' is not available for namespace 'stock'. "
     "Allowed operations: ['breakdown', 'flow', 'foreign_room']."),
])
def test_unknown_namespace_or_operation_fails_before_any_request(httpserver, bridge, namespace, op, message):
    with pytest.raises(ValueError) as info:
        bridge.fetch_df(namespace, op, {"ids": ["VNM"]})
    assert str(info.value) == message
    assert httpserver.log == []


def test_arguments_are_checked(bridge):
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        bridge.fetch_df("stock", "flow", [])
    with pytest.raises(AttributeError):
        bridge.fetch_df(1, "flow", {})
    with pytest.raises(TypeError, match="Argument 'endpoint' has incorrect type"):
        bridge._request(b"/x", {})


# -- request path --------------------------------------------------------------


def test_post_body_and_path(httpserver, bridge, meter):
    httpserver.expect_request(f"{PATH}/stock/flow", method="POST").respond_with_json({"data": rows_for("VNM")})
    frame = bridge.fetch_df("STOCK", "Flow", {
        "ids": "  VNM ", "group": " Foreign ", "start": datetime(2024, 1, 5, 10, 30), "end": date(2024, 2, 1),
        "interval": None, "extra": [1, 2],
    })
    body = json_of(httpserver.log[0][0])
    assert list(body.items()) == [("ids", ["VNM"]), ("group", "foreign"), ("start", "2024-01-05"),
                                  ("end", "2024-02-01"), ("extra", [1, 2])]
    assert meter == []
    assert frame["buy"].tolist() == [1, 2]
    assert list(frame["date"]) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]


def test_one_request_per_identifier_with_progress(httpserver, bridge, meter):
    for symbol in ["VNM", "FPT", "HPG"]:
        httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="POST",
                                          json={"ids": [symbol], "group": "foreign"}).respond_with_json(rows_for(symbol))
    frame = bridge.fetch_df("stock", "flow", {"ids": ["VNM", " FPT", "", "  ", "HPG"], "group": "FOREIGN"})
    assert len(httpserver.log) == 3
    assert meter == [("start", 3, "stock:flow"), ("update", 1), ("update", 2), ("update", 3), ("finish",)]
    assert frame["symbol"].tolist() == ["FPT", "FPT", "HPG", "HPG", "VNM", "VNM"]
    assert frame.index.tolist() == list(range(6))


@pytest.mark.parametrize("ids, sent", [(["VNM", "", "  "], ["VNM"]), ([], []), (("A",), ["A"]), (7, ["7"])])
def test_fewer_than_two_identifiers_make_one_request(httpserver, bridge, meter, ids, sent):
    httpserver.expect_request(f"{PATH}/sector/breakdown", method="POST").respond_with_json([])
    frame = bridge.fetch_df("sector", "breakdown", {"ids": ids})
    assert json_of(httpserver.log[0][0]) == {"ids": sent}
    assert meter == []
    assert frame.empty and frame.columns.tolist() == []


def test_failing_identifier_still_finishes_the_meter(httpserver, bridge, meter):
    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="POST").respond_with_json(rows_for("VNM"))
    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="POST").respond_with_json({"x": 1}, status=500)
    with pytest.raises(HttpError) as info:
        bridge.fetch_df("stock", "flow", {"ids": ["VNM", "FPT", "HPG"]})
    assert info.value.status_code == 500 and info.value.payload == {"x": 1}
    assert meter == [("start", 3, "stock:flow"), ("update", 1), ("finish",)]
    assert len(httpserver.log) == 2


@pytest.mark.parametrize("status", [404, 405])
def test_refused_post_is_retried_as_get(httpserver, bridge, status):
    httpserver.expect_ordered_request(f"{PATH}/market/flow", method="POST").respond_with_data("no", status=status)
    httpserver.expect_ordered_request(
        f"{PATH}/market/flow", method="GET",
        query_string={"ids": "VNINDEX", "group": "all", "interval": "1W", "start": "2024-01-01"},
    ).respond_with_json({"VNINDEX": [{"date": "2024-01-02", "net": 5}, {"date": "2024-01-09", "net": 7}]})
    frame = bridge.fetch_df("market", "flow", {"ids": ["VNINDEX"], "group": "all", "interval": "1w",
                                              "start": "2024-01-01 "})
    assert [r.method for r, _ in httpserver.log] == ["POST", "GET"]
    assert frame.to_dict("list") == {
        "date": [pd.Timestamp("2024-01-07"), pd.Timestamp("2024-01-14")], "net": [5, 7], "symbol": ["VNINDEX"] * 2}


def test_other_statuses_propagate_without_get(httpserver, bridge):
    httpserver.expect_request(f"{PATH}/stock/flow", method="POST").respond_with_data("boom", status=500)
    with pytest.raises(HttpError) as info:
        bridge.fetch_df("stock", "flow", {"ids": "VNM"})
    assert info.value.status_code == 500 and info.value.payload == "boom"
    assert len(httpserver.log) == 1


def test_failed_get_fallback_propagates(httpserver, bridge):
    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="POST").respond_with_data("", status=405)
    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="GET").respond_with_data("", status=404)
    with pytest.raises(HttpError) as info:
        bridge._request("/market-data/investor/stock/flow", {"ids": ["VNM"]})
    assert info.value.status_code == 404
    assert info.value.__context__.status_code == 405
    assert len(httpserver.log) == 2


def test_body_that_is_not_json_propagates_the_decoder_error(httpserver, bridge):
    httpserver.expect_request(f"{PATH}/stock/flow", method="POST").respond_with_data("not json")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        bridge.fetch_df("stock", "flow", {})


def test_fallback_honours_overridden_query_builder(httpserver, session):
    class Custom(InvestorBridgework):
        def _to_query_params(self, payload):
            return {"q": "1"}

    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="POST").respond_with_data("", status=404)
    httpserver.expect_ordered_request(f"{PATH}/stock/flow", method="GET", query_string="q=1").respond_with_json([])
    assert Custom(session)._request("/market-data/investor/stock/flow", {"ids": ["A"]}) == []


def test_transport_failure_is_not_retried(closed_url):
    from private_core.wirelink import HttpSession

    with HttpSession("k", base_url=closed_url) as s:
        with pytest.raises(HttpError) as info:
            InvestorBridgework(s).fetch_df("stock", "flow", {"ids": ["VNM"]})
    assert info.value.status_code is None


# -- payload and query -------------------------------------------------------------


@pytest.mark.parametrize("params, payload", [
    ({"ids": ["VNM", None, 12, " ", "fpt "], "x": None}, {"ids": ["VNM", "None", "12", "fpt"]}),
    ({"ids": ""}, {"ids": [""]}),
    ({"group": "  "}, {"group": "  "}),
    ({"group": " Local_Individual"}, {"group": "local_individual"}),
    ({"interval": " 1m "}, {"interval": "1M"}),
    ({"interval": ""}, {"interval": ""}),
    ({"start": datetime(2024, 1, 5, 23, 59), "end": " 2024-02-01 "}, {"start": "2024-01-05", "end": "2024-02-01"}),
    ({"end": 20240101, "start": date(2023, 12, 31)}, {"end": "20240101", "start": "2023-12-31"}),
    ({"other": {"a": 1}, "ids": ("A", "B")}, {"other": {"a": 1}, "ids": ["A", "B"]}),
])
def test_prepare_payload(params, payload):
    before = repr(params)
    out = InvestorBridgework(None)._prepare_payload(params)
    assert out == payload and list(out) == list(payload)
    assert repr(params) == before and out is not params


@pytest.mark.parametrize("payload, query", [
    ({"ids": ["VNM", "", " FPT "], "group": "x"}, {"ids": "VNM,FPT", "group": "x"}),
    ({"ids": "VNM, FPT"}, {"ids": "VNM, FPT"}),
    ({"ids": b"VNM"}, {"ids": b"VNM"}),
    ({"ids": ("A", 1)}, {"ids": "A,1"}),
    ({"ids": 5, "other": ["a", "b"]}, {"ids": 5, "other": ["a", "b"]}),
    ({}, {}),
])
def test_to_query_params(payload, query):
    assert InvestorBridgework(None)._to_query_params(payload) == query


@pytest.mark.parametrize("value, text", [
    (None, ""), (math.nan, ""), (float("nan"), ""), ("  VNM ", "VNM"), (8300, "8300"), (8300.0, "8300.0"),
    (True, "True"), (pd.NA, "<NA>"), ("", ""),
])
def test_strict_str(value, text):
    assert bw._strict_str(value) == text


# -- payload shapes ----------------------------------------------------------------------


ROW = {"date": "2024-01-02", "v": 1}


@pytest.mark.parametrize("payload, rows", [
    (None, []),
    ({"data": None}, []),
    ([], []),
    ({}, []),
    ([ROW], [ROW]),
    ({"results": [ROW], "data": [{"v": 2}]}, [{"v": 2}]),
    ({"data": {"items": [ROW]}}, [ROW]),
    ({"records": {"results": {"data": []}}}, []),
    ({"VNM": [{"v": 1}], "FPT": [{"v": 2, "symbol": "OWN"}]}, [{"v": 1, "symbol": "VNM"}, {"v": 2, "symbol": "OWN"}]),
])
def test_payload_shapes(payload, rows):
    assert InvestorBridgework(None)._normalise_records(payload, "stock") == rows


@pytest.mark.parametrize("namespace, field", [("stock", "symbol"), ("market", "symbol"), ("sector", "icb"),
                                              ("fund", "id")])
def test_keyed_payload_uses_the_namespace_field(namespace, field):
    rows = InvestorBridgework(None)._normalise_records({"X": [{}]}, namespace)
    assert rows == [{field: "X"}]


@pytest.mark.parametrize("payload, message", [
    ({"VNM": [ROW], "FPT": ROW}, "Unexpected payload format for investor endpoint."),
    ("text", "Unexpected payload format for investor endpoint."),
    (3, "Unexpected payload format for investor endpoint."),
    (True, "Unexpected payload format for investor endpoint."),
    ((ROW,), "Unexpected payload format for investor endpoint."),
    ([ROW, 3], "Investor payload entries must be JSON objects."),
    ({"data": ["x"]}, "Investor payload entries must be JSON objects."),
])
def test_unusable_payloads(payload, message):
    with pytest.raises(DataDecodingError) as info:
        InvestorBridgework(None)._normalise_records(payload, "stock")
    assert info.value.args == (message,)


def test_rows_are_copies():
    entry = {"v": 1}
    row = InvestorBridgework(None)._ensure_mapping(entry, "stock", "VNM")
    assert row == {"v": 1, "symbol": "VNM"} and entry == {"v": 1}
    with pytest.raises(TypeError, match="Argument 'identifier' has incorrect type"):
        InvestorBridgework(None)._ensure_mapping(entry, "stock", 1)


def test_deeply_nested_envelopes_never_exhaust_the_stack():
    payload = [{"v": 1}]
    for _ in range(100_000):
        payload = {"data": payload}
    assert InvestorBridgework(None)._normalise_records(payload, "stock") == [{"v": 1}]

    class Recording(InvestorBridgework):
        def _normalise_records(self, payload, namespace):
            return super()._normalise_records(payload, namespace)

    with pytest.raises(RecursionError):
        Recording(None)._normalise_records(payload, "stock")


# -- frames ----------------------------------------------------------------------------


def test_empty_rows_give_an_empty_frame():
    frame = InvestorBridgework(None)._to_dataframe([], "stock")
    assert frame.empty and frame.columns.tolist() == [] and len(frame) == 0
    with pytest.raises(TypeError, match="Argument 'rows' has incorrect type"):
        InvestorBridgework(None)._to_dataframe(({"a": 1},), "stock")


def test_dates_are_parsed():
    midnight = int(pd.Timestamp("2024-01-05").timestamp())
    frame = InvestorBridgework(None)._to_dataframe(
        [{"timestamp": midnight, "trade_date": "2024-01-05", "Date": "2024-01-06", "date": "garbage"}], "stock")
    assert frame.loc[0, "timestamp"] == pd.Timestamp("2024-01-05")
    assert frame.loc[0, "trade_date"] == pd.Timestamp("2024-01-05")
    assert frame.loc[0, "Date"] == pd.Timestamp("2024-01-06")
    assert frame.loc[0, "date"] is pd.NaT
    text = InvestorBridgework(None)._to_dataframe([{"timestamp": "2024-01-05 10:30:00"}], "stock")
    assert text.loc[0, "timestamp"] == pd.Timestamp("2024-01-05 10:30")


@pytest.mark.parametrize("namespace, rows, order", [
    ("stock", [{"symbol": "B", "date": "2024-01-02"}, {"symbol": "A", "date": "2024-01-03"},
               {"symbol": "A", "date": "2024-01-01"}], [2, 1, 0]),
    ("stock", [{"Date": "2024-01-03"}, {"Date": "2024-01-01"}], [1, 0]),
    ("stock", [{"trade_date": "2024-01-03"}, {"trade_date": "2024-01-01"}], [0, 1]),
    ("sector", [{"icb": "2", "symbol": "A"}, {"icb": "1", "symbol": "B"}], [1, 0]),
    ("fund", [{"symbol": "B"}, {"symbol": "A"}], [0, 1]),
])
def test_sort_rules(namespace, rows, order):
    frame = InvestorBridgework(None)._to_dataframe(rows, namespace)
    expected = pd.DataFrame.from_records([rows[i] for i in order])
    assert frame.index.tolist() == list(range(len(rows)))
    for column in expected:
        got = frame[column]
        if column.lower().endswith("date"):
            got = got.dt.strftime("%Y-%m-%d")
        assert got.tolist() == expected[column].tolist()


# -- arbitrary values never crash ----------------------------------------------------------------


class Bomb:
    def _boom(self, *args, **kwargs):
        raise RuntimeError("boom")

    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __iter__ = __getitem__ = lower = _boom


WEIRD = [None, True, 0, 1.5, math.nan, "", " x ", b"x", [], ["a", None], (), {}, {"a": 1}, {"data": 5}, object(),
         Bomb(), [Bomb()], {"ids": Bomb()}, {"start": Bomb()}, {"x": [Bomb()]}, pd.DataFrame({"a": [1]}),
         pd.DataFrame({"date": ["x"], "v": [1]})]


@pytest.mark.parametrize("value", WEIRD, ids=[f"{type(v).__name__}{i}" for i, v in enumerate(WEIRD)])
@pytest.mark.parametrize("call", [
    lambda b, v: b.fetch_df(v, "flow", {}),
    lambda b, v: b.fetch_df("stock", "flow", v),
    lambda b, v: b._prepare_payload(v),
    lambda b, v: b._to_query_params(v),
    lambda b, v: b._to_query_params({"ids": v}),
    lambda b, v: b._normalise_records(v, "stock"),
    lambda b, v: b._normalise_records({"X": [v]}, v),
    lambda b, v: b._ensure_mapping(v, v, None),
    lambda b, v: b._to_dataframe([v], "stock"),
    lambda b, v: b._resample_frame(v, "stock", "1W"),
    lambda b, v: b._resample_frame(pd.DataFrame({"date": ["2024-01-01"], "symbol": [v], "v": [1]}), v, "1W"),
    lambda b, v: bw._strict_str(v),
])
def test_odd_values_never_crash(httpserver, bridge, call, value):
    httpserver.expect_request(re.compile(".*")).respond_with_json([])
    try:
        call(bridge, value)
    except SystemError:
        raise
    except Exception:
        pass


def test_module_names_are_read_at_call_time(monkeypatch):
    class Refused(Exception):
        pass

    class Rejecting:
        def __instancecheck__(self, obj):
            return False

    monkeypatch.setattr(bw, "DataDecodingError", Refused)
    monkeypatch.setattr(bw, "Mapping", Rejecting())
    with pytest.raises(Refused, match="Unexpected payload format"):
        InvestorBridgework(None)._normalise_records({"data": []}, "stock")
