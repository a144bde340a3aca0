"""Cost of the price fetchers' batch loop and of symbol cleaning.

A batch of 200 symbols with 1,000 daily bars each is fetched from a local
HTTP server running in a child process, which answers every request with a
body encoded before the timing starts, so the server stays off the critical
path as far as it can.  Compared, in alternating rounds:

- `fetch_ohlcv` with the frame builder and the resampler replaced by functions
  that return their input: the fetcher's own work (session, payload checks,
  rows tagged with their symbol) on top of the transport;
- a plain loop of `requests.Session.get` and `.json()` over the same URLs:
  the floor no client can beat;
- the full `fetch_ohlcv`, with the real frame helpers, and the plain loop
  keeping every decoded answer (both reported only: the second shows what
  holding a batch in memory costs before any row is made).

And `_normalize_symbols` on 1,000 mixed-case, padded symbols with duplicates
against the same rules written in plain Python.

Run: python bench/bench_prices.py
"""

import json
import os
import socket
import subprocess
import sys
import threading
from typing import Sequence
from urllib.parse import parse_qs, urlsplit

SYMBOLS = 200
ROWS = 1_000
ROUNDS = 15
PREFIX = "/api/v1/tessaro"


# -- the server (child process) ----------------------------------------------------


def _bodies():
    out = {}
    for s in range(SYMBOLS):
        rows = []
        price = 10.0 + s
        for d in range(ROWS):
            day = f"{2020 + d // 336}-{1 + d // 28 % 12:02d}-{1 + d % 28:02d}"
            rows.append({"time": day, "open": price, "high": price + 0.5, "low": price - 0.5,
                         "close": round(price + 0.1, 2), "volume": 1000 + d})
            price = round(price * 1.001, 3)
        body = json.dumps({"error": None, "data": rows}).encode()
        head = f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
        out[f"S{s:03d}"] = head.encode() + body
    return out


def _serve_connection(conn, answers):
    buffer = b""
    with conn:
        while True:
            while b"\r\n\r\n" not in buffer:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                buffer += chunk
            head, buffer = buffer.split(b"\r\n\r\n", 1)
            target = head.split(b" ", 2)[1].decode()
            symbol = parse_qs(urlsplit(target).query).get("symbol", [""])[0]
            conn.sendall(answers.get(symbol, b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"))


def serve():
    answers = _bodies()
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=_serve_connection, args=(conn, answers), daemon=True).start()


# -- the client --------------------------------------------------------------------


def normalize_py(symbols):
    """The symbol rules in plain Python."""
    if isinstance(symbols, str):
        cleaned = symbols.strip()
        if not cleaned:
            raise ValueError("symbol must not be empty.")
        return [cleaned.upper()]
    if not isinstance(symbols, Sequence) or isinstance(symbols, bytes):
        raise TypeError("symbol must be a string or a sequence of strings.")
    result = []
    seen = set()
    for element in symbols:
        if not isinstance(element, str):
            raise TypeError("All symbols in the sequence must be strings.")
        cleaned = element.strip()
        if not cleaned:
            continue
        symbol = cleaned.upper()
        if symbol in seen:
            continue
        seen.add(symbol)
        result.append(symbol)
    if not result:
        raise ValueError("symbol sequence must contain at least one non-empty string.")
    return result


def per_call(fn, arg, n):
    def run():
        for _ in range(n):
            fn(arg)
    return run


def main():
    import requests

    from _report import Row, best_of_alternating, report
    from private_core import daybars, progress
    from private_core.wirelink import HttpSession

    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve"], stdout=subprocess.PIPE,
                              text=True)
    try:
        port = int(server.stdout.readline())
        base = f"http://127.0.0.1:{port}{PREFIX}"
        symbols = [f"S{s:03d}" for s in range(SYMBOLS)]
        # Figures for redirected output: a meter on the terminal would add its drawing.
        progress._isatty = lambda: False

        session = HttpSession("bench-key", base_url=base)
        plain = requests.Session()
        plain.headers.update(session._session.headers)
        url = base + daybars.ENDPOINT

        def floor():
            for symbol in symbols:
                plain.get(url, params={"symbol": symbol, "interval": "1D"}, timeout=30).json()

        def floor_kept():
            return [plain.get(url, params={"symbol": symbol, "interval": "1D"}, timeout=30).json()
                    for symbol in symbols]

        real = (daybars._to_dataframe, daybars.resample_ohlcv_multi)

        def identity_helpers():
            daybars._to_dataframe = lambda rows: rows
            daybars.resample_ohlcv_multi = lambda frame, interval: frame
            try:
                return daybars.fetch_ohlcv(session, symbols)
            finally:
                daybars._to_dataframe, daybars.resample_ohlcv_multi = real

        def full():
            return daybars.fetch_ohlcv(session, symbols)

        # Connections and caches warm; both fetches give every row.
        assert len(identity_helpers()) == len(full()) == SYMBOLS * ROWS
        floor()
        (ours, reference, complete, kept), _ = best_of_alternating(identity_helpers, floor, full, floor_kept,
                                                                   rounds=ROUNDS)
        session.close()
        plain.close()
    finally:
        server.kill()
        server.wait()

    mixed = [f"  {'vnm fpt hpg acb mwg'.split()[i % 5]}{i % 400}\t".swapcase() if i % 3 else f"s{i % 400} "
             for i in range(1_000)]
    assert daybars._normalize_symbols(mixed) == normalize_py(mixed)
    (norm_ours, norm_ref), _ = best_of_alternating(per_call(daybars._normalize_symbols, mixed, 200),
                                                   per_call(normalize_py, mixed, 200), rounds=ROUNDS)

    rows = [
        # The rows handed to _to_dataframe (a new dict per bar, as the Python
        # rendering's {"symbol": ..., **bar}) cost about a tenth of the floor.
        Row(f"fetch_ohlcv {SYMBOLS}x{ROWS} rows, helpers as identity vs get+json", ours, reference, 0.9),
        Row(f"fetch_ohlcv {SYMBOLS}x{ROWS} rows, real helpers vs get+json", complete, reference),
        # What holding every answer costs by itself, without a row made.
        Row("get+json keeping every answer vs get+json", kept, reference),
        Row("_normalize_symbols, 1,000 symbols", norm_ours / 200, norm_ref / 200, 3.0),
    ]
    return report("Price fetchers", rows)


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    else:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        sys.exit(main())
