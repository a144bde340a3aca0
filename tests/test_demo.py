"""The demo runs end to end against the built-in local service, quietly and quickly."""

import pathlib
import subprocess
import sys

import pytest

from private_core import daybars, ticklane
from private_core.investor import bridgework

# One worker takes the whole file under xdist: the demo runs once, in the module's fixture.
pytestmark = pytest.mark.xdist_group("demo")

ROOT = pathlib.Path(__file__).resolve().parent.parent

SECTIONS = [
    (hasattr(daybars, "fetch_ohlcv"), "End-of-day bars: 30 symbols", "1770 bars in "),
    (hasattr(ticklane, "fetch_ohlcv"), "Intraday: VNM", "46 bars; the first five:"),
    (hasattr(ticklane, "fetch_orderbook"), "Order book: FPT", " matched orders; the first five"),
    (hasattr(bridgework, "InvestorBridgework"), "Investor flows:", "the bridge fell back from POST"),
]


@pytest.fixture(scope="module")
def demo():
    run = subprocess.run(
        [sys.executable, "-X", "dev", "-P", str(ROOT / "demo" / "main.py")],
        capture_output=True, text=True, timeout=60, cwd=ROOT,
    )
    assert run.returncode == 0, f"the demo exited with {run.returncode}:\n{run.stderr[-4000:]}"
    return run


def section(out, title):
    """The lines of the section whose heading starts with ``title``."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("== " + title))
    end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("== ")), len(lines))
    return "\n".join(lines[start:end])


def test_keys_are_validated_and_the_expected_error_is_announced(demo):
    text = section(demo.stdout, "API key validation")
    assert "the error the module logs just below is expected" in text
    assert "wrong key refused: Invalid API key." in text
    assert "demo key accepted: valid=True plan=demo" in text
    # The refused key is the only thing on stderr: no warning under -X dev.
    assert demo.stderr.splitlines() == [
        "    log ERROR private_core.keygate: Backend rejected API key validation "
        "(status=401, payload={'detail': 'Invalid API key.'})"
    ]


@pytest.mark.parametrize("is_built, title, shown", SECTIONS)
def test_each_fetcher_section_shows_its_table_or_says_it_is_skipped(demo, is_built, title, shown):
    text = section(demo.stdout, title)
    assert (shown in text) is is_built
    assert ("is not built in this checkout" in text) is not is_built


def test_the_cache_serves_repeats_and_merges_concurrent_callers(demo):
    text = section(demo.stdout, "The cache at work")
    assert "identical second call" in text and "; requests to the service: 1" in text
    assert "8 threads asking for one frame at once: requests to the service: 1, one shared frame" in text
    assert "revenue" in section(demo.stdout, "Statement values")


def test_a_batch_fetched_through_the_gate_under_a_quota_gets_every_bar(demo):
    text = section(demo.stdout, "At the service's pace: 30 symbols")
    assert "1770 bars in " in text and "reaching the caller: none" in text


def test_the_service_is_stopped_at_the_end(demo):
    assert demo.stdout.splitlines()[-1] == "Service stopped."


def test_history_kept_on_disk_is_read_back_and_refreshed_the_next_day(demo):
    text = section(demo.stdout, "History kept on disk: 38 symbols")
    assert "(a restart): 19076 bars in " in text and "the service served 0 requests and 0 rows" in text
    # 38 symbols x 2 rows, and STB's whole history once its dividend revised it
    assert "the next trading day: 19114 bars in " in text and "served 39 requests and 579 rows" in text
    assert "the frame is daybars.fetch_ohlcv's for the same arguments" in text
