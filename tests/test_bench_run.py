"""bench/run.py: a missed target is reported, and fails the run only as a gate; a broken script always fails it."""

import pathlib
import shutil
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
MISSES = "import sys, _report; sys.exit(_report.report('t', [_report.Row('slow', 2.0, 1.0, 1.0)]))"
MEETS = "import sys, _report; sys.exit(_report.report('t', [_report.Row('fast', 1.0, 2.0, 1.0)]))"
BREAKS = "raise RuntimeError('broken')"


@pytest.mark.parametrize("scripts, args, status", [
    ([MEETS], [], 0), ([MEETS, MISSES], [], 0), ([MEETS, MISSES], ["--check"], 1),
    ([MEETS, BREAKS], [], 1), ([BREAKS], ["--check"], 1), ([MEETS], ["--other"], 1),
])
def test_exit_status(tmp_path, scripts, args, status):
    for name in ("run.py", "_report.py"):
        shutil.copy(BENCH / name, tmp_path / name)
    for i, text in enumerate(scripts):
        (tmp_path / f"bench_{i}.py").write_text(text)
    done = subprocess.run([sys.executable, str(tmp_path / "run.py"), *args], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == status, done.stdout + done.stderr
    assert ("MISSED" in done.stdout) == (MISSES in scripts and args != ["--other"])
