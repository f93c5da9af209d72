"""quelmar: structural analysis of chemical reaction networks.

The compiled core is :mod:`quelmar.cyquelmar`.  Around it:

* :mod:`quelmar.loaders`: networks from SBML, cobrapy JSON, Antimony or
  reaction strings (:func:`load`, :func:`from_reactions`, ...);
* :mod:`quelmar.analysis`: :func:`analyze`, the whole analysis in one call;
* :mod:`quelmar.diagram`: the buffering-structure hierarchy as a diagram;
* :mod:`quelmar.batch`: :func:`batch`, many models or knockout variants on
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
    "batch",
]

from . import cyquelmar  # noqa: E402
from .cyquelmar import CRN  # noqa: E402
from .analysis import Analysis, analyze  # noqa: E402
from .diagram import write_diagram  # noqa: E402
from .batch import batch  # noqa: E402  (Dask, pandas, pyarrow load on first use)
from .loaders import (  # noqa: E402
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
