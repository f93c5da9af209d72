"""Preparation of a network for analysis: :func:`prune` and its steps (dead
ends removed by the flux argument, what the matching still shows as
singular, and exact dependences that the pattern allows but the values do
not)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from ..annotations import annotations_of
from ..cyquelmar import CRN
from ..tolerances import INVOLVED, SINGULAR, TOL
from ..words import listed, plural
from .regularity import Regularity, checked_network, directions, regularity_of

if TYPE_CHECKING:
    from ..loaders import NetworkSource


@dataclass(frozen=True)
class Removal:
    """One species or reaction that :func:`prune` removed.

    ``kind`` is "species" or "reaction"; ``step`` "dead end" (removed by
    the flux argument), "singular part" (removed from what the matching
    still showed as singular) or "exact dependence" (the pattern allowed a
    non-singular A-matrix but its values did not); ``round`` counts the
    passes.
    """

    kind: str
    name: str
    reason: str
    step: str
    round: int = 0


def remove_dead_ends(made, used, reads, forward, backward, keep_s, keep_r, species, reactions,
               removed, rnd):
    while True:
        f = forward & keep_r
        b = backward & keep_r
        produce = (made & f).any(axis=1) | (used & b).any(axis=1)
        consume = (used & f).any(axis=1) | (made & b).any(axis=1)
        involved = ((made | used) & keep_r).any(axis=1)
        read = (reads & keep_r).any(axis=1)
        dead = keep_s & involved & ~(produce & consume)
        idle = keep_s & ~involved & ~read
        if not dead.any() and not idle.any():
            return
        for i in np.flatnonzero(dead):
            if not produce[i] and not consume[i]:
                why = "none of its reactions can run"
            elif produce[i]:
                why = "produced but never consumed by a reaction that can run"
            else:
                why = "consumed but never produced by a reaction that can run"
            removed.append(Removal("species", species[i], f"dead end: {why}", "dead end", rnd))
        for i in np.flatnonzero(idle):
            removed.append(Removal("species", species[i],
                                   "in no remaining reaction and read by no rate",
                                   "dead end", rnd))
        blocked = keep_r & ((made | used) & dead[:, None]).any(axis=0)
        for j in np.flatnonzero(blocked):
            culprits = [species[i] for i in np.flatnonzero(dead & (made | used)[:, j])]
            removed.append(Removal("reaction", reactions[j],
                                   f"can carry no steady flux: it changes the dead-end "
                                   f"{plural(len(culprits), 'species', 'species')} "
                                   f"{listed(culprits)}", "dead end", rnd))
        keep_s &= ~(dead | idle)
        keep_r &= ~blocked


def remove_uncovered(sub, reg, s_idx, r_idx, keep_s, keep_r, removed, rnd):
    m, n = sub.stoi.shape
    A = np.asarray(sub.A)
    nz = ~(np.abs(A) < TOL)
    free_cols = np.flatnonzero(reg.col_mate < 0)
    free_rows = np.flatnonzero(reg.row_mate < 0)
    species_cols = free_cols[free_cols < m]
    reaction_rows = free_rows[free_rows < n]
    if len(species_cols):
        for i in species_cols:
            removed.append(Removal("species", sub.X_names[i],
                                   "held fixed: " + reg.reasons[sub.X_names[i]],
                                   "singular part", rnd))
            keep_s[s_idx[i]] = False
    elif len(reaction_rows):
        for j in reaction_rows:
            removed.append(Removal("reaction", sub.R_names[j], reg.reasons[sub.R_names[j]],
                                   "singular part", rnd))
            keep_r[r_idx[j]] = False
    else:
        for q in free_rows - n:
            i = np.flatnonzero(nz[n + q, :m])[0]
            removed.append(Removal("species", sub.X_names[i],
                                   "held fixed: its conserved total is over-determined "
                                   "(the levels of its species are fixed by rates)",
                                   "singular part", rnd))
            keep_s[s_idx[i]] = False
        for k in free_cols - m:
            j = np.flatnonzero(nz[:n, m + k])[0]
            removed.append(Removal("reaction", sub.R_names[j],
                                   "lies on a cycle whose flux nothing fixes",
                                   "singular part", rnd))
            keep_r[r_idx[j]] = False


def null_vectors(A):
    """(relative smallest singular value estimate, right and left null
    vectors) of a random instance of A, by inverse iteration on one LU."""
    from scipy.linalg import lu_factor, lu_solve

    A = np.array(A, dtype=float)
    free = ~np.isfinite(A)
    state = np.random.get_state()
    try:
        A[free] = np.random.normal(size=int(free.sum()), scale=10.0)
        b = np.random.normal(size=A.shape[0], scale=1.0)
    finally:
        np.random.set_state(state)
    norm = np.abs(A).sum(axis=0).max()
    if norm == 0:
        return 0.0, np.ones(A.shape[0]), np.ones(A.shape[0])
    with np.errstate(all="ignore"):
        lu = lu_factor(A, check_finite=False)
        if not np.all(np.isfinite(lu[0])) or (np.diag(lu[0]) == 0).any():
            x, y = exact_null(A)
            return 0.0, x, y
        x = lu_solve(lu, b, check_finite=False)
        y = lu_solve(lu, b, trans=1, check_finite=False)
        x = lu_solve(lu, x / np.linalg.norm(x), check_finite=False)
        y = lu_solve(lu, y / np.linalg.norm(y), trans=1, check_finite=False)
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        x, y = exact_null(A)
        return 0.0, x, y
    return 1.0 / (np.linalg.norm(x) * norm), x / np.linalg.norm(x), y / np.linalg.norm(y)


def exact_null(A):
    u, _, vt = np.linalg.svd(A)
    return vt[-1], u[:, -1]


def remove_dependent(sub, s_idx, r_idx, keep_s, keep_r, removed, rnd, reg=None):
    """Step 3 of :func:`prune`; true when it removed something.  ``reg``:
    the sub-network's :class:`Regularity`, whose exact dependence decides
    when the instance in floating point looks non-singular."""
    m, n = sub.stoi.shape
    sigma, v, u = null_vectors(sub.A)
    if sigma > SINGULAR:
        if reg is None or reg.dependence is None:
            return False
        # Exactly singular although this instance does not show it: the
        # supports of the exact null vectors stand in for the numeric ones.
        v = np.zeros(sub.A.shape[0])
        v[list(reg.dependence.species)] = 1.0
        if not reg.dependence.species:
            v[m:] = 1.0
        u = np.zeros(sub.A.shape[0])
        u[list(reg.dependence.reactions)] = 1.0
        if not reg.dependence.reactions:
            u[n:] = 1.0
    wv = np.abs(v[:m])
    if wv.max() > INVOLVED * np.abs(v).max():
        # The support of the null vector is the same for almost every choice
        # of rates; its first species makes the choice independent of them.
        i = int(np.flatnonzero(wv > INVOLVED * wv.max())[0])
        others = [sub.X_names[k] for k in np.flatnonzero(wv > INVOLVED * wv.max()) if k != i]
        removed.append(Removal(
            "species", sub.X_names[i],
            "held fixed: its level is not fixed at steady state even though the pattern "
            "allows it: the rate equations and conserved totals leave one combination of "
            + ("it and " + listed(others) if others else "it") + " free",
            "exact dependence", rnd))
        keep_s[s_idx[i]] = False
        return True
    wu = np.abs(u[:n])
    if wu.max() > INVOLVED * np.abs(u).max():
        j = int(np.flatnonzero(wu > INVOLVED * wu.max())[0])
        removed.append(Removal(
            "reaction", sub.R_names[j],
            "its rate equation depends exactly on the others: the steady state asks one "
            "condition too many of the levels and cycle fluxes",
            "exact dependence", rnd))
        keep_r[r_idx[j]] = False
        return True
    raise ValueError("preparation cannot make the A-matrix non-singular: "
                     "only conserved totals are dependent")


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
                f"{plural(r, 'reaction', 'reactions')}; {m} species and {n} "
                f"{plural(n, 'reaction', 'reactions')} remain.")

    def to_dict(self) -> dict:
        return {"summary": self.summary(),
                "removed": [{"kind": x.kind, "name": x.name, "reason": x.reason,
                             "step": x.step, "round": x.round} for x in self.removed],
                "species": len(self.network.X_names),
                "reactions": len(self.network.R_names)}


def prune(crn: NetworkSource) -> Pruned:
    """A structurally regular sub-network of ``crn`` and what was removed.

    ``crn``: a :class:`CRN`, a model file or a model object (see
    :func:`quelmar.loaders.as_network`).

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
       the left null vector is removed).  When that instance looks
       non-singular but :func:`regularity` finds the A-matrix dependent in
       exact arithmetic, the null vectors of the exact computation decide
       in the same way.

    Names, regulation and the loaders' direction information are kept for
    what remains.  ``crn`` is not changed.  Raises like :func:`regularity`,
    and ``ValueError`` when nothing of the network would remain.
    """
    from ..loaders import as_network
    crn = as_network(crn)
    stoi, reginfo, A, species, reactions = checked_network(crn)
    m, n = stoi.shape
    forward, backward = directions(crn)
    extras = _extras(crn, n)
    first = regularity_of(stoi, reginfo, A, species, reactions)
    if first.is_regular and null_vectors(A)[0] > SINGULAR:
        return Pruned(_subnetwork(crn, stoi, reginfo, np.ones(m, bool), np.ones(n, bool),
                                  extras), [], first)

    keep_s = np.ones(m, dtype=bool)
    keep_r = np.ones(n, dtype=bool)
    removed = []
    made = stoi >= TOL
    used = stoi <= -TOL
    reads = ~(np.abs(reginfo) < TOL)
    for rnd in range(1, m + n + 2):
        remove_dead_ends(made, used, reads, forward, backward, keep_s, keep_r, species,
                   reactions, removed, rnd)
        if not keep_s.any() or not keep_r.any():
            raise ValueError("preparation leaves nothing of the network: every species "
                             "or every reaction is a dead end")
        sub = _subnetwork(crn, stoi, reginfo, keep_s, keep_r, extras)
        s_idx, r_idx = np.flatnonzero(keep_s), np.flatnonzero(keep_r)
        reg = regularity_of(sub.stoi, sub.reginfo, np.asarray(sub.A), sub.X_names, sub.R_names)
        if reg.is_regular or reg.dependent:
            if not remove_dependent(sub, s_idx, r_idx, keep_s, keep_r, removed, rnd, reg):
                return Pruned(sub, removed, reg)
        else:
            remove_uncovered(sub, reg, s_idx, r_idx, keep_s, keep_r, removed, rnd)
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
        sub.annotations = annotations_of(sub, crn.annotations)
    return sub
