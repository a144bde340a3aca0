"""URL joining: the native join of common API paths agrees with urljoin."""

import random
from urllib.parse import urljoin

import pytest

import private_core.wirelink as wl
from private_core.wirelink import HttpSession

BASES = [
    "https://api.tessaro.vn/api/v1/tessaro", "http://127.0.0.1:8080/api/", "https://h", "https://h/", "https://h//",
    "https://h/a//b", "https://h/a/./b", "https://h/a/../b", "https://h/a/.", "https://h/a?x=1", "https://h/a#f",
    "https://h/a;p", "HTTPS://h/a", "ftp://h/a", "https://[::1]/a", "https://user@h/a", "https://h/a b", "https://h/é",
    "https://h/a%20b", "https://h:/a", "https:///a", "", "/relative/only", "https://h/a\\b",
]
PATHS = [
    "x", "/market-data/eod/ohlcv", "x/y/", "x//y", "./x", "../x", "x/.", "x/..", "x/./y", "a:b", "x?q=1", "x#f",
    "x;p", "//other.host/x", "http://elsewhere/x", "", "/", "x y", "é", "%41", "x\\y", "~user/x", "x/.../y", ".x",
]


def reference(base, path):
    if path.startswith(("http://", "https://")):
        return path
    return urljoin(base.rstrip("/") + "/", path.lstrip("/"))


@pytest.mark.parametrize("base", BASES)
def test_join_agrees_with_urljoin(base):
    session = HttpSession("k", base_url=base)
    for path in PATHS:
        assert session._prepare_url(path) == reference(base, path), (base, path)


def test_join_agrees_on_random_paths():
    alphabet = "ab/.:?#;%-_~ \\[]@!=+é"
    rng = random.Random(7)
    session = HttpSession("k", base_url="https://api.example.test/v1")
    for _ in range(5000):
        path = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 8)))
        assert session._prepare_url(path) == reference("https://api.example.test/v1", path), path


def test_replaced_urljoin_is_called(monkeypatch):
    calls = []
    monkeypatch.setattr(wl, "urljoin", lambda base, path: calls.append((base, path)) or "joined")
    assert HttpSession("k", base_url="https://h/api")._prepare_url("x/y") == "joined"
    assert calls == [("https://h/api/", "x/y")]
