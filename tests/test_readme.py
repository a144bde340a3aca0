"""Every code example of the README runs, against the local service, and prints what it says."""

import importlib
import re

import pytest

from conftest import ROOT

README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)
README_URL = "http://127.0.0.1:8000/api/v1/tessaro"
# The first example makes the session the others use.
PREAMBLE, EXAMPLES = BLOCKS[0], BLOCKS[1:]


def missing_names(code):
    """Names of the package an example uses that this build does not provide yet."""
    used = set(re.findall(r"\b(daybars|ticklane)\.(\w+)", code))
    used |= {("investor." + m, n) for m, names in re.findall(r"from private_core\.investor\.(\w+) import ([\w, ]+)", code)
             for n in names.split(", ")}
    missing = []
    for module, name in sorted(used):
        if not hasattr(importlib.import_module("private_core." + module), name):
            missing.append(f"private_core.{module}.{name}")
    return missing


def expected_outputs(code):
    """The outputs an example promises in a comment after a print call."""
    return [m.strip() for m in re.findall(r"^\s*print\(.*\)\s+# (.+)$", code, re.M)]


def test_the_readme_has_examples_and_points_them_at_the_default_local_port():
    assert len(EXAMPLES) >= 7 and README_URL in PREAMBLE


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i + 1}" for i in range(len(EXAMPLES))])
def test_example_runs(code, local, capsys):
    missing = missing_names(code)
    if missing:
        pytest.skip(", ".join(missing) + " not built yet")
    namespace = {"__name__": "readme"}
    try:
        exec(compile(PREAMBLE.replace(README_URL, local.base_url) + code, "<README example>", "exec"), namespace)
    finally:
        namespace["session"].close()
    out = capsys.readouterr().out
    for expected in expected_outputs(code):
        assert expected in out


def test_the_commands_it_names_exist():
    makefile = (ROOT / "Makefile").read_text()
    for target in set(re.findall(r"`?make (\w+)", README)):
        assert re.search(rf"^{target}:", makefile, re.M), f"make {target} is not a Makefile target"
    assert "serving on http://127.0.0.1:8000/api/v1/tessaro\n# API key: demo-key" in README
