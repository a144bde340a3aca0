"""The first docstring line of every native function is a signature whose text
defaults are written in double quotes and read back as the real defaults."""

import ast
import importlib
import inspect

import pytest

MODULES = ["wirelink", "daybars", "ticklane", "memstore", "ttlrules", "memoguard", "ledgerbook", "keygate",
           "progress", "investor.bridgework", "investor.FlowContract", "_runtime_probe"]


def native_functions():
    seen = set()
    for name in MODULES:
        module = importlib.import_module(f"private_core.{name}")
        owners = [module, *(v for v in vars(module).values()
                            if isinstance(v, type) and v.__module__ == module.__name__)]
        for owner in owners:
            for value in vars(owner).values():
                value = getattr(value, "__func__", value)
                if type(value).__name__ == "native_function" and id(value) not in seen:
                    seen.add(id(value))
                    yield pytest.param(value, id=f"{name}.{value.__qualname__}")


WITH_TEXT_DEFAULTS = [p for p in native_functions()
                      if any(isinstance(q.default, str) for q in inspect.signature(p.values[0]).parameters.values())]


def test_the_walk_finds_the_text_defaults():
    assert {p.id for p in WITH_TEXT_DEFAULTS} >= {
        "wirelink.HttpSession.__init__", "daybars.fetch_ohlcv", "ticklane.fetch_ohlcv", "_runtime_probe.quoted"}


@pytest.mark.parametrize("fn", WITH_TEXT_DEFAULTS)
def test_text_defaults_are_double_quoted(fn):
    line = fn.__doc__.splitlines()[0]
    (parsed,) = ast.parse(f"def {line}: ...").body
    args = parsed.args
    shown = dict(zip([a.arg for a in args.args][len(args.args) - len(args.defaults):], args.defaults))
    shown.update((a.arg, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None)
    for param in inspect.signature(fn).parameters.values():
        if isinstance(param.default, str) and isinstance(shown[param.name], ast.Constant):
            assert ast.get_source_segment(f"def {line}: ...", shown[param.name]).startswith('"'), line
            assert shown[param.name].value == param.default
