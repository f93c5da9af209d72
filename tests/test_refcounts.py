"""Reference counts and memory stay flat over many public calls, failing ones
included."""

import numpy as np
import pytest

from support import assert_flat

cq = pytest.importorskip("quelmar.cyquelmar")


@pytest.fixture
def network():
    stoi = np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, -1.0], [0.0, 0.0, 1.0]])
    names = ["a", "b", "c"]
    return stoi, names


def test_construction_and_failures_do_not_leak(network):
    stoi, names = network
    bad_reginfo = np.zeros((1, 1))
    text = np.array([["x"]])
    calls = [
        lambda: cq.CRN(stoi),
        lambda: cq.CRN(stoi, X_names=names, name="net"),
        lambda: cq.CRN(stoi, np.abs(stoi)),
        lambda: cq.CRN(np.zeros((2, 0))),
        lambda: cq.CRN(stoi, bad_reginfo),  # reginfo too small
        lambda: cq.CRN(text),  # not numeric
        lambda: cq.CRN(np.ones(3)),  # one-dimensional
        lambda: cq.CRN(),  # missing argument
        lambda: cq.CRN(stoi, bogus=1),  # unknown keyword
    ]
    assert_flat(calls, [stoi, names, bad_reginfo, text])


def test_methods_do_not_leak(network):
    stoi, names = network
    crn = cq.CRN(stoi, X_names=names)
    sel = np.zeros(6, dtype=bool)
    sel[[0, 3]] = True
    short = np.zeros(2, dtype=bool)
    calls = [
        lambda: crn._smat_(),
        lambda: crn._smat_("x"),
        lambda: crn.isoBS_searchfrom([0], [0]),
        lambda: crn.isoBS_searchfrom(1, [0]),
        lambda: crn.compute_index([0, 1], [0]),
        lambda: crn.compute_index(None, [0]),
        lambda: crn.search_for_isoBSs(),
        lambda: crn.signdet_subnetwork(short),
        lambda: crn.A[0, 1],
        lambda: crn.A[1:, :2].copy(),
        lambda: np.asarray(crn.A).sum(),
        lambda: crn._CRN__cq_class[0],
    ]
    assert_flat(calls, [crn, stoi, names, sel, short, crn.A], repeat=300)


def test_reduction_and_diagnosis_do_not_leak(network):
    stoi, names = network
    sel = [True, False, False, True, False, False]
    calls = [
        lambda: cq.CRN(stoi).structural_reduction(sel),
        lambda: cq.CRN(stoi).structural_reduction([True]),
        lambda: cq.indicator_diagnose(cq.CRN(stoi)),
        lambda: cq.indicator_diagnose(object()),
    ]
    assert_flat(calls, [stoi, names, sel], repeat=100)


def test_signdet_does_not_leak():
    A = np.array([[np.inf, 1.0], [1.0, np.inf]])
    shared = np.full((24, 24), np.inf)  # gradients shared out among threads
    np.fill_diagonal(shared, 1.0)
    fixed = np.array([[2.0, 0.0], [0.0, 3.0]])
    ragged = np.array([[np.inf, 1.0, 2.0]])
    calls = [
        lambda: cq.signdet(A, trials=1),
        lambda: cq.signdet(fixed),
        lambda: cq.signdet(ragged),
        lambda: cq.signdet(A.astype(np.float32), trials=1),
        lambda: cq.signdet(),
        lambda: cq._signdet_differences(A, trials=1),
        lambda: cq._signdet_differences(ragged),
        lambda: cq._signdet_differences(A.astype(np.float32), trials=1),
        lambda: cq._signdet_differences(shared, 1, threads=2),
        lambda: cq._signdet_differences(A, 1, threads=0),
    ]
    assert_flat(calls, [A, fixed, ragged], repeat=40)


def test_hierarchy_calls_do_not_leak():
    from quelmar import _structure
    rows = np.array([[1], [3], [2]], dtype=np.uint8)
    child, parent = np.array([0, 2]), np.array([1, 1])
    calls = [
        lambda: _structure.uncovered_rows(rows, child, parent),
        lambda: _structure.uncovered_rows(rows, [0, 3], [1, 1]),
        lambda: _structure.uncovered_rows(rows, [0], parent),
        lambda: _structure.hasse_edges_packed(rows, 2),
        lambda: _structure.hasse_edges_packed(rows, 99),
    ]
    assert_flat(calls, [rows, child, parent], repeat=300)
