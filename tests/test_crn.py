"""CRN construction and state, the A-matrix kernels, and the module surface."""

import os
import sys

import numpy as np
import pytest
import scipy.optimize

import reference as ref
from netgen import EXAMPLES, crn_state, make_network, twins
from support import exact, rng_state, same_state, traceback_entries

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "bench"))
from networks import list_networks, load_network  # noqa: E402

INF = np.inf
NAN = np.nan

METHODS = [
    "__init__",
    "_smat_",
    "isoBS_searchfrom",
    "compute_index",
    "search_for_isoBSs",
    "signdet_subnetwork",
    "structural_reduction",
]

SRC = "src/quelmar/cyquelmar"


# ---------------------------------------------------------------------------
# Construction: documented examples
# ---------------------------------------------------------------------------


def test_one_species_two_reactions(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    assert crn.name is None
    assert crn.X_names == ["X0"]
    assert crn.R_names == ["R0", "R1"]
    np.testing.assert_array_equal(crn.reginfo, [[INF, 0.0]])
    assert crn.reginfo.dtype == np.float64
    oc = crn._CRN__oc_keeper
    assert isinstance(oc, np.ndarray) and oc.dtype == np.bool_
    np.testing.assert_array_equal(oc, [[True, False]])
    A = np.array(crn.A)
    assert A.dtype == np.float64
    np.testing.assert_array_equal(A, [[INF, 1.0], [0.0, 1.0]])
    assert crn.A[0, 0] == INF and crn.A[0, 1] == 1.0  # read in place
    cqc = np.array(crn._CRN__cq_class)
    assert cqc.dtype == np.bool_
    np.testing.assert_array_equal(cqc, [[True]])


def test_one_reaction_two_species(impl):
    crn = impl.CRN(np.array([[-1.0], [1.0]]))
    np.testing.assert_array_equal(np.array(crn.A), [[INF, 0.0], [1.0, 1.0]])
    np.testing.assert_array_equal(np.array(crn._CRN__cq_class), np.ones((2, 2), bool))


def test_no_conserved_quantity_gives_identity_classes(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    assert np.array(crn.A).shape == (4, 4)  # one cycle, no conserved quantity
    np.testing.assert_array_equal(np.array(crn._CRN__cq_class), np.eye(3, dtype=bool))


def test_no_reactions(impl):
    crn = impl.CRN(np.zeros((3, 0)))
    np.testing.assert_array_equal(np.array(crn.A), np.eye(3))
    np.testing.assert_array_equal(np.array(crn._CRN__cq_class), np.eye(3, dtype=bool))
    assert crn.R_names == []
    assert crn.X_names == ["X0", "X1", "X2"]


def test_empty_network(impl):
    crn = impl.CRN(np.zeros((0, 0)))
    assert np.array(crn.A).shape == (0, 0)
    assert np.array(crn._CRN__cq_class).shape == (0, 0)
    assert crn.X_names == [] and crn.R_names == []


def test_consumption_threshold(impl):
    crn = impl.CRN(np.array([[-1e-8, -1.00000001e-8, -1.0, 1.0]]))
    np.testing.assert_array_equal(crn.reginfo, [[0.0, INF, INF, 0.0]])
    np.testing.assert_array_equal(crn._CRN__oc_keeper, [[False, True, True, False]])


def test_integer_stoi_is_converted(impl):
    s = np.array([[-1, 1], [1, -1]])
    crn = impl.CRN(s)
    assert crn.stoi is not s
    assert crn.stoi.dtype == np.float64
    np.testing.assert_array_equal(crn.stoi, s)


def test_float_stoi_is_shared(impl):
    s = np.array([[-1.0, 1.0], [1.0, -1.0]])
    r = np.array([[INF, 0.0], [0.0, INF]])
    crn = impl.CRN(s, r)
    assert crn.stoi is s
    assert crn.reginfo is r


def test_list_inputs(impl):
    crn = impl.CRN([[-1, 1]], [[1, 0]])
    assert isinstance(crn.stoi, np.ndarray) and crn.stoi.dtype == np.float64
    assert isinstance(crn.reginfo, np.ndarray) and crn.reginfo.dtype == np.float64
    np.testing.assert_array_equal(np.array(crn.A), [[1.0, 1.0], [0.0, 1.0]])


@pytest.mark.parametrize("stoi, reginfo, dependent", [
    ([[-1.0, 1.0]], [[NAN, 5e-9]], [[True, False]]),  # NaN counts as a dependence
    ([[-1.0, 1.0, 0.0]], [[1e-8, 9.9e-9, -1e-8]], [[True, False, True]]),  # |value| >= 1e-8
], ids=["nan", "threshold"])
def test_dependences_read_from_reginfo(impl, stoi, reginfo, dependent):
    crn = impl.CRN(np.array(stoi), np.array(reginfo))
    np.testing.assert_array_equal(crn._CRN__oc_keeper, dependent)


def test_finite_reginfo_is_copied_into_A(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]), np.array([[2.5, -0.5]]))
    np.testing.assert_array_equal(np.array(crn.A), [[2.5, 1.0], [-0.5, 1.0]])


