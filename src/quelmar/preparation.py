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
from .cyquelmar import CRN

__all__ = ["Part", "Regularity", "Removal", "Pruned", "regularity", "prune",
           "directions"]

TOL = 1e-8
UNDER = "under-determined"
OVER = "over-determined"
_BLOCK = {_structure.OVER: OVER, _structure.UNDER: UNDER}
_SHOWN = 6  # names listed before "and N more"
_SINGULAR = 1e-11  # relative smallest singular value of an exactly singular instance


def _names(names, limit=_SHOWN):
    names = list(names)
    if len(names) <= limit:
        return _join(names)
    return _join(names[:limit] + [f"{len(names) - limit} more"])


def _join(words):
    words = [str(w) for w in words]
    if len(words) <= 1:
        return "".join(words)
    return ", ".join(words[:-1]) + " and " + words[-1]


def _plural(k, one, many):
    return one if k == 1 else many


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


@dataclass(frozen=True)
class Part:
    """One row or column of the A-matrix in the singular part.

    ``kind`` is "species", "reaction", "cycle" or "conserved quantity";
    ``name`` the species or reaction name, or a description of the cycle
    or conserved quantity; ``members`` the reactions of a cycle or the
    species of a conserved quantity; ``block`` "under-determined" or
    "over-determined"; ``reason`` in words.
    """

    kind: str
    name: str
    block: str
    reason: str
    members: tuple = ()


@dataclass
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


class _Words:
    """Reasons, in words, for the rows and columns of the singular part."""

    def __init__(self, stoi, reginfo, A, species, reactions, row_block, col_block):
        self.stoi, self.A = stoi, A
        self.m, self.n = stoi.shape
        self.species_names, self.reaction_names = species, reactions
        self.row_block, self.col_block = row_block, col_block
        self.nz = ~(np.abs(A) < TOL)
        self.reads = ~(np.abs(reginfo) < TOL)

    def _block(self, code):
        return _BLOCK[int(code)]

    def _cq_species(self, q):
        return [self.species_names[i] for i in np.flatnonzero(self.nz[self.n + q, :self.m])]

    def _cycle_reactions(self, k):
        return [self.reaction_names[j] for j in np.flatnonzero(self.nz[:self.n, self.m + k])]

    def cq_name(self, q):
        return "the conserved total of " + " + ".join(self._cq_species(q)[:_SHOWN]) + (
            " + ..." if len(self._cq_species(q)) > _SHOWN else "")

    def cycle_name(self, k):
        return "the cycle through " + _names(self._cycle_reactions(k))

    def species(self, i):
        name = self.species_names[i]
        block = self._block(self.col_block[i])
        readers = [self.reaction_names[j] for j in np.flatnonzero(self.nz[:self.n, i])]
        totals = [q for q in np.flatnonzero(self.nz[self.n:, i])]
        made = (self.stoi[i] >= TOL).any()
        used = (self.stoi[i] <= -TOL).any()
        if not readers and not totals:
            if made and not used:
                reason = "produced but never consumed and read by no rate"
            elif used and not made:
                reason = "consumed but never produced and read by no rate"
            elif not made and not used:
                reason = "in no reaction, read by no rate and in no conserved quantity"
            else:
                reason = "read by no rate and in no conserved quantity"
            return Part("species", name, block, reason)
        where = []
        if readers:
            where.append(f"the {_plural(len(readers), 'rate', 'rates')} of {_names(readers)}")
        if totals:
            where.append(_join(self.cq_name(q) for q in totals[:2])
                         + (" and others" if len(totals) > 2 else ""))
        if block == UNDER:
            rows = np.flatnonzero(self.nz[:, i] & (self.row_block == _structure.UNDER))
            others = set()
            for r in rows:
                others |= set(np.flatnonzero(self.nz[r] & (self.col_block == _structure.UNDER)))
            others.discard(i)
            k = len(readers) + len(totals)
            reason = (f"its steady-state level is not fixed: only {_join(where)} "
                      f"{_plural(k, 'depends', 'depend')} on it, and "
                      f"{_plural(k, 'that one also reads', 'these also read')} {len(others)} "
                      f"other {_plural(len(others), 'level or cycle flux', 'levels or cycle fluxes')} "
                      "that nothing else fixes")
        else:
            reason = (f"read by {_join(where)}, which ask more of the steady state "
                      "than the levels and cycle fluxes they read can satisfy")
        return Part("species", name, block, reason)

    def reaction(self, j):
        name = self.reaction_names[j]
        block = self._block(self.row_block[j])
        read = [self.species_names[i] for i in np.flatnonzero(self.nz[j, :self.m])]
        cycles = np.flatnonzero(self.nz[j, self.m:])
        if not read and not len(cycles):
            reason = "its rate reads no species and it lies on no cycle, so it can carry no steady flux"
        elif block == OVER:
            if not len(cycles):
                flux = "it lies on no cycle, so its steady flux is zero"
            else:
                flux = f"it lies on {len(cycles)} {_plural(len(cycles), 'cycle', 'cycles')}"
            what = f"its rate reads {_names(read)}" if read else "its rate reads no species"
            reason = (f"{what} and {flux}; with the other over-determined rates and "
                      "totals it outnumbers the levels and cycle fluxes left to satisfy them")
        else:
            under = [self.species_names[i] for i in np.flatnonzero(
                self.nz[j, :self.m] & (self.col_block[:self.m] == _structure.UNDER))]
            if under:
                reason = (f"its rate reads {_names(under)}, whose levels nothing else "
                          "fixes: one rate cannot fix them all")
            else:
                reason = "it lies on cycles whose fluxes nothing else fixes"
        return Part("reaction", name, block, reason)

    def cycle(self, k):
        members = tuple(self._cycle_reactions(k))
        block = self._block(self.col_block[self.m + k])
        if block == UNDER:
            reason = "its flux is not fixed by the rates of its reactions"
        else:
            reason = "its flux is needed by rate equations that already outnumber what they read"
        return Part("cycle", self.cycle_name(k), block, reason, members)

    def conserved(self, q):
        members = tuple(self._cq_species(q))
        block = self._block(self.row_block[self.n + q])
        if block == OVER:
            reason = ("the levels of its species are already fixed by rates, "
                      "leaving nothing for this total to determine")
        else:
            reason = "it reads levels that nothing else fixes"
        return Part("conserved quantity", self.cq_name(q), block, reason, members)


