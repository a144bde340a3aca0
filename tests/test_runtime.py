"""The native runtime on its own, through the test-only probe module."""

import dataclasses
import functools
import gc
import inspect
import pickle
import sys
import tracemalloc
import weakref

import pytest

probe = pytest.importorskip("private_core._runtime_probe")


def call_conversions(**overrides):
    args = dict(s="x", l=[], i=1)
    args.update(overrides)
    return probe.conversions(**args)


# -- argument conventions ---------------------------------------------------


@pytest.mark.parametrize(
    "name, value, expected_type",
    [
        ("s", 1, "str"),
        ("s", None, "str"),
        ("s", type("S", (str,), {})("x"), "str"),
        ("os", b"x", "str"),
        ("d", [], "dict"),
        ("d", type("D", (dict,), {})(), "dict"),
        ("l", (), "list"),
        ("l", type("L", (list,), {})(), "list"),
        ("i", "3", "int"),
        ("i", None, "int"),
        ("i", [], "int"),
        ("oi", "3", "int"),
    ],
)
def test_type_mismatch_message(name, value, expected_type):
    with pytest.raises(TypeError) as info:
        call_conversions(**{name: value})
    got = type(value).__name__
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected_type}, got {got})"


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("i", 12.9, 12),
        ("i", -2.5, -2),
        ("i", True, 1),
        ("oi", None, None),
        ("oi", 3.7, 3),
        ("f", 2, 2.0),
        ("f", True, 1.0),
        ("b", 0, False),
        ("b", [1], True),
        ("b", "", False),
        ("os", None, None),
        ("d", None, None),
    ],
)
def test_conversions(name, value, expected):
    names = list(inspect.signature(probe.conversions).parameters)
    result = call_conversions(**{name: value})[names.index(name)]
    assert result == expected and type(result) is type(expected)


def test_int_conversion_keeps_exact_ints_and_uses_index():
    class Index:
        def __index__(self):
            return 7

    big = 10**40
    assert call_conversions(i=big)[4] is big
    assert call_conversions(i=Index())[4] == 7


@pytest.mark.parametrize("value, error", [(float("nan"), ValueError), (float("inf"), OverflowError)])
def test_int_conversion_errors_propagate(value, error):
    with pytest.raises(error):
        call_conversions(i=value)


def test_float_conversion_refuses_text():
    with pytest.raises(TypeError, match="must be real number, not str"):
        call_conversions(f="1.5")


def test_bool_conversion_propagates_truth_errors():
    class Unsure:
        def __bool__(self):
            raise RuntimeError("undecided")

    with pytest.raises(RuntimeError, match="undecided"):
        call_conversions(b=Unsure())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: probe.conversions(), "conversions() missing 2 required positional arguments: 's' and 'l'"),
        (lambda: probe.conversions("x"), "conversions() missing 1 required positional argument: 'l'"),
        (lambda: probe.conversions("x", []), "conversions() needs keyword-only argument i"),
        (
            lambda: probe.conversions("x", [], None, None, 5, i=1),
            "conversions() takes from 2 to 4 positional arguments but 5 were given",
        ),
        (lambda: probe.conversions("x", [], i=1, zz=2), "conversions() got an unexpected keyword argument 'zz'"),
        (lambda: probe.conversions("x", [], i=1, s="y"), "conversions() got multiple values for argument 's'"),
        (lambda: probe.greet(1), "greet() takes 0 positional arguments but 1 was given"),
        (lambda: probe.Mixin.describe(), "Mixin.describe() missing 2 required positional arguments: 'self' and 'tag'"),
    ],
)
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_var_args_collect_extras():
    assert probe.varargs(1) == (1, (), {})
    assert probe.varargs(1, 2, 3, x=4, first_not=5) == (1, (2, 3), {"x": 4, "first_not": 5})
    with pytest.raises(TypeError, match="multiple values for argument 'first'"):
        probe.varargs(1, first=2)


# -- introspection ------------------------------------------------------------


def test_function_attributes():
    fn = probe.conversions
    assert fn.__name__ == fn.__qualname__ == "conversions"
    assert fn.__module__ == "private_core._runtime_probe"
    assert fn.__globals__ is vars(probe)
    assert fn.__doc__.splitlines()[0] == (
        "conversions(s: str, l: list, os: Optional[str] = None, d: Optional[dict] = None, *, i: int, "
        "oi: Optional[int] = None, f: float = 1.0, b: bool = True, a: Any = \"x\", g: str = GREETING) -> tuple"
    )
    assert fn.__doc__.split("\n\n", 1)[1] == "Echo the converted arguments."
    assert fn.__annotations__ == {
        "s": "str",
        "l": "list",
        "os": "Optional[str]",
        "d": "Optional[dict]",
        "i": "int",
        "oi": "Optional[int]",
        "f": "float",
        "b": "bool",
        "a": "Any",
        "g": "str",
        "return": "tuple",
    }
    assert fn.__defaults__ == (None, None)
    assert fn.__kwdefaults__ == {"oi": None, "f": 1.0, "b": True, "a": "x", "g": "hello"}
    assert probe.greet.__defaults__ is None and probe.greet.__kwdefaults__ is None
    assert repr(fn).startswith("<function conversions at 0x")


def test_signature_kinds_defaults_and_annotations():
    sig = inspect.signature(probe.conversions)
    kinds = {name: p.kind for name, p in sig.parameters.items()}
    assert kinds["s"] is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert kinds["i"] is inspect.Parameter.KEYWORD_ONLY
    assert sig.parameters["g"].default == "hello"
    assert sig.parameters["i"].default is inspect.Parameter.empty
    assert sig.parameters["os"].annotation == "Optional[str]"
    assert sig.return_annotation == "tuple"
    var = inspect.signature(probe.varargs).parameters
    assert [p.kind for p in var.values()] == [
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
        inspect.Parameter.VAR_POSITIONAL,
        inspect.Parameter.VAR_KEYWORD,
    ]


