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
import os
import random
import sys
import time
from fractions import Fraction

import numpy as np

# The exact algebra is the tests' oracle: one copy, in tests/support.py.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))
from support import draw_top, pattern_full, pattern_reduced, to_fractions  # noqa: E402

from quelmar.loaders import read_network_json  # noqa: E402


# ------------------------------------------------------------------ driver


def load(path: str):
    net = read_network_json(path)
    if net.reginfo is None:
        raise SystemExit(f"{path}: no regulation matrix")
    return net.name, net.stoi, net.reginfo


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
