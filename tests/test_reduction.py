"""Structural reduction and the indicator diagnosis built on it."""

import numpy as np
import pytest

import reference as ref
from netgen import EXAMPLES, crn_state, make_network, random_selection, twins
from support import assert_same_draws, assert_unchanged, snapshot

INF = np.inf

pytestmark = pytest.mark.filterwarnings(
    "ignore:The line search algorithm did not converge", "ignore::RuntimeWarning"
)


# ---------------------------------------------------------------------------
# Structural reduction: examples
# ---------------------------------------------------------------------------


def test_nothing_marked(impl, state_of, same):
    crn = impl.CRN(EXAMPLES["enzyme"], name="enz")
    before = state_of(crn)
    old_A = crn.A
    assert crn.structural_reduction(np.zeros(9, dtype=bool)) is None
    same(state_of(crn), before)
    assert crn.A is not old_A
    assert isinstance(crn._CRN__cq_class, np.ndarray)
    assert isinstance(crn._CRN__oc_keeper, np.ndarray)
    assert crn.name == "enz"


def test_species_only(impl):
    stoi = EXAMPLES["enzyme"]
    crn = impl.CRN(stoi)
    sel = np.zeros(9, dtype=bool)
    sel[[1, 3]] = True
    crn.structural_reduction(sel)
    np.testing.assert_array_equal(crn.stoi, stoi[[0, 2]])
    assert crn.X_names == ["X0", "X2"]
    assert crn.R_names == ["R0", "R1", "R2", "R3", "R4"]
    np.testing.assert_array_equal(crn.reginfo, np.where(stoi < 0, INF, 0.0)[[0, 2]])


def test_reactions_only(impl):
    stoi = EXAMPLES["enzyme"]
    crn = impl.CRN(stoi)
    sel = np.zeros(9, dtype=bool)
    sel[[4 + 1, 4 + 4]] = True
    crn.structural_reduction(sel)
    np.testing.assert_array_equal(crn.stoi, stoi[:, [0, 2, 3]])
    assert crn.R_names == ["R0", "R2", "R3"]
    assert crn.X_names == ["X0", "X1", "X2", "X3"]


def test_schur_complement_example(impl):
    crn = impl.CRN(np.array([[1.0, -1.0], [-1.0, 1.0]]))
    crn.structural_reduction(np.array([True, False, True, False]))
    np.testing.assert_array_equal(crn.stoi, [[0.0]])
    assert crn.stoi.dtype == np.float64
    assert crn.X_names == ["X1"] and crn.R_names == ["R1"]
    np.testing.assert_array_equal(crn.reginfo, [[0.0]])  # X1 does not consume R1


def test_selection_as_list_of_ints(impl, state_of, same):
    a = impl.CRN(EXAMPLES["chain"])
    b = impl.CRN(EXAMPLES["chain"])
    a.structural_reduction([1, 0, 0, 0, 1, 0, 0])
    b.structural_reduction(np.array([True, False, False, False, True, False, False]))
    same(state_of(a), state_of(b))


def test_chain_contraction(impl):
    crn = impl.CRN(EXAMPLES["chain"], X_names=["a", "b", "c"], R_names=["in", "ab", "bc", "out"])
    crn.structural_reduction(np.array([True, False, False, False, True, False, False]))
    np.testing.assert_array_equal(crn.stoi, [[1.0, -1.0, 0.0], [0.0, 1.0, -1.0]])
    assert crn.X_names == ["b", "c"]
    assert crn.R_names == ["in", "bc", "out"]
    assert len(crn.X_names) == crn.stoi.shape[0]
    assert len(crn.R_names) == crn.stoi.shape[1]
    A = np.array(crn.A)
    np.testing.assert_array_equal(A, ref.construct_A(crn.stoi, crn.reginfo))
    np.testing.assert_array_equal(crn._CRN__cq_class, np.eye(2, dtype=bool))
    np.testing.assert_array_equal(
        crn._CRN__oc_keeper, [[False, True, False], [False, False, True]]
    )


def test_boolean_matrices_are_restricted_not_recomputed(impl):
    crn = impl.CRN(EXAMPLES["enzyme"])
    crn._CRN__cq_class = np.ones((4, 4), dtype=bool)
    crn._CRN__oc_keeper = np.ones((4, 5), dtype=bool)
    sel = np.zeros(9, dtype=bool)
    sel[3] = True
    sel[4 + 3] = True
    crn.structural_reduction(sel)
    np.testing.assert_array_equal(crn._CRN__cq_class, np.ones((3, 3), bool))
    np.testing.assert_array_equal(crn._CRN__oc_keeper, np.ones((3, 4), bool))


