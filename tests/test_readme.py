"""Every code example of the README runs, in order as one script, and prints what it says."""

import importlib
import re
import subprocess
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


# A script saved in the repository root has the root first on its module path, as `python -c` run there has:
# the source folder private_core/ is found before the installed package.
def run_in_root(*args, timeout=120):
    return subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=timeout)


def test_the_examples_run_as_one_script_from_the_repository_root():
    result = run_in_root("-c", "\n".join(BLOCKS))
    assert result.returncode == 0, result.stderr
    for expected in expected_outputs("\n".join(BLOCKS)):
        assert expected in result.stdout


IMPORTED_FROM = "import private_core.wirelink, private_core.investor.bridgework as b; print(b.__file__)"


@pytest.mark.parametrize("flags, works", [
    ([], True),       # the interpreter the package is installed into: the installed build is used
    (["-E", "-S"], False),  # no PYTHONPATH, no site-packages: no build anywhere, an error that says what to do
], ids=["installed", "not-installed"])
def test_importing_from_the_root(flags, works):
    result = run_in_root(*flags, "-c", IMPORTED_FROM)
    if works:
        assert result.returncode == 0, result.stderr
        assert not result.stdout.startswith(str(ROOT / "private_core"))
    else:
        assert "ImportError: private_core is imported from its source folder" in result.stderr
        assert "make build" in result.stderr and ".venv/bin/python" in result.stderr


def test_the_examples_pass_a_strict_type_check_from_the_repository_root():
    result = run_in_root("-m", "mypy", "--strict", "-c", "\n".join(BLOCKS), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
