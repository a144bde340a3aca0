"""The shared cache where clocks, processes and Redis misbehave: time zones, forks, paused and lapsed holders."""

import logging
import os
import subprocess
import sys
import threading
import time
import warnings
import weakref
from concurrent.futures import ThreadPoolExecutor

import pandas as pd
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("redis")

from redis.backoff import ExponentialBackoff, NoBackoff  # noqa: E402
from redis.retry import Retry  # noqa: E402

from private_core.redisstore import RedisStore  # noqa: E402

pytestmark = pytest.mark.timing

FRAME = pd.DataFrame({"close": [66.5, 115.0]})
OLD, NEW = FRAME.assign(close=[1.0, 1.0]), FRAME.assign(close=[2.0, 2.0])
LIFETIME = 1.5

# One process of the time-zone test: writes an entry, or reads it at once and
# again a little after its lifetime; prints what it saw.
ROLE = """
import sys, time
from datetime import datetime, timedelta
import redis
from private_core.redisstore import RedisStore
role, port, lifetime = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
store = RedisStore(redis.Redis(port=port), "tz")
if role == "write":
    store.set("eod", ("VNM",), [1, 2], ttl=timedelta(seconds=lifetime))
    print(time.time(), flush=True)
else:
    written = float(sys.stdin.readline())
    entry = store.get("eod", ("VNM",))
    left = None if entry is None else (entry.expires_at - datetime.now()).total_seconds()
    time.sleep(max(0.0, written + lifetime + 0.6 - time.time()))
    print(left, store.get("eod", ("VNM",)) is None, flush=True)
"""


def in_zone(zone):
    return dict(os.environ, TZ=zone)