def test_reduced_A_is_a_memory_view(cq):
    crn = cq.CRN(EXAMPLES["chain"])
    crn.structural_reduction(np.array([True, False, False, False, True, False, False]))
    assert type(crn.A).__name__ == "_memoryviewslice"
    assert isinstance(crn._CRN__cq_class, np.ndarray)


def test_repeated_reduction_uses_the_new_size(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    crn.structural_reduction(np.array([True, False, False, False, True, False, False]))
    crn.structural_reduction(np.array([True, False, False, True, False]))
    np.testing.assert_array_equal(crn.stoi, [[1.0, -1.0]])
    assert crn.X_names == ["X2"] and crn.R_names == ["R0", "R3"]


# ---------------------------------------------------------------------------
# Structural reduction: failures leave the object as it was
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("length", [0, 1, 2, 3, 4, 6, 7, 12])
def test_wrong_length(impl, length):
    crn = impl.CRN(np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, 1.0]]))
    before = snapshot(crn)
    sel = np.zeros(length, dtype=bool)
    sel[:1] = True
    with pytest.raises((IndexError, ValueError)):
        crn.structural_reduction(sel)
    assert_unchanged(crn, before, "structural_reduction")


def _short_names(impl):
    return impl.CRN(EXAMPLES["reversible"], X_names=["only"])


def _float32_reginfo(impl):
    crn = impl.CRN(EXAMPLES["reversible"])
    crn.reginfo = crn.reginfo.astype(np.float32)
    return crn


def _float32_stoi(impl):
    crn = impl.CRN(EXAMPLES["reversible"])
    crn.stoi = crn.stoi.astype(np.float32)
    return crn


@pytest.mark.parametrize("make, error", [
    (_short_names, IndexError),
    (_float32_reginfo, ValueError),
    (_float32_stoi, ValueError),
])
def test_bad_attributes(impl, make, error):
    crn = make(impl)
    before = snapshot(crn)
    with pytest.raises(error):
        crn.structural_reduction(np.array([False, False, True, False]))
    assert_unchanged(crn, before, "structural_reduction")


# ---------------------------------------------------------------------------
# Structural reduction: differential
# ---------------------------------------------------------------------------


def test_reduction_matches_reference(cq, same, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    m, n = stoi.shape
    crns = twins(cq, stoi, reginfo, name=desc)
    sel = random_selection(net_seed, m, n, 0.3)
    outcomes = []
    for crn in crns:
        try:
            crn.structural_reduction(sel.copy())
            outcomes.append(None)
        except Exception as e:  # both must fail alike
            outcomes.append(type(e))
    assert outcomes[0] == outcomes[1], desc
    same(crn_state(crns[0]), crn_state(crns[1]), desc)
    # then by the minimal isolated buffering structure
    np.random.seed(net_seed)
    sel = crns[1].search_for_isoBSs()[0]
    if not sel.all():
        for crn in crns:
            crn.structural_reduction(sel.copy())
        same(crn_state(crns[0]), crn_state(crns[1]), desc)


# ---------------------------------------------------------------------------
# Indicator diagnosis
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name, expected", [
    ("no_reactions", []),
    ("conversion", [{"chemicals": ["X0", "X1"], "reactions": ["R0"], "sign_det": 1.0}]),
    # the minimal structure {X0, R0} holds every species; the record names R1 too
    ("inflow_outflow", [{"chemicals": ["X0"], "reactions": ["R0", "R1"], "sign_det": 1.0}]),
])
def test_diagnose_leaves_a_whole_network_as_it_was(impl, state_of, same, name, expected):
    crn = impl.CRN(EXAMPLES[name])
    before = state_of(crn)
    np.random.seed(0)
    res = impl.indicator_diagnose(crn)
    assert res == expected
    assert all(list(rec) == ["chemicals", "reactions", "sign_det"] for rec in res)
    same(state_of(crn), before)


def test_diagnose_chain(impl):
    crn = impl.CRN(EXAMPLES["chain"], X_names=["a", "b", "c"], R_names=["in", "ab", "bc", "out"])
    np.random.seed(0)
    res = impl.indicator_diagnose(crn)
    assert res == [
        {"chemicals": ["a"], "reactions": ["ab"], "sign_det": 1.0},
        {"chemicals": ["b"], "reactions": ["bc"], "sign_det": 1.0},
        {"chemicals": ["c"], "reactions": ["in", "out"], "sign_det": -1.0},
    ]
    for rec in res:
        assert list(rec) == ["chemicals", "reactions", "sign_det"]
    np.testing.assert_array_equal(crn.stoi, [[1.0, -1.0]])
    assert crn.X_names == ["c"] and crn.R_names == ["in", "out"]


