"""Structural regularity and preparation: the matching against SciPy and a
brute-force check, every shipped network, iJO1366 end to end, bad input."""

import os
import sys

import numpy as np
import pytest
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import structural_rank as scipy_rank

import quelmar
from quelmar import CRN, _structure
from quelmar.preparation import directions

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from networks import list_networks, load_network  # noqa: E402

TOL = 1e-8


def pattern(A):
    return csr_matrix((~(np.abs(np.asarray(A)) < TOL)).astype(np.int8))


def network(net_seed, random_network):
    stoi, reginfo, _ = random_network(net_seed)
    return CRN(stoi, reginfo)


def test_random_networks_against_brute_force(net_seed, random_network, state_of, same):
    crn = network(net_seed, random_network)
    before = state_of(crn)
    reg = quelmar.regularity(crn)
    A = np.asarray(crn.A)
    m, n = crn.stoi.shape
    P = (~(np.abs(A) < TOL)).astype(np.int8)
    rank = scipy_rank(csr_matrix(P))
    assert reg.order == A.shape[0] and reg.structural_rank == rank
    # Full structural rank, and (exactly) a non-singular instance for random
    # rates, or dependent: every instance is singular.
    instance = A.copy()
    free = ~np.isfinite(instance)
    instance[free] = np.random.default_rng(net_seed).normal(size=free.sum())
    sv = np.linalg.svd(instance, compute_uv=False)
    assert reg.dependent == (rank == A.shape[0] and sv[-1] < 1e-9 * sv[0])
    assert reg.is_regular == (rank == A.shape[0] and not reg.dependent)
    if reg.dependent:
        assert reg.species or reg.reactions
        assert "dependent" in reg.summary()
        check_prune(crn, reg, before, state_of, same)
        return
    # Uncoverable rows are OVER, uncoverable columns UNDER; each block's other
    # side is exactly the neighbourhood of those.
    drop_r = np.array([scipy_rank(csr_matrix(np.delete(P, i, 0))) == rank
                       for i in range(P.shape[0])], dtype=bool)
    drop_c = np.array([scipy_rank(csr_matrix(np.delete(P, j, 1))) == rank
                       for j in range(P.shape[1])], dtype=bool)
    over_c = (P[drop_r] != 0).any(axis=0)
    under_r = (P[:, drop_c] != 0).any(axis=1)
    np.testing.assert_array_equal(reg.row_block == _structure.OVER, drop_r)
    np.testing.assert_array_equal(reg.col_block == _structure.UNDER, drop_c)
    np.testing.assert_array_equal(reg.col_block == _structure.OVER, over_c)
    np.testing.assert_array_equal(reg.row_block == _structure.UNDER, under_r)
    part_r = drop_r | under_r
    part_c = drop_c | over_c
    assert reg.reactions == [crn.R_names[j] for j in np.flatnonzero(part_r[:n])]
    assert reg.species == [crn.X_names[i] for i in np.flatnonzero(part_c[:m])]
    assert len(reg.cycles) == part_c[m:].sum()
    assert len(reg.conserved_quantities) == part_r[n:].sum()
    assert set(reg.reasons) == set(reg.species) | set(reg.reactions)

    check_prune(crn, reg, before, state_of, same)


def check_prune(crn, reg, before, state_of, same):
    n = crn.stoi.shape[1]
    try:
        pruned = quelmar.prune(crn)
    except ValueError as e:  # a singular network may be all dead ends
        assert not reg.is_regular and "nothing of the network" in str(e)
        same(state_of(crn), before, "network after a failed prune")
        return
    same(state_of(crn), before, "network after regularity and prune")
    assert pruned.regularity.is_regular
    assert pruned.network is not crn
    assert set(pruned.network.X_names).isdisjoint(pruned.removed_species)
    assert set(pruned.network.X_names) | set(pruned.removed_species) <= set(crn.X_names)
    assert len(pruned.removed_reactions) + len(pruned.network.R_names) == n
    if reg.is_regular and not any(r.step == "exact dependence" for r in pruned.removed):
        assert pruned.removed == []
        same(state_of(pruned.network), before, "copy of a regular network")
    assert quelmar.regularity(pruned.network).is_regular


@pytest.mark.parametrize("key", [pytest.param(k, marks=pytest.mark.slow) if k == "iJO1366"
                                 else k for k in list_networks()])
def test_shipped_networks(key):
    stoi, reginfo, species, reactions, name = load_network(key)
    crn = CRN(stoi, reginfo, species, reactions, name)
    reg = quelmar.regularity(crn)
    assert reg.structural_rank == scipy_rank(pattern(crn.A))
    if key == "iJO1366":
        assert not reg.is_regular and reg.species and reg.reactions
        return
    assert reg.is_regular and reg.species == [] and reg.reactions == []
    pruned = quelmar.prune(crn)
    assert pruned.removed == []
    assert pruned.network.X_names == species and pruned.network.R_names == reactions


