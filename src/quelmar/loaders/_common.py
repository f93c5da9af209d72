"""What every reader shares: the error and warning types, file reading and
the assembly of the matrices from parsed reactions."""

from __future__ import annotations

import gzip
import os
import warnings

import numpy as np

from ..cyquelmar import CRN


class LoadError(ValueError):
    """A model cannot be turned into a reaction network.

    ``str(error)`` is one line: the file (or ``<string>``) followed by the
    problem.
    """

    def __init__(self, where, problem):
        self.where = where
        self.problem = _one_line(problem)
        super().__init__(f"{where}: {self.problem}" if where else self.problem)


class ModelWarning(UserWarning):
    """A model construct that the reaction network leaves out."""


def _one_line(text):
    return " ".join(str(text).split())


def _warn(where, message):
    warnings.warn(f"{where}: {message}", ModelWarning, stacklevel=3)


# --------------------------------------------------------------------------
# Common assembly
# --------------------------------------------------------------------------


class _Reaction:
    __slots__ = ("id", "net", "reg", "reversible", "bounds")

    def __init__(self, rid):
        self.id = rid
        self.net = {}  # species id -> net coefficient (products - reactants)
        self.reg = set()  # species ids the rate depends on
        self.reversible = False
        self.bounds = None  # (lower, upper) flux bounds of constraint-based models


def _assemble(where, name, species, reactions, *, drop_unused=True):
    """Dense matrices for ``species`` (in order) x ``reactions``.

    Species that occur in no reaction (neither in its stoichiometry nor in
    its regulation) are left out when ``drop_unused`` is true.  A reaction
    whose column is all zero is kept and reported.
    """
    if not reactions:
        raise LoadError(where, "the model has no reactions")
    if drop_unused:
        used = set()
        for r in reactions:
            used.update(r.net)
            used.update(r.reg)
        species = [s for s in species if s in used]
    if not species:
        raise LoadError(where, "no reaction involves a species that is a state variable "
                        "(every species is missing, boundary, constant or set by a rule)")
    row = {s: i for i, s in enumerate(species)}
    m, n = len(species), len(reactions)
    stoi = np.zeros((m, n))
    reginfo = np.zeros((m, n))
    for j, r in enumerate(reactions):
        for s, v in r.net.items():
            if s in row:
                stoi[row[s], j] += v
        for s in r.reg:
            if s in row:
                reginfo[row[s], j] = np.inf
    stoi += 0.0  # no negative zeros
    seen = set()
    for r in reactions:
        if r.id in seen:
            raise LoadError(where, f"reaction id {r.id!r} is used twice")
        seen.add(r.id)
    for j in np.flatnonzero(~stoi.any(axis=0)):
        _warn(where, f"reaction {reactions[j].id} changes no state species "
              "(its column of the stoichiometry matrix is zero)")
    crn = CRN(stoi, reginfo, list(species), [r.id for r in reactions], name)
    _keep_directions(crn, reactions)
    return crn


def _keep_directions(crn, reactions):
    """Attach what the model says about the direction of each reaction.

    ``crn.reversible`` (bool, one per reaction) always; ``crn.flux_bounds``
    (float, reactions x 2: lower, upper) when every reaction has bounds.
    ``CRN`` itself never reads them; ``structural_reduction`` leaves them as
    they are, so after a reduction that removes reactions they no longer
    line up with the reactions (``quelmar.regularity.directions`` then
    ignores them).
    """
    crn.reversible = np.array([bool(r.reversible) for r in reactions], dtype=bool)
    if reactions and all(r.bounds is not None for r in reactions):
        crn.flux_bounds = np.array([r.bounds for r in reactions], dtype=float).reshape(-1, 2)


# --------------------------------------------------------------------------
# Files
# --------------------------------------------------------------------------


def _read_bytes(path):
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        raise LoadError(path, "no such file") from None
    except IsADirectoryError:
        raise LoadError(path, "is a directory, not a model file") from None
    except OSError as e:
        raise LoadError(path, e.strerror or str(e)) from None
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, gzip.BadGzipFile) as e:
            raise LoadError(path, f"damaged gzip file ({e})") from None
    return data


def _read_text(path):
    data = _read_bytes(path)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise LoadError(os.fspath(path), f"not a text file (byte {e.start} is not UTF-8)") from None


def _base_name(path):
    base = os.path.basename(os.fspath(path))
    for ext in (".gz", ".xml", ".sbml", ".json", ".ant", ".antimony", ".txt"):
        if base.lower().endswith(ext):
            base = base[: -len(ext)]
    return base