def test_diagnose_records_fixed_signs(impl):
    # a reaction-only structure has a fixed A-matrix (NumPy sign) and the last
    # structure here has A = [[0]] (the integer 0)
    crn = impl.CRN(EXAMPLES["emergent"])
    np.random.seed(0)
    res = impl.indicator_diagnose(crn)
    assert res == [
        {"chemicals": ["X0"], "reactions": ["R0"], "sign_det": 1.0},
        {"chemicals": ["X1"], "reactions": ["R1"], "sign_det": 0},
    ]
    assert type(res[1]["sign_det"]) is int
    crn = impl.CRN(EXAMPLES["two_modules"])
    np.random.seed(0)
    res = impl.indicator_diagnose(crn)
    assert [r["chemicals"] for r in res] == [["X0"], [], ["X1"], [], ["X2"]]
    assert isinstance(res[1]["sign_det"], np.floating) and res[1]["sign_det"] == 1.0


@pytest.mark.skipif(not __debug__, reason="assertions disabled")
def test_diagnose_requires_a_crn(impl):
    with pytest.raises(AssertionError) as ei:
        impl.indicator_diagnose(object())
    assert str(ei.value) == ""


@pytest.mark.skipif(not __debug__, reason="assertions disabled")
def test_diagnose_looks_up_the_class_at_call_time(impl, monkeypatch):
    crn = impl.CRN(np.zeros((1, 0)))

    class Other:
        pass

    monkeypatch.setattr(impl, "CRN", Other)
    with pytest.raises(AssertionError):
        impl.indicator_diagnose(crn)


def test_diagnose_bad_shape(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    crn.stoi = np.zeros((1, 2, 1))
    with pytest.raises(ValueError, match="too many values to unpack"):
        impl.indicator_diagnose(crn)


def test_diagnose_uses_the_object_methods(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    calls = []
    real_search = crn.search_for_isoBSs

    def search(*args, **kwargs):
        calls.append(("search", args, kwargs))
        return real_search(*args, **kwargs)

    crn.search_for_isoBSs = search
    crn.signdet_subnetwork = lambda sel: calls.append(("sign", sel.copy())) or 0.5
    np.random.seed(0)
    res = impl.indicator_diagnose(crn)
    assert [c[0] for c in calls] == ["search", "sign"] * 3
    assert all(c[1:] == ((), {}) for c in calls if c[0] == "search")
    assert [r["sign_det"] for r in res] == [0.5, 0.5, 0.5]
    assert calls[-1][1].all()  # the last selection is widened to everything


def test_diagnose_matches_reference(cq, same, diag_seed):
    stoi, reginfo, desc = make_network(diag_seed * 37 + 3)
    got_crn, want_crn = twins(cq, stoi, reginfo)
    assert_same_draws(lambda: cq.indicator_diagnose(got_crn), lambda: ref.indicator_diagnose(want_crn),
                      diag_seed, desc)
    same(crn_state(got_crn), crn_state(want_crn), desc)


@pytest.mark.parametrize("name", ["chain", "two_modules", "enzyme", "emergent"])
def test_diagnose_matches_reference_examples(cq, same, name):
    got_crn, want_crn = twins(cq, EXAMPLES[name])
    assert_same_draws(lambda: cq.indicator_diagnose(got_crn), lambda: ref.indicator_diagnose(want_crn),
                      1, name)
    same(crn_state(got_crn), crn_state(want_crn), name)


def test_selections_of_the_wrong_length_are_refused(cq, same):
    # NumPy would read an empty mask part as an empty index list and go on
    crn = cq.CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]))
    before = crn_state(crn)
    for sel in ([], [True, False], [True] * 3, [False] * 5):
        with pytest.raises(ValueError, match="selection has"):
            crn.signdet_subnetwork(np.array(sel, dtype=bool))
        with pytest.raises(ValueError, match="selection has"):
            crn.structural_reduction(sel)
    same(crn_state(crn), before)


def test_names_follow_the_selection_the_matrices_were_cut_by():
    # A masked entry reads as False element by element, as its data (True)
    # when converted to an array: the reduction reads the selection once.
    from quelmar.cyquelmar import CRN

    crn = CRN(np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, -1.0]]))
    sel = np.ma.array([True, False, False, True, False], mask=[True, False, False, False, False])
    crn.structural_reduction(sel)
    assert crn.stoi.shape == (len(crn.X_names), len(crn.R_names)) == (1, 2)
    assert crn.X_names == ["X1"] and crn.R_names == ["R0", "R2"]
