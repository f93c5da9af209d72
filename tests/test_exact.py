"""The sensitivity matrix is the exact non-zero pattern of the adjugate.

The reference is computed in rational arithmetic: the A-matrix with exact
bases of the cycles and conserved quantities, and its adjugate by
fraction-free elimination (support.py)."""

import os

import numpy as np
import pytest

cq = pytest.importorskip("quelmar.cyquelmar")

import reference
import support
from netgen import make_network

from quelmar import _structure as structure

from quelmar.loaders import read_network_json

NETWORKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data",
                        "networks")


def load_network(name):
    net = read_network_json(os.path.join(NETWORKS, name + ".network.json"))
    return net.stoi, net.reginfo


SMALL_REAL = [
    "BIOMD0000000005_Tyson1991",
    "BIOMD0000000010_Kholodenko2000",
    "BIOMD0000000064_Teusink2000",
    "BIOMD0000000009_HuangFerrell1996",
    "mini_textbook",
]


def exact_pattern(stoi, reginfo, seed):
    m, n = stoi.shape
    top = support.draw_top(reginfo, seed)
    S = support.to_fractions(stoi)
    R = support.to_fractions(top)
    return np.array(support.pattern_full(S, R, m, n), dtype=bool).reshape(m, n)


def extension_pattern(stoi, reginfo, seed):
    crn = cq.CRN(stoi, reginfo)
    np.random.seed(seed)
    return crn._smat_(1)


@pytest.mark.parametrize("name", SMALL_REAL)
def test_real_networks(name):
    stoi, reginfo, *_ = load_network(name)
    for seed in (0, 1):
        assert np.array_equal(extension_pattern(stoi, reginfo, seed),
                              exact_pattern(stoi, reginfo, seed))


@pytest.mark.parametrize("name", ["BIOMD0000000005_Tyson1991", "mini_textbook"])
def test_several_trials(name):
    # the trials of one call share the work on the stoichiometry matrix;
    # each draw is still decided on its own
    stoi, reginfo, *_ = load_network(name)
    m, n = stoi.shape
    top0 = reginfo.T.copy()
    free = ~(np.abs(top0) < np.inf)
    S = support.to_fractions(stoi)
    np.random.seed(5)
    expected = np.zeros((m, n), dtype=bool)
    for _ in range(3):
        top = top0.copy()
        top[free] = np.random.normal(size=int(free.sum()), scale=10.0)
        expected |= np.array(support.pattern_full(S, support.to_fractions(top), m, n),
                             dtype=bool).reshape(m, n)
    crn = cq.CRN(stoi, reginfo)
    np.random.seed(5)
    assert np.array_equal(crn._smat_(3), expected)


def test_random_networks():
    checked = corank_one = 0
    for seed in range(150):
        stoi, reginfo = make_network(seed)[:2]
        crn = cq.CRN(stoi, reginfo)
        reginfo = crn.reginfo
        A = np.array(crn.A)
        if A.shape[0] > 14 or not np.isinf(reginfo).any():
            continue
        # A-matrices whose free entries all lie in the regulation block, as
        # for every network built from a stoichiometry
        assert np.array_equal(extension_pattern(stoi, reginfo, seed),
                              exact_pattern(stoi, reginfo, seed)), seed
        checked += 1
        corank_one += structure.structural_rank(A) == A.shape[0] - 1
    assert checked > 50
    # A-matrices singular whatever the drawn values, with cofactors that
    # need not vanish
    assert corank_one > 10


def test_structural_corank_one_outside_the_block():
    # X0 -> X1 with a stored A-matrix whose conservation row is zero: the
    # only row a maximum matching can leave uncovered is that row, so every
    # cofactor of a reaction row vanishes whatever the drawn values
    crn = cq.CRN(np.array([[-1.0], [1.0]]), np.array([[np.inf], [np.inf]]))
    crn.A = np.array([[np.inf, np.inf], [0.0, 0.0]])
    assert structure.dulmage_mendelsohn(crn.A)[0] == 1
    np.random.seed(3)
    out = crn._smat_(2)
    after = np.random.get_state()
    np.random.seed(3)
    ref = reference.CRN(np.array([[-1.0], [1.0]]), np.array([[np.inf], [np.inf]]))
    ref.A = np.array([[np.inf, np.inf], [0.0, 0.0]])
    assert np.array_equal(out, ref._smat_(2))
    assert not out.any()
    assert support.same_state(np.random.get_state(), after)


def test_random_stream_is_unchanged():
    # one normal(size=k) draw per trial, as many as there are free entries
    stoi, reginfo, *_ = load_network("BIOMD0000000005_Tyson1991")
    crn = cq.CRN(stoi, reginfo)
    k = int(np.isinf(reginfo).sum())
    np.random.seed(7)
    crn._smat_(3)
    after = np.random.get_state()[1].copy(), np.random.get_state()[2]
    np.random.seed(7)
    for _ in range(3):
        np.random.normal(size=k, scale=10.0)
    assert np.array_equal(np.random.get_state()[1], after[0])
    assert np.random.get_state()[2] == after[1]
