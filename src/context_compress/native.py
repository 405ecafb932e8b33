"""The extension module `routes.context_compress`, found even where a host's
own `routes` package hides it.

A host whose `routes/__init__.py` does not extend its `__path__` makes
`import routes.context_compress` look in the host's directory only, where the
extension is not. The host library then loads the installed extension file
itself; the module registers itself in `sys.modules` under its full name, so
every later `import routes.context_compress` (the host's too) finds it there.
The host's package is left as it was: no attribute set, no path extended.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import sys
from pathlib import Path
from types import ModuleType

NAME = "routes.context_compress"


def load() -> ModuleType:
    """The extension module, imported the ordinary way when possible."""
    try:
        return importlib.import_module(NAME)
    except ModuleNotFoundError as exc:
        if exc.name != NAME:
            raise
        path = installed_file()
        if path is None:
            raise
    spec = importlib.util.spec_from_file_location(NAME, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return sys.modules.get(NAME, module)


def installed_file() -> Path | None:
    """The extension file in a `routes` directory beside this package, or in
    one under any entry of sys.path."""
    here = Path(__file__).resolve().parent.parent
    for directory in [here, *(Path(p) for p in sys.path if p)]:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = directory / "routes" / f"context_compress{suffix}"
            if candidate.is_file():
                return candidate
    return None
