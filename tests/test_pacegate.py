"""The pace gate, the retry policy and the adapter that installs both on a session."""

import gc
import hashlib
import logging
import re
import threading

import pytest
from pytest import approx
from tessaro.exceptions import HttpError

from conftest import KEY
from private_core.pacegate import PaceGate, RetryPolicy, attach
from private_core.wirelink import HttpSession

EPOCH = 1_000_000_000.0  # 2001-09-09 01:46:40 UTC


def clock_of(times):
    ticks = iter(times)
    return lambda: next(ticks)


# rate, burst, steps of (clock, key, hold), the waits they are given
GATE_CASES = [
    (10, 1, [(0, "a", 0)] * 4, [0, .1, .2, .3]),
    (10, 3, [(0, "a", 0)] * 5, [0, 0, 0, .1, .2]),
    (10, 1, [(0, "a", 0), (5, "a", 0), (5, "a", 0)], [0, 0, .1]),  # idle time refills up to the burst only
    (10, 1, [(0, "a", 0), (0, "b", 0), (0, "a", 0)], [0, 0, .1]),  # one bucket per key
    (10, 2, [(0, "a", 0), (0, "a", 2), (0, "a", 0)], [0, 2, 2]),   # a hold delays the requests after it too
    (10, 1, [(0, f"k{i}", 0) for i in range(300)] + [(0, "k0", 0)], [0] * 300 + [.1]),  # more keys than names kept
]


@pytest.mark.parametrize("rate, burst, steps, waits", GATE_CASES)
def test_gate_schedule(rate, burst, steps, waits):
    gate = PaceGate(rate, burst, clock=clock_of(t for t, _, _ in steps))
    assert [gate.reserve(key, hold) for _, key, hold in steps] == approx(waits)


