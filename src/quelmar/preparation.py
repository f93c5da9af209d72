"""Structural regularity of a network and its preparation for analysis.

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

:func:`prune` returns a new, structurally regular network and a record of
everything it removed and why.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from . import _structure
from ._pruning import (Removal, _dead_ends, _null_vectors, _remove_dependent,
                       _remove_uncovered)
from ._singular_words import _SINGULAR, TOL, Part, _plural, _Words
from .annotations import annotations_of
from .cyquelmar import CRN

__all__ = ["Part", "Regularity", "Removal", "Pruned", "regularity", "prune",
           "directions"]

# --------------------------------------------------------------------------
# Checking the network
# --------------------------------------------------------------------------


def _checked(crn):
    """(stoi, reginfo, A, species names, reaction names) of a usable network."""
    if not isinstance(crn, CRN):
        raise TypeError(f"expected a CRN, got {type(crn).__name__}")
    stoi = np.asarray(crn.stoi, dtype=float)
    if stoi.ndim != 2:
        raise ValueError(f"the stoichiometry matrix must be two-dimensional, "
                         f"not {stoi.ndim}-dimensional")
    m, n = stoi.shape
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

    ``is_regular``: the A-matrix is structurally non-singular;
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

    @property
    def deficiency(self) -> int:
        """How many rows (and columns) every maximum matching leaves out."""
        return self.order - self.structural_rank

    def summary(self) -> str:
        """One paragraph for a report."""
        if self.is_regular:
            return (f"The A-matrix (order {self.order}) is structurally regular: "
                    "the network can have an isolated steady state.")
        return (f"The A-matrix has order {self.order} but structural rank "
                f"{self.structural_rank}: it is singular for every choice of rates, "
                "so the network has no isolated steady state and its sensitivity "
                "and buffering structures are undefined.  The singular part holds "
                f"{len(self.species)} species, {len(self.reactions)} "
                f"{_plural(len(self.reactions), 'reaction', 'reactions')}, "
                f"{len(self.cycles)} {_plural(len(self.cycles), 'cycle', 'cycles')} and "
                f"{len(self.conserved_quantities)} conserved "
                f"{_plural(len(self.conserved_quantities), 'quantity', 'quantities')}.  "
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
            "species": list(self.species),
            "reactions": list(self.reactions),
            "cycles": list(self.cycles),
            "conserved_quantities": list(self.conserved_quantities),
            "parts": [{"kind": p.kind, "name": p.name, "block": p.block,
                       "reason": p.reason, "members": list(p.members)}
                      for p in self.parts],
        }


def regularity(crn: CRN) -> Regularity:
    """Structural regularity of the A-matrix of ``crn`` and its singular part.

    Reads ``crn.stoi``, ``crn.reginfo``, ``crn.A`` and the names; changes
    nothing.  Raises ``TypeError`` for anything but a CRN and ``ValueError``
    for a network without species, without reactions, or without one name
    per species and reaction.
    """
    stoi, reginfo, A, species, reactions = _checked(crn)
    return _regularity(stoi, reginfo, A, species, reactions)


def _regularity(stoi, reginfo, A, species, reactions):
    m, n = stoi.shape
    N = A.shape[0]
    rank, row_mate, col_mate, row_block, col_block = _structure.dulmage_mendelsohn(A)
    result = Regularity(is_regular=rank == N, order=N, structural_rank=int(rank),
                        row_block=row_block, col_block=col_block,
                        row_mate=row_mate, col_mate=col_mate)
    if result.is_regular:
        return result
    words = _Words(stoi, reginfo, A, species, reactions, row_block, col_block)
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


# --------------------------------------------------------------------------
# Preparation
# --------------------------------------------------------------------------


@dataclass(eq=False)
class Pruned:
    """Result of :func:`prune`: ``network`` (a new CRN), ``removed`` (list of
    :class:`Removal`, in order), and ``regularity`` of the new network."""

    network: CRN
    removed: list
    regularity: Regularity

    @property
    def removed_species(self) -> list:
        return [r.name for r in self.removed if r.kind == "species"]

    @property
    def removed_reactions(self) -> list:
        return [r.name for r in self.removed if r.kind == "reaction"]

    def summary(self) -> str:
        if not self.removed:
            return "Preparation removed nothing: the network is structurally regular."
        s, r = len(self.removed_species), len(self.removed_reactions)
        m, n = self.network.stoi.shape
        return (f"Preparation removed {s} species and {r} "
                f"{_plural(r, 'reaction', 'reactions')}; {m} species and {n} "
                f"{_plural(n, 'reaction', 'reactions')} remain.")

    def to_dict(self) -> dict:
        return {"summary": self.summary(),
                "removed": [{"kind": x.kind, "name": x.name, "reason": x.reason,
                             "step": x.step, "round": x.round} for x in self.removed],
                "species": len(self.network.X_names),
                "reactions": len(self.network.R_names)}


def prune(crn: CRN) -> Pruned:
    """A structurally regular sub-network of ``crn`` and what was removed.

    A regular network (structurally, and with a non-singular instance of
    its A-matrix) is returned as a copy with nothing removed.  Otherwise,
    repeated until the A-matrix is structurally regular:

    1. dead ends, to a fixed point: a species that no remaining reaction can
       produce (or none can consume), in the directions its reactions may
       run (:func:`directions`; a reversible exchange ``x <=>`` can supply
       x), is removed together with every reaction that changes it, since
       none of them can carry steady flux; species left in no reaction and
       read by no rate go too;
    2. the singular part: the species columns of the A-matrix that a maximum
       matching leaves uncovered (levels nothing fixes) are removed, that is,
       held fixed; if there are none, the uncovered reaction rows (rate
       equations nothing is left to satisfy), else one species of each
       uncovered conserved quantity, else one reaction of each uncovered
       cycle.

    3. exact dependence: the pattern can allow a non-singular A-matrix while
       its fixed entries (cycle and conservation vectors) still force a
       singular one.  One instance with random rates (from NumPy's global
       generator, whose state is restored afterwards) is factorised; when it
       is singular, the first species involved in its null vector is held
       fixed (or, if no species is involved, the first reaction involved in
       the left null vector is removed).

    Names, regulation and the loaders' direction information are kept for
    what remains.  ``crn`` is not changed.  Raises like :func:`regularity`,
    and ``ValueError`` when nothing of the network would remain.
    """
    stoi, reginfo, A, species, reactions = _checked(crn)
    m, n = stoi.shape
    forward, backward = directions(crn)
    extras = _extras(crn, n)
    first = _regularity(stoi, reginfo, A, species, reactions)
    if first.is_regular and _null_vectors(A)[0] > _SINGULAR:
        return Pruned(_subnetwork(crn, stoi, reginfo, np.ones(m, bool), np.ones(n, bool),
                                  extras), [], first)

    keep_s = np.ones(m, dtype=bool)
    keep_r = np.ones(n, dtype=bool)
    removed = []
    made = stoi >= TOL
    used = stoi <= -TOL
    reads = ~(np.abs(reginfo) < TOL)
    for rnd in range(1, m + n + 2):
        _dead_ends(made, used, reads, forward, backward, keep_s, keep_r, species,
                   reactions, removed, rnd)
        if not keep_s.any() or not keep_r.any():
            raise ValueError("preparation leaves nothing of the network: every species "
                             "or every reaction is a dead end")
        sub = _subnetwork(crn, stoi, reginfo, keep_s, keep_r, extras)
        s_idx, r_idx = np.flatnonzero(keep_s), np.flatnonzero(keep_r)
        reg = _regularity(sub.stoi, sub.reginfo, np.asarray(sub.A), sub.X_names, sub.R_names)
        if reg.is_regular:
            if not _remove_dependent(sub, s_idx, r_idx, keep_s, keep_r, removed, rnd):
                return Pruned(sub, removed, reg)
        else:
            _remove_uncovered(sub, reg, s_idx, r_idx, keep_s, keep_r, removed, rnd)
        if not keep_s.any() or not keep_r.any():
            raise ValueError("preparation leaves nothing of the network")
    raise AssertionError("preparation did not converge")  # each round removes something


def _extras(crn, n):
    """The loaders' per-reaction information that still matches the network."""
    out = {}
    for attr, shape in (("reversible", (n,)), ("flux_bounds", (n, 2))):
        value = getattr(crn, attr, None)
        if value is not None and np.shape(value) == shape:
            out[attr] = np.array(value)
    return out


def _subnetwork(crn, stoi, reginfo, keep_s, keep_r, extras):
    sub = CRN(np.array(stoi[keep_s][:, keep_r]), np.array(reginfo[keep_s][:, keep_r]),
              [s for s, k in zip(crn.X_names, keep_s) if k],
              [r for r, k in zip(crn.R_names, keep_r) if k], crn.name)
    for attr, value in extras.items():
        setattr(sub, attr, value[keep_r])
    if getattr(crn, "annotations", None) is not None:  # the model's, for what is kept
        sub.annotations = annotations_of(sub, getattr(crn, "annotations"))
    return sub