def test_names_are_stored_as_given(impl):
    xs, rs = [], ("a", "b")
    crn = impl.CRN(np.array([[-1.0, 1.0]]), X_names=xs, R_names=rs, name={"n": 1})
    assert crn.X_names is xs
    assert crn.R_names is rs
    assert crn.name == {"n": 1}


def test_keyword_construction(impl):
    crn = impl.CRN(stoi=np.array([[-1.0], [1.0]]), name="net")
    assert crn.name == "net"
    assert crn.X_names == ["X0", "X1"]


def test_attributes_are_plain_instance_attributes(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    d = vars(crn)
    assert list(d)[:8] == [
        "name",
        "stoi",
        "reginfo",
        "X_names",
        "R_names",
        "A",
        "_CRN__cq_class",
        "_CRN__oc_keeper",
    ]
    crn.name = "renamed"
    assert crn.name == "renamed"


def test_derived_matrices_do_not_follow_later_changes(impl):
    s = np.array([[-1.0, 1.0]])
    crn = impl.CRN(s)
    before = np.array(crn.A)
    s[0, 0] = 5.0
    assert crn.stoi[0, 0] == 5.0  # shared
    np.testing.assert_array_equal(np.array(crn.A), before)


# ---------------------------------------------------------------------------
# Construction: failures
# ---------------------------------------------------------------------------


def test_one_dimensional_stoi(impl):
    with pytest.raises(IndexError):
        impl.CRN(np.array([-1.0, 1.0]))
    with pytest.raises(ValueError):
        impl.CRN(np.array([-1.0, 1.0]), R_names=["R0", "R1"])


def test_reginfo_not_two_dimensional(impl):
    with pytest.raises(ValueError):
        impl.CRN(np.array([[-1.0, 1.0]]), np.array([1.0, 0.0]))


@pytest.mark.parametrize("shape", [(1, 2), (2, 1), (0, 2), (1, 0)])
def test_reginfo_smaller_than_stoi(impl, shape):
    with pytest.raises(ValueError):
        impl.CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]), np.zeros(shape))


def test_larger_reginfo_is_read_within_stoi(impl):
    r = np.array([[INF, 0.0, 7.0], [0.0, INF, 7.0], [7.0, 7.0, 7.0]])
    crn = impl.CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]), r)
    A = np.array(crn.A)
    np.testing.assert_array_equal(A[:2, :2], [[INF, 0.0], [0.0, INF]])


def test_unconvertible_stoi(impl):
    with pytest.raises((ValueError, TypeError)):
        impl.CRN([[1.0, "x"]])


def test_name_is_set_before_a_failure(impl):
    obj = impl.CRN.__new__(impl.CRN)
    with pytest.raises(IndexError):
        obj.__init__(np.array([-1.0, 1.0]), name="partial")
    assert obj.name == "partial"
    np.testing.assert_array_equal(obj.stoi, [-1.0, 1.0])


# ---------------------------------------------------------------------------
# Reference kernels (the NumPy model on its own)
# ---------------------------------------------------------------------------


def test_reference_nullity_edge_cases():
    assert ref.nullity_basis(np.zeros((0, 3)))[0] == 3
    assert ref.nullity_basis(np.zeros((3, 0)))[0] == 0
    k, basis = ref.nullity_basis(np.zeros((2, 3)))
    assert k == 3
    np.testing.assert_array_equal(basis, np.eye(3))
    assert ref.nullity_basis(np.eye(3))[0] == 0
    k, basis = ref.nullity_basis(np.array([[1.0, 1.0]]))
    assert k == 1
    np.testing.assert_array_equal(basis, [[1.0, -1.0]])


