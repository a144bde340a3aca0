"""Each module loads what it needs and nothing more, in a fresh interpreter."""

import importlib
import json
import subprocess
import sys

import pytest

PROBE = """
import json, sys
for blocked in {blocked!r}:
    sys.modules[blocked] = None  # makes `import blocked` fail
before = set(sys.modules)
try:
    import {module}
except ImportError as exc:
    print(json.dumps({{"error": str(exc)}}))
else:
    print(json.dumps({{"loaded": sorted(set(sys.modules) - before)}}))
"""


def load(module, blocked=()):
    out = subprocess.run(
        [sys.executable, "-P", "-c", PROBE.format(module=module, blocked=list(blocked))],
        capture_output=True,
        text=True,
        check=True,
        cwd="/",
    )
    return json.loads(out.stdout)


HOST = {"tessaro", "tessaro.exceptions", "tessaro.types"}


@pytest.mark.parametrize(
    "module, needs, refuses",
    [
        ("private_core", set(), {"requests", "pandas", "tessaro", "private_core.helpers"}),
        ("private_core.investor", set(), {"requests", "pandas", "tessaro"}),
        ("private_core.wirelink", {"requests"}, HOST),
        ("private_core.ledgerbook", {"tessaro.exceptions", "private_core.wirelink"}, {"pydantic", "pandas"}),
        ("private_core.keygate", {"tessaro.types", "pydantic", "private_core.wirelink"}, {"pandas"}),
        ("private_core.progress", set(), HOST | {"requests", "pandas", "private_core.wirelink"}),
        ("private_core.memstore", {"pandas"}, HOST | {"requests", "private_core.wirelink"}),
        ("private_core.ttlrules", {"private_core.memstore"}, HOST | {"requests"}),
        ("private_core.memoguard", {"private_core.memstore"}, HOST | {"requests"}),
        ("private_core.toolbox", set(), HOST | {"requests", "pandas"}),
        ("private_core.pacegate", {"requests", "private_core.wirelink"}, HOST | {"pandas", "redis"}),
        ("private_core.bulkfetch", {"private_core.pacegate", "private_core.daybars", "tessaro.exceptions"}, {"redis"}),
        ("private_core.redisstore", {"redis", "pyarrow", "private_core.memstore"}, HOST | {"requests"}),
        ("private_core.diskstore", {"sqlite3", "pyarrow", "private_core.memstore"}, HOST | {"requests", "redis"}),
    ],
)
def test_module_loads_only_what_it_needs(module, needs, refuses):
    loaded = set(load(module)["loaded"])
    assert needs <= loaded
    assert not (refuses & loaded)


@pytest.mark.parametrize("module", ["private_core.ledgerbook", "private_core.keygate"])
def test_modules_that_need_the_host_package_fail_without_it(module):
    assert "error" in load(module, blocked=["tessaro"])


def test_session_module_loads_without_the_host_package():
    assert "loaded" in load("private_core.wirelink", blocked=["tessaro"])



@pytest.mark.parametrize("name", ["wirelink", "daybars", "ticklane", "memstore", "ttlrules", "memoguard", "ledgerbook",
                                  "keygate", "progress", "toolbox", "investor.bridgework", "investor.FlowContract"])
def test_module_declares_it_needs_the_gil(name):
    # Undeclared, a free-threaded interpreter re-enables the GIL with a warning at import.
    from private_core import _runtime_probe as probe
    assert probe.gil_slot(importlib.import_module(f"private_core.{name}")) == "used"
