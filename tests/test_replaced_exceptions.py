"""Exception classes replaced by doubles that return no exception give Python's
TypeError on every raising path, chained as Python's raise chains it.  Each
module's cases run in a child process (this file run as a script), so a crash
fails one test instead of the run."""

import json
import subprocess
import sys
import types
from unittest import mock

import pytest
import requests

MESSAGE = "exceptions must derive from BaseException"
REPLACEMENTS = [lambda *a, **k: None, mock.Mock(), lambda *a, **k: "not an exception"]


def answer(body, status=200):
    def decode():
        if isinstance(body, BaseException):
            raise body
        return body
    return types.SimpleNamespace(json=decode, status_code=status, text=str(body))


def session(reply=None, error=None):
    def send(*args, **kwargs):
        if error is not None:
            raise error
        return reply
    return types.SimpleNamespace(api_key="sk-test", get=send, post=send, request=send)


BAD = [ValueError("no JSON"), [1], {"error": "down"}, {"data": 5}, {"data": [5]}]


def cases(name):
    """(module holding the raised class, its name, calls that raise it)."""
    from tessaro.exceptions import HttpError
    if name in ("daybars", "ticklane"):
        from private_core import daybars as db, ticklane as tl
        fetchers = [db.fetch_ohlcv] if name == "daybars" else [
            tl.fetch_ohlcv, lambda s, sym, **k: tl.fetch_orderbook(s, sym, "2024-01-02", **k)]
        return (db if name == "daybars" else tl), "DataDecodingError", [
            lambda f=f, b=b: f(session(answer(b)), "vnm", show_progress=False) for f in fetchers for b in BAD]
    if name == "ledgerbook":
        from private_core import ledgerbook as lb
        return lb, "DataDecodingError", [lambda: lb._ensure_json_dict(5, context="x"),
                                         lambda: lb._decode_response(answer(ValueError()), context="x"),
                                         lambda: lb.validate_company_types(session(answer([1])), ["vnm"])]
    if name == "keygate":
        from private_core import keygate as kg
        sessions = [session(error=HttpError("401", status_code=401, payload={"detail": "no"})),
                    session(error=HttpError("down")), session(error=RuntimeError("boom")),
                    session(answer(ValueError("no JSON"))), session(answer("not an object"))]
        return kg, "ApiKeyValidationError", [lambda s=s: kg.validate_api_key(s, client_version="1") for s in sessions]
    if name == "wirelink":
        import tessaro.exceptions
        from private_core.wirelink import HttpSession
        calls = []
        for s in (session(answer({"detail": "down"}, status=503)), session(error=requests.ConnectionError())):
            http = HttpSession("sk-test", base_url="http://127.0.0.1:9/api")
            http._session.request = s.request
            calls.append(lambda http=http: http.get("x"))
        return tessaro.exceptions, "HttpError", calls
    from private_core.investor import bridgework as bw
    return bw, "DataDecodingError", [
        lambda b=b: bw.InvestorBridgework(session(answer(b))).fetch_df("stock", "flow", {"ids": ["VNM"]})
        for b in (5, [5], {"VNM": 5})]


def outcome(run):
    try:
        run()
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return error


def child(name):
    home, cls_name, calls = cases(name)
    real, failures = getattr(home, cls_name), []
    for i, run in enumerate(calls):
        original = outcome(run)
        if not isinstance(original, real):
            failures.append(f"case {i} unreplaced: {original!r}")
            continue
        for replacement in REPLACEMENTS:
            setattr(home, cls_name, replacement)
            try:
                error = outcome(run)
            finally:
                setattr(home, cls_name, real)
            handled = original.__cause__ or original.__context__
            if (type(error), str(error), error.__cause__, type(error.__context__)) != (
                    TypeError, MESSAGE, None, type(handled)):
                failures.append(f"case {i} with {replacement!r}: {error!r} from {error.__context__!r}")
    print(json.dumps({"cases": len(calls), "failures": failures}))


@pytest.mark.parametrize("name", ["daybars", "ticklane", "ledgerbook", "keygate", "wirelink", "bridgework"])
def test_replaced_class_gives_type_error_on_every_raising_path(name):
    run = subprocess.run([sys.executable, "-P", __file__, name], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, f"child exited with {run.returncode}:\n{run.stderr[-3000:]}"
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["cases"] > 0 and report["failures"] == []


if __name__ == "__main__":
    child(sys.argv[1])
