"""The local service over plain HTTP: routes, authentication, data rules, test hooks, start and stop."""

import json
import signal
import socket
import subprocess
import sys
import threading
from time import monotonic
from concurrent.futures import ThreadPoolExecutor
from datetime import date, datetime, time, timedelta

import pytest
import requests

import local_service
from conftest import ROOT

AUTH = {"Authorization": "Bearer " + local_service.DEMO_API_KEY}
BASE = local_service.BASE_PATH
EOD = "/market-data/eod/ohlcv"
INTRADAY = "/market-data/intraday/ohlcv"
ORDERBOOK = "/market-data/intraday/orderbook"


def get(local, path, headers=AUTH, **params):
    return requests.get(local.base_url + path, params=params, headers=headers, timeout=10)


def post(local, path, body, headers=AUTH):
    return requests.post(local.base_url + path, json=body, headers=headers, timeout=10)


# One valid request per route, as the native modules send it.
ROUTES = [
    ("GET", EOD, {"symbol": "VNM", "interval": "1D", "start": "2024-01-02", "end": "2024-01-31"}),
    ("GET", INTRADAY, {"symbol": "VNM", "interval": "1m", "start": "2024-03-05", "end": "2024-03-05"}),
    ("GET", ORDERBOOK, {"symbol": "FPT", "target_date": "2024-03-05"}),
    ("GET", "/reporting/meta/company-types/validate", {"symbol": ["VCB", "FPT"]}),
    ("POST", "/reporting/statements/values",
     {"symbol": ["VNM"], "statement_id": 1, "start_year": 2022, "end_year": 2023, "period": "year"}),
    *[("POST", f"/market-data/investor/{ns}/{op}", {"ids": [ident], "start": "2024-01-02", "end": "2024-01-05"})
      for ns, ident in (("stock", "VNM"), ("sector", "8300"))
      for op in local_service.INVESTOR_OPS[ns]],
    ("POST", "/market-data/investor/market/breakdown", {"ids": ["VNINDEX"], "start": "2024-01-02", "end": "2024-01-05"}),
    ("GET", "/market-data/investor/market/flow", {"ids": "VNINDEX", "start": "2024-01-02", "end": "2024-01-05"}),
]


def call(local, method, path, args, headers=AUTH):
    return get(local, path, headers, **args) if method == "GET" else post(local, path, args, headers)


@pytest.mark.parametrize("method, path, args", ROUTES, ids=[f"{m} {p}" for m, p, _ in ROUTES])
@pytest.mark.parametrize("headers, detail", [
    ({}, "Missing bearer token."),
    ({"Authorization": "Bearer wrong"}, "Invalid API key."),
    ({"Authorization": local_service.DEMO_API_KEY}, "Invalid API key."),  # no "Bearer " scheme
])
def test_every_data_route_needs_the_bearer_token(local, method, path, args, headers, detail):
    assert call(local, method, path, args).status_code == 200
    refused = call(local, method, path, args, headers)
    assert (refused.status_code, refused.json()) == (401, {"detail": detail})


def test_key_validation_accepts_only_the_service_key(local):
    ok = post(local, "/auth/validate", {"apiKey": local.api_key, "clientVersion": "1.2.3", "includeMessages": False}, {})
    assert ok.json() == {"valid": True, "plan": "demo", "expires_at": None, "messages": [], "client_version": "1.2.3"}
    refused = post(local, "/auth/validate", {"apiKey": "nope", "clientVersion": "1.2.3"}, {})
    assert (refused.status_code, refused.json()) == (401, {"detail": "Invalid API key."})


@pytest.mark.parametrize("method, path, status", [
    ("GET", "/no/such/path", 404),
    ("POST", EOD, 405),
    ("GET", "/reporting/statements/values", 405),
    ("POST", "/market-data/investor/market/flow", 405),
    ("POST", "/market-data/investor/market/foreign_room", 404),
])
def test_unknown_paths_and_methods(local, method, path, status):
    answer = call(local, method, path, {"ids": ["VNINDEX"]})
    assert answer.status_code == status
    assert "detail" in answer.json()
    if status == 405:
        assert "GET" in answer.headers["Allow"] or "POST" in answer.headers["Allow"]