def test_reference_nullity_tolerance():
    assert ref.nullity_basis(np.array([[9.9e-9, 0.0]]))[0] == 2
    assert ref.nullity_basis(np.array([[1e-8, 0.0]]))[0] == 1
    # a NaN pivot spreads NaN over every row, and NaN counts as non-zero
    assert ref.nullity_basis(np.array([[NAN, 0.0]]))[0] == 0


def test_reference_rref_topmost_pivot_wins():
    M = np.array([[1.0, 2.0], [-1.0, 5.0]])
    ref.rref(M, 2, 2)
    np.testing.assert_array_equal(M, np.eye(2))
    M = np.array([[0.0, 1.0], [2.0, 0.0], [-2.0, 3.0]])
    ref.rref(M, 3, 2)  # rows 1 and 2 tie; row 1 is exchanged to the top
    np.testing.assert_array_equal(M[:2], np.eye(2))


def test_reference_rref_partial_block():
    M = np.array([[2.0, 4.0, 99.0], [1.0, 3.0, 99.0], [99.0, 99.0, 99.0]])
    ref.rref(M, 2, 2)
    np.testing.assert_array_equal(M, [[1.0, 0.0, 99.0], [0.0, 1.0, 99.0], [99.0, 99.0, 99.0]])


def test_reference_construct_A_examples():
    A = ref.construct_A(np.array([[-1.0, 1.0]]), np.array([[INF, 0.0]]))
    np.testing.assert_array_equal(A, [[INF, 1.0], [0.0, 1.0]])
    A = ref.construct_A(np.array([[-1.0], [1.0]]), np.array([[INF], [0.0]]))
    np.testing.assert_array_equal(A, [[INF, 0.0], [1.0, 1.0]])
    A = ref.construct_A(np.zeros((2, 0)), np.zeros((2, 0)))
    np.testing.assert_array_equal(A, np.eye(2))


def test_reference_cq_classifier_examples():
    cqc = ref.cq_classifier
    np.testing.assert_array_equal(cqc(np.zeros((0, 3))), np.eye(3, dtype=bool))
    np.testing.assert_array_equal(cqc(np.array([[1.0, 1.0]])), np.ones((2, 2), bool))
    np.testing.assert_array_equal(
        cqc(np.array([[1.0, 1.0, 0.0], [0.0, 1.0, 1.0]])), np.ones((3, 3), bool)
    )
    np.testing.assert_array_equal(
        cqc(np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 1.0]])),
        [[True, False, False], [False, True, True], [False, True, True]],
    )
    np.testing.assert_array_equal(
        cqc(np.array([[5e-9, 1.0, 0.0], [0.0, 1e-8, 1.0]])),
        [[True, False, False], [False, True, True], [False, True, True]],
    )
    np.testing.assert_array_equal(cqc(np.array([[0.0, 0.0]])), np.eye(2, dtype=bool))
    assert cqc(np.zeros((0, 0))).shape == (0, 0)


def test_reference_cq_classifier_needs_the_passes():
    # the chain 0-1-2-4-3: in place, one pass links 0 with 4 only after it has
    # passed column 3, so 0 and 3 need a second pass
    DT = np.array(
        [
            [1, 1, 0, 0, 0],
            [0, 1, 1, 0, 0],
            [0, 0, 1, 0, 1],
            [0, 0, 0, 1, 1],
        ],
        dtype=float,
    )
    np.testing.assert_array_equal(ref.cq_classifier(DT), np.ones((5, 5), bool))


# ---------------------------------------------------------------------------
# Mathematical properties of the A-matrix (both implementations)
# ---------------------------------------------------------------------------


