"""quelmar: structural analysis of chemical reaction networks.

The compiled core is :mod:`quelmar.cyquelmar`.  Around it:

* :mod:`quelmar.loaders`: networks from SBML, cobrapy JSON, Antimony or
  reaction strings (:func:`load`, :func:`from_reactions`, ...);
* :mod:`quelmar.preparation`: :func:`regularity` (is the A-matrix
  structurally non-singular, and which part is not) and :func:`prune`
  (a structurally regular sub-network, with the reasons for each removal);
* :mod:`quelmar.analysis`: :func:`analyze`, the whole analysis in one call;
* :mod:`quelmar.report`: the text and HTML reports of an analysis;
* :mod:`quelmar.signs`: :func:`response_signs`, which way each species
  moves when a reaction's rate is raised;
* :mod:`quelmar.diagram`: the buffering-structure hierarchy as a diagram;
* :mod:`quelmar.batching`: :func:`batch`, many models or knockout variants on
  Dask (the ``batch`` extra);
* :mod:`quelmar.cli`: the ``quelmar`` command.
"""

__all__ = [
    "cyquelmar",
    "CRN",
    "Analysis",
    "analyze",
    "LoadError",
    "ModelWarning",
    "load",
    "load_sbml",
    "loads_sbml",
    "load_cobra_json",
    "load_antimony",
    "loads_antimony",
    "from_reactions",
    "write_diagram",
    "regularity",
    "prune",
    "batch",
    "response_signs",
    "sign_decisions",
]

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # what the names below are bound to, for type checkers
    from . import cyquelmar
    from .analysis import Analysis, analyze
    from .batching import batch
    from .cyquelmar import CRN
    from .diagram import write_diagram
    from .preparation import prune, regularity
    from .signs import response_signs, sign_decisions
    from .loaders import (
        LoadError,
        ModelWarning,
        from_reactions,
        load,
        load_antimony,
        load_cobra_json,
        load_sbml,
        loads_antimony,
        loads_sbml,
    )

# The names are bound on first use, so that the command line starts (and
# can be interrupted cleanly) before NumPy, SciPy and the compiled core load.
_HOMES = {
    "CRN": "cyquelmar",
    "Analysis": "analysis",
    "analyze": "analysis",
    "batch": "batching",
    "write_diagram": "diagram",
    "LoadError": "loaders",
    "ModelWarning": "loaders",
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


def __getattr__(name):
    import importlib

    if name == "cyquelmar":
        return importlib.import_module(".cyquelmar", __name__)
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
