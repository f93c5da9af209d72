#!/usr/bin/env python3
"""Exact sensitivity pattern of a network in rational arithmetic, for checks.

For a network file (the JSON format of the shipped networks, optionally gzipped)
this draws the free regulation entries the way ``CRN._smat_(trial=1)`` does
after ``numpy.random.seed(seed)`` (one ``normal(size=k, scale=10.0)`` call, in
row-major order of the A-matrix), and computes the non-zero pattern of the
species-by-reaction block of adj(A) exactly, with Python integers and
fractions:

* ``reduced`` (default): with r = rank S, rows I and columns J of S such that
  S[I, J] is non-singular and M = S[I, :] R S[:, J] (R the reaction-by-species
  block of A), adj(A)[0:m, 0:n] is a non-zero multiple of S[:, J] adj(M) S[I, :].
* ``--full``: the A-matrix itself, with exact bases of the cycles and the
  conserved quantities, and its adjugate by fraction-free Gauss-Jordan
  elimination (slow beyond order 100).

It prints the number of non-zeros and compares with the floating-point pattern
(|det(A) A^-1| > 1e-8, when A is invertible) and, with ``--extension``, with
``CRN._smat_(trial=1)`` of the installed extension.  ``--self-test`` checks the
two exact methods against each other on random small networks.  The exit
status is 1 if a comparison that should agree (the two exact methods, or the
extension with ``--expect-exact``) does not.

    .venv/bin/python bench/exact_check.py /work/shared/networks/e_coli_core.network.json
"""

from __future__ import annotations

import argparse
import gzip
import json
import random
import sys
import time
from fractions import Fraction

import numpy as np

# ------------------------------------------------------------- exact algebra


def rref(rows: list[list[Fraction]], ncols: int) -> tuple[list[list[Fraction]], list[int]]:
    """Reduced row echelon form (a copy) and the pivot columns."""
    A = [list(r) for r in rows]
    pivots: list[int] = []
    rk = 0
    for c in range(ncols):
        p = next((i for i in range(rk, len(A)) if A[i][c] != 0), None)
        if p is None:
            continue
        A[rk], A[p] = A[p], A[rk]
        inv = 1 / A[rk][c]
        A[rk] = [x * inv for x in A[rk]]
        for i in range(len(A)):
            if i != rk and A[i][c] != 0:
                f = A[i][c]
                A[i] = [x - f * y for x, y in zip(A[i], A[rk])]
        pivots.append(c)
        rk += 1
        if rk == len(A):
            break
    return A, pivots


def kernel(rows: list[list[Fraction]], ncols: int) -> list[list[Fraction]]:
    """Basis of {x : rows x = 0}."""
    R, pivots = rref(rows, ncols)
    basis = []
    pivot_set = set(pivots)
    for f in range(ncols):
        if f in pivot_set:
            continue
        v = [Fraction(0)] * ncols
        v[f] = Fraction(1)
        for k, c in enumerate(pivots):
            v[c] = -R[k][f]
        basis.append(v)
    return basis


def transpose(A: list[list]) -> list[list]:
    return [list(col) for col in zip(*A)] if A else []


def integer_rows(A: list[list[Fraction]]) -> tuple[list[list[int]], list[int]]:
    """Each row times the lcm of its denominators, and those factors."""
    out, scales = [], []
    for row in A:
        lcm = 1
        for x in row:
            d = x.denominator
            lcm = lcm * d // _gcd(lcm, d)
        out.append([int(x * lcm) for x in row])
        scales.append(lcm)
    return out, scales


def _gcd(a: int, b: int) -> int:
    while b:
        a, b = b, a % b
    return abs(a)


