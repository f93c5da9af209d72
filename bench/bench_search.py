"""Sensitivity matrix and isolated-buffering-structure search.

``search._smat_`` times ``crn._smat_()`` and ``search.search_for_isoBSs``
times ``crn.search_for_isoBSs()`` (both with their default two trials), on

* random networks whose A-matrix has order L = 10, 20, 40, 60: integer
  stoichiometry from a seeded generator (conversions, bindings,
  dissociations, inflows and outflows), default regulation;
* the real networks of data/networks.

NumPy's global generator is seeded before every call.  ``_smat_`` takes
L^2 (L-1)^2 doubles of workspace (784 MB at L = 100), so networks whose
workspace would exceed ``--max-workspace-gb`` (4 GB by default; iJO1366 would
need some 350 TB) are reported as skipped.  Where the NumPy model of the test
suite (``tests/reference.py``) runs in reasonable time, it is the baseline.
"""

import os
import sys

import numpy as np

from harness import ROOT, SETTINGS, Case, network_sizes, smat_skip_reason
from networks import list_networks, load_network

ORDERS = (10, 20, 40, 60)
QUICK_ORDERS = (10, 20)
# Real networks on which the NumPy model is too slow to serve as baseline.
NO_REFERENCE = {"e_coli_core", "iJO1366"}
QUICK_NETWORKS = {"BIOMD0000000005_Tyson1991"}


# ---------------------------------------------------------------------------
# Random networks

def _column(m, entries):
    col = np.zeros(m)
    for i, v in entries:
        col[i] += v
    return col


def random_reaction(rng, m, free, consume=None):
    """One integer stoichiometry column among the species ``free``."""
    kind = rng.choice(["convert", "bind", "dissociate", "outflow", "inflow"],
                      p=[0.40, 0.20, 0.15, 0.15, 0.10])
    if consume is not None and kind == "inflow":
        kind = "convert"
    first = consume if consume is not None else int(rng.choice(free))
    others = [int(i) for i in rng.permutation(free) if i != first]
    coef = 2 if rng.random() < 0.1 else 1
    if kind == "convert" and others:
        return _column(m, [(first, -coef), (others[0], 1)])
    if kind == "bind" and len(others) >= 2:
        return _column(m, [(first, -coef), (others[0], -1), (others[1], 1)])
    if kind == "dissociate" and len(others) >= 2:
        return _column(m, [(first, -coef), (others[0], 1), (others[1], 1)])
    if kind == "inflow":
        return _column(m, [(first, coef)])
    return _column(m, [(first, -coef)])


def random_network(L, seed=0):
    """Integer stoichiometry (species x reactions) whose A-matrix has order L.

    L // 2 species: q = max(1, L // 16) enzymes E_k with their complexes C_k,
    each bound in the motif E + S -> C, C -> E + P (so E_k + C_k is a
    conserved quantity), and free species joined by conversions, bindings,
    dissociations, inflows and outflows; each free species is consumed by
    one of the first reactions.  The order of the A-matrix is species +
    reactions - rank: with no reaction it is the number of species, and each
    added reaction either raises the rank (order unchanged) or closes a
    cycle (order + 1), so reactions are added until the order is exactly L.
    """
    rng = np.random.default_rng([L, seed])
    m = max(4, L // 2)
    q = max(1, m // 8)
    free = np.arange(2 * q, m)
    planned = [random_reaction(rng, m, free, consume=int(s)) for s in free]
    for k in range(q):
        s, p = (int(x) for x in rng.choice(free, size=2, replace=False))
        planned.append(_column(m, [(k, -1), (s, -1), (q + k, 1)]))
        planned.append(_column(m, [(q + k, -1), (k, 1), (p, 1)]))
    cols = []
    rank = 0
    while m + len(cols) - rank < L:
        col = planned.pop(0) if planned else random_reaction(rng, m, free)
        cols.append(col)
        rank = int(np.linalg.matrix_rank(np.column_stack(cols)))
    return np.column_stack(cols) if cols else np.zeros((m, 0))


# ---------------------------------------------------------------------------

def reference():
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    import reference as ref

    return ref


class SearchState:
    def __init__(self, net, with_reference, expect_L=None):
        from quelmar.cyquelmar import CRN

        self.crn = CRN(*net)
        self.L = int(np.array(self.crn.A).shape[0])
        self.ref = reference().CRN(*net) if with_reference else None
        self.expect_L = expect_L


def random_setup(L, with_reference):
    return lambda: SearchState((random_network(L),), with_reference, L)


def real_setup(key, with_reference, expect_L):
    return lambda: SearchState(load_network(key), with_reference, expect_L)


def check_order(state):
    if state.expect_L is not None and state.L != state.expect_L:
        return "A-matrix order is %d, expected %d" % (state.L, state.expect_L)
    return None


def smat(state):
    state.crn._smat_()


def smat_reference(state):
    state.ref._smat_()


def search(state):
    state.crn.search_for_isoBSs()


def search_reference(state):
    state.ref.search_for_isoBSs()


def make_cases(name, params, setup, subject, baseline, quick, skip):
    return Case(name=name, params=params, setup=setup, func=subject, baseline=baseline,
                check=check_order, seed=0, quick=quick, skip=skip)


def random_cases():
    out = []
    for L in ORDERS:
        stoi = random_network(L)
        params = {"network": "random", "L": L, "m": stoi.shape[0], "n": stoi.shape[1]}
        for name, subject, baseline in (("search._smat_", smat, smat_reference),
                                        ("search.search_for_isoBSs", search, search_reference)):
            out.append(make_cases(name, dict(params), random_setup(L, True), subject, baseline,
                                  quick=L in QUICK_ORDERS,
                                  skip=lambda L=L: smat_skip_reason(L)))
    return out


def real_cases():
    out = []
    for key in list_networks():
        sizes = network_sizes(key)
        L = sizes["L"]
        params = {"network": key, "L": L, "m": sizes["m"], "n": sizes["n"]}
        with_ref = key not in NO_REFERENCE
        for name, subject, baseline in (("search._smat_", smat, smat_reference),
                                        ("search.search_for_isoBSs", search, search_reference)):
            out.append(make_cases(name, dict(params), real_setup(key, with_ref, L), subject,
                                  baseline if with_ref else None,
                                  quick=key in QUICK_NETWORKS,
                                  skip=lambda L=L: smat_skip_reason(L)))
    return out


CASES = random_cases() + real_cases()