@pytest.mark.slow
def test_genome_scale_prepared_network_has_a_sensitivity():
    stoi, reginfo, species, reactions, name = load_network("iJO1366")
    crn = CRN(stoi, reginfo, species, reactions, name)
    pruned = quelmar.prune(crn)
    net = pruned.network
    assert pruned.regularity.is_regular
    assert net.stoi.shape == (1597, 2368)
    assert [r.name for r in pruned.removed if r.step == "exact dependence"] == ["2fe2s_c"]
    steps = {(r.step, r.kind) for r in pruned.removed}
    assert steps == {("dead end", "species"), ("dead end", "reaction"),
                     ("singular part", "species"), ("exact dependence", "species")}
    assert all(r.reason for r in pruned.removed)

    np.random.seed(5)
    S = net._smat_(1)
    assert S.any()
    A = np.array(net.A)
    free = ~np.isfinite(A)
    A[free] = np.random.normal(size=free.sum(), scale=10.0)
    inv = np.linalg.inv(A)
    assert np.abs(inv).max() * np.abs(A).max() < 1e12  # well conditioned
    m, n = net.stoi.shape
    rng = np.random.default_rng(0)
    rows = rng.integers(0, m, 4000)
    cols = rng.integers(0, n, 4000)
    # Mix in sure non-zeros so that both answers are exercised.
    nzr, nzc = np.nonzero(S)
    pick = rng.integers(0, len(nzr), 1000)
    rows = np.concatenate([rows, nzr[pick]])
    cols = np.concatenate([cols, nzc[pick]])
    # Entries far from the rounding level of this instance decide; the few
    # within a band of it are left out.
    size = np.abs(inv[rows, cols]) / np.abs(inv).max()
    clear = (size > 1e-12) | (size < 1e-18)
    assert clear.mean() > 0.95
    np.testing.assert_array_equal(S[rows, cols][clear], size[clear] > 1e-12)
    assert S[rows, cols][clear].any() and not S[rows, cols][clear].all()


def test_bad_networks_get_clear_errors():
    with pytest.raises(TypeError, match="expected a network: a CRN, a model file"):
        quelmar.regularity(np.zeros((2, 2)))
    with pytest.raises(ValueError, match="no species"):
        quelmar.regularity(CRN(np.zeros((0, 0))))
    with pytest.raises(ValueError, match="no reactions"):
        quelmar.prune(CRN(np.zeros((3, 0))))
    crn = CRN(np.array([[-1.0, 1.0]]), X_names=[])
    with pytest.raises(ValueError, match="X_names has 0 names for 1 species"):
        quelmar.regularity(crn)
    crn = CRN(np.array([[-1.0, 1.0]]))
    crn.R_names = None
    with pytest.raises(ValueError, match="no reaction names"):
        quelmar.prune(crn)
    with pytest.raises(ValueError, match="holds NaN at species 0, reaction 0"):
        CRN(np.array([[np.nan, 1.0, 0.0], [1.0, -1.0, 1.0]]))
    crn = CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]))
    crn.stoi[1, 0] = np.nan  # written after construction
    for call in (quelmar.regularity, quelmar.prune, quelmar.analyze):
        with pytest.raises(ValueError, match="holds nan at species 1, reaction 0"):
            call(crn)


def test_singular_part_in_words_and_its_removal():
    # 0 -> a, a -> b, a -> 0: b is produced, never consumed, read by no rate.
    crn = CRN(np.array([[1.0, -1.0, -1.0], [0.0, 1.0, 0.0]]), X_names=["a", "b"],
              R_names=["in", "conv", "out"])
    reg = quelmar.regularity(crn)
    assert not reg.is_regular and reg.structural_rank == 2
    # b is read by nothing (under-determined); the three rates then ask too
    # much of a and the cycle flux (over-determined).
    assert reg.species == ["a", "b"] and reg.reactions == ["in", "conv", "out"]
    assert reg.reasons["b"] == "produced but never consumed and read by no rate"
    assert "singular for every choice of rates" in str(reg)
    pruned = quelmar.prune(crn)
    assert [(r.kind, r.name, r.step) for r in pruned.removed] == [
        ("species", "b", "dead end"), ("reaction", "conv", "dead end")]
    assert pruned.network.X_names == ["a"] and pruned.network.R_names == ["in", "out"]
    # Without the outflow every species and reaction is a dead end in turn.
    with pytest.raises(ValueError, match="nothing of the network"):
        quelmar.prune(CRN(np.array([[1.0, -1.0], [0.0, 1.0]])))


