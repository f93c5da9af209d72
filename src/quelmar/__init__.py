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
    from .errors import LoadError as LoadError
    from .errors import ModelWarning as ModelWarning
    from .errors import SingularNetworkError as SingularNetworkError
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
    "LoadError": "errors",
    "ModelWarning": "errors",
    "SingularNetworkError": "errors",
    "from_reactions": "loaders",
    "load": "loaders",
    "load_antimony": "loaders",
    "load_cobra_json": "loaders",
    "load_sbml": "loaders",
    "loads_antimony": "loaders",
    "loads_sbml": "loaders",
    "regularity": "preparation",
    "prune": "preparation",
}

__all__ = ["cyquelmar", *_HOMES]


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version(__name__)
    except metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
        return "0+unknown"


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