@pytest.mark.parametrize("writer_zone, reader_zone", [("UTC", "Asia/Ho_Chi_Minh"), ("Asia/Ho_Chi_Minh", "UTC")])
def test_processes_in_other_time_zones_agree_on_expiry(redis_server, redis_client, writer_zone, reader_zone):
    command = [sys.executable, "-P", "-c", ROLE]
    args = [str(redis_server.port), str(LIFETIME)]
    reader = subprocess.Popen(command + ["read"] + args, env=in_zone(reader_zone), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        written = subprocess.run(command + ["write"] + args, env=in_zone(writer_zone), capture_output=True,
                                 text=True, timeout=60, check=True).stdout
        left, gone = reader.communicate(written, timeout=60)[0].split()
    finally:
        reader.kill()
        reader.wait()
    assert left != "None", "the reader was not served the fresh entry"
    # Its expiry in the reader's own local time: what is left of the lifetime, not hours more or less.
    assert 0 < float(left) <= LIFETIME
    assert gone == "True", "the reader kept the entry past its lifetime"


def test_a_forked_child_and_its_parent_never_both_fetch_one_slot(redis_server, redis_client):
    lease = 0.3
    store = RedisStore(redis_server.client(), "fork", lease=lease)
    assert store._begin_inflight("eod", ("HELD",)) is True  # the renewing thread runs at the fork
    orphan = RedisStore(redis_server.client(), "fork", lease=lease)
    orphan._begin_inflight("eod", ("ORPHAN",))
    orphan_ref = weakref.ref(orphan)
    del orphan  # its renewing thread holds the last reference, which the child's reset drops
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running: the point of the test
        pid = os.fork()
    if pid == 0:
        try:
            first = store._begin_inflight("eod", ("BOTH",))
            store._begin_inflight("eod", ("CHILD",))
            time.sleep(3 * lease)  # only the child's own renewal keeps it
            renewed = not RedisStore(redis_server.client(), "fork")._begin_inflight("eod", ("CHILD",))
            os.write(write_end, f"{first} {renewed}".encode())
        finally:
            os._exit(0)
    os.close(write_end)
    parent_first = store._begin_inflight("eod", ("BOTH",))
    with os.fdopen(read_end) as pipe:
        child_first, renewed = pipe.read().split()
    assert os.waitpid(pid, 0)[1] == 0, "the child did not exit cleanly"
    orphan_ref()._end_inflight("eod", ("ORPHAN",))
    assert [parent_first, child_first == "True"].count(True) == 1
    assert renewed == "True", "the child's lease was not renewed"
    for slot in ("BOTH", "HELD"):
        store._end_inflight("eod", (slot,))


def test_a_call_ends_its_own_registration_only(redis_server, redis_client):
    quick = redis_server.client(retry=Retry(NoBackoff(), 0))
    store, other = RedisStore(quick, "t", retry_interval=0.05), RedisStore(redis_client, "t")
    with ThreadPoolExecutor(1) as during_outage:
        redis_server.stop()
        assert during_outage.submit(store._begin_inflight, "eod", ("VNM",)).result() is True  # local tier
        redis_server.start()
        deadline = time.monotonic() + 10
        while store._outage and time.monotonic() < deadline:
            time.sleep(0.02)
        assert store._begin_inflight("eod", ("VNM",)) is True  # this thread, in Redis
        during_outage.submit(store._end_inflight, "eod", ("VNM",)).result()
    assert other._begin_inflight("eod", ("VNM",)) is False, "the registration still fetching was ended"
    for ended in (other, store):
        ended._end_inflight("eod", ("VNM",))
    assert redis_client.keys("t:*:f") == []
    quick.connection_pool.disconnect()


def test_a_holder_whose_lease_lapsed_does_not_replace_a_newer_entry(redis_client, caplog):
    stopped, next_holder = RedisStore(redis_client, "t", lease=0.3), RedisStore(redis_client, "t")
    assert stopped._begin_inflight("eod", ("VNM",)) is True
    redis_client.delete('t:{"eod":("VNM")}:f')  # its lease lapsed while it was stopped
    assert next_holder._begin_inflight("eod", ("VNM",)) is True
    next_holder.set("eod", ("VNM",), NEW)
    next_holder._end_inflight("eod", ("VNM",))
    with caplog.at_level(logging.DEBUG, logger="private_core.redisstore"):
        assert stopped.set("eod", ("VNM",), OLD).data is OLD  # its own callers still get it
    stopped._end_inflight("eod", ("VNM",))
    pd.testing.assert_frame_equal(RedisStore(redis_client, "t").get("eod", ("VNM",)).data, NEW)
    assert any("lapsed" in record.getMessage() for record in caplog.records if record.levelno == logging.DEBUG)


SOCKET_TIMEOUT = 0.25


@pytest.mark.parametrize("connected", [True, False])
def test_a_paused_redis_costs_the_first_call_at_most_twice_the_socket_timeout(redis_server, redis_client, caplog,
                                                                              connected):
    # The client keeps redis-py's default retries with back-off, as the README's example does.
    client = redis_server.client(socket_timeout=SOCKET_TIMEOUT)
    store = RedisStore(client, "t", retry_interval=0.05)
    if connected:
        store.get("eod", ("WARM",))
    redis_client.client_pause(2000)
    try:
        began = time.monotonic()
        assert store.get("eod", ("VNM",)) is None
        took = time.monotonic() - began
        assert store._outage, "the pause was not taken for an outage"
    finally:
        redis_client.execute_command("CLIENT", "UNPAUSE")
    assert took <= 2 * SOCKET_TIMEOUT + 0.15
    deadline = time.monotonic() + 10
    while store._outage and time.monotonic() < deadline:  # sharing resumes once Redis answers
        time.sleep(0.02)
    assert not store._outage
    client.connection_pool.disconnect()


# The client's own retry settings never stretch the call that meets an outage.
@pytest.mark.parametrize("retry", [None, Retry(ExponentialBackoff(cap=2, base=0.5), 6), Retry(NoBackoff(), 3)])
def test_a_stopped_redis_costs_the_first_call_little_whatever_the_client_retries(redis_server, redis_client, caplog,
                                                                                   retry):
    client = redis_server.client(socket_timeout=SOCKET_TIMEOUT, **({} if retry is None else {"retry": retry}))
    store = RedisStore(client, "t", retry_interval=0.05)
    store.get("eod", ("WARM",))
    redis_server.stop()
    began = time.monotonic()
    for step in (lambda: store.get("eod", ("VNM",)), lambda: store._begin_inflight("eod", ("VNM",)),
                 lambda: store.set("eod", ("VNM",), FRAME), lambda: store._end_inflight("eod", ("VNM",))):
        step()
    assert time.monotonic() - began <= 2 * SOCKET_TIMEOUT
    assert store._outage and len([r for r in caplog.records if r.levelno == logging.WARNING]) == 1
    client.connection_pool.disconnect()
