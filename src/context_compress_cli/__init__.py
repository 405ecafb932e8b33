"""Deprecated: the package is `context_compress` now. This name re-exports the
same objects for one release and warns on import."""

import importlib
import sys
import warnings

warnings.warn("context_compress_cli is deprecated and will be removed; import context_compress instead",
              DeprecationWarning, stacklevel=2)

from context_compress import BAD_INPUT, FAILED, OK, PROG, __version__  # noqa: E402

# The old names of the modules, and where each lives now.
_MODULES = {"calibrate": "cli.commands.calibrate", "chat": "chat", "cli": "cli", "coverage": "coverage",
            "files": "cli.files", "texts": "texts"}

# `import context_compress_cli.chat` and `from context_compress_cli import chat`
# both give the module of the new package itself, not a copy.
for _name, _path in _MODULES.items():
    _module = importlib.import_module(f"context_compress.{_path}")
    sys.modules[f"{__name__}.{_name}"] = _module
    globals()[_name] = _module
del _name, _path, _module

__all__ = ["BAD_INPUT", "FAILED", "OK", "PROG", "__version__", *_MODULES]
