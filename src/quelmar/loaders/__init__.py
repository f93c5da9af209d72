"""Build a :class:`~quelmar.cyquelmar.CRN` from a model file or from text.

Readers:

* :func:`load_sbml` / :func:`loads_sbml`: SBML levels 2 and 3, with or
  without the fbc package (read through python-libsbml);
* :func:`load_cobra_json`: cobrapy's JSON model format;
* :func:`load_antimony` / :func:`loads_antimony`: Antimony text, converted to
  SBML by the ``antimony`` package and then read as SBML;
* :func:`from_reactions`: reaction strings such as ``"A + 2 B -> C"``;
* :func:`from_object`: a cobrapy, libsbml or roadrunner model object;
* :func:`load_network_json`: the plain matrices of ``*.network.json`` files;
* :func:`load`: any of the file formats, chosen by the file name or content,
  or a model object;
* :func:`as_network`: what every function that takes a network does with
  its argument: a :class:`CRN` as it is, anything else through :func:`load`.

Every reader returns a ready network: species and reaction names set, the
network named after the model, and the regulation matrix holding ``np.inf``
where a reaction's rate depends on a species and 0 elsewhere.  A file that
cannot be read raises :class:`LoadError` (a ``ValueError``) whose message
names the file and the problem in one line; a model construct that the
network cannot represent faithfully either raises :class:`LoadError` or is
reported by a :class:`ModelWarning`.  The rules are described in
``docs/loaders.md``.
"""

from __future__ import annotations

import os
from typing import Any, Union

from ..cyquelmar import CRN
from ..errors import LoadError, ModelWarning
from .common import read_bytes
from .antimony import load_antimony, loads_antimony
from .cobra import load_cobra_json
from .objects import from_object
from .network import NetworkFile, load_network_json, read_network_json
from .reactions import from_reactions
from .sbml import load_sbml, loads_sbml

__all__ = [
    "LoadError",
    "ModelWarning",
    "load",
    "load_sbml",
    "loads_sbml",
    "load_cobra_json",
    "load_network_json",
    "read_network_json",
    "NetworkFile",
    "load_antimony",
    "loads_antimony",
    "from_reactions",
    "from_object",
    "as_network",
    "ModelObject",
    "NetworkSource",
]

#: A model object of another library that :func:`from_object` reads: a
#: cobrapy ``Model``, a libsbml ``SBMLDocument`` or ``Model``, a roadrunner
#: instance.  These libraries are optional and not typed, hence ``Any``.
ModelObject = Any

#: What the functions that take a network accept: a :class:`CRN`, a model
#: file (a path) or a model object (see :func:`as_network`).
NetworkSource = Union[CRN, str, "os.PathLike[str]", ModelObject]


def as_network(network: NetworkSource, **options: Any) -> CRN:
    """The :class:`CRN` that ``network`` stands for.

    A :class:`CRN` is returned as it is (not copied); a path (``str`` or
    ``os.PathLike``) is read by :func:`load`, with ``options``; a cobrapy,
    libsbml or roadrunner model object is read by :func:`from_object`.
    Raises ``TypeError`` for anything else, and what :func:`load` raises
    for a file that cannot be read.
    """
    if isinstance(network, CRN):
        if options:
            raise TypeError(f"unexpected options for a CRN: {', '.join(options)}")
        return network
    if isinstance(network, (str, bytes, os.PathLike)):
        return load(network, **options)
    from .objects import KINDS, is_model_object
    if is_model_object(network):
        return load(network, **options)
    raise TypeError(f"expected a network: a CRN, a model file name or {KINDS}; "
                    f"got {type(network).__name__}")


def load(path: Any, format: str | None = None, **options: Any) -> CRN:
    """Load a network from a model file or from a model object.

    ``path`` may also be a model object of another library: a cobrapy
    ``Model``, a libsbml ``SBMLDocument`` or ``Model``, or a roadrunner
    instance (see :mod:`quelmar.loaders.objects`).

    ``format`` is ``"sbml"``, ``"cobra-json"``, ``"network-json"`` or
    ``"antimony"``; by default it is taken from the file name (``.xml``,
    ``.sbml``: SBML; ``.network.json``: the plain network format; other
    ``.json``: cobrapy JSON; ``.ant``, ``.antimony``, ``.txt``: Antimony; each
    optionally gzipped as ``.gz``) or, for other names, from the first
    character of the content (``<``: SBML, ``{``: JSON, anything else:
    Antimony).  Other keyword options go to the reader; every reader takes
    ``allow_external`` (default false): whether the model may read the other
    files it refers to (Antimony imports, SBML comp external models), which
    must then lie below the model file's directory.

    Only the given file is read unless ``allow_external`` is set, only
    regular files are read, and any problem with the file raises
    :class:`LoadError`.
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        if format is not None:
            raise TypeError("format applies to files only, not to a model object")
        options.pop("allow_external", None)  # a model object refers to no files
        return from_object(path, **options)
    path = os.fsdecode(os.fspath(path))
    if format is None:
        format = _guess_format(path)
    if format == "sbml":
        return load_sbml(path, **options)
    if format in ("cobra-json", "json"):
        return load_cobra_json(path, **options)
    if format == "network-json":
        return load_network_json(path, **options)
    if format == "antimony":
        return load_antimony(path, **options)
    raise ValueError(f"unknown model format {format!r} "
                     "(expected 'sbml', 'cobra-json', 'network-json' or 'antimony')")


def _guess_format(path):
    low = path.lower()
    if low.endswith(".gz"):
        low = low[:-3]
    if low.endswith((".xml", ".sbml")):
        return "sbml"
    if low.endswith(".network.json"):
        return "network-json"
    if low.endswith(".json"):
        return "cobra-json"
    if low.endswith((".ant", ".antimony", ".txt")):
        return "antimony"
    head = read_bytes(path)[:4096].lstrip(b"\xef\xbb\xbf \t\r\n")
    if head.startswith(b"<"):
        return "sbml"
    if head.startswith(b"{"):
        return "cobra-json"
    return "antimony"
