"""The pace gate, the retry policy and the adapter that installs both on a session."""

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
    first, second = PaceGate(10, redis=redis_client), PaceGate(10, redis=redis_client)
    waits = [gate.reserve(KEY) for gate in (first, second, first, second)]
    assert waits == approx([0, .1, .2, .3], abs=0.02)
    assert first.reserve("another-key") == approx(0, abs=0.02)
    names = redis_client.keys("*")
    assert len(names) == 2 and not any(KEY.encode() in name for name in names)
    assert 0 < redis_client.pttl(names[0]) <= 2000  # idle buckets expire


@pytest.mark.parametrize("rate, burst", [(0, 1), (-1, 1), (float("inf"), 1), (1, 0)])
def test_gate_refuses_a_rate_or_burst_it_cannot_keep(rate, burst):
    with pytest.raises(ValueError):
        PaceGate(rate, burst)


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
def test_adapter_retries_as_the_policy_says(httpserver, session, answers, method, options, slept, status):
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
def test_transport_errors_are_retried_only_when_asked(closed_url, transport_errors, slept):
    waits = []
    with HttpSession(KEY, base_url=closed_url) as session:
        attach(session, retry=RetryPolicy(3, transport_errors=transport_errors, sleep=waits.append,
                                          random=lambda: 1.0))
        with pytest.raises(HttpError):
            session.get("/x")
    assert waits == slept
