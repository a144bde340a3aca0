"""Runs every benchmark script in this folder, then prints one summary table.

The exit status is non-zero when any script misses a target or fails.
"""

import pathlib
import runpy
import sys
import traceback

here = pathlib.Path(__file__).parent
# The source tree's private_core/ holds no built modules: benchmark the installed package.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() not in (here, here.parent)]
sys.path.insert(0, str(here))  # for _report and the reference renderings only

import _report  # noqa: E402

status = 0
failed = []
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.stem}")
    try:
        runpy.run_path(str(script), run_name="__main__")
    except SystemExit as exit:  # a script reports a missed target through its exit status
        status = status or exit.code
    except Exception:  # noqa: BLE001 - one broken script must not hide the others' figures
        traceback.print_exc()
        failed.append(script.stem)
        status = 1
    print()

rows = [_report.Row(f"{title.split(' (')[0]}: {row.name}", row.ours_ns, row.reference_ns, row.target)
        for title, table in _report.REPORTED for row in table]
summary = _report.report("Summary of every benchmark", rows)
if failed:
    print(f"  scripts FAILED: {', '.join(failed)}")
sys.exit(status or summary)
