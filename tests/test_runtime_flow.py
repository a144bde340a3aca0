"""The runtime's control flow, exception handling, defaults and argument checks."""

import inspect
import sys

import pytest

probe = pytest.importorskip("private_core._runtime_probe")


class Boom(Exception):
    pass


class ClosingFailed(Exception):
    pass


def fail(exc):
    def raiser():
        raise exc

    return raiser


# -- try/finally ---------------------------------------------------------------


@pytest.mark.parametrize("body_fails, closing_fails", [(False, False), (True, False), (False, True), (True, True)])
def test_try_finally_runs_the_closing_action_once_on_every_exit(body_fails, closing_fails):
    seen = []
    body_error, closing_error = Boom("body"), ClosingFailed("closing")

    def body():
        seen.append("body")
        if body_fails:
            raise body_error
        return "result"

    def closing():
        seen.append(("closing", sys.exception()))
        if closing_fails:
            raise closing_error

    if not body_fails and not closing_fails:
        assert probe.try_finally(body, closing) == "result"
    else:
        with pytest.raises(Exception) as info:
            probe.try_finally(body, closing)
        # The closing action's error wins, with the body's as its context.
        assert info.value is (closing_error if closing_fails else body_error)
        if body_fails and closing_fails:
            assert closing_error.__context__ is body_error and closing_error.__cause__ is None
    # While it runs, the closing action sees the body's error as being handled.
    assert seen == ["body", ("closing", body_error if body_fails else None)]
    assert sys.exception() is None


def test_try_finally_closes_on_a_cpp_exception():
    closed = []
    with pytest.raises(MemoryError):
        probe.finally_bad_alloc(lambda: closed.append(sys.exception()))
    assert len(closed) == 1 and isinstance(closed[0], MemoryError)


# -- with ----------------------------------------------------------------------


class Manager:
    def __init__(self, swallow=False, exit_error=None):
        self.swallow, self.exit_error, self.calls = swallow, exit_error, []

    def __enter__(self):
        self.calls.append("enter")
        return self

    def __exit__(self, exc_type, exc, tb):
        self.calls.append((exc_type, exc, tb is not None))
        if self.exit_error is not None:
            raise self.exit_error
        return self.swallow


def test_with_normal_exit():
    manager = Manager()
    assert probe.with_(manager, lambda: 42) == 42
    assert manager.calls == ["enter", (None, None, False)]


def test_with_passes_the_exception_to_exit_and_propagates_it():
    manager, error = Manager(), Boom("inside")
    with pytest.raises(Boom) as info:
        probe.with_(manager, fail(error))
    assert info.value is error
    assert manager.calls == ["enter", (Boom, error, True)]


def test_with_swallowing_exit_yields_none():
    manager = Manager(swallow=True)
    assert probe.with_(manager, fail(Boom())) is None


def test_with_error_in_exit_chains_to_the_body_error():
    error, exit_error = Boom("inside"), ClosingFailed("exit")
    with pytest.raises(ClosingFailed) as info:
        probe.with_(Manager(exit_error=exit_error), fail(error))
    assert info.value is exit_error and exit_error.__context__ is error


def test_with_error_in_exit_after_success_propagates():
    with pytest.raises(ClosingFailed):
        probe.with_(Manager(exit_error=ClosingFailed()), lambda: 1)


def test_with_looks_the_protocol_up_on_the_type():
    manager = Manager()
    manager.__exit__ = lambda *a: pytest.fail("an instance attribute is not the protocol")
    assert probe.with_(manager, lambda: 1) == 1

    class EnterOnly:
        def __enter__(self):
            return self

    with pytest.raises(TypeError, match=r"^'object' object does not support the context manager protocol$"):
        probe.with_(object(), lambda: 1)
    with pytest.raises(TypeError, match=r"protocol \(missed __exit__ method\)$"):
        probe.with_(EnterOnly(), lambda: 1)


# -- exceptions ------------------------------------------------------------------


def test_handling_marks_the_exception_for_the_scope_only():
    error = Boom("handled")
    assert probe.handling(error, sys.exception) is error
    assert sys.exception() is None
    # An exception raised meanwhile takes the handled one as its context.
    with pytest.raises(KeyError) as info:
        probe.handling(error, fail(KeyError("new")))
    assert info.value.__context__ is error
    assert sys.exception() is None


def test_handling_restores_an_outer_handled_exception():
    outer = Boom("outer")
    try:
        raise outer
    except Boom:
        assert probe.handling(ValueError("inner"), sys.exception).args == ("inner",)
        assert sys.exception() is outer


def test_raise_during_sets_context_not_cause():
    handled, exc = Boom("handled"), ValueError("raised")
    with pytest.raises(ValueError) as info:
        probe.raise_during(exc, handled)
    assert info.value is exc and exc.__context__ is handled and exc.__cause__ is None


def test_catch_matching_reads_the_class_at_the_time_of_the_exception(monkeypatch):
    error = KeyError("x")  # ProbeError is bound to LookupError
    assert probe.catch_matching(fail(error)) is error
    monkeypatch.setattr(probe, "ProbeError", Boom)
    with pytest.raises(KeyError) as info:
        probe.catch_matching(fail(error))
    assert info.value is error  # re-raised unchanged
    boom = Boom()
    assert probe.catch_matching(fail(boom)) is boom
    assert probe.catch_matching(lambda: None) is None


