"""The steps of :func:`quelmar.prune`: dead ends removed by the flux argument,
what the matching still shows as singular, and exact dependences that the
pattern allows but the values do not."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._singular_words import _SINGULAR, TOL, _names, _plural


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