def check_A_matrix(crn, stoi, reginfo):
    m, n = stoi.shape
    A = np.array(crn.A)
    N = A.shape[0]
    assert A.shape == (N, N)
    K = N - m
    L = N - n
    assert K >= 0 and L >= 0
    rank = np.linalg.matrix_rank(stoi) if stoi.size else 0
    assert K == n - rank and L == m - rank
    if reginfo is None:
        reginfo = np.where(stoi < -ref.TOL, INF, 0.0)
    np.testing.assert_array_equal(A[:n, :m], reginfo[:m, :n].T)
    np.testing.assert_array_equal(A[n:, m:], np.zeros((L, K)))
    C = A[:n, m:]  # cycles as columns
    D = A[n:, :m]  # conserved quantities as rows
    assert np.all(np.isfinite(C)) and np.all(np.isfinite(D))
    np.testing.assert_allclose(stoi @ C, 0.0, atol=1e-9)
    np.testing.assert_allclose(D @ stoi, 0.0, atol=1e-9)
    if K:
        assert np.linalg.matrix_rank(C) == K
    if L:
        assert np.linalg.matrix_rank(D) == L
    # each basis is in reduced row echelon form: a leading 1.0, zero in the others
    for basis in (C.T, D):
        for idx, row in enumerate(basis):
            lead = np.flatnonzero(np.abs(row) >= ref.TOL)[0]
            assert row[lead] == 1.0
            others = np.delete(basis, idx, axis=0)
            assert np.all(np.abs(others[:, lead]) < ref.TOL)
    cqc = np.array(crn._CRN__cq_class)
    assert cqc.shape == (m, m) and cqc.dtype == np.bool_
    assert np.all(np.diag(cqc))
    assert np.array_equal(cqc, cqc.T)
    ci = cqc.astype(int)
    assert np.array_equal((ci @ ci) > 0, cqc)  # transitive
    support = np.abs(D) >= ref.TOL
    for row in support:
        idx = np.flatnonzero(row)
        assert cqc[np.ix_(idx, idx)].all()
    oc = np.asarray(crn._CRN__oc_keeper)
    np.testing.assert_array_equal(oc, ~(np.abs(crn.reginfo) < ref.TOL))