def test_signature_of_methods_classes_and_partials():
    assert str(inspect.signature(probe.Mixin.describe)) == "(self, tag: 'str') -> 'str'"
    assert str(inspect.signature(probe.Mixin().describe)) == "(tag: 'str') -> 'str'"
    assert str(inspect.signature(functools.partial(probe.bench, 1))) == (
        "(symbol: 'str', start: 'Optional[str]' = None, end: 'Optional[str]' = None, *, "
        "show_progress: 'bool' = True) -> 'object'"
    )


def test_defaults_are_fixed_at_creation_but_globals_read_at_call(monkeypatch):
    monkeypatch.setattr(probe, "GREETING", "changed")
    assert probe.greet() == "changed"
    assert call_conversions()[-1] == "hello"


def test_globals_fall_back_to_builtins_then_name_error(monkeypatch):
    import builtins

    monkeypatch.delattr(probe, "GREETING")
    with pytest.raises(NameError, match="name 'GREETING' is not defined"):
        probe.greet()
    monkeypatch.setattr(builtins, "GREETING", "from builtins", raising=False)
    before = sys.getrefcount(vars(builtins))
    for _ in range(1000):
        assert probe.greet() == "from builtins"
    assert sys.getrefcount(vars(builtins)) - before < 10  # not one reference per call


def test_pickles_by_reference():
    assert pickle.loads(pickle.dumps(probe.bench)) is probe.bench
    assert pickle.loads(pickle.dumps(probe.Mixin.describe)) is probe.Mixin.describe


def test_function_dict_and_weakref():
    probe.greet.marker = 1
    try:
        assert probe.greet.__dict__ == {"marker": 1}
    finally:
        del probe.greet.marker
    assert weakref.ref(probe.greet)() is probe.greet


def test_native_function_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(probe.greet)()


# -- classes ------------------------------------------------------------------------


class Base:
    def __init__(self, x, y=2):
        self.x, self.y = x, y


class Client(probe.Mixin, Base):
    pass


def test_method_binds_in_mixed_in_class():
    client = Client(1, y=5)
    assert (client.x, client.y, client.ready) == (1, 5, True)
    assert client.describe("t") == "Client:t"
    assert probe.Mixin.describe.__get__(client)("u") == probe.Mixin.describe(client, "u")
    assert client.describe.__self__ is client
    assert probe.Mixin.describe.__qualname__ == "Mixin.describe"


def test_method_lookup_goes_through_self():
    class Renamed(Client):
        def name(self):
            return "renamed"

    assert Renamed(0).describe("t") == "renamed:t"


def test_cooperative_init_passes_arguments_on():
    with pytest.raises(TypeError):
        Client()  # Base.__init__ misses x
    assert probe.Mixin.__module__ == "private_core._runtime_probe"
    assert probe.Mixin.__doc__ == "A cooperative mixin."


def test_dataclass_record():
    assert dataclasses.is_dataclass(probe.Record)
    record = probe.Record(3)
    assert (record.value, record.label, record.double()) == (3, "none", 6)
    assert record == probe.Record(3, "none")
    assert repr(record) == "Record(value=3, label='none')"
    assert [f.name for f in dataclasses.fields(record)] == ["value", "label"]
    assert probe.Record.__annotations__ == {"value": "int", "label": "str"}


def test_runtime_checkable_protocol():
    class Good:
        session = None

        def fetch(self, name):
            return name

    class NoSession:
        def fetch(self, name):
            return name

    assert isinstance(Good(), probe.Fetcher)
    assert not isinstance(NoSession(), probe.Fetcher)
    assert probe.Fetcher.fetch(object(), "x") is None
    assert probe.Fetcher.__module__ == "private_core._runtime_probe"
    assert probe.__all__ == ["conversions", "varargs", "Mixin", "Record", "Fetcher"]


# -- errors and references --------------------------------------------------------------


def test_raise_from_sets_cause_and_context():
    with pytest.raises(ValueError, match="wrapped") as info:
        probe.chained()
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__context__ is info.value.__cause__
    assert info.value.__suppress_context__


def test_functions_in_cycles_are_collected():
    cls = type("Holder", (), {"f": probe.greet})
    ref = weakref.ref(cls)
    del cls
    gc.collect()
    assert ref() is None


def assert_memory_flat(call, rounds=20000):
    for _ in range(200):
        call()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            call()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20000, f"{grown} bytes kept after {rounds} calls"


def swallowing(call):
    def run():
        try:
            call()
        except Exception:
            pass

    return run


@pytest.mark.parametrize(
    "call",
    [
        lambda: call_conversions(i=2.5, f=1, b=0, oi=3.5),
        lambda: probe.varargs(1, 2, x=3),
        lambda: Client(1).describe("t"),
        lambda: probe.Record(1).double(),
        swallowing(lambda: probe.conversions(1, [], i=1)),
        swallowing(lambda: probe.conversions("x", [], i="no")),
        swallowing(lambda: probe.conversions("x", [], i=1, zz=1)),
        swallowing(probe.chained),
    ],
)
def test_calls_do_not_leak(call):
    assert_memory_flat(call)


def test_refcounts_of_arguments_are_balanced():
    value = object()
    base = sys.getrefcount(value)
    for _ in range(1000):
        probe.conversions("x", [], i=1, a=value)
        probe.varargs(value, value, k=value)
    assert sys.getrefcount(value) == base
