"""Runs every benchmark script in this folder, one after another."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
# The source tree's private_core/ holds no built modules: benchmark the installed package.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() not in (here, here.parent)]

for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.stem}")
    runpy.run_path(str(script), run_name="__main__")
    print()
