"""Bulk fetching against the sequential batch, at the service's latency.

The local service runs in a process of its own with 30 ms of latency per
answer and 200 extra tickers (S000-S199), so that 200 distinct symbols have
bars.  Compared, in alternating rounds:

- `bulkfetch.fetch_eod` with 8 workers against `daybars.fetch_ohlcv` for the
  same 200 symbols (target: at least 4x), the frames asserted identical;
- the same bulk fetch with a gate attached whose rate never makes it wait,
  against the bulk fetch without one (reported: what the gate costs);
- 10,000 reservations of a gate of this process against the same bucket in
  plain Python (target: not slower), and of a Redis gate whose Redis is
  stopped against the gate of this process (reported: what an outage costs
  once it is known).

Run: python bench/bench_pace.py
"""

import hmac
import os
import pathlib
import subprocess
import sys
import threading
import time

SYMBOLS = [f"S{i:03d}" for i in range(200)]
LATENCY = 0.03
ROUNDS = 3
RESERVATIONS = 10_000
START, END = "2024-01-02", "2024-03-29"
ROOT = pathlib.Path(__file__).resolve().parent.parent


def serve():
    """The local service with the extra tickers, on a free port; prints its base URL."""
    sys.path.insert(0, str(ROOT / "service"))
    import local_service

    for i, symbol in enumerate(SYMBOLS):
        local_service.STOCKS[symbol] = ("HOSE", "8300", "non-financial", 10.0 + i)
    local_service.main(["--port", "0", "--latency", str(LATENCY)])


class PlainGate:
    """The gate of one process as plain Python writes it: a bucket per HMAC-named key, under a lock."""

    def __init__(self, rate, burst=1):
        self.interval = 1.0 / rate
        self.tolerance = self.interval * (burst - 1)
        self._mac = hmac.new(os.urandom(16).hex().encode(), digestmod="sha256")
        self._lock = threading.Lock()
        self._tat = {}

    def reserve(self, key, hold=0.0):
        mac = self._mac.copy()
        mac.update(key.encode())
        name = "pacegate:" + mac.hexdigest()
        with self._lock:
            now = time.monotonic()
            tat = self._tat.get(name, now)
            earliest = max(now + hold, tat - self.tolerance)
            self._tat[name] = max(tat, earliest) + self.interval
        return earliest - now


def reservations(gate):
    def run():
        for _ in range(RESERVATIONS):
            gate.reserve("Bearer demo-key")
    return run


def gate_rows(Row, best_of_alternating):
    """What a reservation costs, in this process and during a Redis outage."""
    from private_core import pacegate

    sys.path.insert(0, str(ROOT / "service"))
    from redis_server import RedisServer, redis_server_path

    ours, plain = pacegate.PaceGate(1e6, 1_000_000), PlainGate(1e6, 1_000_000)
    (ours_ns, plain_ns), _ = best_of_alternating(reservations(ours), reservations(plain), rounds=ROUNDS)
    rows = [Row(f"PaceGate.reserve x{RESERVATIONS} in this process vs plain Python", ours_ns, plain_ns, 1.0)]
    if redis_server_path() is None:
        return rows
    with RedisServer() as server:
        client = server.client()
        out = pacegate.PaceGate(1e6, 1_000_000, redis=client)
        server.stop()
        out.reserve("Bearer demo-key")  # the outage begins (one warning)
        (out_ns, local_ns), _ = best_of_alternating(reservations(out), reservations(ours), rounds=ROUNDS)
        client.close()
    rows.append(Row(f"PaceGate.reserve x{RESERVATIONS} with Redis down vs a gate of this process", out_ns, local_ns))
    return rows


def main():
    from _report import Row, best_of_alternating, report
    from private_core import bulkfetch, daybars, pacegate
    from private_core.wirelink import HttpSession

    server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve"], stdout=subprocess.PIPE,
                              text=True)
    try:
        base_url = server.stdout.readline().split()[-1]
        session = HttpSession("demo-key", base_url=base_url)
        gated = HttpSession("demo-key", base_url=base_url)
        pacegate.attach(gated, pacegate.PaceGate(100_000, 1_000))

        def sequential():
            return daybars.fetch_ohlcv(session, SYMBOLS, START, END, show_progress=False)

        def bulk():
            return bulkfetch.fetch_eod(session, SYMBOLS, START, END, workers=8, show_progress=False)

        def bulk_gated():
            return bulkfetch.fetch_eod(gated, SYMBOLS, START, END, workers=8, show_progress=False)

        bulk()  # connections warm
        (seq_ns, bulk_ns, gated_ns), frames = best_of_alternating(sequential, bulk, bulk_gated, rounds=ROUNDS)
        assert frames[0].equals(frames[1]) and frames[0].equals(frames[2]), "the bulk frame differs"
        assert frames[0]["symbol"].nunique() == len(SYMBOLS)
        session.close()
        gated.close()
    finally:
        server.kill()
        server.wait()
        server.stdout.close()

    rows = [
        Row("fetch_eod 200 symbols, 30 ms latency, 8 workers vs sequential fetch_ohlcv", bulk_ns, seq_ns, 4.0),
        Row("fetch_eod through a gate that never waits vs without", gated_ns, bulk_ns),
        *gate_rows(Row, best_of_alternating),
    ]
    return report("Bulk fetching at the service's latency", rows)


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    else:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        sys.exit(main())
