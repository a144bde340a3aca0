"""Runs every benchmark script in this folder, then prints one summary table.

Each script runs in a process of its own, so what one script patches (module
globals, stand-in terminals) cannot skew the next one's figures.  The exit
status is non-zero when any script misses a target or fails.
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

status = 0
failed = []
with tempfile.TemporaryDirectory() as tmp:
    sink = pathlib.Path(tmp) / "tables.jsonl"
    env = {**os.environ, _report.REPORT_FILE_ENV: str(sink)}
    for script in sorted(here.glob("bench_*.py")):
        print(f"== {script.stem}", flush=True)
        # A script's own folder (bench/) leads its sys.path, not the source
        # tree, so the installed package is what gets measured.
        code = subprocess.run([sys.executable, str(script)], env=env).returncode
        if code:
            status = 1
            if code != 1:  # 1 is a missed target; anything else is a broken script
                failed.append(script.stem)
        print(flush=True)
    tables = [json.loads(line) for line in sink.read_text().splitlines()] if sink.exists() else []

rows = [_report.Row(f"{table['title'].split(' (')[0]}: {row['name']}", row["ours_ns"], row["reference_ns"],
                    row["target"])
        for table in tables for row in table["rows"]]
summary = _report.report("Summary of every benchmark", rows)
if failed:
    print(f"  scripts FAILED: {', '.join(failed)}")
sys.exit(status or summary)