def test_A_matrix_properties(impl, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    crn = impl.CRN(stoi, reginfo)
    check_A_matrix(crn, stoi, reginfo)


# ---------------------------------------------------------------------------
# Differential: construction
# ---------------------------------------------------------------------------


def test_construction_matches_reference(cq, same, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    got, want = twins(cq, stoi, reginfo, name=desc)
    same(crn_state(got), crn_state(want), desc)


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_construction_matches_reference_examples(cq, same, name):
    stoi = EXAMPLES[name]
    got, want = twins(cq, stoi)
    same(crn_state(got), crn_state(want), name)


def test_construction_of_non_integer_networks_matches_reference(cq, same):
    rng = np.random.default_rng(99)
    for _ in range(40):
        m, n = rng.integers(1, 6, size=2)
        stoi = np.round(rng.normal(size=(m, n)), 3)
        stoi[rng.random((m, n)) < 0.3] = 0.0
        got, want = twins(cq, stoi)
        same(crn_state(got), crn_state(want))


def rref_to_the_bit(M, nrows, ncols):
    """The elimination of reference.rref with the kernel's skipping rules,
    which change at most signs of zeros: a zero of the pivot row is left as it
    is when the pivot is finite; with a finite pivot row, a row whose factor is
    zero is left out, and a row with a finite factor is updated across the
    pivot row's non-zero columns only when these are fewer than a quarter of
    ncols.  Every element gets the same operations as in the kernel, so the
    same bits.  Vectorised over the rows of each pivot."""
    W = M[:nrows, :ncols]
    everyone = np.arange(nrows)
    with np.errstate(all="ignore"):
        r = 0
        for j in range(ncols):
            if r == nrows:
                break
            p = r
            if not np.isnan(W[r, j]):  # a NaN never compares greater
                col = np.abs(W[r:, j])
                p = r + int(np.argmax(np.where(np.isnan(col), -1.0, col)))
            if abs(W[p, j]) < ref.TOL:
                continue
            if p != r:
                W[[p, r]] = W[[r, p]]
            v = W[r, j]
            row = W[r]
            divided = ~(np.isfinite(v) & (row == 0.0))
            row[divided] = row[divided] / v
            finite = bool(np.isfinite(row).all())
            support = np.flatnonzero(row != 0.0)
            f = W[:, j].copy()
            others = everyone != r
            if finite:
                others &= f != 0.0
            dense = others
            if finite and 4 * support.size < ncols:
                rows = np.flatnonzero(others & np.isfinite(f))
                block = np.ix_(rows, support)
                W[block] = W[block] - f[rows, None] * row[support]
                dense = others & ~np.isfinite(f)
            rows = np.flatnonzero(dense)
            W[rows] = W[rows] - f[rows, None] * row
            r += 1


# The genome-scale network is the one whose reductions the kernel splits into
# panels of columns.
@pytest.mark.parametrize("key", [pytest.param(k, marks=pytest.mark.slow) if k == "iJO1366"
                                 else k for k in list_networks()])
def test_A_matrix_of_shipped_networks_to_the_bit(cq, monkeypatch, key):
    stoi, reginfo = load_network(key)[:2]
    got = np.array(cq.CRN(stoi, reginfo).A)
    monkeypatch.setattr(ref, "rref", rref_to_the_bit)
    want = ref.construct_A(stoi, reginfo)
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


def test_A_matrix_of_a_network_built_again_or_changed_in_place(cq, monkeypatch):
    # large enough for the A-matrices of networks built before to be found
    # again by their matrices' bits: building from equal matrices gives the
    # same bits, and any change, in place or of a zero's sign, is seen
    rng = np.random.default_rng(3)
    m, n = 250, 300
    stoi = np.where(rng.random((m, n)) < 0.015, rng.integers(-2, 3, (m, n)), 0).astype(float)
    reginfo = np.where(stoi < 0, np.inf, 0.0)
    monkeypatch.setattr(ref, "rref", rref_to_the_bit)

    def bits(crn):
        return np.array(crn.A).view(np.int64)

    first = bits(cq.CRN(stoi, reginfo))
    assert np.array_equal(first, ref.construct_A(stoi, reginfo).view(np.int64))
    assert np.array_equal(bits(cq.CRN(stoi.copy(), reginfo.copy())), first)
    changes = [(tuple(np.argwhere(stoi != 0)[7]), 1.0), (tuple(np.argwhere(stoi == 0)[7]), -0.0)]
    for at, value in changes:
        keep = stoi[at]
        stoi[at] = value  # in place
        got = bits(cq.CRN(stoi, reginfo))
        assert np.array_equal(got, ref.construct_A(stoi, reginfo).view(np.int64))
        stoi[at] = keep
    reginfo[0, 0] = np.nan
    assert np.array_equal(bits(cq.CRN(stoi, reginfo)),
                          ref.construct_A(stoi, reginfo).view(np.int64))
    reginfo[0, 0] = np.inf if stoi[0, 0] < 0 else 0.0
    assert np.array_equal(bits(cq.CRN(stoi, reginfo)), first)


# ---------------------------------------------------------------------------
# Module surface
# ---------------------------------------------------------------------------


def test_module_names(cq):
    names = list(vars(cq))
    wanted = ["np", "minimize", "signdet", "CRN", "indicator_diagnose", "__test__"]
    positions = [names.index(w) for w in wanted]
    assert positions == sorted(positions), names
    public = [k for k in names if not k.startswith("_")]
    assert public == wanted[:5]
    assert cq.np is np
    assert cq.minimize is scipy.optimize.minimize
    assert cq.__test__ == {}
    assert cq.__doc__ is None
    assert not hasattr(cq, "TOL")


def test_module_imports_once(cq):
    import importlib

    again = importlib.import_module("quelmar.cyquelmar")
    assert again is cq


def test_crn_class_surface(cq):
    C = cq.CRN
    assert isinstance(C, type)
    assert C.__module__ == "quelmar.cyquelmar"
    assert C.__qualname__ == "CRN"
    assert C.__name__ == "CRN"
    assert C.__bases__ == (object,)
    assert [k for k in C.__dict__ if k in METHODS] == METHODS
    for name in METHODS:
        assert getattr(C, name).__qualname__ == "CRN." + name
        assert getattr(C, name).__name__ == name
    crn = C(np.array([[-1.0, 1.0]]))
    assert hasattr(crn, "__dict__")


def test_function_surface(cq):
    assert cq.signdet.__qualname__ == "signdet"
    assert cq.signdet.__name__ == "signdet"
    assert cq.indicator_diagnose.__qualname__ == "indicator_diagnose"


def test_defaults(cq):
    C = cq.CRN
    assert C.__init__.__defaults__ == (None, None, None, None)
    assert C._smat_.__defaults__ == (2,)
    assert C.isoBS_searchfrom.__defaults__ == (2,)
    assert C.search_for_isoBSs.__defaults__ == (2,)
    assert C.compute_index.__defaults__ is None
    assert C.signdet_subnetwork.__defaults__ is None
    assert C.structural_reduction.__defaults__ is None
    assert cq.signdet.__defaults__ == (10,)
    assert cq.indicator_diagnose.__defaults__ is None


# The documentation strings callers read (white space folded): the whole
# string ("is"), its first line ("first") or a phrase of it ("has").
DOCUMENTED = [
    ("CRN", "is", "Chemical Reaction Network (CRN) representation and analysis."),
    ("memory view", "is", "Internal class for passing memoryview slices to Python"),
    ("CRN.__init__", "first", "Initialize a Chemical Reaction Network."),
    ("CRN.__init__", "has", "Stoichiometry matrix (num_chem x num_react)"),
    ("CRN.__init__", "has", "Regulation information matrix (num_chem x num_react), "
                            "defaults to infinity where stoi < -TOL"),
    ("CRN.__init__", "has", "Names of chemical species, defaults to ['X0', 'X1', ...]"),
    ("CRN.__init__", "has", "Names of reactions, defaults to ['R0', 'R1', ...]"),
    ("CRN.__init__", "has", "Name of the CRN"),
    ("CRN._smat_", "first", "Compute a boolean sensitivity matrix using random perturbations."),
    ("CRN._smat_", "has", "Number of random trials to aggregate (default: 2)"),
    ("CRN._smat_", "has", "Boolean sensitivity matrix (num_chem x num_react)"),
    ("CRN.isoBS_searchfrom", "first",
     "Search for an isolated buffered subnetwork starting from given species and reactions."),
    ("CRN.isoBS_searchfrom", "has",
     "(Xs, Rs) - Lists of species and reaction indices in the subnetwork"),
    ("CRN.compute_index", "first",
     "Compute the chi-index for a subnetwork defined by species and reactions."),
    ("CRN.compute_index", "has", "Chi-index of the subnetwork"),
    ("CRN.search_for_isoBSs", "first",
     "Search for all unique isolated buffered subnetworks with chi-index 0."),
    ("CRN.search_for_isoBSs", "has", "Number of trials for sensitivity matrix (default: 2)"),
    ("CRN.search_for_isoBSs", "has",
     "List of unique XandR arrays sorted by species count, then reaction count"),
    ("CRN.signdet_subnetwork", "first",
     "Compute the sign of the determinant for a subnetwork defined by XandR."),
    ("CRN.signdet_subnetwork", "has", "Sign of the determinant of the subnetwork A matrix"),
]


@pytest.mark.parametrize("where, how, text", DOCUMENTED)
def test_documentation_strings(cq, where, how, text):
    if where == "memory view":
        doc = type(cq.CRN(np.array([[-1.0, 1.0]])).A).__doc__
    else:
        owner, _, name = where.partition(".")
        doc = getattr(getattr(cq, owner), name).__doc__ if name else getattr(cq, owner).__doc__
    if how == "is":
        assert doc == text
    elif how == "first":
        assert doc.strip().splitlines()[0].strip() == text
    else:
        assert text in " ".join(doc.split())


# ---------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------


S1 = np.array([[-1.0, 1.0]])
E1 = np.eye(1)

# Calls that bind their arguments wrongly, and the whole message of the
# TypeError each raises (crn is a CRN of S1).
BINDING_ERRORS = [
    (lambda cq, crn: cq.CRN(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda cq, crn: cq.CRN(S1, None, None, None, None, None),
     "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda cq, crn: cq.CRN(S1, stoi=S1), "__init__() got multiple values for keyword argument 'stoi'"),
    (lambda cq, crn: cq.CRN(S1, names=[]), "__init__() got an unexpected keyword argument 'names'"),
    (lambda cq, crn: crn._smat_(1, 2), "_smat_() takes at most 2 positional arguments (3 given)"),
    (lambda cq, crn: crn._smat_(trials=1), "_smat_() got an unexpected keyword argument 'trials'"),
    (lambda cq, crn: crn._smat_(1, trial=1), "_smat_() got multiple values for keyword argument 'trial'"),
    (lambda cq, crn: crn.isoBS_searchfrom([0]),
     "isoBS_searchfrom() takes at least 3 positional arguments (2 given)"),
    (lambda cq, crn: crn.isoBS_searchfrom([0], [0], 2, 3),
     "isoBS_searchfrom() takes at most 4 positional arguments (5 given)"),
    (lambda cq, crn: crn.compute_index([0]), "compute_index() takes exactly 3 positional arguments (2 given)"),
    (lambda cq, crn: crn.compute_index([0], [0], [0]),
     "compute_index() takes exactly 3 positional arguments (4 given)"),
    (lambda cq, crn: crn.search_for_isoBSs(1, 2),
     "search_for_isoBSs() takes at most 2 positional arguments (3 given)"),
    (lambda cq, crn: crn.signdet_subnetwork(),
     "signdet_subnetwork() takes exactly 2 positional arguments (1 given)"),
    (lambda cq, crn: crn.structural_reduction([True, True, True], None),
     "structural_reduction() takes exactly 2 positional arguments (3 given)"),
    (lambda cq, crn: crn.structural_reduction(sel=[True, True, True]),
     "structural_reduction() got an unexpected keyword argument 'sel'"),
    (lambda cq, crn: cq.indicator_diagnose(),
     "indicator_diagnose() takes exactly 1 positional argument (0 given)"),
    (lambda cq, crn: cq.indicator_diagnose(1, 2),
     "indicator_diagnose() takes exactly 1 positional argument (2 given)"),
    (lambda cq, crn: cq.indicator_diagnose(network=None),
     "indicator_diagnose() got an unexpected keyword argument 'network'"),
    (lambda cq, crn: cq.signdet(), "signdet() takes at least 1 positional argument (0 given)"),
    (lambda cq, crn: cq.signdet(trials=1), "signdet() takes at least 1 positional argument (0 given)"),
    (lambda cq, crn: cq.signdet(E1, 1, 2), "signdet() takes at most 2 positional arguments (3 given)"),
    (lambda cq, crn: cq.signdet(E1, x=1), "signdet() got an unexpected keyword argument 'x'"),
    (lambda cq, crn: cq.signdet(E1, A=E1), "signdet() got multiple values for keyword argument 'A'"),
    (lambda cq, crn: cq.signdet(E1, 1, trials=1),
     "signdet() got multiple values for keyword argument 'trials'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_errors(cq, call, message):
    crn = cq.CRN(S1)
    with pytest.raises(TypeError, match=exact(message)):
        call(cq, crn)


def test_binding_keywords_accepted(cq):
    crn = cq.CRN(stoi=np.array([[-1.0, 1.0]]), reginfo=None, X_names=None, R_names=None, name=None)
    assert crn.compute_index(X=[0], R=[0]) == crn.compute_index([0], [0])
    assert crn._smat_(trial=0).shape == (1, 2)
    assert crn.isoBS_searchfrom(X=[], R=[], trial=0) == ([], [])
    assert isinstance(crn.search_for_isoBSs(trial=1), list)


def test_binding_keyword_of_a_function(cq):
    crn = cq.CRN(np.zeros((2, 0)))
    assert cq.indicator_diagnose(crn=crn) == []


def test_binding_non_string_keyword(cq):
    with pytest.raises(TypeError, match="keywords must be strings"):
        cq.signdet(np.eye(1), **{1: 2})


# ---------------------------------------------------------------------------
# Traceback entries
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("method, error, call, source", [
    pytest.param("__init__", IndexError, lambda cq, crn: cq.CRN(np.array([-1.0, 1.0])), SRC,
                 id="__init__"),
    pytest.param("compute_index", TypeError, lambda cq, crn: crn.compute_index(5, [0]), SRC,
                 id="compute_index"),
    pytest.param("isoBS_searchfrom", TypeError, lambda cq, crn: crn.isoBS_searchfrom([0], 3), SRC,
                 id="isoBS_searchfrom"),
    pytest.param("_smat_", TypeError, lambda cq, crn: crn._smat_(1.5), SRC, id="_smat_"),
    # the search's frame is only required by name
    pytest.param("search_for_isoBSs", TypeError, lambda cq, crn: crn.search_for_isoBSs("two"), None,
                 id="search_for_isoBSs"),
])
def test_traceback_names_the_method(cq, method, error, call, source):
    crn = cq.CRN(np.array([[-1.0, 1.0]]))
    with pytest.raises(error) as ei:
        call(cq, crn)
    entries = traceback_entries(ei)
    name = "quelmar.cyquelmar.CRN." + method
    if source is None:
        assert name in [n for n, _ in entries], entries
    else:
        assert (name, source) in entries


def test_membership_errors_come_before_sampling(cq):
    crn = cq.CRN(np.array([[-1.0, 1.0]]))
    np.random.seed(3)
    state = rng_state()
    with pytest.raises(TypeError):
        crn.isoBS_searchfrom(None, [0])
    assert same_state(state, rng_state())
