"""Helpers that several test modules share.

* ``assert_same``: exact comparison (arrays bit for bit, NaN equal to NaN,
  lists, tuples and dicts element by element), types included;
* ``rng_state`` / ``same_state``: NumPy's global random state, to check how
  much a call draws; ``assert_same_draws``: two calls under one seed give the
  same result and draw the same amount;
* ``exact``: a ``pytest.raises(match=...)`` pattern for the whole message;
  ``traceback_entries``: the frames of a caught exception;
* ``MODELS`` / ``NETWORKS``: the shipped model files and converted networks;
* ``QUELMAR`` / ``run_quelmar``: the command line in a new process;
* ``sbml3`` / ``rxn`` / ``ci``: small SBML documents written out;
  ``assert_same_network``: two CRNs hold the same network;
* ``assert_flat``: reference counts and memory stay flat over many calls;
* ``snapshot`` / ``assert_unchanged``: an object's attributes before a call
  and the check that the call left every one of them as it was;
* the exact oracle of the sensitivity pattern in rational arithmetic
  (``pattern_full``, ``pattern_reduced``, ``draw_top``, ``to_fractions``),
  which the benchmarks use as well.
"""

from __future__ import annotations

import gc
import math
import os
import re
import resource
import subprocess
import sys
import traceback
from fractions import Fraction

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = os.path.join(HERE, "data", "models")
NETWORKS = os.path.join(os.path.dirname(HERE), "data", "networks")


QUELMAR = [sys.executable, "-m", "quelmar"]


def run_quelmar(*args, **options):
    """The quelmar command in a new process, as subprocess.run gives it:
    text, both outputs captured unless options redirect one, two minutes at
    the most."""
    options = {"text": True, "timeout": 120, **options}
    if "stdout" not in options and "stderr" not in options:
        options["capture_output"] = True
    return subprocess.run([*QUELMAR, *map(str, args)], **options)


def exact(msg):
    """A pattern that matches the message msg and nothing else."""
    return "^" + re.escape(msg) + "$"


def traceback_entries(excinfo):
    """(function name, file name) of every frame of a caught exception."""
    return [(fs.name, fs.filename) for fs in traceback.extract_tb(excinfo.value.__traceback__)]


# ---------------------------------------------------------------------------
# Exact comparison
# ---------------------------------------------------------------------------


