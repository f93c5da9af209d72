"""Structural regularity of a network: :func:`regularity`.

The A-matrix of a network (rows: reactions, then conserved quantities;
columns: species, then cycles) must be non-singular for the steady state to
be isolated and for the sensitivity matrix to mean anything.  Whether it can
be non-singular at all depends only on where its non-zero entries are: the
*structural rank* (the size of a maximum matching of rows to columns along
non-zero entries) must equal its order.

:func:`regularity` computes the structural rank and names the part of the
network that makes the A-matrix singular: the rows and columns that some
maximum matching leaves uncovered, together with what they reach by
alternating paths (the coarse Dulmage-Mendelsohn decomposition).  Rows and
columns there are of two kinds:

* *under-determined*: species (and cycle fluxes) whose steady-state levels
  no rate equation or conserved total fixes, and the rates that read them;
* *over-determined*: rate equations and conserved totals that no species
  level or cycle flux is left to satisfy, and the species they read.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from .. import _structure
from ..cyquelmar import CRN
from ..tolerances import TOL
from ..words import plural
from .generic import generic_rank
from .reasons import Words, dependence_parts

if TYPE_CHECKING:
    from ..loaders import NetworkSource

__all__ = ["Regularity", "checked_network", "directions", "regularity", "regularity_of"]

# --------------------------------------------------------------------------
# Checking the network
# --------------------------------------------------------------------------


def checked_network(crn):
    """(stoi, reginfo, A, species names, reaction names) of a usable network
    (a :class:`CRN`, or what :func:`quelmar.loaders.as_network` reads)."""
    from ..loaders import as_network
    crn = as_network(crn)
    stoi = np.asarray(crn.stoi, dtype=float)
    if stoi.ndim != 2:
        raise ValueError(f"the stoichiometry matrix must be two-dimensional, "
                         f"not {stoi.ndim}-dimensional")
    m, n = stoi.shape
    bad = np.argwhere(~np.isfinite(stoi))
    if len(bad):
        i, j = (int(k) for k in bad[0])
        raise ValueError(f"the stoichiometry matrix holds {stoi[i, j]} at species {i}, "
                         f"reaction {j}: every coefficient must be a finite number")
    if m == 0:
        raise ValueError("the network has no species")
    if n == 0:
        raise ValueError("the network has no reactions")
    reginfo = np.asarray(crn.reginfo, dtype=float)
    if reginfo.shape != stoi.shape:
        raise ValueError(f"the regulation matrix has shape {reginfo.shape}, "
                         f"the stoichiometry matrix {stoi.shape}")
    for attr, size, what in (("X_names", m, "species"), ("R_names", n, "reaction")):
        names = getattr(crn, attr, None)
        if names is None:
            raise ValueError(f"the network has no {what} names ({attr} is None)")
        names = list(names)
        if len(names) != size:
            raise ValueError(f"{attr} has {len(names)} names for {size} "
                             f"{'species' if what == 'species' else 'reactions'}")
    A = np.asarray(crn.A, dtype=float)
    N = A.shape[0] if A.ndim == 2 else -1
    if A.ndim != 2 or A.shape[1] != N or N < m or N < n:
        raise ValueError(f"the A-matrix of shape {A.shape} does not belong to a "
                         f"network of {m} species and {n} reactions")
    return stoi, reginfo, A, list(crn.X_names), list(crn.R_names)


def directions(crn: CRN) -> tuple[np.ndarray, np.ndarray]:
    """Which way each reaction may carry flux: ``(forward, backward)``.

    Taken from the flux bounds the loaders keep (``crn.flux_bounds``: a
    negative lower bound allows backward flux, a positive upper bound forward
    flux), else from ``crn.reversible`` (reversible reactions run both ways,
    the others forward only), else from the regulation matrix: a reaction
    whose rate reads one of its own products is taken as reversible.
    Attributes whose length no longer matches the reactions (after a
    :meth:`~quelmar.cyquelmar.CRN.structural_reduction` that removed
    reactions) are not used.
    """
    stoi = np.asarray(crn.stoi, dtype=float)
    n = stoi.shape[1]
    bounds = getattr(crn, "flux_bounds", None)
    if bounds is not None:
        bounds = np.asarray(bounds, dtype=float)
        if bounds.shape == (n, 2):
            return bounds[:, 1] > 0, bounds[:, 0] < 0
    rev = getattr(crn, "reversible", None)
    if rev is not None:
        rev = np.asarray(rev, dtype=bool)
        if rev.shape == (n,):
            return np.ones(n, dtype=bool), rev.copy()
    reads = ~(np.abs(np.asarray(crn.reginfo, dtype=float)) < TOL)
    return np.ones(n, dtype=bool), ((stoi >= TOL) & reads).any(axis=0)


# --------------------------------------------------------------------------
# Regularity
# --------------------------------------------------------------------------


@dataclass(eq=False)
class Regularity:
    """Result of :func:`regularity`.

    ``is_regular``: the A-matrix is non-singular for generic rates (its
    structural rank is its order, and its fixed entries are not dependent);
    ``dependent``: the structural rank is the order, but the fixed entries
    (the cycle and conservation vectors, fixed regulation values) make the
    A-matrix singular for every choice of rates;
    ``order`` and ``structural_rank`` of the A-matrix; ``species`` and
    ``reactions``: names in the singular part (empty when regular);
    ``cycles`` and ``conserved_quantities``: descriptions of those in the
    singular part; ``reasons``: species or reaction name -> reason in words;
    ``parts``: every row and column of the singular part as a :class:`Part`,
    those that the maximum matching found leaves uncovered first (the most
    direct causes), then the rest of the under-determined block.
    """

    is_regular: bool
    order: int
    structural_rank: int
    dependent: bool = False
    species: list = field(default_factory=list)
    reactions: list = field(default_factory=list)
    cycles: list = field(default_factory=list)
    conserved_quantities: list = field(default_factory=list)
    reasons: dict = field(default_factory=dict)
    parts: list = field(default_factory=list)
    # Positions in the A-matrix, for preparation and tests.
    row_block: np.ndarray = field(default=None, repr=False)
    col_block: np.ndarray = field(default=None, repr=False)
    row_mate: np.ndarray = field(default=None, repr=False)
    col_mate: np.ndarray = field(default=None, repr=False)
    # For a dependent A-matrix: the exact dependence (a GenericRank).
    dependence: object = field(default=None, repr=False)

    @property
    def deficiency(self) -> int:
        """How many rows (and columns) every maximum matching leaves out."""
        return self.order - self.structural_rank

    def summary(self) -> str:
        """One paragraph for a report."""
        if self.is_regular:
            return (f"The A-matrix (order {self.order}) is structurally regular: "
                    "the network can have an isolated steady state.")
        if self.dependent:
            rank = self.dependence.rank if self.dependence is not None else "below it"
            return (f"The A-matrix has order {self.order} and structural rank "
                    f"{self.structural_rank}, but its fixed entries (the coefficients of "
                    "the cycles and conserved totals) are dependent: its rank is "
                    f"{rank} for every choice of rates, so the network has no isolated "
                    "steady state and its sensitivity and buffering structures are "
                    "undefined.  The dependence involves "
                    f"{len(self.species)} species and {len(self.reactions)} "
                    f"{plural(len(self.reactions), 'reaction', 'reactions')}.  Prepare "
                    "the network first (quelmar.prune, or quelmar analyze --prune).")
        return (f"The A-matrix has order {self.order} but structural rank "
                f"{self.structural_rank}: it is singular for every choice of rates, "
                "so the network has no isolated steady state and its sensitivity "
                "and buffering structures are undefined.  The singular part holds "
                f"{len(self.species)} species, {len(self.reactions)} "
                f"{plural(len(self.reactions), 'reaction', 'reactions')}, "
                f"{len(self.cycles)} {plural(len(self.cycles), 'cycle', 'cycles')} and "
                f"{len(self.conserved_quantities)} conserved "
                f"{plural(len(self.conserved_quantities), 'quantity', 'quantities')}.  "
                "Prepare the network first (quelmar.prune, or quelmar analyze --prune).")

    def lines(self, limit: int | None = 40) -> list:
        """The summary and one line per part (at most ``limit`` of them)."""
        out = [self.summary()]
        shown = self.parts if limit is None else self.parts[:limit]
        for p in shown:
            out.append(f"  {p.kind} {p.name} ({p.block}): {p.reason}")
        if limit is not None and len(self.parts) > limit:
            out.append(f"  ... and {len(self.parts) - limit} more")
        return out

    def __str__(self) -> str:
        return "\n".join(self.lines())

    def to_dict(self) -> dict:
        """JSON-ready form."""
        return {
            "is_regular": self.is_regular,
            "summary": self.summary(),
            "order": self.order,
            "structural_rank": self.structural_rank,
            "dependent": self.dependent,
            "species": list(self.species),
            "reactions": list(self.reactions),
            "cycles": list(self.cycles),
            "conserved_quantities": list(self.conserved_quantities),
            "parts": [{"kind": p.kind, "name": p.name, "block": p.block,
                       "reason": p.reason, "members": list(p.members)}
                      for p in self.parts],
        }


def regularity(crn: NetworkSource) -> Regularity:
    """Structural regularity of the A-matrix of ``crn`` and its singular part.

    After the matching, a structurally regular A-matrix is tested for
    exact dependence of its fixed entries: its rank with random values for
    the free entries, in exact arithmetic modulo random primes (see
    :mod:`quelmar.preparation.generic`; the draws do not touch NumPy's
    global generator).  Such a network is singular (``dependent``), with
    the species, reactions, cycle and conserved total of one dependence
    named as its parts.

    ``crn``: a :class:`CRN`, a model file or a model object (see
    :func:`quelmar.loaders.as_network`).  Reads ``crn.stoi``,
    ``crn.reginfo``, ``crn.A`` and the names; changes nothing.  Raises
    ``TypeError`` for anything but these and ``ValueError``
    for a network without species, without reactions, or without one name
    per species and reaction.
    """
    stoi, reginfo, A, species, reactions = checked_network(crn)
    return regularity_of(stoi, reginfo, A, species, reactions)


def regularity_of(stoi, reginfo, A, species, reactions):
    m, n = stoi.shape
    N = A.shape[0]
    rank, row_mate, col_mate, row_block, col_block = _structure.dulmage_mendelsohn(A)
    result = Regularity(is_regular=rank == N, order=N, structural_rank=int(rank),
                        row_block=row_block, col_block=col_block,
                        row_mate=row_mate, col_mate=col_mate)
    if result.is_regular:
        found = generic_rank(stoi, A)
        if found is None or not found.singular:
            return result
        result.is_regular, result.dependent, result.dependence = False, True, found
        result.parts = dependence_parts(found, species, reactions)
        for part in result.parts:
            bucket = {"species": result.species, "reaction": result.reactions,
                      "cycle": result.cycles,
                      "conserved quantity": result.conserved_quantities}[part.kind]
            bucket.append(part.name)
            if part.kind in ("species", "reaction"):
                result.reasons[part.name] = part.reason
        return result
    words = Words(stoi, reginfo, A, species, reactions, row_block, col_block)
    ranked = []  # (rank, part): what the matching leaves uncovered comes first
    under = _structure.UNDER

    def rank(uncovered, code):
        return 0 if uncovered else 1 if code == under else 2

    for j in np.flatnonzero(row_block[:n]):
        part = words.reaction(j)
        result.reactions.append(part.name)
        result.reasons[part.name] = part.reason
        ranked.append((rank(row_mate[j] < 0, row_block[j]), part))
    for i in np.flatnonzero(col_block[:m]):
        part = words.species(i)
        result.species.append(part.name)
        result.reasons[part.name] = part.reason
        ranked.append((rank(col_mate[i] < 0, col_block[i]), part))
    for k in np.flatnonzero(col_block[m:]):
        part = words.cycle(k)
        result.cycles.append(part.name)
        ranked.append((rank(col_mate[m + k] < 0, col_block[m + k]), part))
    for q in np.flatnonzero(row_block[n:]):
        part = words.conserved(q)
        result.conserved_quantities.append(part.name)
        ranked.append((rank(row_mate[n + q] < 0, row_block[n + q]), part))
    result.parts = [p for _, p in sorted(ranked, key=lambda rp: rp[0])]
    return result
