"""Generic rank of an A-matrix: exact, modulo random primes.

A maximum matching only bounds the rank of the A-matrix: its cycle and
conservation blocks hold fixed numbers, which can make it singular for
every value of the rates although the pattern allows a non-singular one.
:func:`generic_rank` decides it exactly: the stoichiometric coefficients
and the fixed regulation entries are mapped into the integers modulo a
prime p (a double is a dyadic rational; a coefficient within 1e-9 of a
fraction with a denominator up to 1000 is read as that fraction), bases of
the cycles and conserved quantities are computed there, the free entries
get random residues, and the rank of the resulting matrix is found by
Gauss-Jordan elimination.  A rank below the order in one draw can be bad
luck (a random point on the zero set of the determinant, or a prime that
divides a minor): it is believed only when every one of several draws,
each with a fresh prime and fresh values, finds it too.  A full rank is
never wrong: the determinant is then non-zero for these values, so it is
not the zero polynomial.

Above order 300 (:data:`SCREEN_ORDER`) the elimination in NumPy would take
minutes; instances in floating point decide there instead: one far from
singular proves regularity, and the matrix is taken as singular only when
every draw is singular to rounding.

The draws come from a generator of their own, so NumPy's global generator
(which the analyses draw from) is left as it was.
"""

from __future__ import annotations

from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from ..tolerances import TOL

__all__ = ["GenericRank", "generic_rank"]

#: Independent draws that must all find the rank deficient.
DRAWS = 3
#: Primes are drawn from [2**30, 2**31): products of two residues fit in int64.
_P_LO, _P_HI = 2**30, 2**31
# Above this order instances in floating point decide: the exact elimination
# costs order**3 operations in NumPy (0.5 s at order 300, four minutes at the
# order 2380 of iJO1366 after preparation).  An instance far from singular
# proves regularity; when two independent instances are singular to
# rounding, the matrix is taken as singular, with the null vectors of the
# last one.
SCREEN_ORDER = 300
_SCREEN = 1e-8
_SINGULAR = 1e-11
_INVOLVED = 1e-6
_MAX_DENOMINATOR = 1000
_SNAP = 1e-9


@dataclass(frozen=True)
class GenericRank:
    """Result of :func:`generic_rank`.

    ``rank``: the largest rank found (the generic rank, unless every draw
    was unlucky; above :data:`SCREEN_ORDER`, order - 1 stands for any
    deficiency); ``order``; and, when ``rank < order``, one dependence:
    ``species`` and ``cycle_reactions`` (indices of the species levels and
    of the reactions on the cycle fluxes that one combination left free
    involves), ``reactions`` and ``conserved_species`` (indices of the
    rate equations, and of the species in the conserved totals, that
    depend on one another).
    """

    rank: int
    order: int
    species: tuple = ()
    cycle_reactions: tuple = ()
    reactions: tuple = ()
    conserved_species: tuple = ()

    @property
    def singular(self) -> bool:
        return self.rank < self.order


def _is_prime(n: int) -> bool:
    if n < 2:
        return False
    for q in (2, 3, 5, 7, 11, 13):
        if n % q == 0:
            return n == q
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for a in (2, 7, 61):  # deterministic below 4759123141
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def _prime(rng: np.random.Generator) -> int:
    while True:
        p = int(rng.integers(_P_LO, _P_HI)) | 1
        if _is_prime(p):
            return p


def _exact(x: float) -> Fraction:
    f = Fraction(x)
    if f.denominator > 1 and 1e-4 <= abs(x) < 2**31:
        g = f.limit_denominator(_MAX_DENOMINATOR)
        if abs(float(g) - x) <= _SNAP * abs(x):
            return g
    return f


def _residues(values: np.ndarray, p: int) -> np.ndarray:
    """The entries (finite doubles) as residues modulo ``p``."""
    out = np.zeros(values.shape, dtype=np.int64)
    flat = values.ravel()
    nz = np.flatnonzero(~(np.abs(flat) < TOL))
    if len(nz):
        uniq, inverse = np.unique(flat[nz], return_inverse=True)
        mapped = np.empty(len(uniq), dtype=np.int64)
        for k, x in enumerate(uniq):
            f = _exact(float(x))
            mapped[k] = f.numerator % p * pow(f.denominator % p, -1, p) % p
        out.ravel()[nz] = mapped[inverse]
    return out


def _rref(M: np.ndarray, p: int) -> tuple[np.ndarray, list[int]]:
    """Reduced row echelon form of ``M`` modulo ``p`` and its pivot columns."""
    M = M.copy() % p
    rows, cols = M.shape
    pivots = []
    r = 0
    for c in range(cols):
        if r == rows:
            break
        nz = np.flatnonzero(M[r:, c])
        if not len(nz):
            continue
        k = r + int(nz[0])
        if k != r:
            M[[r, k]] = M[[k, r]]
        M[r] = M[r] * pow(int(M[r, c]), -1, p) % p
        col = M[:, c].copy()
        col[r] = 0
        hit = np.flatnonzero(col)
        if len(hit):
            M[hit] = (M[hit] - col[hit, None] * M[r]) % p
        pivots.append(c)
        r += 1
    return M, pivots


def _kernel(M: np.ndarray, p: int) -> np.ndarray:
    """A basis of the right null space of ``M`` modulo ``p``, as columns."""
    R, pivots = _rref(M, p)
    cols = M.shape[1]
    free = [c for c in range(cols) if c not in set(pivots)]
    K = np.zeros((cols, len(free)), dtype=np.int64)
    for k, f in enumerate(free):
        K[f, k] = 1
        for r, c in enumerate(pivots):
            K[c, k] = -R[r, f] % p
    return K


