"""The demo runs end to end against the built-in local service."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_demo_runs_against_the_local_service():
    out = subprocess.run(
        [sys.executable, "-P", str(ROOT / "demo" / "main.py")], capture_output=True, text=True, timeout=60, check=True
    )
    lines = out.stdout.splitlines()
    assert "wrong key refused: Invalid API key." in lines
    assert any(line.startswith("key accepted: valid=True plan=demo") for line in lines)
    # The second identical request is served from the cache.
    assert any("call 2: 6 rows" in line and "requests sent so far: 1" in line for line in lines)
    assert lines[-1] == "batch done: 80 statement rows for 8 symbols"
    assert "Backend rejected API key validation (status=401" in out.stderr
