"""Sensitivity matrix and isolated-buffering-structure search.

``search._smat_`` times ``crn._smat_(trial=t)`` and ``search.search_for_isoBSs``
times ``crn.search_for_isoBSs()`` (two trials, its default), on

* random networks whose A-matrix has order L = 10, 20, 40, 60: integer
  stoichiometry from a seeded generator (conversions, bindings,
  dissociations, inflows and outflows), default regulation; ``_smat_`` with
  t = 2;
* the real networks of data/networks, iJO1366 (L = 2622) included;
  ``_smat_`` with t = 1 and with t = 2 (the default); on e_coli_core and
  Brown 2004 also t = 1 against ``numpy.linalg.inv`` of the same drawn
  A-matrix (``baseline=inv``: the draw and one dense inverse, so ``ratio``
  is inverse time / ``_smat_`` time).

NumPy's global generator is seeded before every call, so the subject and the
baseline draw the same free entries.  The module's ``_smat_`` takes the exact
non-zero pattern of the adjugate by modular arithmetic (O(L^3) time, O(L^2)
memory).  Its baseline is the cofactor path of the NumPy model of the test
suite (``tests/reference.py``: every cofactor by LU, |cofactor| > 1e-8),
which holds L^2 (L-1)^2 doubles, so it runs only where that fits
``harness.COFACTOR_LIMIT_GB`` (2 GB: up to e_coli_core, L = 100, 784 MB);
``ratio`` is then cofactor time / exact time.

The note of a ``_smat_`` case counts the entries marked non-zero (with seed
0) by the exact path, by the cofactor path where it runs, and by the rational
reference of ``exact_check.py`` (the same draws, exact fractions; every
network but iJO1366), with the false non-zeros and the missed non-zeros of
the cofactor path against that reference (and a warning should the exact
path differ from it).  Where the exact path finds no non-zero and the
structural rank of A is below L - 1 (so adj(A) = 0 whatever the values, as
on iJO1366), the note says so.

``search.search_for_isoBSs[network=pathways]`` is the generated network of
``dense_closure.pathway_network(10, 40)`` (A-matrix order 816, 77020
structures, about 100 MB at its peak), without
a baseline.

``search.search_for_isoBSs`` runs twice per network, against two baselines
(the ``baseline`` parameter): "seedwise", the module's own search that
evaluates every distinct closed seed selection on the whole network, one
after the other (``cyquelmar._search_for_isoBSs_seedwise``, the search as it
was before candidates shared work and threads), and "numpy", the plain
NumPy/SciPy search of ``numpy_search.py`` (inverse pattern, closures by
strongly connected components, SVD ranks).  The note is the number of
structures found, and says whether the baseline found the same list.  On
iJO1366 (4.4 million distinct candidates) the module's search takes about
5 s; its seedwise baseline takes over half an hour on a loaded machine, so
that case runs only with ``--big`` (and ``--timeout 3600``), and the NumPy
baseline does not run there at all.
"""


import numpy as np

from harness import (Case, cofactor_fits, cofactor_workspace_bytes, network_sizes, opt_in,
                     reference)
from networks import list_networks, load_network

ORDERS = (10, 20, 40, 60)
QUICK_ORDERS = (10, 20)
# Real networks on which the NumPy/SciPy search is too slow to serve as
# baseline.
NO_NUMPY_SEARCH = {"iJO1366"}
# Real networks without the rational reference in the note (far too slow).
NO_RATIONAL = {"iJO1366"}
QUICK_NETWORKS = {"BIOMD0000000005_Tyson1991"}
# Real networks on which one trial of _smat_ also runs against one dense
# inverse of the same drawn A-matrix (numpy.linalg.inv).
INVERSE_BASELINE = {"e_coli_core", "BIOMD0000000033_Brown2004"}
OPT_IN_SEEDWISE = {
    "iJO1366": "the seedwise baseline evaluates 4.4 million candidates on the whole network: "
               "over 30 min on a loaded machine; --big --timeout 3600 lets it finish",
}
SEED = 0


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



class SearchState:
    def __init__(self, net, with_reference, expect_L=None, trial=2, rational=False):
        from quelmar.cyquelmar import CRN

        self.crn = CRN(*net)
        self.L = int(np.array(self.crn.A).shape[0])
        self.ref = reference().CRN(*net) if with_reference else None
        self.expect_L = expect_L
        self.trial = trial
        self.rational = rational
        self.result = None