def _instance(A: np.ndarray, rng: np.random.Generator):
    """(relative smallest singular value estimate, right and left null
    vector estimates) of an instance of A in floating point with random
    values for the free entries, by inverse iteration on one LU."""
    from scipy.linalg import lu_factor, lu_solve

    B = np.array(A, dtype=float)
    free = ~np.isfinite(B)
    B[free] = rng.normal(size=int(free.sum()), scale=10.0)
    norm = np.abs(B).sum(axis=0).max()
    if norm == 0:
        return 0.0, np.ones(B.shape[0]), np.ones(B.shape[0])
    with np.errstate(all="ignore"):
        lu = lu_factor(B, check_finite=False)
        ok = np.all(np.isfinite(lu[0])) and not (np.diag(lu[0]) == 0).any()
        if ok:
            b = rng.normal(size=B.shape[0])
            x = lu_solve(lu, b, check_finite=False)
            y = lu_solve(lu, b, trans=1, check_finite=False)
            x = lu_solve(lu, x / np.linalg.norm(x), check_finite=False)
            y = lu_solve(lu, y / np.linalg.norm(y), trans=1, check_finite=False)
            ok = np.all(np.isfinite(x)) and np.all(np.isfinite(y))
    if not ok:
        u, _, vt = np.linalg.svd(B)
        return 0.0, vt[-1], u[:, -1]
    return (1.0 / (np.linalg.norm(x) * norm), x / np.linalg.norm(x),
            y / np.linalg.norm(y))


def _support(v: np.ndarray, scale: float) -> tuple:
    return tuple(int(i) for i in np.flatnonzero(np.abs(v) > _INVOLVED * scale))


def _numeric(A: np.ndarray, m: int, n: int, rng: np.random.Generator,
             draws: int) -> GenericRank:
    """The decision for a large A-matrix, from instances in floating point."""
    N = A.shape[0]
    for _ in range(draws):
        sigma, x, y = _instance(A, rng)
        if sigma > _SCREEN:
            return GenericRank(N, N)
        if sigma > _SINGULAR:  # neither clearly regular nor clearly singular
            return GenericRank(N, N)
    top = np.where(np.isfinite(A), A, 0.0)
    flux = top[:n, m:] @ x[m:]
    totals = top[n:, :m].T @ y[n:]
    sx, sy = np.abs(x).max(), np.abs(y).max()
    return GenericRank(N - 1, N, species=_support(x[:m], sx),
                       cycle_reactions=_support(flux, sx),
                       reactions=_support(y[:n], sy),
                       conserved_species=_support(totals, sy))


def generic_rank(stoi: np.ndarray, A: np.ndarray, draws: int = DRAWS,
                 seed: int = 0) -> GenericRank | None:
    """The rank of the A-matrix ``A`` of the network ``stoi`` for generic
    values of its free (infinite or NaN) entries, or None when it cannot be
    decided exactly (the exact rank of ``stoi`` is not the one ``A`` was
    built with, or a value is not finite where a fixed one is expected).

    Only the regulation block of ``A`` (rows of the reactions, columns of
    the species) is read; the cycle and conservation blocks are replaced
    by exact bases of the same spaces, which changes the determinant by a
    non-zero factor only.
    """
    stoi = np.asarray(stoi, dtype=float)
    A = np.asarray(A, dtype=float)
    m, n = stoi.shape
    N = A.shape[0]
    K, L = N - m, N - n
    if K < 0 or L < 0 or not np.all(np.isfinite(stoi)):
        return None
    top = A[:n, :m]
    free = ~np.isfinite(top)
    rng = np.random.default_rng(seed)
    if N > SCREEN_ORDER:
        return _numeric(A, m, n, rng, min(draws, 2))
    best = None
    for _ in range(draws):
        for _attempt in range(8):  # a prime may divide the minors of stoi
            p = _prime(rng)
            S = _residues(stoi, p)
            C = _kernel(S, p)
            if C.shape[1] <= K:
                break
        if C.shape[1] != K:
            return None
        D = _kernel(S.T.copy(), p).T
        if D.shape[0] != L:
            return None
        R = _residues(np.where(free, 0.0, top), p)
        R[free] = rng.integers(1, p, size=int(free.sum()))
        Ap = np.zeros((N, N), dtype=np.int64)
        Ap[:n, :m] = R
        Ap[:n, m:] = C
        Ap[n:, :m] = D
        _, pivots = _rref(Ap, p)
        if len(pivots) == N:
            return GenericRank(N, N)
        if best is None or len(pivots) > best[0]:
            best = (len(pivots), Ap, C, D, p)
    rank, Ap, C, D, p = best
    right = _kernel(Ap, p)[:, 0]
    left = _kernel(Ap.T.copy(), p)[:, 0]
    # products below 2**62 each, reduced before they are summed
    flux = (C * right[m:] % p).sum(axis=1) % p
    totals = (D.T * left[n:] % p).sum(axis=1) % p
    return GenericRank(
        rank, N,
        species=tuple(int(i) for i in np.flatnonzero(right[:m])),
        cycle_reactions=tuple(int(j) for j in np.flatnonzero(flux)),
        reactions=tuple(int(j) for j in np.flatnonzero(left[:n])),
        conserved_species=tuple(int(i) for i in np.flatnonzero(totals)))
