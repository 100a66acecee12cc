"""The errors of a run that are not mistakes in a call, and the import of optional packages.

A `RunError` says, in one line, why a run cannot go on for a reason outside its arguments: an
engine that cannot be reached or whose worker died (`exokern.engines.EngineError`), a store
laid out for another run (`exokern.grid.StoreError`), an optional package that is not
installed (`MissingDependency`). The commands print it as their one-line error (status 1).
Bad arguments raise ValueError, as everywhere in Python.
"""

from __future__ import annotations

import importlib
from typing import Any


class RunError(Exception):
    """A run that cannot go on; the message says why in one line."""


class MissingDependency(RunError):
    """An optional package a part of exokern needs is not installed."""


def require(module: str, extra: str, purpose: str) -> Any:
    """Import the optional `module`, or raise MissingDependency naming the extra that installs
    it: "`module` is missing: `purpose` needs pip install "exokern[`extra`]"."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingDependency(f"{module} is missing: {purpose} needs "
                                f'pip install "exokern[{extra}]"') from None