def test_end_of_day_bars_fall_on_trading_days_only_and_are_deterministic(local):
    # Tet 2024: the exchange was closed from 8 to 14 February.
    bars = get(local, EOD, symbol="VCB", start="2024-02-01", end="2024-02-29").json()
    days = [date.fromisoformat(b["time"]) for b in bars["data"]]
    assert days[0] == date(2024, 2, 1) and days[-1] == date(2024, 2, 29)
    assert all(d.weekday() < 5 for d in days)
    assert not [d for d in days if date(2024, 2, 8) <= d <= date(2024, 2, 14)]
    assert all(b["low"] <= min(b["open"], b["close"]) <= max(b["open"], b["close"]) <= b["high"] for b in bars["data"])
    assert bars == get(local, EOD, symbol="VCB", start="2024-02-01", end="2024-02-29").json()


def test_minute_bars_lie_in_trading_hours_and_add_up_to_the_daily_bar(local):
    minutes = get(local, INTRADAY, symbol="FPT", start="2024-03-05", end="2024-03-05").json()["data"]
    daily = get(local, EOD, symbol="FPT", start="2024-03-05", end="2024-03-05").json()["data"][0]
    times = [datetime.fromisoformat(m["time"]).time() for m in minutes]
    assert all(time(9, 15) <= t < time(11, 30) or time(13, 0) <= t <= time(14, 45) for t in times)
    assert times == sorted(times) and len(times) == len(set(times))
    assert minutes[0]["open"] == daily["open"] and minutes[-1]["close"] == daily["close"]
    assert max(m["high"] for m in minutes) == daily["high"] and min(m["low"] for m in minutes) == daily["low"]
    assert sum(m["volume"] for m in minutes) == daily["volume"]


def test_intraday_bounds_adjustment_and_limits(local):
    window = get(local, INTRADAY, symbol="FPT", start="2024-03-05 10:00", end="2024-03-05 10:04").json()["data"]
    assert [m["time"][11:16] for m in window] == ["10:00", "10:01", "10:02", "10:03", "10:04"]
    # Before a dividend, raw prices stand above the adjusted ones.
    day = local_service.last_trading_day(local_service._ex_rights_date("FPT") - timedelta(days=1)).isoformat()
    adjusted = get(local, INTRADAY, symbol="FPT", start=day, end=day).json()["data"]
    raw = get(local, INTRADAY, symbol="FPT", start=day, end=day, adjusted="false").json()["data"]
    assert raw[0]["close"] > adjusted[0]["close"]
    assert get(local, INTRADAY, symbol="FPT", start="2024-01-01", end="2024-03-01").status_code == 400
    assert get(local, INTRADAY, symbol="FPT", interval="5m").status_code == 422
    assert get(local, INTRADAY, symbol="FPT", adjusted="yes").status_code == 422


def test_order_book_covers_one_trading_day(local):
    book = get(local, ORDERBOOK, symbol="FPT", target_date="2024-03-05").json()["data"]
    assert {r["time"][:10] for r in book} == {"2024-03-05"}
    for r in book:
        assert r["bid_price_1"] < r["ask_price_1"] and r["price"] in (r["bid_price_1"], r["ask_price_1"])
    assert get(local, ORDERBOOK, symbol="FPT", target_date="2024-03-09").json() == {"data": [], "error": None}


