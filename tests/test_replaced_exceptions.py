"""Exception classes replaced by doubles that return no exception.

Modules read their exception classes at call time, so callers and tests replace
them; when the replacement returns something that is no exception, every raising
path must give Python's TypeError, chained as a raise in Python would chain it.
The cases run in a child process per module: a crash fails one test, not the run.

Run as a script (`python -P this_file MODULE`), the file is that child.
"""

import json
import subprocess
import sys
import types
from unittest import mock

import pytest
import requests

MESSAGE = "exceptions must derive from BaseException"
REPLACEMENTS = {"none": lambda *a, **k: None, "mock": mock.Mock(), "text": lambda *a, **k: "not an exception"}


def answer(body, status=200):
    def decode():
        if isinstance(body, BaseException):
            raise body
        return body
    return types.SimpleNamespace(json=decode, status_code=status, text=str(body))


def session(reply=None, post=None):
    def get(path, params=None):
        return reply
    return types.SimpleNamespace(api_key="sk-test", get=get, post=post or (lambda path, json_body=None: reply))


def bad_bodies():
    return {"not_json": ValueError("no JSON"), "not_object": [1], "error": {"error": "down"},
            "not_series": {"data": 5}, "not_row": {"data": [5]}}


def price_cases(module_name):
    import private_core.daybars as db
    import private_core.ticklane as tl
    fetchers = {"daybars": {"fetch_ohlcv": db.fetch_ohlcv},
                "ticklane": {"fetch_ohlcv": tl.fetch_ohlcv,
                             "fetch_orderbook": lambda s, sym, **k: tl.fetch_orderbook(s, sym, "2024-01-02", **k)}}
    return {f"{name}/{kind}": (lambda f=fetch, b=body: f(session(answer(b)), "vnm", show_progress=False))
            for name, fetch in fetchers[module_name].items() for kind, body in bad_bodies().items()}


def ledgerbook_cases():
    import private_core.ledgerbook as lb
    return {
        "ensure_json_dict": lambda: lb._ensure_json_dict(5, context="x"),
        "decode_response": lambda: lb._decode_response(answer(ValueError("no JSON")), context="x"),
        "validate_company_types": lambda: lb.validate_company_types(session(answer([1])), ["vnm"]),
    }


def keygate_cases():
    import private_core.keygate as kg
    from tessaro.exceptions import HttpError

    def failing(error):
        def post(path, json_body=None):
            raise error
        return session(post=post)

    def validate(s):
        return kg.validate_api_key(s, client_version="1.0")
    return {
        "rejected": lambda: validate(failing(HttpError("HTTP 401", status_code=401, payload={"detail": "no"}))),
        "transport": lambda: validate(failing(HttpError("down"))),
        "unreachable": lambda: validate(failing(RuntimeError("boom"))),
        "invalid_json": lambda: validate(session(answer(ValueError("no JSON")))),
        "schema": lambda: validate(session(answer("not an object"))),
    }


def wirelink_cases():
    from private_core.wirelink import HttpSession

    def request(reply=None, error=None):
        s = HttpSession("sk-test", base_url="http://127.0.0.1:9/api")

        def send(method, url, **kwargs):
            if error is not None:
                raise error
            return reply
        s._session.request = send
        return lambda: s.get("x")
    return {"status": request(answer({"detail": "down"}, status=503)),
            "transport": request(error=requests.ConnectionError("refused"))}


def bridgework_cases():
    from private_core.investor.bridgework import InvestorBridgework
    return {kind: (lambda b=body: InvestorBridgework(session(answer(b))).fetch_df("stock", "flow", {"ids": ["VNM"]}))
            for kind, body in {"not_mapping": 5, "entry": [5], "not_list": {"VNM": 5}}.items()}


# module -> (cases, where the raised classes are bound, their names)
MODULES = {
    "daybars": (lambda: price_cases("daybars"), "private_core.daybars", ["DataDecodingError"]),
    "ticklane": (lambda: price_cases("ticklane"), "private_core.ticklane", ["DataDecodingError"]),
    "ledgerbook": (ledgerbook_cases, "private_core.ledgerbook", ["DataDecodingError"]),
    "keygate": (keygate_cases, "private_core.keygate", ["ApiKeyValidationError"]),
    "wirelink": (wirelink_cases, "tessaro.exceptions", ["HttpError"]),
    "bridgework": (bridgework_cases, "private_core.investor.bridgework", ["DataDecodingError"]),
}


def outcome(run):
    try:
        run()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return error
    return None


def child(module_name):
    """Every case of the module, first as it is, then with each replacement; the failures as JSON."""
    import importlib
    make_cases, where, names = MODULES[module_name]
    home = importlib.import_module(where)
    cases = make_cases()
    failures = []
    for case, run in cases.items():
        original = outcome(run)
        if not isinstance(original, tuple(getattr(home, n) for n in names)):
            failures.append(f"{case}: the unreplaced call gave {original!r}")
            continue
        handled = original.__cause__ or original.__context__
        for label, replacement in REPLACEMENTS.items():
            saved = {n: getattr(home, n) for n in names}
            for n in names:
                setattr(home, n, replacement)
            try:
                error = outcome(run)
            finally:
                for n, value in saved.items():
                    setattr(home, n, value)
            if type(error) is not TypeError or str(error) != MESSAGE:
                failures.append(f"{case}/{label}: {error!r}")
            elif error.__cause__ is not None or type(error.__context__) is not type(handled):
                failures.append(f"{case}/{label}: chained to {error.__cause__!r} / {error.__context__!r}")
    print(json.dumps({"cases": len(cases), "failures": failures}))


@pytest.mark.parametrize("module_name", MODULES)
def test_replaced_class_gives_type_error_on_every_raising_path(module_name):
    run = subprocess.run([sys.executable, "-P", __file__, module_name], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, f"child exited with {run.returncode}:\n{run.stderr[-3000:]}"
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["cases"] > 0 and report["failures"] == []


if __name__ == "__main__":
    child(sys.argv[1])