def test_catch_matching_lookup_error_chains_to_the_pending_exception(monkeypatch):
    monkeypatch.delattr(probe, "ProbeError")
    error = Boom()
    with pytest.raises(NameError, match="ProbeError") as info:
        probe.catch_matching(fail(error))
    assert info.value.__context__ is error


# -- function creation ---------------------------------------------------------------


def test_missing_global_default_is_a_name_error():
    with pytest.raises(NameError, match="name 'NOT_BOUND_ANYWHERE' is not defined"):
        probe.make("missing_default")


def test_parameter_count_limit():
    most = probe.make("most")
    assert len(inspect.signature(most).parameters) == 12
    with pytest.raises(SystemError, match="declares 13 parameters; native functions take at most 12"):
        probe.make("too_many")


# -- __defaults__ and __kwdefaults__ -----------------------------------------------------


@pytest.fixture
def bench():
    fn = probe.bench  # (session, symbol, start=None, end=None, *, show_progress=True)
    defaults, kwdefaults = fn.__defaults__, fn.__kwdefaults__
    yield fn
    fn.__defaults__, fn.__kwdefaults__ = defaults, kwdefaults


def test_defaults_are_stored_objects(bench):
    assert bench.__defaults__ is bench.__defaults__
    assert bench.__kwdefaults__ is bench.__kwdefaults__


def test_changing_kwdefaults_changes_calls():
    def show(**kw):
        return probe.conversions("x", [], i=1, **kw)

    kwdefaults = probe.conversions.__kwdefaults__
    saved = dict(kwdefaults)
    try:
        kwdefaults["f"] = 99
        kwdefaults["b"] = 0
        result = show()
        # A changed default goes through the parameter's conversion rule.
        assert result[6] == 99.0 and type(result[6]) is float and result[7] is False
        assert inspect.signature(probe.conversions).parameters["f"].default == 99
        del kwdefaults["f"]
        with pytest.raises(TypeError, match="needs keyword-only argument f"):
            show()
    finally:
        kwdefaults.clear()
        kwdefaults.update(saved)


def test_assigning_defaults(bench):
    bench.__defaults__ = ("a", "b")
    assert bench.__defaults__ == ("a", "b")
    sig = inspect.signature(bench)
    assert sig.parameters["start"].default == "a" and sig.parameters["end"].default == "b"
    bench.__defaults__ = ("s", "sym", "a", "b")  # every positional parameter now has one
    assert bench() == "s"
    bench.__defaults__ = None
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'start' and 'end'"):
        bench(1, "VNM")
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        bench.__defaults__ = ["a"]
    del bench.__defaults__
    assert bench.__defaults__ is None


def test_assigning_kwdefaults(bench):
    bench.__kwdefaults__ = {"show_progress": 0}
    assert bench.__kwdefaults__ == {"show_progress": 0}
    bench.__kwdefaults__ = None
    with pytest.raises(TypeError, match="needs keyword-only argument show_progress"):
        bench(1, "VNM")
    with pytest.raises(TypeError, match="__kwdefaults__ must be set to a dict object"):
        bench.__kwdefaults__ = [("show_progress", True)]


def test_default_values_are_checked_like_arguments(bench):
    bench.__defaults__ = (5, None)
    with pytest.raises(TypeError, match=r"Argument 'start' has incorrect type \(expected str, got int\)"):
        bench(1, "VNM")


def test_a_default_replaced_during_the_call_stays_alive():
    kwdefaults = probe.conversions.__kwdefaults__
    saved = dict(kwdefaults)

    class Flag:
        def __bool__(self):
            # Runs while the call is being set up: the old default loses its
            # last reference here.
            kwdefaults["a"] = "new"
            return True

    try:
        kwdefaults["a"] = "".join(["old", "-", "value"])
        assert probe.conversions("x", [], i=1, b=Flag())[8] == "old-value"
    finally:
        kwdefaults.clear()
        kwdefaults.update(saved)


# -- checked argument access (Debug and sanitizer builds) ----------------------------------


@pytest.mark.skipif(not probe.CHECKED_ARGS, reason="argument accesses are checked in Debug builds only")
@pytest.mark.parametrize("how, message", [
    ("index", r"misread\(\): argument index 2 is out of range \(2 parameters\)"),
    ("real", r"misread\(\): argument 'text' is read with a conversion rule it does not have"),
    ("flag", r"misread\(\): argument 'text' is read with a conversion rule it does not have"),
])
def test_wrong_argument_access_is_caught(how, message):
    with pytest.raises(SystemError, match=message):
        probe.misread(how)


def test_correct_argument_access_passes():
    assert probe.misread("other", True) is True


# -- work without the GIL and exception texts ------------------------------------


def test_without_gil_takes_the_gil_back_on_return_and_on_a_cpp_exception():
    # A thread running Python code meanwhile shows the GIL really was given up and taken back.
    import threading

    stop = threading.Event()

    def spin():
        while not stop.is_set():
            pass

    worker = threading.Thread(target=spin)
    worker.start()
    try:
        for _ in range(200):
            assert probe.without_gil(False) == 7
            with pytest.raises(MemoryError):
                probe.without_gil(True)
    finally:
        stop.set()
        worker.join()


@pytest.mark.parametrize("exc, limit, text", [
    (ValueError("bad value"), 200, "ValueError: bad value"),
    (KeyError("k"), 200, "KeyError: 'k'"),
    (RuntimeError("é" * 10), 4, "RuntimeError: éé"),
    (type("Custom", (Exception,), {})("x" * 300), 200, "Custom: " + "x" * 200),
])
def test_exception_text(exc, limit, text):
    assert probe.exception_text(exc, limit) == text