def test_investor_payload_shapes_per_namespace(local):
    window = {"start": "2024-01-02", "end": "2024-01-03"}
    stock = post(local, "/market-data/investor/stock/flow", {"ids": ["VNM"], "group": "proprietary", **window}).json()
    assert [(r["symbol"], r["date"], r["group"]) for r in stock["data"]] == [
        ("VNM", "2024-01-02", "proprietary"), ("VNM", "2024-01-03", "proprietary")]
    market = get(local, "/market-data/investor/market/flow", ids="VNINDEX,VN30", **window).json()
    assert [r["symbol"] for r in market] == ["VNINDEX", "VNINDEX", "VN30", "VN30"]
    sector = post(local, "/market-data/investor/sector/breakdown", {"ids": ["8300"], **window}).json()
    assert list(sector) == ["8300"] and "icb" not in sector["8300"][0]
    row = sector["8300"][0]
    nets = ["foreign", "proprietary", "local_institutional", "local_individual"]
    assert sum(row[g + "_net_value"] for g in nets) == pytest.approx(0, abs=0.05)


@pytest.mark.parametrize("body, detail", [
    ({"ids": ["ZZZ"]}, "Unknown stock identifier(s): ZZZ"),
    ({"ids": []}, "ids must name at least one identifier"),
    ({"group": "foreign"}, "ids is required"),
    ({"ids": ["VNM"], "group": "retail"}, "Unknown investor group 'retail'"),
    ({"ids": ["VNM"], "interval": "2W"}, "Unsupported interval '2W'"),
])
def test_investor_requests_are_validated(local, body, detail):
    answer = post(local, "/market-data/investor/stock/flow", body)
    assert (answer.status_code, answer.json()) == (422, {"detail": detail})


@pytest.mark.parametrize("symbol, status, check", [
    ("FAULT-503", 503, lambda a: a.json() == {"detail": "Injected fault: HTTP 503"}),
    ("fault-500", 500, lambda a: a.json() == {"detail": "Injected fault: HTTP 500"}),
    ("FAULT-ERROR", 200, lambda a: a.json()["error"] == "Injected error for FAULT-ERROR"),
    ("FAULT-HTML", 200, lambda a: a.headers["Content-Type"] == "text/html" and a.text.startswith("<html>")),
    ("ZZZ", 200, lambda a: a.json() == {"data": [], "error": "Unknown symbol 'ZZZ'"}),
])
def test_faults_on_demand(local, symbol, status, check):
    answer = get(local, EOD, symbol=symbol)
    assert answer.status_code == status and check(answer)


def test_faults_reach_investor_and_statement_routes(local):
    assert post(local, "/market-data/investor/stock/flow", {"ids": ["FAULT-502"]}).status_code == 502
    assert get(local, "/market-data/investor/market/flow", ids="VNINDEX,FAULT-504").status_code == 504
    body = {"symbol": ["VNM", "FAULT-500"], "statement_id": 1, "start_year": 2022, "end_year": 2022, "period": "year"}
    assert post(local, "/reporting/statements/values", body).status_code == 500


def test_a_body_that_is_not_json_is_refused(local):
    answer = requests.post(local.base_url + "/reporting/statements/values", data=b"{oops", headers=AUTH, timeout=10)
    assert (answer.status_code, answer.json()) == (400, {"detail": "The body is not valid JSON."})


