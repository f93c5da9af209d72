"""The optional libraries, the extras of quelmar that bring them, and the
one message for a library that is missing (:func:`require`)."""

from __future__ import annotations

import importlib
from types import ModuleType

from .errors import MissingDependencyError

__all__ = ["EXTRAS", "install_hint", "missing_message", "require"]

#: top-level module -> (distribution to install, extra of quelmar that has it)
EXTRAS: dict[str, tuple[str, str]] = {
    "libsbml": ("python-libsbml", "models"),
    "antimony": ("antimony", "models"),
    "graphviz": ("graphviz", "models"),
    "matplotlib": ("matplotlib", "plot"),
    "pandas": ("pandas", "interop"),
    "networkx": ("networkx", "interop"),
    "cobra": ("cobra", "interop"),
    "roadrunner": ("libroadrunner", "interop"),
    "dask": ("dask", "batch"),
    "distributed": ("distributed", "batch"),
    "pyarrow": ("pyarrow", "batch"),
    "tqdm": ("tqdm", "progress"),
}


def install_hint(extra: str) -> str:
    return f"pip install 'quelmar[{extra}]'"


def missing_message(purpose: str, module: str) -> str:
    """"the heat map needs matplotlib (pip install 'quelmar[plot]')"."""
    dist, extra = EXTRAS[module.partition(".")[0]]
    return f"{purpose} needs {dist} ({install_hint(extra)})"


def require(module: str, purpose: str) -> ModuleType:
    """Import ``module`` (one of :data:`EXTRAS` or a submodule), or raise
    :class:`~quelmar.errors.MissingDependencyError` saying that ``purpose``
    needs it and which extra brings it.  An import error of some other
    module (a broken installation) passes unchanged."""
    top = module.partition(".")[0]
    try:
        return importlib.import_module(module)
    except ImportError as e:
        if e.name is not None and e.name.partition(".")[0] != top:
            raise
        raise MissingDependencyError(missing_message(purpose, module), name=top,
                                     extra=EXTRAS[top][1]) from None