def test_concurrent_reservations_each_get_a_slot_of_their_own():
    gate = PaceGate(100, clock=lambda: 0.0)
    waits = []

    def take():
        waits.extend(gate.reserve(KEY) for _ in range(50))

    threads = [threading.Thread(target=take) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(round(w * 100) for w in waits) == list(range(400))


def test_redis_gate_is_one_bucket_per_key_for_every_gate_and_stores_no_key(redis_client):
    first, second = PaceGate(1, redis=redis_client), PaceGate(1, redis=redis_client)
    waits = [gate.reserve(KEY) for gate in (first, second, first, second)]
    assert waits == approx([0, 1, 2, 3], abs=0.1)  # Redis's clock runs on between the calls
    assert first.reserve("another-key") == approx(0, abs=0.1)
    names = set(redis_client.keys("*")) - {b"pacegate:salt"}
    assert len(names) == 2 and not any(KEY.encode() in name for name in names)
    assert all(0 < redis_client.pttl(name) <= 5000 for name in names)  # idle buckets expire


def unkeyed_digests(key):
    """Every unkeyed hash hashlib offers of the key and of the header that carries it."""
    texts = [key, "Bearer " + key]
    return {getattr(hashlib, algorithm)(text.encode()).hexdigest(*(() if "shake" not in algorithm else (32,)))
            for algorithm in hashlib.algorithms_guaranteed for text in texts}


@pytest.mark.parametrize("secret", [None, b"a secret from the vault", "a secret as text"])
def test_bucket_names_are_keyed_so_a_redis_reader_cannot_confirm_a_guessed_key(redis_client, secret):
    gate = PaceGate(10, redis=redis_client, secret=secret)
    gate.reserve("Bearer " + KEY)
    names = b" ".join(redis_client.keys("*")).decode()
    assert not any(digest in names for digest in unkeyed_digests(KEY))
    held = gc.get_referents(gate)
    assert secret is None or not any(isinstance(r, (str, bytes)) and "secret" in str(r) for r in held)


# the second gate's secret, whether the two gates share a bucket
@pytest.mark.parametrize("secrets, shared", [
    ((b"s1", b"s1"), True),
    ((b"s1", "s1"), True),
    ((b"s1", b"s2"), False),
    ((None, None), True),  # through the salt the first gate left in Redis
    ((b"s1", None), False),
])
def test_gates_share_a_bucket_when_they_name_it_alike(redis_client, secrets, shared):
    first, second = (PaceGate(1, redis=redis_client, secret=secret) for secret in secrets)
    first.reserve(KEY)
    assert second.reserve(KEY) == approx(1 if shared else 0, abs=0.1)


def test_a_gate_adopts_the_salt_that_replaced_an_evicted_one(redis_client):
    first = PaceGate(1, redis=redis_client)
    first.reserve(KEY)
    redis_client.flushdb()  # salt and bucket evicted: the next gate proposes its own salt
    second = PaceGate(1, redis=redis_client)
    assert [second.reserve(KEY), first.reserve(KEY), second.reserve(KEY)] == approx([0, 1, 2], abs=0.1)


def stop_redis(server, client):
    server.stop()


def refuse_the_script(server, client):
    client.lpush("pacegate:salt", "not a salt")  # every reservation now meets WRONGTYPE


@pytest.mark.parametrize("breakage, warning", [
    (stop_redis, "Redis is unreachable (ConnectionError: "),
    (refuse_the_script, "Redis refused a reservation of the pace gate (ResponseError WRONGTYPE: "),
])
def test_a_shared_gate_that_redis_fails_keeps_the_same_pace_in_this_process(redis_server, redis_client, caplog,
                                                                               breakage, warning):
    gate = PaceGate(10, 2, redis=redis_client, clock=lambda: 0.0)
    breakage(redis_server, redis_client)
    try:
        assert [gate.reserve(KEY) for _ in range(4)] == approx([0, 0, .1, .2])
    finally:
        redis_server.start()
    # (A probe left by an earlier test may log that Redis answers again: only warnings count.)
    logged = [r.getMessage() for r in caplog.records if r.name == "private_core.pacegate" and r.levelname == "WARNING"]
    assert len(logged) == 1 and logged[0].startswith(warning)


@pytest.mark.parametrize("rate, burst, options, message", [
    (0, 1, {}, "rate must be a number of requests per second from 1e-06 to 1e+06, got 0.0"),
    (-1, 1, {}, "rate must be"),
    (float("inf"), 1, {}, "rate must be"),
    (float("nan"), 1, {}, "rate must be"),
    (1e-7, 1, {}, "rate must be"),
    (2e6, 1, {}, "rate must be"),
    (10, 0, {}, "burst must be a whole number from 1 to 1000000, got 0"),
    (10, -1, {}, "burst must be"),
    (10, 10**30, {}, "burst must be a whole number from 1 to 1000000, got 10000"),
    (10, 1_000_001, {}, "burst must be"),
    (1e-6, 1002, {}, "a burst of 1002 takes more than 1e+09 seconds to refill at 1e-06 requests per second"),
    (10, 1, {"secret": b""}, "the secret must not be empty"),
])
def test_gate_refuses_a_rate_or_burst_it_cannot_keep(rate, burst, options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        PaceGate(rate, burst, **options)


@pytest.mark.parametrize("rate, burst", [(1e-6, 1), (1e-6, 2), (1e6, 1_000_000), (1, 1)])
def test_gate_keeps_the_extremes_it_accepts(redis_client, rate, burst):
    local, shared = PaceGate(rate, burst, clock=lambda: 0.0), PaceGate(rate, burst, redis=redis_client)
    waits = [(local.reserve(KEY), shared.reserve(KEY)) for _ in range(3)]
    expected = [max(0, n - burst + 1) / rate for n in range(3)]
    assert [w for w, _ in waits] == approx(expected)
    assert [w for _, w in waits] == approx(expected, rel=1e-6, abs=0.1)


class SkipsInit(PaceGate):
    def __init__(self):
        pass


@pytest.mark.parametrize("use, error", [
    (lambda gate: gate.reserve(KEY), RuntimeError),
    (lambda gate: gate.acquire(KEY), RuntimeError),
    (lambda gate: gate.rate, AttributeError),
])
@pytest.mark.parametrize("make", [lambda: PaceGate.__new__(PaceGate), SkipsInit])
def test_a_gate_whose_init_has_not_run_raises(make, use, error):
    with pytest.raises(error, match="PaceGate.__init__ has not run on this gate"):
        use(make())


@pytest.mark.parametrize("attempts", [0, 10**30])
def test_retry_policy_refuses_attempts_it_cannot_count(attempts):
    with pytest.raises(ValueError, match="attempts must be a whole number from 1 to 1000000"):
        RetryPolicy(attempts)


# failures so far, Retry-After, the wait (backoff 0.5 doubling up to 4, the jitter's draw at its top)
DELAYS = [
    (1, "7", 7.0),
    (1, " 12 ", 12.0),
    (1, "Sun, 09 Sep 2001 01:46:50 GMT", 10.0),
    (1, "Sun, 09 Sep 2001 01:46:30 GMT", 0.0),
    (1, "Sunday soon", 0.5),
    (1, "-5", 0.5),
    (1, None, 0.5),
    (2, None, 1.0),
    (4, None, 4.0),
    (60, None, 4.0),
    (1, "9" * 40, float("inf")),
]


@pytest.mark.parametrize("failures, retry_after, wait", DELAYS)
def test_retry_delay(failures, retry_after, wait):
    policy = RetryPolicy(backoff=0.5, backoff_max=4, random=lambda: 1.0, clock=lambda: EPOCH)
    assert policy.delay(failures, retry_after) == wait


def test_backoff_jitter_keeps_half_of_the_step():
    policy = RetryPolicy(backoff=1, random=lambda: 0.0)
    assert [policy.delay(n) for n in (1, 2, 3)] == [0.5, 1.0, 2.0]


@pytest.mark.parametrize("options, method, status, retried", [
    ({}, "GET", 429, True),
    ({}, "get", 503, True),
    ({}, "GET", 500, False),
    ({}, "POST", 429, False),
    ({}, "GET", None, False),
    ({"methods": ("get", "post"), "transport_errors": True}, "POST", 503, True),
    ({"transport_errors": True}, "GET", None, True),
    ({"statuses": (500,)}, "GET", 429, False),
])
def test_what_is_retried(options, method, status, retried):
    assert RetryPolicy(**options).retries(method, status) is retried


# answers of the scripted server, method, policy options, the waits slept, the status the caller sees
SCRIPTS = [
    ([(429, {"Retry-After": "2"}), (200, {})], "GET", {}, [2.0], 200),
    ([(503, {"Retry-After": "Sun, 09 Sep 2001 01:46:43 GMT"}), (200, {})], "GET", {}, [3.0], 200),
    ([(429, {}), (503, {}), (200, {})], "GET", {}, [0.5, 1.0], 200),
    ([(429, {})] * 3, "GET", {"attempts": 3}, [0.5, 1.0], 429),
    ([(429, {"Retry-After": "61"})], "GET", {}, [], 429),
    ([(429, {"Retry-After": "30"})] * 2, "GET", {"total_wait": 45}, [30.0], 429),
    ([(500, {})], "GET", {}, [], 500),
    ([(429, {"Retry-After": "1"})], "POST", {}, [], 429),
]


@pytest.mark.parametrize("answers, method, options, slept, status", SCRIPTS)
def test_adapter_retries_as_the_policy_says(httpserver, session, caplog, answers, method, options, slept, status):
    caplog.set_level(logging.INFO, "private_core.pacegate")
    for code, headers in answers:
        httpserver.expect_ordered_request("/api/v1/tessaro/x").respond_with_json({}, status=code, headers=headers)
    waits = []
    attach(session, retry=RetryPolicy(sleep=waits.append, random=lambda: 1.0, clock=lambda: EPOCH, **options))
    if status == 200:
        assert session.request(method, "/x").status_code == 200
    else:
        with pytest.raises(HttpError) as info:
            session.request(method, "/x")
        assert info.value.status_code == status
    assert waits == slept
    assert len(httpserver.log) == len(answers)
    assert waits_logged(caplog) == [(f"HTTP {code}", wait, n + 2) for n, ((code, _), wait) in
                                    enumerate(zip(answers, slept))]


def waits_logged(caplog):
    """(cause, delay, attempt) of each logged wait, once checked to be INFO and free of the key."""
    logged = [r for r in caplog.records if r.name == "private_core.pacegate"]
    assert not any(KEY in r.getMessage() or KEY in repr(r.args) for r in logged)
    waits = [r for r in logged if "waiting" in r.msg]  # a probe left by an earlier test may log too
    assert all(r.levelname == "INFO" for r in waits)
    return [r.args[:3] for r in waits]


def test_a_session_never_attached_still_fails_at_once(httpserver, session):
    httpserver.expect_request("/api/v1/tessaro/x").respond_with_json({}, status=429, headers={"Retry-After": "1"})
    with pytest.raises(HttpError):
        session.get("/x")
    assert len(httpserver.log) == 1


def test_a_retry_after_holds_the_gate_for_every_request_of_the_key(httpserver, session):
    httpserver.expect_ordered_request("/api/v1/tessaro/x").respond_with_json({}, status=429,
                                                                             headers={"Retry-After": "2"})
    httpserver.expect_ordered_request("/api/v1/tessaro/x").respond_with_json({})
    gate_waits, retry_waits = [], []
    gate = PaceGate(1000, clock=lambda: 0.0, sleep=gate_waits.append)
    adapter = attach(session, gate, RetryPolicy(sleep=retry_waits.append))
    assert session._session.get_adapter("http://a") is adapter is session._session.get_adapter("https://a")
    session.get("/x")
    assert gate_waits == [2.0] and retry_waits == []
    assert gate.reserve("Bearer " + KEY) == approx(2.001)  # the next request of that key waits too


@pytest.mark.parametrize("transport_errors, slept", [(False, []), (True, [0.5, 1.0])])
def test_transport_errors_are_retried_only_when_asked(closed_url, caplog, transport_errors, slept):
    caplog.set_level(logging.INFO, "private_core.pacegate")
    waits = []
    with HttpSession(KEY, base_url=closed_url) as session:
        attach(session, retry=RetryPolicy(3, transport_errors=transport_errors, sleep=waits.append,
                                          random=lambda: 1.0))
        with pytest.raises(HttpError):
            session.get("/x")
    assert waits == slept
    assert waits_logged(caplog) == [("ConnectionError", wait, n + 2) for n, wait in enumerate(slept)]