def test_stop_closes_the_socket():
    service = local_service.start()
    port = service._server.server_port
    assert get(service, EOD, symbol="VNM").status_code == 200
    service.stop()
    with pytest.raises(ConnectionRefusedError), socket.create_connection(("127.0.0.1", port), timeout=2):
        pass
    assert service.count(EOD) == 1


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_command_line_prints_its_url_and_key_and_serves_until_interrupted(sigint_raises):
    port = free_port()
    proc = subprocess.Popen([sys.executable, str(ROOT / "service" / "local_service.py"), "--port", str(port)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = f"http://127.0.0.1:{port}/api/v1/tessaro"
        assert proc.stdout.readline() == f"serving on {url}\n"
        assert proc.stdout.readline() == f"API key: {local_service.DEMO_API_KEY}\n"
        assert requests.get(url + EOD, params={"symbol": "VNM"}, headers=AUTH, timeout=10).status_code == 200
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and err == ""


# -- holding up as a server ----------------------------------------------------------------

BEARER = f"Authorization: Bearer {local_service.DEMO_API_KEY}\r\n"


def exchange(port, data, timeout=10):
    """Raw bytes sent on a new connection; the answer's status and body, read until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(data)
        answer = b"".join(iter(lambda: sock.recv(65536), b""))
    head, _, body = answer.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


def raw(path, headers="", body=b"", method="POST"):
    return f"{method} {BASE}{path} HTTP/1.1\r\n{headers}\r\n".encode() + body


def sized(path, body):
    return raw(path, f"{BEARER}Content-Length: {len(body)}\r\n", body)


VALUES, FLOW, DEEP = "/reporting/statements/values", "/market-data/investor/stock/flow", b"[" * 10**5 + b"]" * 10**5
MALFORMED = [  # (what, request, status)
    ("length abc", raw(VALUES, BEARER + "Content-Length: abc\r\n"), 400),
    ("length -1", raw(VALUES, BEARER + "Content-Length: -1\r\n"), 400),
    ("length 10^12", raw(VALUES, BEARER + "Content-Length: 1000000000000\r\n"), 413),
    ("length of 5000 digits", raw(VALUES, BEARER + f"Content-Length: {'9' * 5000}\r\n"), 413),
    ("chunked", raw(VALUES, BEARER + "Transfer-Encoding: chunked\r\n", b"2\r\n{}\r\n0\r\n\r\n"), 411),
    ("body shorter than its length", raw(VALUES, BEARER + "Content-Length: 10\r\n", b"{}"), 408),
    ("JSON 10^5 deep", sized(VALUES, DEEP), 400),
    ("2,000 ids over 30 years", sized(FLOW, json.dumps(
        {"ids": list(local_service.STOCKS) * 53, "start": "1996-01-01", "end": "2025-12-31"}).encode()), 422),
    ("statement rows", sized(VALUES, json.dumps({"symbol": ["VNM"] * 1000, "statement_id": 1, "start_year": 1995,
                                                  "end_year": 2025, "period": "quarter"}).encode()), 422),
    ("a statement symbol that is not text", sized(VALUES, b'{"symbol": [[]], "statement_id": 1, "start_year": 2020, '
                                                       b'"end_year": 2020, "period": "year"}'), 422),
    ("year 1", raw(EOD + "?symbol=VNM&end=0001-01-05", BEARER, method="GET"), 400),
    ("fault without the key", raw(EOD + "?symbol=FAULT-503", method="GET"), 401),
]


@pytest.fixture(scope="module")
def impatient():
    with local_service.LocalService(idle_timeout=0.5) as service:
        yield service


@pytest.mark.parametrize("request_bytes, status", [m[1:] for m in MALFORMED], ids=[m[0] for m in MALFORMED])
def test_malformed_requests_get_a_client_error_and_the_service_stays_up(impatient, request_bytes, status):
    answered, body = exchange(impatient._server.server_port, request_bytes)
    assert answered == status and "detail" in json.loads(body)
    assert get(impatient, EOD, symbol="VNM").status_code == 200


def test_an_idle_connection_is_closed(impatient):
    with socket.create_connection(("127.0.0.1", impatient._server.server_port), timeout=10) as sock:
        assert sock.recv(1) == b""  # closed by the server, long before this socket's own time-out


@pytest.mark.timing
def test_two_hundred_concurrent_requests_are_each_answered_within_a_second():
    # The service in a process of its own, so that the clients' threads do not slow it down.
    port = free_port()
    proc = subprocess.Popen([sys.executable, str(ROOT / "service" / "local_service.py"), "--port", str(port)],
                            stdout=subprocess.PIPE, text=True)
    request = raw("/reporting/meta/company-types/validate?symbol=VNM", BEARER, method="GET")
    together = threading.Barrier(200)

    def timed_request(_):
        together.wait(timeout=30)
        began = monotonic()
        return exchange(port, request, timeout=30)[0], monotonic() - began

    try:
        proc.stdout.readline()  # listening from here on
        with ThreadPoolExecutor(200) as pool:
            results = list(pool.map(timed_request, range(200)))
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
    assert [status for status, _ in results] == [200] * 200 and max(s for _, s in results) < 1.0
