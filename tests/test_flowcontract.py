"""The investor bridge contract: aliases, the protocol and its own fetch_df declaration."""

import inspect
import json
import subprocess
import sys
import typing

import pytest

import private_core.investor.FlowContract as fc
from private_core.investor.bridgework import InvestorBridgework


def test_aliases():
    assert typing.get_args(fc.InvestorGroup) == (
        "foreign", "proprietary", "local_institutional", "local_individual", "foreign_institutional",
        "foreign_individual", "all",
    )
    assert typing.get_args(fc.Interval) == ("1D", "1W", "1M")
    assert fc.SymbolArg == typing.Union[str, typing.Sequence[str]]


def test_protocol_shape():
    cls = fc.FlowContract
    assert cls.__module__ == "private_core.investor.FlowContract"
    assert cls.__annotations__ == {"session": "'HttpSession'"}
    assert not hasattr(cls, "session")
    doc = cls.__doc__.splitlines()
    assert doc[0] == "Contract mà private_core phải tuân theo cho investor.*."
    assert "Core implementors must expose an HttpSession via `session` so they can call APIs directly." in doc
    assert "Parameters" in doc and "Returns" in doc
    assert doc[-1].strip() == "BẮT BUỘC trả DataFrame (client sẽ không tự convert)."
    assert str(inspect.signature(cls.fetch_df)) == "(self, namespace: 'str', op: 'str', params: 'dict') -> 'pd.DataFrame'"
    assert cls.fetch_df.__doc__.splitlines()[0] == "fetch_df(self, namespace: str, op: str, params: dict) -> pd.DataFrame"


class WithBoth:
    session = None

    def fetch_df(self, namespace, op, params):
        return None


class FetchOnly:
    def fetch_df(self, namespace, op, params):
        return None


@pytest.mark.parametrize("obj, expected", [(InvestorBridgework(None), True), (WithBoth(), True), (FetchOnly(), False),
                                           (object(), False)])
def test_runtime_checkable(obj, expected):
    assert isinstance(obj, fc.FlowContract) is expected


class Text(str):
    pass


class Table(dict):
    pass


def test_declared_fetch_df_checks_its_arguments():
    assert fc.FlowContract.fetch_df(object(), "stock", "flow", {}) is None
    assert fc.FlowContract.fetch_df(self=1, namespace="a", op="b", params={}) is None
    for args, name in [((Text("stock"), "flow", {}), "namespace"), (("stock", None, {}), "op"),
                       (("stock", "flow", Table()), "params"), (("stock", "flow", []), "params")]:
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            fc.FlowContract.fetch_df(object(), *args)
    with pytest.raises(TypeError):
        fc.FlowContract.fetch_df(object(), "stock", "flow")
    with pytest.raises(TypeError):
        fc.FlowContract.fetch_df(object(), "stock", "flow", {}, extra=1)


def test_import_loads_neither_the_session_module_nor_requests():
    probe = ("import json, sys; before = set(sys.modules); import private_core.investor.FlowContract as m; "
             "print(json.dumps(sorted(set(sys.modules) - before)))")
    out = subprocess.run([sys.executable, "-P", "-c", probe], capture_output=True, text=True, check=True, cwd="/")
    loaded = set(json.loads(out.stdout))
    assert "pandas" in loaded
    assert not loaded & {"private_core.wirelink", "requests", "tessaro", "private_core.progress"}


def test_bridgework_needs_the_host_package():
    probe = "import sys; sys.modules['tessaro'] = None; import private_core.investor.bridgework"
    out = subprocess.run([sys.executable, "-P", "-c", probe], capture_output=True, text=True, cwd="/")
    assert out.returncode != 0 and "ModuleNotFoundError" in out.stderr