def random_setup(L, with_reference, **kw):
    return lambda: SearchState((random_network(L),), with_reference, L, **kw)


def real_setup(key, with_reference, expect_L, **kw):
    return lambda: SearchState(load_network(key), with_reference, expect_L, **kw)


def check_order(state):
    if state.expect_L is not None and state.L != state.expect_L:
        return "A-matrix order is %d, expected %d" % (state.L, state.expect_L)
    return None


# ---------------------------------------------------------------------------
# Exactness of the _smat_ patterns (untimed, in the case's check)

def rational_pattern(stoi, reginfo, trial, seed):
    """Exact pattern of the union over ``trial`` draws, as ``_smat_`` draws them.

    After ``numpy.random.seed(seed)`` each trial draws the free entries of the
    A-matrix (those of the reaction-by-species block, reginfo transposed) in
    row-major order; the pattern of each draw is computed in fractions by
    ``exact_check.pattern_reduced``.
    """
    import exact_check as ec

    m, n = stoi.shape
    top0 = np.array(reginfo, dtype=float).T.copy()
    free = ~(np.abs(top0) < np.inf)
    k = int(free.sum())
    Sq = ec.to_fractions(np.asarray(stoi, dtype=float))
    out = np.zeros((m, n), dtype=bool)
    np.random.seed(seed)
    for _ in range(trial):
        top = top0.copy()
        top[free] = np.random.normal(size=k, scale=10.0)
        out |= np.array(ec.pattern_reduced(Sq, ec.to_fractions(top), m, n),
                        dtype=bool).reshape(m, n)
    return out


def structural_rank(A):
    """Structural rank of A (free entries count as non-zero)."""
    import scipy.sparse as sp
    from scipy.sparse.csgraph import structural_rank as srank

    A = np.asarray(A)
    return int(srank(sp.csr_matrix((A != 0).astype(np.float64))))


def versus(path, exact):
    """'F false non-zeros, Z missed' of a pattern against the exact one."""
    false_nz = int((path & ~exact).sum())
    missed = int((~path & exact).sum())
    return "%d false non-zeros, %d missed" % (false_nz, missed)


def check_smat(state):
    notes = [check_order(state)]
    m, n = np.asarray(state.crn.stoi).shape
    np.random.seed(SEED)
    ext = np.asarray(state.crn._smat_(trial=state.trial), dtype=bool)
    parts = ["non-zeros of %d: exact path %d" % (m * n, int(ext.sum()))]
    cof = None
    if state.ref is not None:
        np.random.seed(SEED)
        cof = np.asarray(state.ref._smat_(trial=state.trial), dtype=bool)
        parts.append("cofactor path %d" % int(cof.sum()))
    else:
        parts.append("cofactor path not run (%.3g GB)"
                     % (cofactor_workspace_bytes(state.L) / 2.0**30))
    if state.rational:
        rat = rational_pattern(np.asarray(state.crn.stoi), np.asarray(state.crn.reginfo),
                               state.trial, SEED)
        parts.append("rational %d" % int(rat.sum()))
        if cof is not None:
            parts.append("cofactor: " + versus(cof, rat))
        if not (ext == rat).all():
            parts.append("EXACT PATH DISAGREES: " + versus(ext, rat))
    if not ext.any() and state.L > 1:
        rank = structural_rank(state.crn.A)
        if rank < state.L - 1:
            parts.append("adj(A) = 0: structural rank of A %d < L - 1" % rank)
    notes.append(", ".join(parts))
    return "; ".join(x for x in notes if x)


# ---------------------------------------------------------------------------

def smat(state):
    state.crn._smat_(trial=state.trial)


def smat_reference(state):
    state.ref._smat_(trial=state.trial)


def smat_inverse(state):
    """The same draws as ``_smat_`` (one trial), then ``numpy.linalg.inv``."""
    if not hasattr(state, "free"):
        state.A0 = np.array(state.crn.A)
        state.free = ~(np.abs(state.A0) < np.inf)
        state.k = int(state.free.sum())
    A = state.A0.copy()
    A[state.free] = np.random.normal(size=state.k, scale=10.0)
    np.linalg.inv(A)


def search(state):
    state.result = state.crn.search_for_isoBSs()


