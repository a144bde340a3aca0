"""Load: many threads share one client's cache and one session for a few seconds,
with failing fetchers and cache clearing in the mix.  Only documented exceptions
come out, the store stays consistent and no registration is left behind."""

import random
import threading
import time
from datetime import timedelta

import private_core.ledgerbook as lb
from gates import Reply, all_records, assert_no_secret, exception_texts, json_reply, local_session, serving
from private_core.memoguard import BaseMemoguard
from private_core.memstore import CacheEntry
from tessaro.exceptions import DataDecodingError, HttpError

THREADS = 16
SECONDS = 3.0
SLOTS = [(ns, (symbol, "2024-01-02")) for ns in ("eod", "intraday") for symbol in ("VNM", "FPT", "HPG")]
DOCUMENTED = (HttpError, DataDecodingError)


class Client(BaseMemoguard):
    def __init__(self, session):
        super().__init__()
        self.session = session


def route(method, path, body):
    if path.endswith("/fail"):
        return json_reply({"detail": "overloaded"}, 503)
    if "/company-types/" in path:
        return Reply(200, b"<html>maintenance</html>", content_type="text/html")
    return Reply(200, b'{"data": []}', delay=0.02 if path.endswith("/slow") else 0.0)


def worker(client, seed, deadline, tally, unexpected):
    rng = random.Random(seed)
    session = client.session
    while time.monotonic() < deadline:
        ns, key = rng.choice(SLOTS)
        roll = rng.random()
        try:
            if roll < 0.55:
                path = "/market-data/slow" if rng.random() < 0.3 else "/market-data/ok"

                def fetcher(ns=ns, key=key, path=path):
                    session.get(path, params={"symbol": key[0]})
                    return (ns, key, threading.get_ident())

                data = client._fetch_with_cache(ns, key, live=rng.random() < 0.5, fetcher=fetcher,
                                                ttl_live=timedelta(seconds=0.5), ttl_history=None,
                                                params={"symbol": key[0]}, wait_timeout=0.2, wait_interval=0.005)
                assert data[:2] == (ns, key)
                tally["fetched"] += 1
            elif roll < 0.7:
                client._fetch_with_cache(ns, key, live=True, fetcher=lambda: session.get("/market-data/fail"),
                                         ttl_live=None, ttl_history=None, wait_timeout=0.05, wait_interval=0.005)
            elif roll < 0.8:
                client._fetch_with_cache(ns, key, live=False, fetcher=lambda: lb.validate_company_types(session, ["x"]),
                                         ttl_live=None, ttl_history=None, wait_timeout=0.05, wait_interval=0.005)
            elif roll < 0.9:
                client.clear_cache(ns)
                tally["cleared"] += 1
            else:
                client.clear_cache()
                tally["cleared"] += 1
        except DOCUMENTED as exc:
            tally["failed"] += 1
            if tally["failed"] % 10 == 1:
                tally["texts"].extend(exception_texts(exc))
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            unexpected.append(exc)
            return


def test_shared_client_under_load():
    with serving() as server, local_session(server.base_url) as session, all_records() as records:
        server.router = route
        client = Client(session)
        deadline = time.monotonic() + SECONDS
        tallies = [{"fetched": 0, "failed": 0, "cleared": 0, "texts": []} for _ in range(THREADS)]
        unexpected = []
        threads = [threading.Thread(target=worker, args=(client, seed, deadline, tallies[seed], unexpected))
                   for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(SECONDS + 30)
        assert not any(t.is_alive() for t in threads), "a caller never came back"
        assert not unexpected, repr(unexpected[:3])

        totals = {k: sum(t[k] for t in tallies) for k in ("fetched", "failed", "cleared")}
        assert all(totals.values()), totals  # every kind of operation happened
        cache = client._cache
        assert cache._inflight == {}
        for ns, entries in cache._store.items():
            for key, entry in entries.items():
                assert type(entry) is CacheEntry and entry.data[:2] == (ns, key)
                assert entry.params == {"symbol": key[0]}
    assert_no_secret(records + [text for t in tallies for text in t["texts"]])
