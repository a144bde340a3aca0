"""Text defaults in the first docstring line of every native function are
written in double quotes and read back as the real defaults."""

import ast
import importlib
import inspect

import pytest

MODULES = ["wirelink", "daybars", "ticklane", "memstore", "ttlrules", "memoguard", "ledgerbook", "keygate",
           "progress", "investor.bridgework", "investor.FlowContract", "_runtime_probe"]


def with_text_defaults():
    for name in MODULES:
        module = importlib.import_module(f"private_core.{name}")
        for owner in [module, *(v for v in vars(module).values() if isinstance(v, type))]:
            for fn in vars(owner).values():
                fn = getattr(fn, "__func__", fn)
                if type(fn).__name__ == "native_function" and fn.__module__ == module.__name__ and any(
                        isinstance(p.default, str) for p in inspect.signature(fn).parameters.values()):
                    yield pytest.param(fn, id=f"{name}.{fn.__qualname__}")


FUNCTIONS = list({id(p.values[0]): p for p in with_text_defaults()}.values())


def test_every_function_with_a_text_default_is_checked():
    assert {p.id for p in FUNCTIONS} >= {"wirelink.HttpSession.__init__", "daybars.fetch_ohlcv",
                                         "ticklane.fetch_ohlcv", "_runtime_probe.quoted"}


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_text_defaults_are_double_quoted(fn):
    source = f"def {fn.__doc__.splitlines()[0]}: ..."
    args = ast.parse(source).body[0].args
    positional = args.posonlyargs + args.args
    shown = dict(zip([a.arg for a in positional[len(positional) - len(args.defaults):]], args.defaults))
    shown.update((a.arg, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None)
    for param in inspect.signature(fn).parameters.values():
        if isinstance(param.default, str) and isinstance(shown[param.name], ast.Constant):  # not a global's name
            assert ast.get_source_segment(source, shown[param.name]).startswith('"'), source
            assert shown[param.name].value == param.default
