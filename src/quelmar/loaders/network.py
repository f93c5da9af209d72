"""The plain network format of ``data/networks/`` (``*.network.json``).

A document holds the matrices themselves::

    {"name": str, "species": [id, ...], "reactions": [id, ...],
     "stoichiometry": [[number, ...], ...],    # one row per species
     "regulation": [["inf" | number, ...], ...],
     "source": str}

JSON has no infinity, so a regulation entry is the string ``"inf"`` (also
``"-inf"`` and ``"nan"``) where the rate of a reaction depends on a species.
"""

from __future__ import annotations

import json
import math
import os
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from ..cyquelmar import CRN
from .common import LoadError, check_unique, guarded_reader, read_text
from .cobra import check_depth, unique_keys

if TYPE_CHECKING:
    import numpy.typing as npt

SUFFIXES = (".network.json", ".network.json.gz")

_NAMED = {"inf": math.inf, "+inf": math.inf, "-inf": -math.inf, "nan": math.nan}


class NetworkFile(NamedTuple):
    """The contents of a network file, as :func:`read_network_json` gives them."""

    name: str
    species: list[str]
    reactions: list[str]
    stoi: npt.NDArray[np.float64]
    reginfo: npt.NDArray[np.float64] | None  # None: not in the file
    source: str | None


@guarded_reader(lambda path: path)
def read_network_json(path: str | os.PathLike[str]) -> NetworkFile:
    """Read a ``.network.json`` (or ``.network.json.gz``) file into arrays
    and names, checked as :func:`load_network_json` checks them."""
    text = read_text(path)
    path = os.fsdecode(path)
    check_depth(text, path)
    try:
        doc = json.loads(text, object_pairs_hook=unique_keys(path))
    except json.JSONDecodeError as e:
        raise LoadError(path, f"not valid JSON: {e.msg} at line {e.lineno}, "
                        f"column {e.colno}") from None
    if not isinstance(doc, dict) or "stoichiometry" not in doc:
        raise LoadError(path, "not a network file (no \"stoichiometry\" matrix)")
    species = _names(doc, "species", path)
    reactions = _names(doc, "reactions", path)
    if not species or not reactions:
        raise LoadError(path, "the network has no species or no reactions")
    check_unique(path, "species", species)
    check_unique(path, "reaction", reactions)
    shape = (len(species), len(reactions))
    stoi = _matrix(doc["stoichiometry"], shape, "stoichiometry", path)
    reginfo = None
    if doc.get("regulation") is not None:
        reginfo = _matrix(doc["regulation"], shape, "regulation", path)
    name = doc.get("name") or os.path.basename(path).split(".network.json")[0]
    source = doc.get("source")
    return NetworkFile(str(name), species, reactions, stoi, reginfo,
                       None if source is None else str(source))


@guarded_reader(lambda path, **options: path)
def load_network_json(path: str | os.PathLike[str], *, allow_external: bool = False) -> CRN:
    """Load a ``.network.json`` (or ``.network.json.gz``) file.

    The regulation matrix is used as written (no default is filled in); a
    missing ``"regulation"`` gives the default of :class:`CRN`.  The format
    refers to no other files (``allow_external`` changes nothing).
    """
    net = read_network_json(path)
    return CRN(net.stoi, net.reginfo, net.species, net.reactions, net.name)


def _names(doc, key, path):
    names = doc.get(key)
    if not isinstance(names, list) or not all(isinstance(s, str) for s in names):
        raise LoadError(path, f"\"{key}\" must be a list of names")
    if len(set(names)) != len(names):
        word = "reaction" if key == "reactions" else "species"
        raise LoadError(path, f"\"{key}\" names a {word} twice")
    return list(names)


def _matrix(rows, shape, key, path):
    if not isinstance(rows, list) or len(rows) != shape[0] or not all(
            isinstance(r, list) and len(r) == shape[1] for r in rows):
        raise LoadError(path, f"\"{key}\" must be {shape[0]} rows of {shape[1]} entries "
                        "(species x reactions)")
    out = np.empty(shape)
    for i, row in enumerate(rows):
        for j, v in enumerate(row):
            if isinstance(v, str) and v.strip().lower() in _NAMED:
                out[i, j] = _NAMED[v.strip().lower()]
            elif isinstance(v, (int, float)) and not isinstance(v, bool):
                out[i, j] = v
            else:
                raise LoadError(path, f"\"{key}\" entry ({i}, {j}) is not a number: {v!r}")
    if key == "stoichiometry" and not np.isfinite(out).all():
        raise LoadError(path, "the stoichiometry must be finite")
    return out + 0.0
