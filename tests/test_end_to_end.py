"""The demo's client against the local service: every fetcher, the cache, and the failures users meet."""

import threading
from datetime import date, datetime, timedelta

import pandas as pd
import pytest

from client import MarketClient
from conftest import needs
from private_core import daybars, memstore, ticklane
from private_core.investor import bridgework
from tessaro.exceptions import ApiKeyValidationError, DataDecodingError, HttpError

EOD = "/market-data/eod/ohlcv"
STATEMENTS = "/reporting/statements/values"
eod_built = needs(daybars, "fetch_ohlcv")
intraday_built = needs(ticklane, "fetch_ohlcv")
orderbook_built = needs(ticklane, "fetch_orderbook")
investor_built = needs(bridgework, "InvestorBridgework")


@pytest.fixture
def client(local):
    with MarketClient(local.api_key, base_url=local.base_url) as c:
        yield c


def sent(local, path, since):
    return local.count(path) - since


@eod_built
def test_end_of_day_batch(client):
    bars = client.eod(["vnm", " fpt", "VCB", "vnm"], start="2024-01-02", end="2024-01-31", show_progress=False)
    assert sorted(bars["symbol"].unique()) == ["FPT", "VCB", "VNM"]
    assert list(bars.columns[:7]) == ["symbol", "time", "open", "high", "low", "close", "volume"]
    assert bars.groupby("symbol").size().tolist() == [22, 22, 22]
    weekly = client.eod("VNM", start="2024-01-02", end="2024-01-31", interval="1W", show_progress=False)
    assert len(weekly) == 5 and weekly["volume"].sum() == bars.loc[bars["symbol"] == "VNM", "volume"].sum()


@intraday_built
def test_intraday_bars_are_resampled(client):
    bars = client.intraday("VNM", start="2024-03-05", end="2024-03-05", interval="15m", show_progress=False)
    assert bars["time"].dt.minute.isin([0, 15, 30, 45]).all()
    minutes = client.intraday("VNM", start="2024-03-05", end="2024-03-05", show_progress=False)
    assert bars["volume"].sum() == minutes["volume"].sum() and len(minutes) == 226


@orderbook_built
def test_order_book(client):
    book = client.orderbook(["FPT", "VNM"], target_date="2024-03-05", show_progress=False)
    assert set(book["symbol"]) == {"FPT", "VNM"}
    assert {"price", "volume", "side", "bid_price_1", "ask_price_3"} <= set(book.columns)
    assert client.orderbook("FPT", target_date="2024-03-09", show_progress=False).empty  # a Saturday


@investor_built
@pytest.mark.parametrize("namespace, op, ids, id_field", [
    ("stock", "flow", ["VNM", "FPT"], "symbol"),
    ("stock", "foreign_room", "VCB", "symbol"),
    ("market", "breakdown", "VNINDEX", "symbol"),
    ("sector", "breakdown", ["8300", "9500"], "icb"),
])
def test_investor_flows_in_every_payload_shape(client, namespace, op, ids, id_field):
    daily = client.investor_flows(namespace, op, ids, start="2024-02-01", end="2024-02-29")
    expected = {ids} if isinstance(ids, str) else set(ids)
    assert set(daily[id_field]) == expected and pd.api.types.is_datetime64_any_dtype(daily["date"])
    assert len(daily) == 16 * len(expected)  # 16 trading days after Tet
    weekly = client.investor_flows(namespace, op, ids, start="2024-02-01", end="2024-02-29", interval="1w")
    assert (weekly["date"].dt.day_of_week == 6).all()  # weeks end on Sunday
    numeric = daily.select_dtypes("number").columns[0]
    assert weekly[numeric].sum() == pytest.approx(daily[numeric].sum())


@investor_built
def test_get_only_path_is_reached_through_the_fallback(client, local):
    before = len(local.requests)
    flows = client.investor_flows("market", "flow", "VNINDEX", group="foreign", start="2024-02-01", end="2024-02-07")
    assert [(r.method, r.status) for r in local.requests[before:]] == [("POST", 405), ("GET", 200)]
    assert local.requests[-1].query["ids"] == ["VNINDEX"] and len(flows) == 5


def test_statements_and_company_types(client):
    values = client.statements(["vnm", "fpt"], statement_id=2, start_year=2022, end_year=2023, period="quarter")
    assert len(values) == 16 and (values["total_assets"] > values["total_liabilities"]).all()
    types = client.company_types(["VCB", "SSI", "FPT"])
    assert types.to_dict("list") == {"symbol": ["VCB", "SSI", "FPT"],
                                     "company_type": ["bank", "securities", "non-financial"]}


