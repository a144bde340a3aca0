"""The interpreter exits cleanly while daemon threads wait inside native calls.

At exit the interpreter ends every daemon thread that wakes up and asks for the
GIL back; the thread unwinds through the native frames below it without a
thread state.  Each case starts daemon threads in one kind of native wait in a
child process, lets them settle at a different moment on each run, and exits:
the child must end with status 0 every time, never with a signal.
"""

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import SANITIZED

# Each of the five settling moments twice; once under the sanitizers, whose
# children take seconds each to start and check memory, not timing, here.
RUNS = 5 if SANITIZED else 10
# Seconds one child may take, interpreter start and imports included, on a loaded machine.
CHILD_TIMEOUT = 60

# Runs in every child: argv[1] is the run's number, argv[2] the local service's base URL,
# argv[3] its API key and argv[4] the Redis port.  `busy` is set by the first thread once it is inside its wait;
# `main_exit()` then sleeps a run-dependent moment and lets the interpreter finish.
PRELUDE = """
import sys, threading, time
from datetime import timedelta
RUN, BASE_URL, API_KEY, REDIS_PORT = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
busy = threading.Event()

def daemon(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()

def main_exit():
    assert busy.wait(30), "no thread reached its wait"
    time.sleep(0.02 * (RUN % 5))

def session():
    from private_core.wirelink import HttpSession
    return HttpSession(API_KEY, base_url=BASE_URL)

def slow_fetch():
    busy.set()
    time.sleep(60)

def cached(client, fetcher, wait_timeout=60.0, wait_interval=0.01):
    return client._fetch_with_cache("eod", ("VNM",), live=False, fetcher=fetcher, ttl_live=timedelta(minutes=1),
                                    ttl_history=None, wait_timeout=wait_timeout, wait_interval=wait_interval)
"""

CASES = {
    # A fetcher (inside the native call, in Python) and waiters polling its slot with sleeps.
    "memoguard fetcher and waiters": """
        from private_core.memoguard import BaseMemoguard
        client = BaseMemoguard()
        daemon(cached, client, slow_fetch)
        busy.wait(30)
        for _ in range(4):
            daemon(cached, client, slow_fetch)
        main_exit()
    """,
    # Closing actions that run while a failure is being handled (a finally
    # block, an __exit__), sleeping in Python when the exit comes.
    "finally after a failure": """
        from private_core import _runtime_probe as probe
        def fail():
            raise KeyError("the body failed")
        def closing():
            busy.set()
            while True:
                time.sleep(0.001)
        for _ in range(2):
            daemon(probe.try_finally, fail, closing)
        main_exit()
    """,
    # Waiters on a slot another store holds, polling Redis.
    "RedisStore waiters": """
        import redis
        from private_core.memoguard import BaseMemoguard
        from private_core.redisstore import RedisStore
        server = redis.Redis(host="127.0.0.1", port=REDIS_PORT)
        holder = RedisStore(server, f"exit{RUN}")
        assert holder._begin_inflight("eod", ("VNM",))
        def waiter():
            client = BaseMemoguard()
            client._cache = RedisStore(server, f"exit{RUN}")
            busy.set()
            cached(client, slow_fetch)
        for _ in range(4):
            daemon(waiter)
        main_exit()
    """,
    # A bulk fetch's calling thread and its workers, requests in flight.
    "bulk fetch workers": """
        from private_core import bulkfetch
        def loop():
            s = session()
            busy.set()
            while True:
                bulkfetch.fetch_eod(s, ["VNM", "FPT", "HPG", "VCB", "MWG", "SSI"], workers=3, show_progress=False)
        daemon(loop)
        main_exit()
    """,
    # Threads waiting in the gate's sleeps for their turn.
    "pace-gate waits": """
        from private_core.pacegate import PaceGate
        gate = PaceGate(rate=20.0, burst=1)
        def loop():
            busy.set()
            while True:
                gate.acquire("key")
        for _ in range(3):
            daemon(loop)
        main_exit()
    """,
    # A plain fetch loop against a service in another process.
    "plain fetch loop": """
        from private_core import daybars
        def loop():
            s = session()
            busy.set()
            while True:
                daybars.fetch_ohlcv(s, ["VNM", "FPT"], show_progress=False)
        for _ in range(2):
            daemon(loop)
        main_exit()
    """,
}


@pytest.fixture(scope="module")
def service(local):
    """The local service of this process, answering slowly enough that the fetching threads wait for it at exit.

    Not while they build frames: numpy's hashing `unique` (pandas calls it on a column assignment)
    aborts the process when the interpreter ends its thread there, in plain Python as well.
    """
    local.latency = 0.3
    return local


def run_child(code, run, service, redis_port):
    argv = [sys.executable, "-P", "-c", code, str(run), service.base_url, service.api_key, str(redis_port)]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=CHILD_TIMEOUT,
                              env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    except subprocess.TimeoutExpired:
        return run, "timed out", ""
    return run, done.returncode, done.stderr[:3000]


@pytest.mark.parametrize("case", CASES)
def test_exit_is_clean_with_daemon_threads_in_native_waits(case, service, request):
    redis_port = 0
    if case.startswith("RedisStore"):
        pytest.importorskip("redis")
        server = request.getfixturevalue("redis_server")
        server.start()  # another test on this worker may have stopped it
        redis_port = server.port
    code = PRELUDE + textwrap.dedent(CASES[case])
    # Two children at a time: the crash depends on timing, not on load.
    with ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(lambda run: run_child(code, run, service, redis_port), range(RUNS)))
    failed = [(run, status, err) for run, status, err in outcomes if status != 0]
    assert not failed, f"{len(failed)}/{RUNS} children failed; first: status {failed[0][1]}\n{failed[0][2]}"
