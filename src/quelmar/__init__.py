"""quelmar: structural analysis of chemical reaction networks.

The compiled core is :mod:`quelmar.cyquelmar`.  Around it:

* :mod:`quelmar.loaders`: networks from SBML, cobrapy JSON, Antimony or
  reaction strings (:func:`load`, :func:`from_reactions`, ...);
* :mod:`quelmar.preparation`: :func:`regularity` (is the A-matrix
  structurally non-singular, and which part is not) and :func:`prune`
  (a structurally regular sub-network, with the reasons for each removal);
* :mod:`quelmar.analysis`: :func:`analyze`, the whole analysis in one call,
  whose result is an :class:`~quelmar.result.Analysis`;
* :mod:`quelmar.report` and :mod:`quelmar.page`: the text and HTML reports
  of an analysis; :mod:`quelmar.plot` and :mod:`quelmar.diagram`: its
  pictures;
* :mod:`quelmar.signs`: :func:`response_signs`, which way each species
  moves when a reaction's rate is raised;
* :mod:`quelmar.factors`: :func:`bifurcation_factors`, the factors of the
  A-matrix's determinant over the hierarchy, with their signs;
* :mod:`quelmar.batching`: :func:`batch`, many models or knockout variants
  on Dask (the ``batch`` extra);
* :mod:`quelmar.errors`: the exceptions and warnings;
* :mod:`quelmar.cli`: the ``quelmar`` command.
"""

import os as _os
from typing import TYPE_CHECKING

if _os.environ.get("QUELMAR_REBUILD", "") not in ("", "0"):
    # a developer asks for the compiled core to be rebuilt from the current
    # C++ sources first (see quelmar.devbuild)
    from .devbuild import rebuild

    rebuild()
    del rebuild

if TYPE_CHECKING:  # what the names below are bound to, for type checkers
    from . import cyquelmar as cyquelmar
    from .analysis import analyze as analyze
    from .batching import batch as batch
    from .cyquelmar import CRN as CRN
    from .diagram import write_diagram as write_diagram
    from .factors import bifurcation_factors as bifurcation_factors
    from .errors import LoadError as LoadError
    from .errors import MissingDependencyError as MissingDependencyError
    from .errors import ModelWarning as ModelWarning
    from .errors import SingularNetworkError as SingularNetworkError
    from .loaders import as_network as as_network
    from .loaders import from_reactions as from_reactions
    from .loaders import load as load
    from .loaders import load_antimony as load_antimony
    from .loaders import load_cobra_json as load_cobra_json
    from .loaders import load_sbml as load_sbml
    from .loaders import loads_antimony as loads_antimony
    from .loaders import loads_sbml as loads_sbml
    from .preparation import prune as prune
    from .preparation import regularity as regularity
    from .result import Analysis as Analysis
    from .signs import response_signs as response_signs
    from .signs import sign_decisions as sign_decisions

    __version__: str

# Each public name and the module it comes from.  The names are bound on
# first use, so that the command line starts (and can be interrupted
# cleanly) before NumPy, SciPy and the compiled core load.
_HOMES = {
    "CRN": "cyquelmar",
    "Analysis": "result",
    "analyze": "analysis",
    "batch": "batching",
    "write_diagram": "diagram",
    "bifurcation_factors": "factors",
    "LoadError": "errors",
    "MissingDependencyError": "errors",
    "ModelWarning": "errors",
    "SingularNetworkError": "errors",
    "as_network": "loaders",
    "from_reactions": "loaders",
    "load": "loaders",
    "load_antimony": "loaders",
    "load_cobra_json": "loaders",
    "load_sbml": "loaders",
    "loads_antimony": "loaders",
    "loads_sbml": "loaders",
    "regularity": "preparation",
    "prune": "preparation",
    "response_signs": "signs",
    "sign_decisions": "signs",
}

__all__ = ["cyquelmar", *_HOMES]


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
        return "0+unknown"


class _CoreDisplay:
    """Finds the compiled core as the other finders do and, once it has
    loaded, gives its ``CRN`` class a ``repr`` and a notebook view (see
    :mod:`quelmar.display`).  Removes itself after its one use."""

    NAME = __name__ + ".cyquelmar"

    def find_spec(self, fullname, path=None, target=None):
        import sys

        if fullname != self.NAME:
            return None
        if self in sys.meta_path:
            sys.meta_path.remove(self)
        spec = None
        for finder in list(sys.meta_path):  # what the import would find without us
            find = getattr(finder, "find_spec", None)
            spec = find(fullname, path, target) if find is not None else None
            if spec is not None:
                break
        if spec is not None and spec.loader is not None:
            spec.loader = _DisplayLoader(spec.loader)
        return spec


class _DisplayLoader:
    def __init__(self, loader):
        self.loader = loader

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        self.loader.exec_module(module)
        module.__loader__ = module.__spec__.loader = self.loader  # as if we were not here
        from .display import install
        install(module.CRN)


def _watch_for_core():
    import sys

    if __name__ + ".cyquelmar" not in sys.modules and not any(
            isinstance(f, _CoreDisplay) for f in sys.meta_path):
        sys.meta_path.insert(0, _CoreDisplay())


_watch_for_core()


def __getattr__(name):
    import importlib

    if name == "__version__":
        value = _version()
    elif name == "cyquelmar":
        return importlib.import_module(".cyquelmar", __name__)
    else:
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