# --------------------------------------------------------------------------
# Preparation
# --------------------------------------------------------------------------


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


@dataclass
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
    return sub


def _dead_ends(made, used, reads, forward, backward, keep_s, keep_r, species, reactions,
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
                                   f"{_plural(len(culprits), 'species', 'species')} "
                                   f"{_names(culprits)}", "dead end", rnd))
        keep_s &= ~(dead | idle)
        keep_r &= ~blocked


def _remove_uncovered(sub, reg, s_idx, r_idx, keep_s, keep_r, removed, rnd):
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


def _null_vectors(A):
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
            x, y = _exact_null(A)
            return 0.0, x, y
        x = lu_solve(lu, b, check_finite=False)
        y = lu_solve(lu, b, trans=1, check_finite=False)
        x = lu_solve(lu, x / np.linalg.norm(x), check_finite=False)
        y = lu_solve(lu, y / np.linalg.norm(y), trans=1, check_finite=False)
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        x, y = _exact_null(A)
        return 0.0, x, y
    return 1.0 / (np.linalg.norm(x) * norm), x / np.linalg.norm(x), y / np.linalg.norm(y)


def _exact_null(A):
    u, _, vt = np.linalg.svd(A)
    return vt[-1], u[:, -1]


def _remove_dependent(sub, s_idx, r_idx, keep_s, keep_r, removed, rnd):
    """Step 3 of :func:`prune`; true when it removed something."""
    m, n = sub.stoi.shape
    sigma, v, u = _null_vectors(sub.A)
    if sigma > _SINGULAR:
        return False
    wv = np.abs(v[:m])
    if wv.max() > 1e-6 * np.abs(v).max():
        # The support of the null vector is the same for almost every choice
        # of rates; its first species makes the choice independent of them.
        i = int(np.flatnonzero(wv > 1e-6 * wv.max())[0])
        others = [sub.X_names[k] for k in np.flatnonzero(wv > 1e-6 * wv.max()) if k != i]
        removed.append(Removal(
            "species", sub.X_names[i],
            "held fixed: its level is not fixed at steady state even though the pattern "
            "allows it: the rate equations and conserved totals leave one combination of "
            + ("it and " + _names(others) if others else "it") + " free",
            "exact dependence", rnd))
        keep_s[s_idx[i]] = False
        return True
    wu = np.abs(u[:n])
    if wu.max() > 1e-6 * np.abs(u).max():
        j = int(np.flatnonzero(wu > 1e-6 * wu.max())[0])
        removed.append(Removal(
            "reaction", sub.R_names[j],
            "its rate equation depends exactly on the others: the steady state asks one "
            "condition too many of the levels and cycle fluxes",
            "exact dependence", rnd))
        keep_r[r_idx[j]] = False
        return True
    raise ValueError("preparation cannot make the A-matrix non-singular: "
                     "only conserved totals are dependent")
