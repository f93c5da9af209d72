"""Which way each species moves when a reaction's rate is raised.

Orientation.  At a steady state the rates lie in the span of the cycles,
``r(x, k) = C mu``, and the conserved totals are fixed, ``D x = const``.
Raising the rate of reaction j by ``dr_j > 0`` (for example through its rate
constant) moves ``(dx, -dmu)`` by ``-A^{-1} e_j dr_j``, where ``A`` is the
A-matrix (rows: reactions, then conserved quantities; columns: species,
then cycles).  The response of species i to reaction j is therefore the
sign of ``-(A^{-1})[i, j]``, that is of ``-cof[j, i] / det A``.

With the regulation entries free (``+inf``: any positive value, ``-inf``:
any negative value, ``nan``: either sign), ``cof[j, i]`` and ``det A`` are
polynomials that are affine in every free entry.  On the positive orthant
such a polynomial keeps one sign exactly when all its coefficients share
it (each of its monomials is a vertex of its Newton polytope, where it
dominates).  Once their common factors are cancelled, the response has a
fixed sign exactly when what remains above and below each keep one sign,
and otherwise it takes both.

Method, per species x reaction pair that the sensitivity pattern marks:

1. *Sampling.*  Random admissible instances of the free entries (at least
   :data:`DRAWS`, more while they keep finding new opposite signs;
   magnitudes log-normal of growing spread, signs as the entries say; a private generator
   with a fixed seed, so NumPy's global generator is not touched) give the
   sign of the response at each point, counted only with a clear margin
   (above :data:`MARGIN` of the largest response to that reaction).  Two
   points with opposite signs certify "either".
2. *Exact.*  The A-matrix is brought to block-triangular form (a perfect
   matching of its pattern and the strongly connected parts of the
   resulting graph).  The response of species i to reaction j depends only
   on the blocks on the paths between them (the other blocks' determinants
   cancel); when those blocks have at most :data:`EXACT_ORDER` rows and
   :data:`EXACT_FREE` free entries together, numerator and denominator are
   expanded in exact rational arithmetic and decided by their coefficient
   signs (with a greatest common divisor taken first when a sign is not
   fixed, when SymPy is installed).
3. *Randomised.*  Otherwise the sign seen at every sampled point is
   reported as a randomised decision, with the number of draws.

:func:`response_signs` returns the signs; :func:`sign_decisions` returns
them with how each was decided.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .polynomials import Rational, blocks, nan_mask, poly_det, ratio_sign

__all__ = ["ResponseSigns", "response_signs", "sign_decisions", "NONE", "EXACT",
           "CERTIFIED", "RANDOMISED", "METHODS", "LABELS", "sign_codes", "sign_labels",
           "signs_from_codes"]

#: codes of :attr:`ResponseSigns.method`
NONE, EXACT, CERTIFIED, RANDOMISED = 0, 1, 2, 3
#: the name of each code
METHODS = ("none", "exact", "certified", "randomised")

#: random instances of the free entries drawn at least
DRAWS = 32
#: drawing goes on while one of the last PATIENCE draws certified a new
#: "either", up to GROWTH times DRAWS
PATIENCE = 64
GROWTH = 32
#: standard deviations (in e-folds) of the log-normal magnitudes, in turn
SPREADS = (1.0, 3.0, 6.0)
#: largest order of the blocks expanded exactly
EXACT_ORDER = 14
#: most free entries in the blocks expanded exactly
EXACT_FREE = 22
#: a sampled response counts only above this fraction of the largest
#: response to the same reaction at the same point
MARGIN = 1e-9
#: above this order of the A-matrix, exactly LARGE_DRAWS draws are made
#: (each one factorises the whole matrix), with magnitudes of at most
#: LARGE_SPREAD e-folds and the stricter margin LARGE_MARGIN, since
#: rounding grows with the order
LARGE_ORDER = 300
LARGE_DRAWS = 16
LARGE_SPREAD = 3.0
LARGE_MARGIN = 1e-6
#: seed of the private generator of the sampled instances
SEED = 20250611


@dataclass
class ResponseSigns:
    """Signs of the responses of the species to the reactions, and how each
    was decided.

    ``signs``: float array, species x reactions: 1.0 (rises when the
    reaction's rate is raised, for every value of the free entries), -1.0
    (falls), 0.0 (no response: the zeros of the sensitivity pattern), NaN
    (either, depending on the values).  ``method``: uint8 array of the same
    shape, codes :data:`NONE` (no response), :data:`EXACT` (decided from the
    polynomials), :data:`CERTIFIED` ("either", shown by two points with
    opposite signs), :data:`RANDOMISED` (the same sign at every one of
    ``draws`` random points).  ``species`` and ``reactions`` name the rows
    and columns.
    """

    signs: np.ndarray
    method: np.ndarray
    draws: int
    species: list[str]
    reactions: list[str]

    def counts(self) -> dict[str, int]:
        """How many pairs rise, fall, go either way, do not respond, and how
        many were decided exactly, certified or randomised."""
        s, k = self.signs, self.method
        return {"rise": int(np.sum(s == 1.0)), "fall": int(np.sum(s == -1.0)),
                "either": int(np.sum(np.isnan(s))), "none": int(np.sum(s == 0.0)),
                "exact": int(np.sum(k == EXACT)), "certified": int(np.sum(k == CERTIFIED)),
                "randomised": int(np.sum(k == RANDOMISED))}

    def method_names(self) -> np.ndarray:
        """``method`` as strings ("none", "exact", "certified", "randomised")."""
        return np.array(METHODS, dtype=object)[self.method]


#: the word for each sign: rise, fall, either, none
LABELS = ("rise", "fall", "either", "none")


def sign_codes(signs: Any) -> np.ndarray:
    """uint8 codes of a signs array: 0 none, 1 rise, 2 fall, 3 either."""
    s = np.asarray(signs, dtype=float)
    return np.select([s > 0, s < 0, np.isnan(s)], [1, 2, 3], 0).astype(np.uint8)


def signs_from_codes(codes: Any) -> np.ndarray:
    """Inverse of :func:`sign_codes`."""
    return np.array([0.0, 1.0, -1.0, math.nan])[np.asarray(codes, dtype=np.intp)]


def sign_labels(signs: Any) -> np.ndarray:
    """The words "rise", "fall", "either", "none" for a signs array."""
    return np.array(("none", "rise", "fall", "either"), dtype=object)[sign_codes(signs)]


def response_signs(crn: Any, **options: Any) -> np.ndarray:
    """Sign of the response of each species to a raised rate of each reaction.

    A float array, species x reactions: 1.0 (the species rises, whatever
    the values of the free regulation entries), -1.0 (it falls), 0.0 (it
    does not respond: exactly the zeros of the sensitivity pattern) or NaN
    (either, depending on the values).  The options are those of
    :func:`sign_decisions`, which also says how each sign was decided.
    """
    return sign_decisions(crn, **options).signs


def sign_decisions(crn: Any, *, sensitivity: Any = None, draws: int | None = None,
                   patience: int | None = PATIENCE,
                   exact_order: int = EXACT_ORDER, exact_free: int = EXACT_FREE,
                   seed: int = SEED, large_order: int = LARGE_ORDER) -> ResponseSigns:
    """The response signs of ``crn`` (see :func:`response_signs`) with how
    each was decided (:class:`ResponseSigns`).

    ``sensitivity``: the sensitivity pattern (bool, species x reactions)
    when it is known already; otherwise ``crn._smat_()`` computes it, with
    NumPy's global generator restored afterwards.  ``draws``: random
    instances of the free entries drawn at least (default :data:`DRAWS`,
    or :data:`LARGE_DRAWS` above ``large_order``); ``patience``: drawing
    goes on while one of the last ``patience`` draws certified a new
    "either" (up to ``GROWTH * draws``; None: exactly ``draws``).  Above
    an A-matrix of order ``large_order`` exactly ``draws`` are made, with
    magnitudes of at most :data:`LARGE_SPREAD` e-folds, the margin
    :data:`LARGE_MARGIN`, and (for the wider spread) a sign counted only
    where one step of iterative refinement confirms it.  ``exact_order``, ``exact_free``: the largest
    blocks expanded exactly (0 turns the exact stage off).  ``seed``: of
    the private generator of the instances.
    """
    stoi = np.asarray(crn.stoi, dtype=float)
    m, n = stoi.shape
    A = np.array(crn.A, dtype=float)
    N = A.shape[0]
    large = N > large_order
    draws = int((LARGE_DRAWS if large else DRAWS) if draws is None else draws)
    if draws < 1:
        raise ValueError("draws must be at least 1")
    if N == 0 or blocks(A) is None:
        from .errors import SingularNetworkError
        raise SingularNetworkError(
            "the A-matrix is structurally singular: the responses do not exist "
            "(prepare the network first: quelmar.prune)")
    if sensitivity is None:
        state = np.random.get_state()
        try:
            sensitivity = crn._smat_()
        finally:
            np.random.set_state(state)
    pattern = np.array(sensitivity, dtype=bool)
    if pattern.shape != (m, n):
        raise ValueError(f"the sensitivity pattern has shape {pattern.shape}, "
                         f"not {(m, n)} (species x reactions)")
    signs = np.zeros((m, n))
    method = np.zeros((m, n), dtype=np.uint8)
    names = (list(crn.X_names), list(crn.R_names))
    if not pattern.any():
        return ResponseSigns(signs, method, draws, *names)
    if large:
        pos, neg, draws = _sample(A, m, n, draws, seed, None, pattern,
                                  spreads=tuple(x for x in SPREADS if x <= LARGE_SPREAD),
                                  margin=LARGE_MARGIN, refine=True)
    else:
        pos, neg, draws = _sample(A, m, n, draws, seed, patience, pattern)
    pos &= pattern
    neg &= pattern
    either = pos & neg
    signs[either] = np.nan
    method[either] = CERTIFIED
    todo = pattern & ~either
    if exact_order > 0 and exact_free > 0:
        exact = _Exact(A, stoi, exact_order, exact_free)
        if exact.ok:
            for i, j in zip(*np.nonzero(todo & exact.small())):
                verdict = exact.sign(int(i), int(j))
                if verdict is not None:
                    signs[i, j] = verdict
                    method[i, j] = EXACT
    left = todo & (method == NONE)
    signs[left & pos] = 1.0
    signs[left & neg] = -1.0
    signs[left & ~pos & ~neg] = np.nan  # never clearly signed: undecided
    method[left] = RANDOMISED
    return ResponseSigns(signs, method, draws, *names)


# ---------------------------------------------------------------------------
# Sampling
# ---------------------------------------------------------------------------


def instance(A, rng, spread):
    """A copy of ``A`` with admissible random values in the free entries,
    log-normal magnitudes of standard deviation ``spread`` (in e-folds)."""
    out = A.copy()
    free = ~np.isfinite(A)
    k = int(free.sum())
    if k:
        size = np.exp(rng.normal(0.0, spread, k))
        kind = A[free]
        sign = np.where(kind > 0, 1.0, np.where(kind < 0, -1.0,
                                                 rng.choice([-1.0, 1.0], k)))
        out[free] = sign * size
    return out


def _sample(A, m, n, draws, seed, patience=None, pattern=None, spreads=SPREADS,
            margin=MARGIN, refine=False):
    """Where a clearly positive (negative) response was seen, species x
    reactions, and the number of draws made.

    At least ``draws`` draws; with ``patience``, drawing goes on while the
    last ``patience`` draws found a new opposite sign, up to ``draws`` *
    :data:`GROWTH`.  The spread of the magnitudes cycles through
    ``spreads``, so that entries of very different sizes occur.  One
    factorisation per draw serves every reaction; with ``refine``, one step
    of iterative refinement checks each response's sign when the
    magnitudes spread more than one e-fold."""
    import scipy.linalg as sl

    rng = np.random.default_rng(seed)
    N = A.shape[0]
    pos = np.zeros((m, n), dtype=bool)
    neg = np.zeros((m, n), dtype=bool)
    if pattern is None:
        pattern = np.ones((m, n), dtype=bool)
    limit = draws * GROWTH if patience else draws
    made = last_new = 0
    both = 0
    while made < limit and (made < draws or (patience and made - last_new < patience)):
        spread = spreads[made % len(spreads)]
        made += 1
        M = instance(A, rng, spread)
        try:
            lu = sl.lu_factor(M, check_finite=False)
        except (ValueError, np.linalg.LinAlgError):
            continue
        if not np.all(np.isfinite(lu[0])) or np.any(np.diag(lu[0]) == 0):
            continue
        # only the reactions with a response not yet seen both ways
        cols = np.flatnonzero((pattern & ~(pos & neg)).any(axis=0))
        if len(cols) == 0:
            break
        rhs = np.zeros((N, len(cols)), order="F")  # LAPACK's layout: no copies
        rhs[cols, np.arange(len(cols))] = 1.0
        X = sl.lu_solve(lu, rhs, check_finite=False)
        check = refine and spread > 1.0
        if check:
            # one step of refinement; a response counts only where the
            # correction is small beside it
            import scipy.sparse as sp

            D = sl.lu_solve(lu, np.asfortranarray(rhs - sp.csr_matrix(M) @ X),
                            check_finite=False)
            X += D
            sure = np.abs(D[:m]) < 0.25 * np.abs(X[:m])
        R = -X[:m]
        scale = np.abs(X).max(axis=0)
        clear = np.abs(R) > margin * scale
        if check:
            clear &= sure
        pos[:, cols] |= clear & (R > 0)
        neg[:, cols] |= clear & (R < 0)
        now = int(np.count_nonzero(pos & neg & pattern))
        if now > both:
            both, last_new = now, made
    return pos, neg, made


# ---------------------------------------------------------------------------
# Exact decisions on blocks
# ---------------------------------------------------------------------------


class _Exact:
    """Exact signs of single responses, on the blocks of A they depend on."""

    def __init__(self, A, stoi, max_order, max_free):
        self.ok = False
        self.max_order = max_order
        self.max_free = max_free
        self.A = A
        N = A.shape[0]
        m, n = stoi.shape
        self.m, self.n = m, n
        self.stoi = stoi
        self.fixed = None
        structure = blocks(A)
        if structure is None:
            return
        self.row_of_col, self.block_of_row, self.reach = structure
        self.block_rows = {}
        for r, b in enumerate(self.block_of_row):
            self.block_rows.setdefault(int(b), []).append(r)
        self.dets = {}
        self.parts = {}
        self.ok = N > 0

    def small(self):
        """Species x reactions: whether the blocks a response depends on
        have at most ``max_order`` rows together (those worth expanding)."""
        m, n = self.m, self.n
        size = np.bincount(self.block_of_row, minlength=len(self.reach)).astype(float)
        reach = self.reach.astype(float)
        # rows of the blocks on the paths from block a to block b
        order = (reach * size[None, :]) @ reach
        ba = self.block_of_row[self.row_of_col[:m]]
        bj = self.block_of_row[:n]
        between = self.reach[np.ix_(ba, bj)]
        return between & (order[np.ix_(ba, bj)] <= self.max_order)

    def sign(self, i, j):
        """Sign of the response of species i to reaction j, or None."""
        a = int(self.row_of_col[i])  # the row matched to column i
        ba, bj = int(self.block_of_row[a]), int(self.block_of_row[j])
        found = self.parts.get((ba, bj))
        if found is None:
            found = self.parts[(ba, bj)] = self._part(ba, bj)
        if found is False:
            return None
        rows, cols = found
        if self.fixed is None:
            self.fixed = Rational(self.A, self.stoi)
        if not self.fixed.verify(rows, cols):
            return None
        key = (tuple(rows), tuple(cols))
        if key not in self.dets:
            self.dets[key] = poly_det(self.fixed, self.A, rows, cols)
        q = self.dets[key]
        p = poly_det(self.fixed, self.A, rows, cols, unit=(cols.index(i), rows.index(j)))
        return ratio_sign(p, q, nan_mask(self.A, rows, cols))

    def _part(self, ba, bj):
        """(rows, columns) of the blocks on the paths from block ba to block
        bj, or False when there are none or they are too large."""
        between = np.flatnonzero(self.reach[ba] & self.reach[:, bj])
        if len(between) == 0:
            return False
        rows = sorted(r for b in between for r in self.block_rows[int(b)])
        if len(rows) > self.max_order:
            return False
        cols = sorted(int(self.row_of_col_inv[r]) for r in rows)
        if int((~np.isfinite(self.A[np.ix_(rows, cols)])).sum()) > self.max_free:
            return False
        return rows, cols

    @property
    def row_of_col_inv(self):
        # column matched to each row
        if not hasattr(self, "_col_of_row"):
            col = np.empty_like(self.row_of_col)
            col[self.row_of_col] = np.arange(len(self.row_of_col))
            self._col_of_row = col
        return self._col_of_row
