"""Exact arithmetic on the blocks of an A-matrix: its fixed entries as
fractions (:class:`Rational`), the strongly connected blocks of its pattern
(:func:`blocks`), determinants expanded as multi-affine polynomials in the
free entries (:func:`poly_det`), and the sign such a polynomial, or a ratio
of two, keeps on the admissible values (:func:`one_sign`,
:func:`ratio_sign`).  Used by :mod:`quelmar.signs` and
:mod:`quelmar.factors`."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np

__all__ = ["Rational", "blocks", "cancelled", "nan_mask", "one_sign", "poly_det",
           "ratio_sign", "topological_order"]


class Rational:
    """The fixed entries of A as fractions, made and checked where used.

    Each cycle column and conserved-quantity row is rounded to nearby
    fractions of small denominator and accepted only if it is an exact
    cycle or conserved quantity of the stoichiometry (as fractions); each
    vector is checked once, on the non-zero entries of the stoichiometry.
    """

    def __init__(self, A, stoi):
        self.A = A
        self.stoi = stoi
        self.m, self.n = stoi.shape
        self.checked = {}
        self._by_column = None

    @staticmethod
    def fraction(x):
        return Fraction(float(x)).limit_denominator(10**6)

    def value(self, r, c):
        """Entry (r, c) as a fraction (it must be finite)."""
        return self.fraction(self.A[r, c])

    def verify(self, rows, cols):
        """Whether the cycles among ``cols`` and the conserved quantities
        among ``rows`` are exact after rounding."""
        m, n = self.m, self.n
        return (all(self._exact(("cycle", c - m)) for c in cols if c >= m)
                and all(self._exact(("conserved", r - n)) for r in rows if r >= n))

    def _exact(self, key):
        if key not in self.checked:
            try:
                self.checked[key] = self._check(*key)
            except (ValueError, OverflowError):
                self.checked[key] = False
        return self.checked[key]

    def _check(self, kind, k):
        m, n = self.m, self.n
        if self._by_column is None:
            nz = np.nonzero(self.stoi)
            by_column: dict[int, list] = {}
            by_row: dict[int, list] = {}
            for i, j in zip(*nz):
                x = self.fraction(self.stoi[i, j])
                by_column.setdefault(int(j), []).append((int(i), x))
                by_row.setdefault(int(i), []).append((int(j), x))
            self._by_column, self._by_row = by_column, by_row
        total: dict[int, Fraction] = {}
        if kind == "cycle":  # column m + k over the reactions: S c = 0
            vec = self.A[:n, m + k]
            lines = self._by_column
        else:  # row n + k over the species: d S = 0
            vec = self.A[n + k, :m]
            lines = self._by_row
        for a in np.flatnonzero(vec):
            x = self.fraction(vec[a])
            for b, y in lines.get(int(a), ()):
                total[b] = total.get(b, Fraction(0)) + x * y
        return all(v == 0 for v in total.values())


def blocks(A):
    """Block-triangular structure of A: (row matched to each column, block
    of each row, reachability between blocks) or None when A is
    structurally singular."""
    import scipy.sparse as sp
    from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching

    N = A.shape[0]
    nz = sp.csr_matrix((A != 0).astype(np.int8))
    row_of_col = maximum_bipartite_matching(nz, perm_type="row")
    if np.any(row_of_col < 0):
        return None
    col_of_row = np.empty(N, dtype=np.int64)
    col_of_row[row_of_col] = np.arange(N)
    # graph on rows: r -> r' when A[r, column matched to r'] != 0
    coo = nz.tocoo()
    g = sp.csr_matrix((np.ones(coo.nnz, dtype=np.int8), (coo.row, row_of_col[coo.col])),
                      shape=(N, N))
    nb, block = connected_components(g, directed=True, connection="strong")
    # condensation and its reachability (reflexive), in topological order
    edges = sp.csr_matrix((np.ones(coo.nnz, dtype=np.int8),
                           (block[coo.row], block[row_of_col[coo.col]])), shape=(nb, nb))
    edges.setdiag(0)
    edges.eliminate_zeros()
    order = topological_order(edges, nb)
    reach = np.zeros((nb, nb), dtype=bool)
    reach[np.arange(nb), np.arange(nb)] = True
    for b in reversed(order):
        succ = edges.indices[edges.indptr[b]:edges.indptr[b + 1]]
        if len(succ):
            reach[b] |= reach[succ].any(axis=0)
    return row_of_col, block, reach


def topological_order(edges, nb):
    indeg = np.zeros(nb, dtype=np.int64)
    np.add.at(indeg, edges.indices, 1)
    stack = [int(b) for b in np.flatnonzero(indeg == 0)]
    order = []
    while stack:
        b = stack.pop()
        order.append(b)
        for c in edges.indices[edges.indptr[b]:edges.indptr[b + 1]]:
            indeg[c] -= 1
            if indeg[c] == 0:
                stack.append(int(c))
    return order


def poly_det(F, A, rows, cols, unit=None):
    """det of A[rows, cols] as a polynomial {monomial bit mask: Fraction} in
    its free entries (numbered in row-major order of the block; a ``-inf``
    entry is minus its variable, so every variable is positive or, for a
    NaN entry, of either sign).  ``unit=(c, r)``: column c replaced by the
    r-th unit vector first (the cofactor of entry (r, c))."""
    s = len(rows)
    var = {}
    for a, r in enumerate(rows):
        for b, c in enumerate(cols):
            if not math.isfinite(A[r, c]):
                var[(a, b)] = len(var)
    entries = []
    for a, r in enumerate(rows):
        row = []
        for b, c in enumerate(cols):
            if unit is not None and b == unit[0]:
                if a == unit[1]:
                    row.append((b, None, Fraction(1)))
                continue
            x = A[r, c]
            if not math.isfinite(x):
                row.append((b, var[(a, b)], Fraction(-1) if x < 0 else Fraction(1)))
            elif x != 0:
                row.append((b, None, F.value(r, c)))
        entries.append(row)
    # Laplace expansion row by row; state: the set of columns used so far
    states = {0: {0: Fraction(1)}}
    for a in range(s):
        nxt: dict[int, dict[int, Fraction]] = {}
        for used, poly in states.items():
            for b, v, coef in entries[a]:
                bit = 1 << b
                if used & bit:
                    continue
                # sign: columns already used to the right of b
                if bin(used >> (b + 1)).count("1") % 2:
                    coef = -coef
                target = nxt.setdefault(used | bit, {})
                if v is None:
                    for mono, c in poly.items():
                        target[mono] = target.get(mono, 0) + c * coef
                else:
                    vb = 1 << v
                    for mono, c in poly.items():
                        target[mono | vb] = target.get(mono | vb, 0) + c * coef
        states = {u: {k: c for k, c in p.items() if c != 0} for u, p in nxt.items()}
        if not states:
            return {}
    return states.get((1 << s) - 1, {})


def nan_mask(A, rows, cols):
    """Bit mask of the variables of :func:`poly_det` on ``A[rows, cols]``
    that stand for NaN entries (free of either sign)."""
    sub = A[np.ix_(rows, cols)]
    nan = np.isnan(sub[~np.isfinite(sub)])
    mask = 0
    for v, is_nan in enumerate(nan):
        if is_nan:
            mask |= 1 << v
    return mask


def one_sign(poly, nan_mask):
    """+1 or -1 when the polynomial keeps that sign on its domain, else 0."""
    if not poly:
        return 0
    if any(mono & nan_mask for mono in poly):
        return 0
    vals = list(poly.values())
    if all(c > 0 for c in vals):
        return 1
    if all(c < 0 for c in vals):
        return -1
    return 0


def ratio_sign(p, q, nan_mask):
    """Sign of ``-p / q`` (1.0, -1.0, NaN for either), or None undecided."""
    if not p or not q:
        return None
    sp_, sq = one_sign(p, nan_mask), one_sign(q, nan_mask)
    if sp_ and sq:
        return float(-sp_ * sq)
    reduced = cancelled(p, q)
    if reduced is None:
        return None
    p, q = reduced
    sp_, sq = one_sign(p, nan_mask), one_sign(q, nan_mask)
    if sp_ and sq:
        return float(-sp_ * sq)
    # coprime, and one of them changes sign on the domain: so does the ratio
    return math.nan


def cancelled(p, q, max_terms=4000):
    """``(p / g, q / g)`` with g their greatest common divisor, or None."""
    if len(p) > max_terms or len(q) > max_terms:
        return None
    try:
        import sympy
    except ImportError:
        return None
    masks = set(p) | set(q)
    nvars = max(masks).bit_length() if masks else 0
    if nvars == 0:
        return p, q
    gens = sympy.symbols(f"x0:{nvars}")

    def to_poly(d):
        terms = {tuple((mono >> v) & 1 for v in range(nvars)): sympy.Rational(c.numerator, c.denominator)
                 for mono, c in d.items()}
        return sympy.Poly.from_dict(terms, *gens, domain="QQ")

    P, Q = to_poly(p), to_poly(q)
    g = P.gcd(Q)
    if g.total_degree() == 0:
        return p, q
    P, Q = P.exquo(g), Q.exquo(g)

    def back(poly):
        out = {}
        for exps, c in poly.terms():
            mono = 0
            for v, e in enumerate(exps):
                if e:
                    mono |= 1 << v
            out[mono] = Fraction(int(c.p), int(c.q))
        return out

    return back(P), back(Q)
