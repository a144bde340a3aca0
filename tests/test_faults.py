"""Every fetcher against a server that misbehaves: the documented exception with its
cause, nothing the caller held changes, and the session keeps working."""

import pytest

from gates import FAULTS, FETCHER_IDS, FETCHERS, RETURNS, TIMEOUT, held_copy, local_session, serving, session_state

CASES = [pytest.param(f, fault, id=f"{f.name}-{fault}") for f in FETCHERS for fault in FAULTS]


@pytest.fixture(scope="module")
def server():
    with serving() as server:
        yield server


@pytest.mark.parametrize("fetcher, fault", CASES)
def test_fault_gives_the_documented_exception(server, fetcher, fault):
    fetcher.resolve()
    expected = fetcher.faults[fault]
    with local_session(server.base_url) as session:
        session.timeout = TIMEOUT  # read at each call; a whole second is the least the constructor takes
        held = fetcher.held()
        before, state = held_copy(held), session_state(session)
        server.reply = FAULTS[fault]
        if expected is RETURNS:
            fetcher.run(session, held)
        else:
            with pytest.raises(BaseException) as info:
                fetcher.run(session, held)
            expected.check(info.value)
        assert held == before and session_state(session) == state

        server.reply, session.timeout = fetcher.good, 30
        fetcher.run(session, held)  # the session survives the fault


@pytest.mark.parametrize("fetcher", FETCHERS, ids=FETCHER_IDS)
def test_good_answer_succeeds(server, fetcher):
    server.reply = fetcher.good
    with local_session(server.base_url) as session:
        fetcher.run(session)
