"""Native core of the market-data client.

The package imports nothing on its own: each extension module is loaded by
its dotted name and brings in only what it needs.
"""

import os
import sys
from importlib.machinery import EXTENSION_SUFFIXES

# A script run from the repository root has the root first on sys.path, so
# this folder of sources (no compiled modules in it) is found before the
# installed package.  Its submodules are then looked up in the installed copy
# instead; with none installed, the error says what to do.


def _is_built(folder: str) -> bool:
    return any(os.path.isfile(os.path.join(folder, "wirelink" + suffix)) for suffix in EXTENSION_SUFFIXES)


def _installed_copy(here: str) -> str | None:
    for entry in sys.path:
        folder = os.path.join(os.path.abspath(entry or os.curdir), __name__)
        if os.path.realpath(folder) != here and _is_built(folder):
            return folder
    return None


def _use_installed_copy() -> None:
    here = os.path.realpath(__path__[0])
    if _is_built(here):
        return
    installed = _installed_copy(here)
    if installed is None:
        raise ImportError(
            f"private_core is imported from its source folder ({here}), which holds no compiled modules, and no "
            "built copy is installed on this interpreter's path. Build and install it (`make build` creates "
            "`.venv`), then run your script with `.venv/bin/python`, or run it from outside the repository."
        )
    __path__[:] = [installed]


_use_installed_copy()
del _is_built, _installed_copy, _use_installed_copy
