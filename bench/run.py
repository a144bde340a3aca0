"""Runs every benchmark script in this folder, one after another."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
# The source tree's private_core/ holds no built modules: benchmark the installed package.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() not in (here, here.parent)]

status = 0
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.stem}")
    try:
        runpy.run_path(str(script), run_name="__main__")
    except SystemExit as exit:  # a script reports a missed target through its exit status
        status = status or exit.code
    print()
sys.exit(status)