def test_a_repeated_request_is_served_from_the_cache(client, local):
    before = local.count(STATEMENTS)
    first = client.statements(["VNM"], statement_id=1, start_year=2020, end_year=2023)
    assert client.statements(["vnm "], statement_id=1, start_year=2020, end_year=2023) is first
    assert sent(local, STATEMENTS, before) == 1
    client.clear_cache("statements")
    client.statements(["VNM"], statement_id=1, start_year=2020, end_year=2023)
    assert sent(local, STATEMENTS, before) == 2


def test_an_expired_entry_is_fetched_again(client, local, monkeypatch):
    before = local.count(STATEMENTS)
    client.statements(["VNM"], statement_id=3, start_year=2020, end_year=2023)

    class Later(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime.now(tz) + timedelta(hours=2)

    monkeypatch.setattr(memstore, "datetime", Later)
    client.statements(["VNM"], statement_id=3, start_year=2020, end_year=2023)
    client.statements(["VNM"], statement_id=3, start_year=2020, end_year=2023)
    assert sent(local, STATEMENTS, before) == 2


@eod_built
def test_history_is_cached_but_a_range_reaching_today_is_fetched_each_time(client, local):
    before = local.count(EOD)
    for _ in range(2):
        client.eod("VNM", start="2024-01-02", end="2024-01-31", show_progress=False)
    assert sent(local, EOD, before) == 1
    tomorrow = (date.today() + timedelta(days=1)).isoformat()  # still reaches today when run across midnight
    for _ in range(2):
        client.eod("VNM", end=tomorrow, show_progress=False)
    assert sent(local, EOD, before) == 3


def test_concurrent_identical_requests_make_one(client, local):
    local.latency = 0.2
    try:
        barrier, frames = threading.Barrier(8), []

        def ask():
            barrier.wait()
            frames.append(client.statements(["FPT"], statement_id=4, start_year=2015, end_year=2024))

        before = local.count(STATEMENTS)
        threads = [threading.Thread(target=ask) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        local.latency = 0.0
    assert sent(local, STATEMENTS, before) == 1
    assert len(frames) == 8 and all(f is frames[0] for f in frames)


def test_a_wrong_key(local):
    with MarketClient("wrong", base_url=local.base_url) as bad:
        with pytest.raises(ApiKeyValidationError, match=r"^Invalid API key\.$"):
            bad.validate_key()
        with pytest.raises(HttpError) as failed:
            bad.statements(["VNM"], statement_id=1, start_year=2022, end_year=2022)
    assert (failed.value.status_code, failed.value.payload) == (401, {"detail": "Invalid API key."})


@eod_built
def test_an_error_member_fails_the_whole_batch_and_caches_nothing(client, local):
    with pytest.raises(DataDecodingError, match=r"^Backend returned error for ZZZ: Unknown symbol 'ZZZ'$"):
        client.eod(["ZZZ"], start="2024-01-02", end="2024-01-05", show_progress=False)
    before = local.count(EOD)
    with pytest.raises(DataDecodingError, match="Backend returned error for ZZZ"):
        client.eod("ZZZ", start="2024-01-02", end="2024-01-05", show_progress=False)
    assert sent(local, EOD, before) == 1


@eod_built
@pytest.mark.parametrize("status", [500, 503])
def test_a_server_error(client, status):
    with pytest.raises(HttpError) as failed:
        client.eod(["VNM", f"FAULT-{status}"], start="2024-01-02", end="2024-01-05", show_progress=False)
    assert failed.value.status_code == status
    assert failed.value.payload == {"detail": f"Injected fault: HTTP {status}"}


@eod_built
def test_a_body_that_is_not_json(client):
    with pytest.raises(DataDecodingError, match="^Unable to decode OHLCV response as JSON$") as failed:
        client.eod("FAULT-HTML", show_progress=False)
    assert isinstance(failed.value.__cause__, ValueError)


def test_statement_server_error_and_unknown_symbol(client):
    with pytest.raises(HttpError) as failed:
        client.statements(["FAULT-502"], statement_id=1, start_year=2022, end_year=2022)
    assert failed.value.status_code == 502
    with pytest.raises(HttpError) as unknown:
        client.statements(["ZZZ"], statement_id=1, start_year=2022, end_year=2022)
    assert unknown.value.payload == {"detail": "Unknown symbol(s): ZZZ"}


@investor_built
def test_investor_errors(client):
    with pytest.raises(HttpError) as failed:
        client.investor_flows("stock", "flow", ["VNM", "FAULT-503"])
    assert failed.value.status_code == 503
    with pytest.raises(ValueError, match="is not available for namespace 'market'"):
        client.investor_flows("market", "foreign_room", "VNINDEX")