def search_seedwise(state):
    from quelmar import cyquelmar

    state.baseline_result = cyquelmar._search_for_isoBSs_seedwise(state.crn)


def search_numpy(state):
    import numpy_search

    state.baseline_result = numpy_search.search(state.crn)


def report_search(state):
    if state.result is None:
        return None
    count = len(state.result)
    note = "%d structure%s" % (count, "" if count == 1 else "s")
    other = getattr(state, "baseline_result", None)
    if other is not None:
        same = len(other) == count and all(
            np.array_equal(np.asarray(a, dtype=bool), np.asarray(b, dtype=bool))
            for a, b in zip(state.result, other))
        note += ", baseline: " + ("the same list" if same else "A DIFFERENT LIST")
    return note


def smat_case(params, setup, baseline, quick):
    return Case(name="search._smat_", params=params, setup=setup, func=smat,
                baseline=baseline, check=check_smat, seed=SEED, quick=quick)


def search_case(params, setup, baseline, quick, **kw):
    return Case(name="search.search_for_isoBSs", params=params, setup=setup, func=search,
                baseline=baseline, check=check_order, report=report_search, seed=SEED,
                quick=quick, **kw)


def search_cases(params, setup, quick, key=None):
    out = []
    extra = {}
    if key in OPT_IN_SEEDWISE:
        extra = {"skip": opt_in(OPT_IN_SEEDWISE[key]), "slow": True}
        out.append(search_case(dict(params, baseline="none"), setup, None, quick, slow=True))
    out.append(search_case(dict(params, baseline="seedwise"), setup, search_seedwise, quick,
                           **extra))
    if key not in NO_NUMPY_SEARCH:
        out.append(search_case(dict(params, baseline="numpy"), setup, search_numpy, quick))
    return out


def random_cases():
    out = []
    for L in ORDERS:
        stoi = random_network(L)
        params = {"network": "random", "L": L, "m": stoi.shape[0], "n": stoi.shape[1]}
        quick = L in QUICK_ORDERS
        out.append(smat_case(dict(params, trial=2),
                             random_setup(L, cofactor_fits(L), trial=2, rational=True),
                             smat_reference if cofactor_fits(L) else None, quick))
        out.extend(search_cases(dict(params), random_setup(L, False), quick))
    return out


def real_cases():
    out = []
    for key in list_networks():
        sizes = network_sizes(key)
        L = sizes["L"]
        params = {"network": key, "L": L, "m": sizes["m"], "n": sizes["n"]}
        quick = key in QUICK_NETWORKS
        fits = cofactor_fits(L)
        for trial in (1, 2):
            out.append(smat_case(dict(params, trial=trial),
                                 real_setup(key, fits, L, trial=trial,
                                            rational=key not in NO_RATIONAL),
                                 smat_reference if fits else None, quick))
        if key in INVERSE_BASELINE:
            out.append(smat_case(dict(params, trial=1, baseline="inv"),
                                 real_setup(key, False, L, trial=1), smat_inverse, quick))
        out.extend(search_cases(dict(params), real_setup(key, False, L), quick, key))
    return out


def pruned_setup(key):
    def setup():
        import quelmar

        from quelmar.cyquelmar import CRN

        prepared = quelmar.prune(CRN(*load_network(key))).network
        net = (np.array(prepared.stoi), np.array(prepared.reginfo), list(prepared.X_names),
               list(prepared.R_names), key + " (prepared)")
        return SearchState(net, False)
    return setup


def prepared_cases():
    # The prepared (structurally regular) iJO1366 has a dense sensitivity
    # matrix, so hundreds of its candidates hold nearly the whole network.
    return [search_case({"network": "iJO1366 (prepared)", "baseline": "none"},
                        pruned_setup("iJO1366"), None, False)]


def pathway_setup(count, length):
    def setup():
        from dense_closure import pathway_network

        return SearchState(pathway_network(count, length), False)
    return setup


def pathway_cases():
    # Nested tails of ten pathways (dense_closure.py): 77020 structures, every
    # candidate accepted, most of them with over 48 reactions.
    return [search_case({"network": "pathways", "pathways": 10, "length": 40, "L": 816,
                         "baseline": "none"}, pathway_setup(10, 40), None, False, slow=True)]


CASES = random_cases() + real_cases() + prepared_cases() + pathway_cases()
