"""A tour of the native core against the built-in local service.

Starts the local service on a free port of 127.0.0.1 and, through the small
client in client.py, validates API keys, downloads a batch of end-of-day bars,
intraday bars, an order book, investor flows and statement values, shows
the per-client cache at work, then a cache shared by worker processes through
a Redis it starts for the purpose, fetches a batch through a pace gate under a
second service's quota, and keeps two years of history on disk, refreshed the
next day. Stops the services at the end.
"""

from __future__ import annotations

import contextlib
import io
import logging
import os
import pathlib
import sys
import tempfile
import threading
import time
from datetime import date, datetime, timedelta, timezone
from typing import Callable, Iterator

import pandas as pd

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "service")]

import local_service  # noqa: E402
from client import MarketClient, built  # noqa: E402
from private_core import bulkfetch, pacegate  # noqa: E402
from private_core.wirelink import HttpSession  # noqa: E402
from tessaro.exceptions import ApiKeyValidationError  # noqa: E402

DAY = "2024-03-05"
INDENT = "    "


def heading(text: str) -> None:
    print(f"\n== {text}")


def say(text: str) -> None:
    print(INDENT + text, flush=True)


def table(frame: pd.DataFrame, rows: int = 6) -> None:
    text = frame.head(rows).to_string(index=False, float_format=lambda v: f"{v:,.2f}")
    for line in text.splitlines():
        say(line)


def timed(call: Callable[[], pd.DataFrame]) -> tuple[pd.DataFrame, float]:
    started = time.perf_counter()
    frame = call()
    return frame, (time.perf_counter() - started) * 1e3


def skipped(feature: str, module: str) -> bool:
    if built()[feature]:
        return False
    say(f"(skipped: {module} is not built in this checkout)")
    return True


def keys(service: local_service.LocalService) -> None:
    heading("API key validation")
    with MarketClient("wrong-key", base_url=service.base_url) as bad:
        say("a wrong key first; the error the module logs just below is expected:")
        try:
            bad.validate_key()
        except ApiKeyValidationError as exc:
            say(f"wrong key refused: {exc}")
    with MarketClient(service.api_key, base_url=service.base_url) as client:
        answer = client.validate_key()
        say(f"demo key accepted: valid={answer.valid} plan={answer.plan}")


def prices(client: MarketClient) -> None:
    heading(f"End-of-day bars: {len(local_service.VN30)} symbols, 2024-01-02 to 2024-03-29")
    if not skipped("eod", "private_core.daybars"):
        bars, ms = timed(lambda: client.eod(local_service.VN30, start="2024-01-02", end="2024-03-29"))
        say(f"{len(bars)} bars in {ms:.0f} ms; closes of the last three sessions (thousand VND):")
        closes = bars.pivot(index="time", columns="symbol", values="close").tail(3)
        closes.index = closes.index.strftime("%Y-%m-%d")
        table(closes.iloc[:, :10].reset_index())

    heading(f"Intraday: VNM one-minute bars of {DAY} resampled to 5 minutes")
    if not skipped("intraday", "private_core.ticklane.fetch_ohlcv"):
        bars = client.intraday("VNM", start=DAY, end=DAY, interval="5m")
        say(f"{len(bars)} bars; the first five:")
        table(bars.assign(time=bars["time"].dt.strftime("%H:%M")), 5)

    heading(f"Order book: FPT on {DAY}")
    if not skipped("orderbook", "private_core.ticklane.fetch_orderbook"):
        book = client.orderbook("FPT", target_date=DAY)
        say(f"{len(book)} matched orders; the first five with the best bid and ask:")
        columns = ["time", "side", "price", "volume", "bid_price_1", "ask_price_1"]
        table(book.assign(time=book["time"].dt.strftime("%H:%M:%S"))[columns], 5)


def investors(client: MarketClient) -> None:
    heading("Investor flows: foreign trading in VNM and FPT, weekly, February 2024 (million VND)")
    if skipped("investor", "private_core.investor.bridgework"):
        return
    flows = client.investor_flows("stock", "flow", ["VNM", "FPT"], group="foreign", start="2024-02-01",
                                  end="2024-02-29", interval="1W")
    flows = flows.assign(date=flows["date"].dt.strftime("%Y-%m-%d"))
    table(flows[["symbol", "date", "buy_value", "sell_value", "net_value"]], 10)
    market = client.investor_flows("market", "flow", "VNINDEX", start="2024-02-01", end="2024-02-29")
    say(f"VNINDEX daily flows: {len(market)} rows (this path takes GET only: the bridge fell back from POST)")


def statements(client: MarketClient) -> None:
    heading("Statement values: income statements of VNM and FPT (million VND)")
    table(client.statements(["VNM", "FPT"], statement_id=1, start_year=2021, end_year=2023))


