"""Every code example of the README runs, in order as one script, and prints what it says."""

import importlib
import re
import sys

import pytest

from conftest import ROOT

README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)
# The first example starts the local service and makes the session the others use.
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


@pytest.fixture(scope="module")
def script():
    """The namespace the first example leaves, shared by the others as a script's module would be."""
    path = sys.path[:]
    namespace = {"__name__": "readme"}
    try:
        exec(compile(PREAMBLE, "<README first example>", "exec"), namespace)
        yield namespace
    finally:
        sys.path[:] = path
        if "session" in namespace:
            namespace["session"].close()
        if "service" in namespace:
            namespace["service"].stop()


def test_the_readme_has_examples_and_starts_its_own_service_first():
    assert len(EXAMPLES) >= 7 and "LocalService()" in PREAMBLE


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i + 1}" for i in range(len(EXAMPLES))])
def test_example_runs(code, script, capsys):
    missing = missing_names(code)
    if missing:
        pytest.skip(", ".join(missing) + " not built yet")
    exec(compile(code, "<README example>", "exec"), script)
    out = capsys.readouterr().out
    for expected in expected_outputs(code):
        assert expected in out


def test_the_commands_it_names_exist():
    makefile = (ROOT / "Makefile").read_text()
    for target in set(re.findall(r"`?make (\w+)", README)):
        assert re.search(rf"^{target}:", makefile, re.M), f"make {target} is not a Makefile target"
    assert "serving on http://127.0.0.1:8000/api/v1/tessaro\n# API key: demo-key" in README