def assert_same(a, b, path="result"):
    """a and b are equal bit for bit (NaN equals NaN), with matching types."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        assert isinstance(a, np.ndarray) and isinstance(b, np.ndarray), (
            "%s: %r vs %r" % (path, type(a), type(b))
        )
        assert a.dtype == b.dtype, "%s: dtype %s vs %s" % (path, a.dtype, b.dtype)
        assert a.shape == b.shape, "%s: shape %s vs %s" % (path, a.shape, b.shape)
        if a.dtype.kind in "fc":
            assert np.array_equal(a, b, equal_nan=True), "%s:\n%r\nvs\n%r" % (path, a, b)
        else:
            assert np.array_equal(a, b), "%s:\n%r\nvs\n%r" % (path, a, b)
        return
    assert type(a) is type(b), "%s: type %r vs %r" % (path, type(a), type(b))
    if isinstance(a, (list, tuple)):
        assert len(a) == len(b), "%s: length %d vs %d" % (path, len(a), len(b))
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, "%s[%d]" % (path, i))
    elif isinstance(a, dict):
        assert list(a) == list(b), "%s: keys %r vs %r" % (path, list(a), list(b))
        for k in a:
            assert_same(a[k], b[k], "%s[%r]" % (path, k))
    elif isinstance(a, (float, np.floating)):
        if math.isnan(a):
            assert math.isnan(b), "%s: nan vs %r" % (path, b)
        else:
            assert a == b, "%s: %r vs %r" % (path, a, b)
    else:
        assert a == b, "%s: %r vs %r" % (path, a, b)


# ---------------------------------------------------------------------------
# Small SBML documents
# ---------------------------------------------------------------------------

L3 = "http://www.sbml.org/sbml/level3/version2/core"


def sbml3(species, reactions, extra=""):
    """A level 3 version 2 document; species: (id, attrs) pairs."""
    sp = "\n".join(
        f'<species id="{sid}" compartment="c" hasOnlySubstanceUnits="false" '
        f'boundaryCondition="{"true" if "b" in flags else "false"}" '
        f'constant="{"true" if "k" in flags else "false"}"/>'
        for sid, flags in species)
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<sbml xmlns="{L3}" level="3" version="2">\n<model id="toy">\n'
            '<listOfCompartments><compartment id="c" size="1" constant="true"/>'
            f"</listOfCompartments>\n<listOfSpecies>{sp}</listOfSpecies>\n{extra}\n"
            f"<listOfReactions>{reactions}</listOfReactions>\n</model></sbml>\n")


def rxn(rid, reactants=(), products=(), modifiers=(), law=None, reversible=False,
        local=()):
    """A reaction of sbml3: (species, stoichiometry) pairs, modifier ids, the
    MathML of its rate law and its local parameters."""
    def refs(tag, items):
        if not items:
            return ""
        inner = "".join(f'<speciesReference species="{s}" stoichiometry="{v}" constant="true"/>'
                        for s, v in items)
        return f"<{tag}>{inner}</{tag}>"
    mods = ""
    if modifiers:
        mods = ("<listOfModifiers>"
                + "".join(f'<modifierSpeciesReference species="{s}"/>' for s in modifiers)
                + "</listOfModifiers>")
    kl = ""
    if law is not None:
        params = ""
        if local:
            params = ("<listOfLocalParameters>"
                      + "".join(f'<localParameter id="{p}" value="1"/>' for p in local)
                      + "</listOfLocalParameters>")
        kl = (f'<kineticLaw><math xmlns="http://www.w3.org/1998/Math/MathML">{law}</math>'
              f"{params}</kineticLaw>")
    return (f'<reaction id="{rid}" reversible="{str(reversible).lower()}">'
            f"{refs('listOfReactants', reactants)}{refs('listOfProducts', products)}"
            f"{mods}{kl}</reaction>")


def ci(*names):
    """MathML of a name, or of the product of several."""
    if len(names) == 1:
        return f"<ci>{names[0]}</ci>"
    return "<apply><times/>" + "".join(f"<ci>{n}</ci>" for n in names) + "</apply>"


def assert_same_network(a, b, name=True):
    """Two CRNs hold the same network: species and reaction names,
    stoichiometry, regulation and A-matrix, and (with name) the same name."""
    if name:
        assert a.name == b.name
    assert (list(a.X_names), list(a.R_names)) == (list(b.X_names), list(b.R_names))
    np.testing.assert_array_equal(a.stoi, b.stoi)
    np.testing.assert_array_equal(a.reginfo, b.reginfo)
    np.testing.assert_array_equal(np.array(a.A), np.array(b.A))


# ---------------------------------------------------------------------------
# NumPy's global random state
# ---------------------------------------------------------------------------


def rng_state():
    s = np.random.get_state()
    return (s[0], s[1].copy(), s[2], s[3], s[4])


def same_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


def assert_same_draws(got_call, want_call, seed, label="result"):
    """got_call() and want_call(), each after numpy.random.seed(seed), return
    the same (assert_same) and leave the global generator in the same state.
    Returns the first result."""
    np.random.seed(seed)
    got = got_call()
    after = rng_state()
    np.random.seed(seed)
    want = want_call()
    assert_same(got, want, label)
    assert same_state(after, rng_state()), "%s: the calls drew different amounts" % label
    return got


# ---------------------------------------------------------------------------
# Reference counts and memory over many calls
# ---------------------------------------------------------------------------


def rss_kb():
    """The resident set of this process in KiB."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (resource.getpagesize() // 1024)


def _run_calls(calls, repeat, expected):
    for _ in range(repeat):
        for call in calls:
            try:
                call()
            except expected:
                pass