def adjugate_scaled(A: list[list[Fraction]]) -> list[list[Fraction]]:
    """adj(A) times some non-zero constant, for a square rational matrix."""
    n = len(A)
    if n == 0:
        return []
    if n == 1:
        return [[Fraction(1)]]
    Z, scales = integer_rows(A)
    # Fraction-free Gauss-Jordan elimination of [Z | I] ends as [d I | +-adj(Z)]
    # when Z is invertible (every division is exact); with Z = diag(scales) A,
    # adj(A) is proportional to adj(Z) diag(scales).
    W = [row + [1 if i == j else 0 for j in range(n)] for i, row in enumerate(Z)]
    prev = 1
    for k in range(n):
        p = next((i for i in range(k, n) if W[i][k] != 0), None)
        if p is None:
            break
        W[k], W[p] = W[p], W[k]
        piv = W[k][k]
        rowk = W[k]
        for i in range(n):
            if i != k:
                a = W[i][k]
                W[i] = [(piv * x - a * y) // prev for x, y in zip(W[i], rowk)]
        prev = piv
    else:
        return [[Fraction(W[i][n + j] * scales[j]) for j in range(n)] for i in range(n)]
    # Singular: adj(A) = c u v^T when the corank is one, 0 otherwise.
    u = kernel(A, n)
    if len(u) != 1:
        return [[Fraction(0)] * n for _ in range(n)]
    v = kernel(transpose(A), n)
    return [[u[0][i] * v[0][j] for j in range(n)] for i in range(n)]


# --------------------------------------------------------- the two methods


def pattern_full(S: list[list[Fraction]], R: list[list[Fraction]], m: int, n: int):
    """adj(A)[0:m, 0:n] from the A-matrix [[R, C], [D, 0]]."""
    C = kernel(S, n)  # cycles, length n
    D = kernel(transpose(S), m) if m else []  # conservation laws, length m
    K, L = len(C), len(D)
    N = m + K
    assert N == n + L
    A = [[Fraction(0)] * N for _ in range(N)]
    for j in range(n):
        for i in range(m):
            A[j][i] = R[j][i]
        for k in range(K):
            A[j][m + k] = C[k][j]
    for l in range(L):
        for i in range(m):
            A[n + l][i] = D[l][i]
    adj = adjugate_scaled(A)
    return [[adj[i][j] != 0 for j in range(n)] for i in range(m)]


def pattern_reduced(S: list[list[Fraction]], R: list[list[Fraction]], m: int, n: int):
    """Pattern of S[:, J] adj(S[I, :] R S[:, J]) S[I, :]."""
    _, J = rref(S, n)  # pivot columns: independent columns of S
    _, I = rref(transpose(S), m) if n else ([], [])  # independent rows
    r = len(J)
    assert r == len(I)
    if r == 0:
        return [[False] * n for _ in range(m)]
    RS = [[sum((R[j][k] * S[k][b] for k in range(m) if R[j][k] and S[k][b]), Fraction(0))
           for b in J] for j in range(n)]
    M = [[sum((S[a][j] * RS[j][c] for j in range(n) if S[a][j] and RS[j][c]), Fraction(0))
          for c in range(r)] for a in I]
    adj = adjugate_scaled(M)
    # The product in exact values: a product of patterns would miss cancellations.
    X = [[sum((S[i][J[b]] * adj[b][a] for b in range(r) if S[i][J[b]] and adj[b][a]), Fraction(0))
          for a in range(r)] for i in range(m)]
    return [[sum((X[i][a] * S[I[a]][j] for a in range(r) if X[i][a] and S[I[a]][j]), Fraction(0)) != 0
             for j in range(n)] for i in range(m)]


# ------------------------------------------------------------------ driver


def load(path: str):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt") as f:
        net = json.load(f)
    S = np.array(net["stoichiometry"], dtype=float)
    reg = np.array([[np.inf if v == "inf" else float(v) for v in row] for row in net["regulation"]])
    return net.get("name", path), S, reg


def draw_top(reg: np.ndarray, seed: int) -> np.ndarray:
    """top[j, i] = reg[i, j], free entries drawn as CRN._smat_ does (row-major in A)."""
    top = reg.T.copy()
    free = ~(np.abs(top) < np.inf)
    np.random.seed(seed)
    top[free] = np.random.normal(size=int(free.sum()), scale=10.0)
    return top


def float_pattern(S: np.ndarray, top: np.ndarray) -> np.ndarray | None:
    """|det(A) A^-1| > 1e-8 over the block, with numpy's bases (None if singular)."""
    m, n = S.shape
    C = _null(S)
    D = _null(S.T).T
    K, L = C.shape[1], D.shape[0]
    N = m + K
    if N != n + L:
        return None
    A = np.zeros((N, N))
    A[:n, :m] = top
    A[:n, m:] = C
    A[n:, :m] = D
    try:
        adj = np.linalg.det(A) * np.linalg.inv(A)
    except np.linalg.LinAlgError:
        return None
    return np.abs(adj[:m, :n]) > 1e-8


def _null(M: np.ndarray) -> np.ndarray:
    if M.shape[1] == 0:
        return np.zeros((0, 0))
    u, s, vt = np.linalg.svd(M)
    tol = max(M.shape) * np.finfo(float).eps * (s[0] if s.size else 0.0)
    rank = int((s > tol).sum())
    return vt[rank:].T.copy()


def to_fractions(A: np.ndarray) -> list[list[Fraction]]:
    return [[Fraction(float(x)) for x in row] for row in A]


def self_test(count: int, seed: int) -> bool:
    rng = random.Random(seed)
    ok = True
    for t in range(count):
        m, n = rng.randint(1, 6), rng.randint(1, 7)
        S = [[Fraction(rng.choice([-2, -1, 0, 0, 0, 1, 2])) for _ in range(n)] for _ in range(m)]
        R = [[Fraction(rng.choice([0, 0, 1, -2, 3]), rng.choice([1, 2, 4])) for _ in range(m)]
             for _ in range(n)]
        a, b = pattern_full(S, R, m, n), pattern_reduced(S, R, m, n)
        if a != b:
            print(f"self-test {t}: methods disagree for S={S} R={R}")
            ok = False
    print(f"self-test: {count} random networks, {'agree' if ok else 'DISAGREE'}")
    return ok


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("network", nargs="?")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--full", action="store_true", help="also use the full A-matrix")
    ap.add_argument("--extension", action="store_true", help="compare with CRN._smat_(trial=1)")
    ap.add_argument("--expect-exact", action="store_true",
                    help="fail if the extension's pattern differs from the exact one")
    ap.add_argument("--self-test", type=int, metavar="N", default=0)
    args = ap.parse_args()
    status = 0
    if args.self_test:
        status |= 0 if self_test(args.self_test, args.seed) else 1
    if not args.network:
        return status

    name, S, reg = load(args.network)
    m, n = S.shape
    top = draw_top(reg, args.seed)
    Sq, Rq = to_fractions(S), to_fractions(top)
    t0 = time.perf_counter()
    exact = np.array(pattern_reduced(Sq, Rq, m, n), dtype=bool).reshape(m, n)
    print(f"{name}: {m} species, {n} reactions; exact non-zeros {int(exact.sum())} of {m * n} "
          f"({time.perf_counter() - t0:.1f} s)")
    if args.full:
        t0 = time.perf_counter()
        full = np.array(pattern_full(Sq, Rq, m, n), dtype=bool).reshape(m, n)
        same = bool((full == exact).all())
        print(f"full A-matrix: non-zeros {int(full.sum())}, {'agrees' if same else 'DISAGREES'} "
              f"({time.perf_counter() - t0:.1f} s)")
        status |= 0 if same else 1
    fl = float_pattern(S, top)
    if fl is None:
        print("floating point: A singular or ranks disagree, skipped")
    else:
        print(f"floating point |adj| > 1e-8: non-zeros {int(fl.sum())}, false non-zeros "
              f"{int((fl & ~exact).sum())}, false zeros {int((~fl & exact).sum())}")
    if args.extension:
        from quelmar.cyquelmar import CRN

        crn = CRN(S, reg)
        np.random.seed(args.seed)
        ext = np.asarray(crn._smat_(trial=1), dtype=bool)
        diff_nz = int((ext & ~exact).sum())
        diff_z = int((~ext & exact).sum())
        print(f"extension _smat_: non-zeros {int(ext.sum())}, false non-zeros {diff_nz}, "
              f"false zeros {diff_z}")
        if args.expect_exact and (diff_nz or diff_z):
            status |= 1
    return status


if __name__ == "__main__":
    sys.exit(main())