def test_dependent_fixed_entries_make_a_matched_network_singular():
    # The conserved total of a and b (both produced 2:1 by r0 and r1, which
    # read one each) and the cycle of r2 and r3, which read nothing: a
    # maximum matching covers the A-matrix, yet its rank is 3 for all rates.
    crn = CRN(np.array([[2.0, 2.0, -1.0, 2.0], [0.0, 0.0, -1.0, -1.0]]),
              np.array([[np.inf, 0, 0, 0], [0, np.inf, 0, 0]]),
              X_names=["a", "b"], R_names=["r0", "r1", "r2", "r3"], name="toy")
    state = np.random.get_state()
    reg = quelmar.regularity(crn)
    assert all(np.array_equal(x, y) for x, y in zip(state, np.random.get_state()))
    assert reg.structural_rank == reg.order == 4
    assert not reg.is_regular and reg.dependent and reg.dependence.rank == 3
    assert reg.species == ["a", "b"] and reg.reactions == ["r2", "r3"]
    assert reg.cycles == ["the cycle through r0 and r1"]
    assert "free for every choice of rates" in reg.reasons["a"]
    assert reg.to_dict()["dependent"] is True
    with pytest.warns(quelmar.ModelWarning, match="toy is singular: .* dependent"):
        result = quelmar.analyze(crn, seed=1)
    assert result.sensitivity is None and result.structures == []
    pruned = quelmar.prune(crn)
    assert pruned.removed and pruned.regularity.is_regular
    assert quelmar.regularity(pruned.network).is_regular


def test_directions_come_from_the_loaders_information():
    crn = CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]))
    np.testing.assert_array_equal(directions(crn)[1], [False, False])
    crn.reversible = np.array([True, False])
    np.testing.assert_array_equal(directions(crn)[1], [True, False])
    crn.flux_bounds = np.array([[0.0, 0.0], [-5.0, 10.0]])
    np.testing.assert_array_equal(directions(crn)[0], [False, True])
    np.testing.assert_array_equal(directions(crn)[1], [False, True])
    crn.flux_bounds = np.zeros((3, 2))  # stale after a reduction: not used
    np.testing.assert_array_equal(directions(crn)[1], [True, False])

    # analyze(prune=True) prepares with the same directions: a -> b cannot
    # run, so b and its outflow go too, besides the dead end c.
    crn = CRN(np.array([[1.0, -1, 0, -1, -1], [0, 1, -1, 0, 0], [0, 0, 0, 0, 1]]),
              X_names=["a", "b", "c"], R_names=["in", "conv", "outb", "outa", "toc"])
    crn.flux_bounds = np.array([[0, 10], [0, 0], [0, 10], [0, 10], [0, 10]], dtype=float)
    pruned = quelmar.prune(crn)
    assert pruned.network.X_names == ["a"]
    assert quelmar.analyze(crn, prune=True, seed=0).preparation == pruned.to_dict()


def test_structure_module_checks_its_input():
    A = np.array([[1.0, 0.0], [np.inf, 0.0]])
    rank, row_mate, col_mate, row_block, col_block = _structure.dulmage_mendelsohn(A)
    assert rank == _structure.structural_rank(A) == 1
    assert row_mate.dtype == np.intp and row_block.dtype == np.int8
    csr = csr_matrix((np.abs(A) >= TOL).astype(np.int8))
    got = _structure.dulmage_mendelsohn_csr(2, 2, csr.indptr, csr.indices)
    for a, b in zip(got[1:], (row_mate, col_mate, row_block, col_block)):
        np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match="dtype mismatch"):
        _structure.structural_rank(np.zeros((2, 2), dtype=np.float32))
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        _structure.structural_rank(np.zeros(3))
    with pytest.raises(TypeError):
        _structure.structural_rank(None)
    with pytest.raises(ValueError, match="indptr"):
        _structure.dulmage_mendelsohn_csr(2, 2, [0, 1], [0])
    with pytest.raises(ValueError, match="out of range"):
        _structure.dulmage_mendelsohn_csr(1, 1, [0, 1], [1])
    with pytest.raises(ValueError, match="integers"):
        _structure.dulmage_mendelsohn_csr(1, 1, [0.5, 1], [0])
    with pytest.raises(ValueError, match="negative"):
        _structure.dulmage_mendelsohn_csr(-1, 1, [0], [])
    with pytest.raises(TypeError):
        _structure.structural_rank(A, A)
    rows = np.array([[1], [3], [2]], dtype=np.uint8)  # {0}, {0, 1}, {1}
    assert _structure.uncovered_rows(rows, [0, 2], [1, 1]).tolist() == [0, 2]
    with pytest.raises(IndexError, match="outside the 3"):
        _structure.uncovered_rows(rows, [0, 3], [1, 1])
    with pytest.raises(ValueError, match="differ in number"):
        _structure.uncovered_rows(rows, [0], [1, 1])
    with pytest.raises(ValueError, match="integers"):
        _structure.uncovered_rows(rows, [0.5], [1])
    with pytest.raises(ValueError, match="dtype mismatch"):
        _structure.uncovered_rows(rows.astype(bool), [0], [1])
