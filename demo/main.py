"""A tour of the native core against the built-in local service.

Starts the local service on a free port of 127.0.0.1, then validates an API key,
asks for company types and statement values, routes a fetch through the
per-client cache and downloads a small batch under the progress meter.
"""

from __future__ import annotations

import logging
import pathlib
import sys
import time

import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "service"))

import local_service  # noqa: E402
from private_core import keygate, ledgerbook, memoguard, progress, ttlrules, wirelink  # noqa: E402
from tessaro.exceptions import ApiKeyValidationError  # noqa: E402

SYMBOLS = ["vnm", " fpt", "vcb ", "hpg", "mwg", "ssi", "tcb", "msn"]


class DemoClient(memoguard.BaseMemoguard):
    """What the public client does: one session, one cache, fetches routed through it."""

    def __init__(self, session: wirelink.HttpSession) -> None:
        super().__init__()
        self.session = session
        self.requests_sent = 0

    def statements(self, symbols: list[str], start_year: int, end_year: int) -> pd.DataFrame:
        def fetch() -> pd.DataFrame:
            self.requests_sent += 1
            answer = ledgerbook.fetch_statement_values(
                self.session, symbols=symbols, statement_id=1, start_year=start_year, end_year=end_year, period="year"
            )
            return pd.DataFrame(answer["data"])

        return self._fetch_with_cache(
            "statements",
            (tuple(symbols), start_year, end_year),
            live=ttlrules.touches_latest_trading_day(f"{end_year}-12-31"),
            fetcher=fetch,
            ttl_live=ttlrules.ttl_eod_latest(),
            ttl_history=ttlrules.ttl_eod_history(),
        )


def main() -> None:
    logging.basicConfig(level=logging.WARNING, format="  log %(levelname)s %(name)s: %(message)s")
    server, base_url = local_service.start()
    print(f"local service at {base_url}\n")

    with wirelink.HttpSession("wrong-key", base_url=base_url, version="1.0.0") as bad:
        try:
            keygate.validate_api_key(bad, client_version="1.0.0")
        except ApiKeyValidationError as exc:
            print(f"wrong key refused: {exc}")

    with wirelink.HttpSession(local_service.DEMO_API_KEY, base_url=base_url, version="1.0.0") as session:
        answer = keygate.validate_api_key(session, client_version="1.0.0")
        print(f"key accepted: valid={answer.valid} plan={answer.plan} messages={answer.messages}\n")

        types = ledgerbook.validate_company_types(session, SYMBOLS)
        print("company types:", types["data"], "\n")

        client = DemoClient(session)
        for attempt in (1, 2):
            started = time.perf_counter()
            values = client.statements(["VNM", "FPT"], 2021, 2023)
            spent = (time.perf_counter() - started) * 1e3
            print(f"statements, call {attempt}: {len(values)} rows in {spent:.2f} ms "
                  f"(requests sent so far: {client.requests_sent})")
        print(values.to_string(index=False), "\n")

        rows = 0
        progress.start_progress(len(SYMBOLS), "Statements")
        for done, symbol in enumerate(SYMBOLS, start=1):
            rows += len(ledgerbook.fetch_statement_values(
                session, symbols=[symbol], statement_id=2, start_year=2015, end_year=2024, period="quarter"
            )["data"])
            time.sleep(0.15)  # a visible pace for the meter
            progress.update_progress(done)
        progress.finish_progress()
        print(f"batch done: {rows} statement rows for {len(SYMBOLS)} symbols")

    server.shutdown()


if __name__ == "__main__":
    main()
