"""The type stubs ship with the package and agree with the built modules."""

import importlib
import pathlib
import re
import subprocess
import sys

import pytest

import private_core
from conftest import ROOT

# One worker takes the whole file under xdist: each mypy run happens once, in the module's fixtures.
pytestmark = pytest.mark.xdist_group("stubs")

MODULES = [
    "wirelink", "daybars", "ticklane", "memstore", "ttlrules", "memoguard", "ledgerbook", "keygate",
    "progress", "toolbox", "investor.bridgework", "investor.FlowContract", "pacegate", "bulkfetch", "redisstore",
    "diskstore",
]
PACKAGE = pathlib.Path(private_core.__file__).parent

CONFIG = """\
[mypy]
# pandas and the stand-in host package carry no type information; only our stubs are checked.
ignore_missing_imports = True
"""
# Aliases of a multi-value Literal compare as a union in the stub but not at run time: a limit
# of stubtest itself, not a difference between stub and module.
ALLOWLIST = """\
private_core.investor.FlowContract.InvestorGroup
private_core.investor.FlowContract.Interval
"""


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    """A working folder outside the source tree, so the installed package and its stubs are what mypy sees."""
    folder = tmp_path_factory.mktemp("mypy")
    (folder / "mypy.ini").write_text(CONFIG)
    (folder / "allowlist.txt").write_text(ALLOWLIST)
    return folder


def run_mypy(folder, *args):
    return subprocess.run([sys.executable, "-P", "-m", *args], cwd=folder, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_installed_with_its_stub(name):
    stub = PACKAGE / (name.replace(".", "/") + ".pyi")
    assert stub.is_file(), f"{stub} is not installed"
    assert list(stub.parent.glob(stub.stem + ".cpython-*.so")), f"no native module beside {stub}"


def test_the_package_is_marked_as_typed():
    assert (PACKAGE / "py.typed").is_file()


def has_names(name):
    """Whether the module's native build defines anything yet (``toolbox`` by design defines nothing)."""
    module = importlib.import_module("private_core." + name)
    return name == "toolbox" or any(not n.startswith("__") for n in vars(module))


@pytest.fixture(scope="module")
def stubtest_output(mypy_dir):
    """One stubtest run over every built module (one run costs what one module costs)."""
    built = ["private_core." + name for name in MODULES if has_names(name)]
    result = run_mypy(mypy_dir, "mypy.stubtest", "--mypy-config-file", "mypy.ini", "--allowlist", "allowlist.txt",
                      "--ignore-unused-allowlist", *built)
    assert "not checking stubs" not in result.stdout, result.stdout + result.stderr
    return result.stdout + result.stderr


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_the_built_module(name, stubtest_output):
    if not has_names(name):
        pytest.skip(f"private_core.{name} defines no names yet")
    errors = [block for block in stubtest_output.split("\n\n")
              if re.match(rf"error: private_core\.{re.escape(name)}[. ]", block)]
    assert not errors, "\n\n".join(errors)


def test_a_client_built_on_the_package_type_checks_strictly_against_the_stubs(mypy_dir):
    result = run_mypy(mypy_dir, "mypy", "--config-file", "mypy.ini", "--strict", str(ROOT / "demo" / "client.py"))
    assert result.returncode == 0, result.stdout + result.stderr


# Stores offered as a client's `_cache`: what BaseMemoguard calls is the CacheStore protocol of the stubs.
OWN_STORE = """
from datetime import timedelta
from typing import Any, Optional
from private_core.memstore import CacheEntry, CacheKey
class Store:
    def get(self, ns: str, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(self, ns: str, key: CacheKey, data: Any, *, params: Optional[dict[str, Any]] = None,
            ttl: Optional[timedelta] = None) -> CacheEntry: ...
    def clear_ns(self, ns: str) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: str, key: CacheKey) -> bool: ...
"""
STORES = {
    "memstore": ("from private_core.memstore import _Cache\nstore = _Cache()", True),
    "redisstore": ("from private_core.redisstore import RedisStore\nstore = RedisStore(object())", True),
    "own": (OWN_STORE + "    def _end_inflight(self, ns: str, key: CacheKey) -> None: ...\nstore = Store()", True),
    "own-incomplete": (OWN_STORE + "store = Store()", False),
    "own-without-ttl": (OWN_STORE.replace(",\n            ttl: Optional[timedelta] = None", "")
                        + "    def _end_inflight(self, ns: str, key: CacheKey) -> None: ...\nstore = Store()", False),
}


@pytest.fixture(scope="module")
def store_check_output(mypy_dir):
    for name, (code, _) in STORES.items():
        (mypy_dir / f"store_{name.replace('-', '_')}.py").write_text(
            code + "\nfrom private_core.memoguard import BaseMemoguard\nBaseMemoguard()._cache = store\n")
    files = [f"store_{name.replace('-', '_')}.py" for name in STORES]
    # The stores' bodies are `...`: only their signatures are on trial.
    return run_mypy(mypy_dir, "mypy", "--config-file", "mypy.ini", "--strict", "--disable-error-code", "empty-body",
                    *files).stdout


@pytest.mark.parametrize("name", STORES)
def test_a_store_is_accepted_as_the_cache_exactly_when_it_has_the_store_methods(name, store_check_output):
    errors = [line for line in store_check_output.splitlines()
              if line.startswith(f"store_{name.replace('-', '_')}.py:") and ": error:" in line]
    assert bool(errors) != STORES[name][1], store_check_output
