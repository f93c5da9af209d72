"""The factors of the determinant of the A-matrix over the hierarchy of the
isolated buffering structures: a bifurcation diagnosis that scales.

The determinant of the A-matrix factorises over the buffering structures:
contracting a structure out of the network splits off the determinant of
its own A-matrix.  Taken over the hierarchy, each irreducible structure
(one that is not the union of the structures strictly inside it)
contributes the A-matrix of what it adds once the structures strictly
inside it are contracted (its *own block*), and the network contributes
what is left once every structure is contracted (when the structures do
not already cover it).  A steady-state bifurcation, where det A changes
sign, can only arise from a factor whose sign is not fixed.

:func:`bifurcation_factors` gives one :class:`Factor` per block, with the
sign of its determinant when the regulation entries are free (1.0, -1.0,
NaN for either, 0.0 for a determinant that vanishes identically) and how
it was decided: *exact* when the block's own strongly connected parts are
small enough to expand its determinant (each is a polynomial, affine in
every free entry, whose sign is fixed exactly when all its coefficients
share it), *certified* either when two random instances gave opposite
signs, *randomised* otherwise (the same sign at every draw).  The
indicator diagnosis (:func:`quelmar.cyquelmar.indicator_diagnose`)
contracts the smallest structure again and again and finds the sign of
each part by minimisation; the factors here are found from one search and
scale to genome-scale networks.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .polynomials import Rational, blocks, poly_det
from .signs import EXACT_FREE, EXACT_ORDER, METHODS, SEED

__all__ = ["Factor", "bifurcation_factors", "det_sign"]

#: random instances of a block drawn at most to decide its sign (the draws
#: stop at the first pair of opposite signs); above LARGE_ORDER, LARGE_DRAWS
DRAWS = 64
LARGE_ORDER = 300
LARGE_DRAWS = 8
#: a sampled determinant counts only when the reciprocal condition number
#: of the instance is above this
RCOND = 1e-12


@dataclass
class Factor:
    """One factor of det A: the own block of a structure.

    ``structure``: the position of the structure in the list searched
    (smallest first), or None for what is left of the network once every
    structure is contracted; ``species`` and ``reactions``: the names of
    what the block adds; ``order``: the order of its A-matrix; ``sign``:
    of its determinant, 1.0, -1.0, NaN (either) or 0.0 (identically zero);
    ``method``: "exact", "certified" or "randomised", or "none" (with
    ``order`` -1 and a NaN sign) when contracting the sub-structures was
    numerically ill-posed; ``draws``: random instances drawn (0 when
    exact).
    """

    structure: int | None
    species: list[str]
    reactions: list[str]
    order: int
    sign: float
    method: str
    draws: int = 0
    children: list[int] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        sign = None if np.isnan(self.sign) else float(self.sign)
        return {"structure": self.structure, "species": list(self.species),
                "reactions": list(self.reactions), "order": self.order, "sign": sign,
                "method": self.method, "draws": self.draws, "children": list(self.children)}

    @classmethod
    def from_dict(cls, data: Any) -> Factor:
        sign = float("nan") if data["sign"] is None else float(data["sign"])
        return cls(data["structure"], list(data["species"]), list(data["reactions"]),
                   int(data["order"]), sign, str(data["method"]), int(data.get("draws", 0)),
                   [int(c) for c in data.get("children", [])])


def bifurcation_factors(crn: Any, *, structures: Any = None, children: Any = None,
                        seed: int = SEED) -> list[Factor]:
    """The factors of det A over the hierarchy of ``crn``'s isolated
    buffering structures, one :class:`Factor` per irreducible structure
    (smallest first) and, last, one for what is left of the network when
    the structures do not cover it.

    ``structures``: the structures as a boolean array, one row per
    structure (species then reactions, as ``crn.search_for_isoBSs()``
    gives them, smallest first); by default that search runs, with NumPy's
    global generator restored afterwards.  ``children``: their direct
    sub-structures (as :func:`quelmar.hasse.hasse_diagram` gives them),
    worked out when not given.  ``seed``: of the private generator of the
    random instances.  ``crn`` is not changed.
    """
    from .cyquelmar import CRN
    from .hasse import hasse_diagram
    from .irreducible import irreducible_rows

    stoi = np.asarray(crn.stoi, dtype=float)
    reginfo = np.asarray(crn.reginfo, dtype=float)
    m, n = stoi.shape
    X, R = list(crn.X_names), list(crn.R_names)
    if structures is None:
        state = np.random.get_state()
        try:
            structures = crn.search_for_isoBSs()
        finally:
            np.random.set_state(state)
    member = np.array(structures, dtype=bool).reshape(-1, m + n)
    if children is None:
        children = hasse_diagram(member)
    if len(children) != len(member):
        raise ValueError(f"{len(children)} lists of children for {len(member)} structures")
    rng = np.random.default_rng(seed)
    out = []
    whole = np.ones(m + n, dtype=bool)
    rows = irreducible_rows(member, children) if len(member) else []
    tasks = [(k, member[k], [member[c] for c in children[k]], list(children[k]))
             for k in rows]
    covered = member.any(axis=0) if len(member) else np.zeros(m + n, dtype=bool)
    if not covered.all():
        inside_another = {c for kids in children for c in kids}
        tops = [k for k in range(len(member)) if k not in inside_another]
        if not member.all(axis=1).any():
            tasks.append((None, whole, [member[k] for k in tops], tops))
    for k, inside, subs, kids in tasks:
        inner = np.zeros(m + n, dtype=bool)
        for s in subs:
            inner |= s
        xs, rs = np.flatnonzero(inside[:m]), np.flatnonzero(inside[m:])
        sub = CRN(stoi[np.ix_(xs, rs)], reginfo[np.ix_(xs, rs)],
                  [X[i] for i in xs], [R[j] for j in rs])
        drop = np.concatenate([inner[:m][xs], inner[m:][rs]])
        own = inside & ~inner
        whole_A = np.array(sub.A, dtype=float)
        try:
            if drop.any():
                sub.structural_reduction(drop)
        except ValueError:  # the contraction is numerically ill-posed
            sign, method, draws = _uncontracted(whole_A, inside, member, out, rng)
            out.append(Factor(k, [X[i] for i in np.flatnonzero(own[:m])],
                              [R[j] for j in np.flatnonzero(own[m:])], -1,
                              sign, METHODS[method], draws, kids))
            continue
        A = np.array(sub.A, dtype=float)
        sign, method, draws = det_sign(A, np.asarray(sub.stoi, dtype=float), rng)
        out.append(Factor(k, [X[i] for i in np.flatnonzero(own[:m])],
                          [R[j] for j in np.flatnonzero(own[m:])], int(A.shape[0]),
                          sign, METHODS[method], draws, kids))
    return out


def _uncontracted(A, inside, member, done, rng):
    """The sign of a block whose sub-structures could not be contracted:
    when every factor inside the structure has a fixed sign, the block's
    sign varies exactly when that of the structure's whole determinant
    does, so two instances of ``A`` (the structure's A-matrix) with
    opposite signs certify "either"; otherwise it stays undecided."""
    from .signs import CERTIFIED, NONE

    for f in done:
        if f.structure is not None and not (member[f.structure] & ~inside).any():
            if f.sign not in (1.0, -1.0):
                return float("nan"), NONE, 0
    sign, method, draws = _sampled_sign(A, rng)
    if method == CERTIFIED:
        return sign, method, draws
    return float("nan"), NONE, draws


def det_sign(A: Any, stoi: Any, rng: Any = None) -> tuple[float, int, int]:
    """Sign of det ``A`` when its infinite and NaN entries are free (as
    :func:`quelmar.cyquelmar.signdet` reads them), with how it was decided
    (a code of :data:`quelmar.signs.METHODS`) and the random draws made.

    ``A`` is the A-matrix of the network of stoichiometry ``stoi``.  The
    determinant is the product of those of the strongly connected blocks
    of ``A`` (up to the sign of the permutation that orders them); each
    block is expanded exactly when it is small, sampled otherwise."""
    from .signs import EXACT, RANDOMISED

    A = np.asarray(A, dtype=float)
    N = A.shape[0]
    if N == 0:
        return 1.0, EXACT, 0
    if rng is None:
        rng = np.random.default_rng(SEED)
    found = blocks(A)
    if found is None:
        return 0.0, EXACT, 0
    row_of_col, block_of_row, _ = found
    col_of_row = np.empty(N, dtype=np.int64)
    col_of_row[row_of_col] = np.arange(N)
    order = np.argsort(block_of_row, kind="stable")
    # det A = sgn(rows) sgn(cols) det A[rows, cols], and with rows grouped by
    # block and each block's matched columns in the same places, that
    # determinant is the product of the blocks' (the matrix is block
    # triangular in some order of the blocks, and reordering whole blocks
    # of rows and of columns together changes nothing)
    rows = order
    cols = col_of_row[rows]
    sign = _parity(rows) * _parity(cols)
    fixed = None
    method = EXACT
    draws = 0
    either = False
    start = 0
    while start < N:
        b = block_of_row[rows[start]]
        stop = start
        while stop < N and block_of_row[rows[stop]] == b:
            stop += 1
        r, c = rows[start:stop], cols[start:stop]
        start = stop
        sub = A[np.ix_(r, c)]
        free = ~np.isfinite(sub)
        s = None
        if len(r) <= EXACT_ORDER and int(free.sum()) <= EXACT_FREE:
            if fixed is None:
                fixed = Rational(A, stoi)
            rr, cc = sorted(int(x) for x in r), sorted(int(x) for x in c)
            if fixed.verify(rr, cc):
                # sorting within the block permutes rows and columns alike
                s = _exact_sign(fixed, A, rr, cc) * _parity(np.argsort(r)) * _parity(
                    np.argsort(c))
                if s == 0:
                    return 0.0, EXACT, draws
                if np.isnan(s):
                    either = True
                    break
        if s is None:
            s, how, k = _sampled_sign(sub, rng)
            draws += k
            if np.isnan(s):
                return float("nan"), how, draws
            method = RANDOMISED
        sign *= s
    if either:
        return float("nan"), EXACT, draws
    return float(sign), method, draws


def _parity(perm: Any) -> int:
    """+1 or -1: the sign of the permutation ``perm`` (of 0..len-1 after
    ranking)."""
    p = np.argsort(np.argsort(np.asarray(perm)))
    seen = np.zeros(len(p), dtype=bool)
    sign = 1
    for i in range(len(p)):
        if seen[i]:
            continue
        j, length = i, 0
        while not seen[j]:
            seen[j] = True
            j = p[j]
            length += 1
        if length % 2 == 0:
            sign = -sign
    return sign


def _exact_sign(fixed: Any, A: Any, rows: list[int], cols: list[int]) -> float:
    """Sign of det A[rows, cols] from its expanded polynomial: 1.0 or -1.0
    when all coefficients share it (and no either-signed entry occurs),
    0.0 when it vanishes, NaN otherwise."""
    from .polynomials import nan_mask, one_sign

    poly = poly_det(fixed, A, rows, cols)
    if not poly:
        return 0.0
    s = one_sign(poly, nan_mask(A, rows, cols))
    return float(s) if s else float("nan")


def _sampled_sign(sub: Any, rng: Any) -> tuple[float, int, int]:
    """Sign of a block's determinant from random instances: (sign, method,
    draws); NaN certified when two instances disagree."""
    import scipy.linalg as sl
    from scipy.linalg import lapack

    from .signs import CERTIFIED, RANDOMISED, SPREADS, instance

    limit = LARGE_DRAWS if sub.shape[0] > LARGE_ORDER else DRAWS
    seen = set()
    made = 0
    for made in range(1, limit + 1):
        M = instance(sub, rng, SPREADS[(made - 1) % 2])
        try:
            lu, piv = sl.lu_factor(M, check_finite=False)
        except (ValueError, np.linalg.LinAlgError):
            continue
        d = np.diag(lu)
        if not np.all(np.isfinite(d)) or np.any(d == 0):
            continue
        anorm = np.abs(M).sum(axis=0).max()
        rcond, info = lapack.dgecon(lu, anorm, norm="1")
        if info != 0 or not rcond > RCOND:
            continue
        swaps = int(np.sum(piv != np.arange(len(piv))))
        s = (-1.0) ** swaps * float(np.prod(np.sign(d)))
        seen.add(s)
        if len(seen) == 2:
            return float("nan"), CERTIFIED, made
    if not seen:
        return float("nan"), RANDOMISED, made
    return seen.pop(), RANDOMISED, made