def cache(client: MarketClient, service: local_service.LocalService) -> None:
    heading("The cache at work")
    path = "/reporting/statements/values"
    symbols = local_service.VN30[:10]
    ask = lambda: client.statements(symbols, statement_id=2, start_year=2015, end_year=2024)  # noqa: E731
    before = service.count(path)
    _, first_ms = timed(ask)
    _, second_ms = timed(ask)
    say(f"balance sheets of 10 companies: first call {first_ms:.1f} ms, identical second call "
        f"{second_ms:.3f} ms; requests to the service: {service.count(path) - before}")

    service.latency = 0.2  # a slow answer, so that the eight callers surely overlap
    before = service.count(path)
    start, frames = threading.Barrier(8), []

    def caller() -> None:
        start.wait()
        frames.append(client.statements(symbols, statement_id=3, start_year=2015, end_year=2024))

    threads = [threading.Thread(target=caller) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    service.latency = 0.0
    same = all(frame is frames[0] for frame in frames)
    say(f"8 threads asking for one frame at once: requests to the service: {service.count(path) - before}, "
        f"{'one shared frame' if same else 'different frames'}")


def shared_cache(service: local_service.LocalService) -> None:
    heading("A cache shared by worker processes through Redis")
    from redis_server import RedisServer, redis_server_path

    if redis_server_path() is None:
        say("(skipped: redis-server is not installed; `make demo` installs it where the machine allows)")
        return
    try:
        import pyarrow  # noqa: F401
        import redis  # noqa: F401
    except ImportError:
        say("(skipped: the optional packages redis and pyarrow are not installed: pip install 'private-core[redis]')")
        return
    from fleet import run_fleet

    path, workers, symbols = "/market-data/eod/ohlcv", 4, local_service.VN30[:12]
    counts: list[int] = []
    service.latency = 0.02  # a service that takes its time, so that the workers overlap
    before = service.count(path)
    with RedisServer() as server:
        reports = run_fleet(service.base_url, service.api_key, server.url, symbols, workers=workers, rounds=2,
                            between_rounds=lambda _: counts.append(service.count(path) - before))
    service.latency = 0.0
    say(f"{workers} worker processes, each with its own client, ask for the end-of-day bars of "
        f"{len(symbols)} symbols at once:")
    say(f"first round: {counts[0]} requests to the service, one per symbol; second round, each worker's "
        f"own copies forgotten and served by Redis: {counts[1] - counts[0]} requests")
    same = len({tuple(prints) for _, prints in reports}) == 1
    say("every worker got the same frames" if same else "the workers got different frames")


def pace() -> None:
    quota = 20
    heading(f"At the service's pace: {len(local_service.VN30)} symbols by 8 workers, under a quota of "
            f"{quota} requests per second")
    with local_service.LocalService(quota=quota) as service, \
            HttpSession(service.api_key, base_url=service.base_url) as session:
        # A little under the quota: requests granted back to back arrive with some jitter.
        pacegate.attach(session, pacegate.PaceGate(quota - 1))
        bars, ms = timed(lambda: bulkfetch.fetch_eod(session, local_service.VN30, start="2024-01-02",
                                                     end="2024-03-29", show_progress=False))
        refused = sum(1 for request in service.requests if request.status == 429)
    say(f"{len(bars)} bars in {ms:.0f} ms through a gate of {quota - 1} requests per second; "
        f"answers of 429 the gate's retries waited out: {refused}, reaching the caller: none")


@contextlib.contextmanager
def exchange_days() -> Iterator[None]:
    """Local days are the exchange's (UTC+7) for a while, whatever zone the machine is in."""
    before = os.environ.get("TZ")
    os.environ["TZ"] = "ICT-7"
    time.tzset()
    try:
        yield
    finally:
        if before is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = before
        time.tzset()


def evening(day: date) -> Callable[[], float]:
    """A clock stopped at 21:00 in Vietnam on ``day``: the day's session has closed."""
    moment = datetime(day.year, day.month, day.day, 21, tzinfo=timezone(timedelta(hours=7))).timestamp()
    return lambda: moment


def incremental_history() -> None:
    from private_core import daybars, history
    from private_core.diskstore import DiskStore

    day, next_day = date(2025, 12, 5), date(2025, 12, 8)  # a Friday and the Monday after
    symbols, start = sorted(local_service.STOCKS), (day - timedelta(days=731)).isoformat()
    heading(f"History kept on disk: {len(symbols)} symbols from {start}, refreshed the next trading day")
    path = "/market-data/eod/ohlcv"
    with exchange_days(), tempfile.TemporaryDirectory() as directory, \
            local_service.LocalService(today=day) as service, \
            HttpSession(service.api_key, base_url=service.base_url) as session:

        def run(label: str, store: DiskStore, today: date) -> pd.DataFrame:
            service.set_today(today)
            asked, rows = service.count(path), service.rows_served.get(path, 0)
            frame, ms = timed(lambda: history.fetch_ohlcv(session, symbols, start, store=store, now=evening(today),
                                                          show_progress=False))
            say(f"{label}: {len(frame)} bars in {ms:.0f} ms; the service served {service.count(path) - asked} "
                f"requests and {service.rows_served.get(path, 0) - rows} rows")
            return frame

        run(f"{day} (store empty)", DiskStore(directory), day)
        run(f"{day}, a new store on the same directory (a restart)", DiskStore(directory), day)
        frame = run(f"{next_day}, the next trading day", DiskStore(directory), next_day)
        say("the next day asks each symbol for its last final bar and the new one; STB went ex-rights on "
            "2025-12-06, so its adjusted history was revised and came again whole")
        same = frame.equals(daybars.fetch_ohlcv(session, symbols, start, show_progress=False))
        say("the frame is daybars.fetch_ohlcv's for the same arguments" if same else "the frames differ")


def main() -> None:
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)  # keeps log lines (stderr) in place when piped
    logging.basicConfig(level=logging.WARNING, format=INDENT + "log %(levelname)s %(name)s: %(message)s")
    pd.set_option("display.width", 120)
    with local_service.LocalService() as service:
        print(f"Local market-data service at {service.base_url} (API key {service.api_key})")
        keys(service)
        with MarketClient(service.api_key, base_url=service.base_url) as client:
            prices(client)
            investors(client)
            statements(client)
            cache(client, service)
        shared_cache(service)
        pace()
        incremental_history()
    print("\nService stopped.")


if __name__ == "__main__":
    main()