def assert_flat(calls, watched, repeat=1000, *, objects=50, expected=Exception):
    """Runs every call `repeat` times (after a warm-up) and checks that the
    reference counts of the watched objects do not change and that the
    number of tracked objects (by fewer than `objects`) and the resident
    memory do not grow.  Exceptions of the `expected` types are part of the
    calls; any other ends the check."""
    _run_calls(calls, 50, expected)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = len(gc.get_objects())
    rss = rss_kb()
    _run_calls(calls, repeat, expected)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == refs
    assert len(gc.get_objects()) - before < objects
    # AddressSanitizer's quarantine holds freed memory back by design.
    if not os.environ.get("QUELMAR_SANITIZED"):
        grown = rss_kb() - rss
        if grown >= 4096:
            # The allocator may take a new arena once (after other threads of
            # the process ran); a leak grows again in a second round.
            rss = rss_kb()
            _run_calls(calls, repeat, expected)
            gc.collect()
            grown = rss_kb() - rss
        assert grown < 4096


# ---------------------------------------------------------------------------
# An object's attributes, before and after
# ---------------------------------------------------------------------------


def _is_view(v):
    """The compiled module's memory views (A and the classes of a CRN)."""
    return type(v).__name__ == "_memoryviewslice"


def snapshot(obj):
    """Every instance attribute: the object itself and a copy of its contents."""
    out = {}
    for k, v in vars(obj).items():
        if isinstance(v, np.ndarray):
            out[k] = (v, v.copy())
        elif _is_view(v):
            out[k] = (v, np.array(v))
        elif isinstance(v, list):
            out[k] = (v, list(v))
        else:
            out[k] = (v, None)
    return out


def assert_unchanged(obj, snap, what):
    now = vars(obj)
    assert list(now) == list(snap), "%s changed the attribute set: %r -> %r" % (what, list(snap), list(now))
    for k, (v, contents) in snap.items():
        assert now[k] is v, "%s replaced %s" % (what, k)
        if contents is None:
            continue
        if isinstance(contents, list):
            assert len(contents) == len(v) and all(x is y for x, y in zip(contents, v)), "%s changed %s" % (what, k)
            continue
        cur = np.array(v) if _is_view(v) else v
        assert cur.dtype == contents.dtype and cur.shape == contents.shape, "%s changed %s" % (what, k)
        if contents.dtype.hasobject:
            assert all(x is y for x, y in zip(cur.flat, contents.flat)), "%s changed %s" % (what, k)
        else:
            assert cur.tobytes() == contents.tobytes(), "%s changed %s" % (what, k)


# ---------------------------------------------------------------------------
# The sensitivity pattern in exact arithmetic
# ---------------------------------------------------------------------------
#
# For a network and a seed, draw_top draws the free regulation entries the
# way CRN._smat_(trial=1) does after numpy.random.seed(seed); the pattern of
# the species-by-reaction block of adj(A) then follows exactly, with Python
# integers and fractions:
#
# * pattern_reduced: with r = rank S, rows I and columns J of S such that
#   S[I, J] is non-singular and M = S[I, :] R S[:, J] (R the
#   reaction-by-species block of A), adj(A)[0:m, 0:n] is a non-zero multiple
#   of S[:, J] adj(M) S[I, :];
# * pattern_full: the A-matrix itself, with exact bases of the cycles and the
#   conserved quantities, and its adjugate by fraction-free Gauss-Jordan
#   elimination (slow beyond order 100).


def draw_top(reg: np.ndarray, seed: int) -> np.ndarray:
    """top[j, i] = reg[i, j], free entries drawn as CRN._smat_ does (row-major in A)."""
    top = reg.T.copy()
    free = ~(np.abs(top) < np.inf)
    np.random.seed(seed)
    top[free] = np.random.normal(size=int(free.sum()), scale=10.0)
    return top


def to_fractions(A: np.ndarray) -> list[list[Fraction]]:
    return [[Fraction(float(x)) for x in row] for row in A]


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
