"""A small local stand-in for the market-data service, for the demo and tests.

It serves the API paths the native modules call, under the same base path, with
deterministic synthetic data, and checks the bearer token like the real
service. Standard library only; it listens on 127.0.0.1.

    python service/local_service.py --port 8765
"""

from __future__ import annotations

import argparse
import hashlib
import json
import threading
from datetime import date, timedelta
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

BASE_PATH = "/api/v1/tessaro"
DEMO_API_KEY = "demo-key"
BANKS = {"VCB", "BID", "CTG", "TCB", "MBB", "ACB", "VPB"}


def _seed(*parts: object) -> int:
    digest = hashlib.sha256("|".join(map(str, parts)).encode()).digest()
    return int.from_bytes(digest[:8], "big")


def company_types(symbols: list[str]) -> dict:
    return {"data": {s: ("bank" if s in BANKS else "non-financial") for s in symbols}}


def statement_values(body: dict) -> dict:
    rows = []
    for symbol in body.get("symbol", []):
        for year in range(int(body["start_year"]), int(body["end_year"]) + 1):
            base = _seed(symbol, body["statement_id"], year) % 90_000 + 10_000
            rows.append({"symbol": symbol, "year": year, "period": body["period"], "revenue": base * 1_000_000,
                         "net_income": base * 95_000})
    return {"data": rows}


def eod_bars(symbol: str, start: str | None, end: str | None) -> dict:
    last = date.fromisoformat(end) if end else date(2024, 3, 29)
    first = date.fromisoformat(start) if start else last - timedelta(days=30)
    price = 20 + _seed(symbol) % 80
    rows = []
    day = first
    while day <= last:
        if day.weekday() < 5:
            drift = (_seed(symbol, day) % 200 - 100) / 100
            open_ = price
            price = max(1.0, round(price + drift, 2))
            rows.append({"time": day.isoformat(), "open": open_, "high": max(open_, price) + 0.3,
                         "low": min(open_, price) - 0.3, "close": price, "volume": 100_000 + _seed(day, symbol) % 50_000})
        day += timedelta(days=1)
    return {"data": rows}


class Handler(BaseHTTPRequestHandler):
    server_version = "LocalMarketData/1.0"

    def log_message(self, format: str, *args: object) -> None:  # keep the demo's output clean
        pass

    def _send(self, status: int, payload: object) -> None:
        body = json.dumps(payload).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _route(self, method: str) -> None:
        url = urlsplit(self.path)
        if not url.path.startswith(BASE_PATH + "/"):
            return self._send(404, {"detail": "Not found"})
        path = url.path[len(BASE_PATH):]
        query = parse_qs(url.query)
        length = int(self.headers.get("Content-Length") or 0)
        body = json.loads(self.rfile.read(length) or b"{}") if length else {}

        if (method, path) == ("POST", "/auth/validate"):
            if body.get("apiKey") != DEMO_API_KEY:
                return self._send(401, {"detail": "Invalid API key."})
            messages = ["Welcome to the local market-data service."] if body.get("includeMessages") else []
            return self._send(200, {"valid": True, "plan": "demo", "messages": messages,
                                    "client_version": body.get("clientVersion")})
        if self.headers.get("Authorization") != f"Bearer {DEMO_API_KEY}":
            return self._send(401, {"detail": "Missing or invalid bearer token."})
        if (method, path) == ("GET", "/reporting/meta/company-types/validate"):
            return self._send(200, company_types(query.get("symbol", [])))
        if (method, path) == ("POST", "/reporting/statements/values"):
            return self._send(200, statement_values(body))
        if (method, path) == ("GET", "/market-data/eod/ohlcv"):
            symbol = query.get("symbol", [""])[0]
            return self._send(200, eod_bars(symbol, query.get("start", [None])[0], query.get("end", [None])[0]))
        return self._send(404, {"detail": f"No route for {method} {path}"})

    def do_GET(self) -> None:
        self._route("GET")

    def do_POST(self) -> None:
        self._route("POST")


def start(port: int = 0) -> tuple[ThreadingHTTPServer, str]:
    """Starts the service in a daemon thread; returns the server and its base URL."""
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_port}{BASE_PATH}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8765)
    port = parser.parse_args().port
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    print(f"serving on http://127.0.0.1:{port}{BASE_PATH} (API key: {DEMO_API_KEY})")
    server.serve_forever()


if __name__ == "__main__":
    main()
