"""Refreshing stored history against fetching the range again, at the service's latency.

Two local services run in processes of their own with 30 ms of latency per
answer: one dated D, one dated the next trading day.  Each answer also costs
the service's per-row work: the local service spends about 90 us of CPU
making a row (measured below and printed), and `--row-cost` adds a further
wait per row that models a remote service's reading and sending (see ROW_COST).
History for the service's 38 symbols over two years is stored from the first
service; then, in alternating rounds, on the next day:

- `history.fetch_ohlcv` refreshing a copy of that store (one request per
  symbol, a few rows each) against `daybars.fetch_ohlcv` fetching the same
  range again (target: at least 20x), the frames asserted identical;
- the same refresh against `bulkfetch.fetch_eod`
  (reported).

Both fetchers run WORKERS (16) workers.

Run: python bench/bench_history.py
"""

import os
import pathlib
import subprocess
import sys
import time
from datetime import date, datetime, time as day_time, timedelta, timezone

LATENCY = 0.03
# The real service reads each row from its store and serialises it; we model that
# as 0.1 ms per row, the cost the local service itself documents for making a row
# (and measures at about 90 us on the reference machine), spent as a wait so that
# it does not take the client's cores as a remote service would not.
ROW_COST = 0.0001
ROUNDS = 3
# Requests in flight at once, for the refresh and the bulk fetch alike: the
# refresh's 38 small requests then go out in three waves instead of five.
WORKERS = 16
DAY = date(2025, 12, 11)  # no ex-rights date falls between the two days
NEXT_DAY = date(2025, 12, 12)
START = "2023-12-11"
ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "service"))


def start_service(today):
    server = subprocess.Popen(
        [sys.executable, str(ROOT / "service" / "local_service.py"), "--port", "0", "--latency", str(LATENCY),
         "--row-cost", str(ROW_COST), "--today", today.isoformat()], stdout=subprocess.PIPE, text=True)
    return server, server.stdout.readline().split()[-1]


def evening(day):
    """21:00 in Vietnam on ``day``: the day's bars are final."""
    moment = datetime.combine(day, day_time(21, 0), timezone(timedelta(hours=7))).timestamp()
    return lambda: moment


def row_making_cost_us():
    import local_service

    days = local_service.trading_days(date(2024, 1, 1), date(2024, 12, 31))
    t0 = time.perf_counter()
    for day in days:
        local_service.daily_bar("VNM", day)
    return (time.perf_counter() - t0) / len(days) * 1e6


def main():
    import local_service
    from _report import Row, best_of_alternating, report
    from private_core import bulkfetch, daybars, history
    from private_core.memstore import _Cache
    from private_core.wirelink import HttpSession

    os.environ["TZ"] = "ICT-7"  # local days are the exchange's
    time.tzset()
    symbols = sorted(local_service.STOCKS)
    servers = [start_service(DAY), start_service(NEXT_DAY)]
    try:
        today = HttpSession("demo-key", base_url=servers[0][1])
        tomorrow = HttpSession("demo-key", base_url=servers[1][1])
        primed = _Cache()
        history.fetch_ohlcv(today, symbols, START, store=primed, now=evening(DAY), show_progress=False)
        records = {s: primed.get(history.NAMESPACE, (s,)).data for s in symbols}

        def refresh():
            store = _Cache()
            for symbol, record in records.items():
                store.set(history.NAMESPACE, (symbol,), record)
            return history.fetch_ohlcv(tomorrow, symbols, START, store=store, now=evening(NEXT_DAY),
                                       workers=WORKERS, show_progress=False)

        def sequential():
            return daybars.fetch_ohlcv(tomorrow, symbols, START, show_progress=False)

        def bulk():
            return bulkfetch.fetch_eod(tomorrow, symbols, START, workers=WORKERS, show_progress=False)

        bulk()  # connections warm
        (refresh_ns, seq_ns, bulk_ns), frames = best_of_alternating(refresh, sequential, bulk, rounds=ROUNDS)
        assert frames[0].equals(frames[1]) and frames[0].equals(frames[2]), "the refreshed frame differs"
        rows = len(frames[0])
        today.close()
        tomorrow.close()
    finally:
        for server, _ in servers:
            server.kill()
            server.wait()
            server.stdout.close()

    print(f"{len(symbols)} symbols, {rows} rows; the local service makes a row in {row_making_cost_us():.0f} us")
    table = [
        Row("refresh 38 symbols x 2 years the next day vs fetch_ohlcv of the range", refresh_ns, seq_ns, 20.0),
        Row("the same refresh vs bulkfetch.fetch_eod of the range, 16 workers", refresh_ns, bulk_ns),
    ]
    return report("History refreshed incrementally (30 ms latency, 0.1 ms per row)", table)


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
