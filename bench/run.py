"""Runs every benchmark script in this folder, then prints one summary table.

Each script runs in a process of its own, so what one script patches (module
globals, stand-in terminals) cannot skew the next one's figures.  A script
that fails makes the exit status non-zero; a missed target does so only with
``--check`` (``make bench-check``, the gate), since a busy machine misses some.
"""

import json
import os
import pathlib
import subprocess
import sys
import tempfile

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))  # for _report only

import _report  # noqa: E402

check = sys.argv[1:] == ["--check"]
if sys.argv[1:] not in ([], ["--check"]):
    sys.exit("usage: run.py [--check]")
missed_any = False
failed = []
with tempfile.TemporaryDirectory() as tmp:
    sink = pathlib.Path(tmp) / "tables.jsonl"
    env = {**os.environ, _report.REPORT_FILE_ENV: str(sink)}
    for script in sorted(here.glob("bench_*.py")):
        print(f"== {script.stem}", flush=True)
        # A script's own folder (bench/) leads its sys.path, not the source
        # tree, so the installed package is what gets measured.
        code = subprocess.run([sys.executable, str(script)], env=env).returncode
        if code == _report.MISSED_STATUS:  # shown again in the summary
            missed_any = True
        elif code:  # anything else is a broken script
            failed.append(script.stem)
        print(flush=True)
    tables = [json.loads(line) for line in sink.read_text().splitlines()] if sink.exists() else []

rows = [_report.Row(f"{table['title'].split(' (')[0]}: {row['name']}", row["ours_ns"], row["reference_ns"],
                    row["target"])
        for table in tables for row in table["rows"]]
missed_any |= bool(_report.report("Summary of every benchmark", rows))
if failed:
    print(f"  scripts FAILED: {', '.join(failed)}")
sys.exit(1 if failed or (check and missed_any) else 0)
