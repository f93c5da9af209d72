"""Sensitivity matrix, closure of a seed, chi-index, the emergent-cycle test and
the search for all isolated buffering structures."""

import os

import numpy as np
import pytest

import reference as ref
from netgen import EXAMPLES, make_network, twins
from support import NETWORKS, assert_same_draws, rng_state, same_state

INF = np.inf


# ---------------------------------------------------------------------------
# Sensitivity matrix
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("trial", [0, -1])
def test_smat_without_trials(impl, trial):
    crn = impl.CRN(EXAMPLES["enzyme"])
    np.random.seed(0)
    before = rng_state()
    S = crn._smat_(trial)
    assert isinstance(S, np.ndarray) and S.dtype == np.bool_ and S.shape == (4, 5)
    assert not S.any()
    assert same_state(before, rng_state())


def test_smat_shape_follows_stoi(impl):
    for name, stoi in EXAMPLES.items():
        crn = impl.CRN(stoi)
        np.random.seed(1)
        S = crn._smat_()
        assert S.shape == stoi.shape and S.dtype == np.bool_, name


def test_smat_of_the_empty_network(impl):
    crn = impl.CRN(np.zeros((0, 0)))
    S = crn._smat_()
    assert S.shape == (0, 0) and S.dtype == np.bool_


def test_smat_one_by_one(impl):
    # A = [[inf]]: the adjugate of a 1 x 1 matrix is [[1]], so X0 responds to R0
    crn = impl.CRN(np.array([[-1.0]]))
    np.random.seed(2)
    np.testing.assert_array_equal(crn._smat_(), [[True]])
    crn = impl.CRN(np.array([[-1.0]]), np.array([[3.0]]))
    np.testing.assert_array_equal(crn._smat_(1), [[True]])


def test_smat_small_cofactors(impl):
    # no cycles, no conserved quantities: A = reginfo^T and adj(A) = [[d, -c], [-b, a]]
    stoi = np.array([[-1.0, 0.0], [0.0, -1.0]])
    reginfo = np.array([[1.0, 1e-8], [1.0000001e-8, 1.0]])
    crn = impl.CRN(stoi, reginfo)
    if impl is ref:
        # the cofactor test is strict: a cofactor of exactly 1e-8 counts as zero
        expected = [[True, True], [False, True]]
    else:
        # the extension decides exactly: 1e-8 is not zero
        expected = [[True, True], [True, True]]
    np.testing.assert_array_equal(crn._smat_(1), expected)


def test_smat_exactly_singular_minor_is_zero(impl):
    # adj(I) = [[1, NaN], [NaN, 1]]; NaN counts as no response
    crn = impl.CRN(np.array([[-1.0, 0.0], [0.0, -1.0]]), np.eye(2))
    np.testing.assert_array_equal(crn._smat_(1), [[True, False], [False, True]])


def test_smat_without_free_entries_is_one_trial(impl):
    stoi = EXAMPLES["enzyme"]
    crn = impl.CRN(stoi, np.where(stoi < 0, 1.0, 0.0))
    before = rng_state()
    np.testing.assert_array_equal(crn._smat_(1), crn._smat_(4))
    assert same_state(before, rng_state())


def test_smat_draws_k_numbers_per_trial(impl):
    crn = impl.CRN(EXAMPLES["enzyme"])
    k = int(np.sum(~(np.abs(np.array(crn.A)) < INF)))
    np.random.seed(3)
    crn._smat_(3)
    after = rng_state()
    np.random.seed(3)
    for _ in range(3):
        np.random.normal(size=k, scale=10.0)
    assert same_state(after, rng_state())


def test_smat_is_reproducible(impl):
    crn = impl.CRN(EXAMPLES["two_modules"])
    np.random.seed(4)
    a = crn._smat_()
    np.random.seed(4)
    b = crn._smat_()
    np.testing.assert_array_equal(a, b)
    assert a is not b


def test_smat_non_integer_trial(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    with pytest.raises(TypeError):
        crn._smat_(1.5)
    assert crn._smat_(np.int64(1)).shape == (3, 4)


def test_smat_accepts_an_array_as_A(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    np.random.seed(5)
    a = crn._smat_()
    crn.A = np.array(crn.A)
    np.random.seed(5)
    np.testing.assert_array_equal(crn._smat_(), a)


def test_smat_chain(impl):
    # 0 -> X0 -> X1 -> X2 -> 0: each species responds to its own outflow and to
    # every reaction upstream of it, but not to the downstream outflows
    crn = impl.CRN(EXAMPLES["chain"])
    np.random.seed(6)
    np.testing.assert_array_equal(
        crn._smat_(),
        [[True, True, False, False], [True, False, True, False], [True, False, False, True]],
    )


# ---------------------------------------------------------------------------
# Closure of a seed
# ---------------------------------------------------------------------------


def test_reference_closure_example():
    XandR = np.array([True, False, False, False, True])  # trailing entry is not read
    oc = np.array([[True, False], [False, True]])
    lo = np.array([[False, False], [True, False]])
    out = ref.oc_closure(XandR, oc, lo, np.eye(2, dtype=bool), 2, 2)
    assert out is XandR
    np.testing.assert_array_equal(XandR, [True, True, True, True, True])
    empty = np.zeros(4, dtype=bool)
    ref.oc_closure(empty, oc, lo, np.eye(2, dtype=bool), 2, 2)
    assert not empty.any()


def stubbed(impl, stoi, oc, lo, cqc):
    crn = impl.CRN(stoi)
    crn._CRN__oc_keeper = np.asarray(oc, dtype=bool)
    crn._CRN__cq_class = np.asarray(cqc, dtype=bool)
    calls = []

    def fake_smat(trial):
        calls.append(trial)
        return np.asarray(lo, dtype=bool)

    crn._smat_ = fake_smat
    return crn, calls


def test_closure_example_through_searchfrom(impl):
    crn, calls = stubbed(
        impl,
        EXAMPLES["reversible"],
        [[True, False], [False, True]],
        [[False, False], [True, False]],
        np.eye(2),
    )
    assert crn.isoBS_searchfrom([0], []) == ([0, 1], [0, 1])
    assert crn.isoBS_searchfrom([1], []) == ([1], [1])
    assert crn.isoBS_searchfrom([], [1]) == ([], [1])
    assert crn.isoBS_searchfrom([], [0], 7) == ([1], [0, 1])
    assert calls == [2, 2, 2, 7]


def test_closure_follows_conserved_classes(impl):
    crn, _ = stubbed(
        impl,
        np.array([[-1.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, -1.0]]),
        np.zeros((3, 3)),
        np.zeros((3, 3)),
        [[True, True, False], [True, True, False], [False, False, True]],
    )
    assert crn.isoBS_searchfrom([1], [2]) == ([0, 1], [2])


@pytest.mark.parametrize("seed, X, R, expected", [
    (7, [], [], ([], [])),
    (8, range(4), range(5), ([0, 1, 2, 3], [0, 1, 2, 3, 4])),
], ids=["empty", "full"])
def test_searchfrom_empty_and_full_seeds_are_closed(impl, seed, X, R, expected):
    crn = impl.CRN(EXAMPLES["enzyme"])
    np.random.seed(seed)
    assert crn.isoBS_searchfrom(X, R) == expected


def test_searchfrom_without_trials(impl):
    # lo_keeper all false: only rate dependence and conserved classes grow the seed
    crn = impl.CRN(EXAMPLES["enzyme"])
    assert crn.isoBS_searchfrom([], [0], trial=0) == ([], [0])
    # S (no conserved quantity) brings only the reaction that consumes it
    assert crn.isoBS_searchfrom([1], [], 0) == ([1], [0])
    # E brings C (E + C is conserved); both bring the reactions consuming them
    assert crn.isoBS_searchfrom([0], [], 0) == ([0, 2], [0, 1, 2])


def test_searchfrom_membership_and_types(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    np.random.seed(9)
    a = crn.isoBS_searchfrom([1, 1, 99, -1], (2,))
    np.random.seed(9)
    b = crn.isoBS_searchfrom({1}, np.array([2]))
    assert a == b
    Xs, Rs = a
    assert 1 in Xs and 2 in Rs
    assert all(type(x) is int for x in Xs + Rs)
    assert Xs == sorted(set(Xs)) and Rs == sorted(set(Rs))


# ---------------------------------------------------------------------------
# Chi-index
# ---------------------------------------------------------------------------


def test_chi_index_examples(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    assert crn.compute_index([0], [0]) == 0
    assert crn.compute_index([], [1]) == 1
    assert crn.compute_index([0], []) == -1
    assert crn.compute_index([], []) == 0
    crn = impl.CRN(np.array([[-1.0], [1.0]]))
    assert crn.compute_index([1], []) == 0
    assert crn.compute_index([0], [0]) == 1
    assert crn.compute_index([0, 1], [0]) == 0
    assert type(crn.compute_index([0, 1], [0])) is int


def test_chi_index_ignores_out_of_range(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    assert crn.compute_index([0, 7, -1], [0]) == crn.compute_index([0], [0])
    assert crn.compute_index((0, 0, 2.0), {1, 10}) == crn.compute_index([0, 2], [1])


def test_chi_index_reads_indices_not_masks(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    mask = np.array([False, True, True])  # 0 == False and 1 == True are members; 2 is not
    assert crn.compute_index(mask, [1, 2]) == crn.compute_index([0, 1], [1, 2])


def test_chi_index_species_only_without_conservation(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    assert crn.compute_index([0, 1, 2], []) == -3


def test_chi_index_whole_network_is_zero(impl, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    crn = impl.CRN(stoi, reginfo)
    m, n = stoi.shape
    assert crn.compute_index(range(m), range(n)) == 0, desc
    assert crn.compute_index([], []) == 0


def test_chi_index_membership_error(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    with pytest.raises(TypeError):
        crn.compute_index(3, [0])

    class Boom:
        def __contains__(self, item):
            raise KeyError(item)

    with pytest.raises(KeyError):
        crn.compute_index([0], Boom())


def test_chi_index_questions_in_order(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    asked = []

    class Spy:
        def __init__(self, tag):
            self.tag = tag

        def __contains__(self, item):
            asked.append((self.tag, item, type(item)))
            return False

    crn.compute_index(Spy("X"), Spy("R"))
    assert asked == [("X", i, int) for i in range(3)] + [("R", j, int) for j in range(4)]


# ---------------------------------------------------------------------------
# Emergent cycles
# ---------------------------------------------------------------------------


def test_reference_emergent_cycle_examples():
    assert ref.no_emergent_cycles(EXAMPLES["emergent"], [True, False, True, True]) is False
    assert ref.no_emergent_cycles(EXAMPLES["reversible"], [True, False, True, True]) is True
    assert ref.no_emergent_cycles(EXAMPLES["emergent"], [True, False, False, False]) is True
    assert ref.no_emergent_cycles(EXAMPLES["emergent"], [True, True, True, True]) is True
    assert ref.no_emergent_cycles(EXAMPLES["emergent"], [True, True, False, True]) is True
    # no species: true only when the selected columns vanish
    assert ref.no_emergent_cycles(np.array([[0.0, 1.0], [0.0, 0.0]]), [False, False, True, False])
    assert not ref.no_emergent_cycles(np.array([[0.0, 1.0], [0.0, 0.0]]), [False, False, True, True])
    # tolerance of the final check
    s = np.array([[1.0, -1.0], [5e-9, 0.0]])
    assert ref.no_emergent_cycles(s, [True, False, True, True])
    s = np.array([[1.0, -1.0], [1e-8, 0.0]])
    assert not ref.no_emergent_cycles(s, [True, False, True, True])


EMERGENT = np.array([[1.0, -1.0, -1.0], [1.0, -1.0, 0.0], [1.0, 1.0, 0.0]])
BALANCED = np.array([[1.0, -1.0, -1.0], [1.0, -1.0, 0.0], [1.0, -1.0, 0.0]])
STUB_OC = [[True, False, False], [False, True, False], [False, False, False]]
STUB_CQ = [[True, True, False], [True, True, False], [False, False, True]]


def test_search_rejects_emergent_cycles(impl):
    # {X0, X1, R0, R1} has chi-index 0 in both networks; R0 + R1 changes X2 in
    # the first one only
    target = [True, True, False, True, True, False]
    for stoi, accepted in ((EMERGENT, False), (BALANCED, True)):
        crn = impl.CRN(stoi)
        crn._CRN__oc_keeper = np.array(STUB_OC)
        crn._CRN__cq_class = np.array(STUB_CQ)
        assert crn.compute_index([0, 1], [0, 1]) == 0
        found = [list(map(bool, x)) for x in crn.search_for_isoBSs(0)]
        assert (target in found) is accepted
    crn = impl.CRN(EMERGENT)
    crn._CRN__oc_keeper = np.array(STUB_OC)
    crn._CRN__cq_class = np.array(STUB_CQ)
    got = crn.search_for_isoBSs(0)
    np.testing.assert_array_equal(
        np.array(got), [[0, 0, 1, 1, 0, 0], [0, 0, 1, 0, 1, 0]]
    )


# ---------------------------------------------------------------------------
# Search for all isolated buffering structures
# ---------------------------------------------------------------------------


def test_search_exchange_order(impl):
    # R0 does nothing, R1: 0 -> X0, R2: X0 -> 0.  Accepted in seed order:
    # {R0}, {X0,R0,R2}, {X0,R1,R2}, {X0,R2}; the exchange procedure moves {X0,R2}
    # to position 1 and {X0,R0,R2} behind {X0,R1,R2}
    crn = impl.CRN(np.array([[0.0, 1.0, -1.0]]))
    got = crn.search_for_isoBSs(0)
    assert isinstance(got, list)
    for g in got:
        assert isinstance(g, np.ndarray) and g.dtype == np.bool_ and g.shape == (4,)
    np.testing.assert_array_equal(
        np.array(got),
        [[0, 1, 0, 0], [1, 0, 0, 1], [1, 0, 1, 1], [1, 1, 0, 1]],
    )


def test_search_fallback(impl):
    crn = impl.CRN(np.array([[-1.0], [1.0]]))
    crn._CRN__oc_keeper = np.zeros((2, 1), dtype=bool)
    crn._CRN__cq_class = np.eye(2, dtype=bool)
    got = crn.search_for_isoBSs(0)
    assert len(got) == 1
    np.testing.assert_array_equal(got[0], [True, True, True])
    assert got[0].dtype == np.bool_


def test_search_of_the_empty_network(impl):
    got = impl.CRN(np.zeros((0, 0))).search_for_isoBSs()
    assert len(got) == 1 and got[0].shape == (0,) and got[0].dtype == np.bool_


def test_search_without_reactions(impl):
    got = impl.CRN(np.zeros((2, 0))).search_for_isoBSs()
    assert len(got) == 1
    np.testing.assert_array_equal(got[0], [True, True])


def test_search_deduplicates(impl):
    crn = impl.CRN(np.array([[-1.0], [1.0]]))
    np.random.seed(11)
    got = crn.search_for_isoBSs()
    assert len(got) == 1
    np.testing.assert_array_equal(got[0], [True, True, True])


def test_search_results_are_independent(impl, state_of, same):
    crn = impl.CRN(EXAMPLES["two_modules"])
    before = state_of(crn)
    np.random.seed(12)
    got = crn.search_for_isoBSs()
    copies = [g.copy() for g in got]
    assert len(got) > 2
    for i, g in enumerate(got):
        for h in got[i + 1:]:
            assert not np.shares_memory(g, h)
    got[0][:] = True
    for g, c in zip(got[1:], copies[1:]):
        np.testing.assert_array_equal(g, c)
    same(state_of(crn), before)
    np.random.seed(12)
    again = crn.search_for_isoBSs()
    np.testing.assert_array_equal(again[0], copies[0])


def test_search_examples(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    np.random.seed(13)
    got = np.array(crn.search_for_isoBSs()).astype(int).tolist()
    assert got == [
        [1, 0, 0, 0, 1, 0, 0],
        [0, 1, 0, 0, 0, 1, 0],
        [0, 0, 1, 0, 0, 0, 1],
        [1, 1, 0, 0, 1, 1, 0],
        [1, 0, 1, 0, 1, 0, 1],
        [0, 1, 1, 0, 0, 1, 1],
        [1, 1, 1, 1, 1, 1, 1],
    ]


def check_structures(crn, stoi, seed):
    m, n = stoi.shape
    np.random.seed(seed)
    got = crn.search_for_isoBSs()
    np.random.seed(seed)
    lo = crn._smat_()
    oc = np.asarray(crn._CRN__oc_keeper)
    cqc = np.array(crn._CRN__cq_class)
    assert len(got) >= 1
    keys = []
    for i, g in enumerate(got):
        assert g.shape == (m + n,) and g.dtype == np.bool_
        assert g[m:].any() or n == 0
        closed = ref.oc_closure(g.copy(), oc, lo, cqc, m, n)
        np.testing.assert_array_equal(closed, g)
        X = np.flatnonzero(g[:m]).tolist()
        R = np.flatnonzero(g[m:]).tolist()
        assert crn.compute_index(X, R) == 0
        assert ref.no_emergent_cycles(stoi, g)
        for h in got[:i]:
            assert not np.array_equal(g, h)
        keys.append((int(g[:m].sum()), int(g[m:].sum())))
    assert keys == sorted(keys)


def test_search_structures_are_isolated_buffering_structures(impl, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    crn = impl.CRN(stoi, reginfo)
    check_structures(crn, stoi, net_seed)


@pytest.mark.parametrize("name, seed, call", [
    pytest.param("enzyme", 15, lambda crn: crn._smat_(3), id="_smat_"),
    pytest.param("two_modules", 10, lambda crn: crn.isoBS_searchfrom([0], [3]), id="isoBS_searchfrom"),
    pytest.param("enzyme", 0, lambda crn: crn.compute_index([0, 2], [1]), id="compute_index"),
    pytest.param("enzyme", 14, lambda crn: crn.search_for_isoBSs(), id="search_for_isoBSs"),
])
def test_read_only_methods_leave_the_object_as_it_was(impl, state_of, same, name, seed, call):
    crn = impl.CRN(EXAMPLES[name])
    before = state_of(crn)
    np.random.seed(seed)
    call(crn)
    same(state_of(crn), before)


# ---------------------------------------------------------------------------
# Differential
# ---------------------------------------------------------------------------


def test_smat_matches_reference(cq, net_seed):
    # The extension computes the exact pattern; the reference tests cofactors
    # against 1e-8.  On these small integer networks the cofactor test is
    # exact, so both give the same arrays and draw the same random numbers.
    stoi, reginfo, desc = make_network(net_seed)
    got_crn, want_crn = twins(cq, stoi, reginfo)
    trials = [2] if net_seed % 10 else [1, 2, 3]
    for t in trials:
        assert_same_draws(lambda: got_crn._smat_(t), lambda: want_crn._smat_(t), net_seed,
                          "%s trial %d" % (desc, t))


def test_searchfrom_matches_reference(cq, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    m, n = stoi.shape
    got_crn, want_crn = twins(cq, stoi, reginfo)
    rng = np.random.default_rng([31, net_seed])
    for _ in range(3):
        X = rng.integers(-1, m + 1, size=int(rng.integers(0, 3))).tolist()
        R = rng.integers(-1, n + 1, size=int(rng.integers(0, 3))).tolist()
        trial = int(rng.integers(0, 3))
        assert_same_draws(lambda: got_crn.isoBS_searchfrom(X, R, trial),
                          lambda: want_crn.isoBS_searchfrom(X, R, trial), net_seed,
                          "%s seed %r %r trial %d" % (desc, X, R, trial))


def test_compute_index_matches_reference(cq, same, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    m, n = stoi.shape
    got_crn, want_crn = twins(cq, stoi, reginfo)
    rng = np.random.default_rng([32, net_seed])
    for _ in range(6):
        X = [int(i) for i in np.flatnonzero(rng.random(m) < 0.5)]
        R = [int(j) for j in np.flatnonzero(rng.random(n) < 0.5)]
        X += [-1, m + 3]
        same(got_crn.compute_index(X, R), want_crn.compute_index(X, R), "%s %r %r" % (desc, X, R))
        same(got_crn.compute_index(set(X), tuple(R)), want_crn.compute_index(X, R))


def test_search_matches_reference(cq, net_seed):
    stoi, reginfo, desc = make_network(net_seed)
    got_crn, want_crn = twins(cq, stoi, reginfo)
    trial = 2 if net_seed % 7 else net_seed % 3
    assert_same_draws(lambda: got_crn.search_for_isoBSs(trial),
                      lambda: want_crn.search_for_isoBSs(trial), net_seed, desc)
    # The search that evaluates every candidate on the whole network finds
    # the same list from the same draws.
    assert_same_draws(lambda: got_crn.search_for_isoBSs(trial),
                      lambda: cq._search_for_isoBSs_seedwise(got_crn, trial), net_seed, desc)


@pytest.mark.parametrize("name", sorted(EXAMPLES))
def test_search_matches_reference_examples(cq, name):
    stoi = EXAMPLES[name]
    for seed in range(3):
        got_crn, want_crn = twins(cq, stoi)
        assert_same_draws(got_crn.search_for_isoBSs, want_crn.search_for_isoBSs, seed, name)
        if stoi.size:
            assert_same_draws(lambda: got_crn._smat_(3), lambda: want_crn._smat_(3), seed, name)


def test_smat_is_the_pattern_of_the_inverse(cq):
    # where the drawn A-matrix is invertible (and well conditioned), species i
    # responds to reaction j exactly when inv(A)[i, j] is non-zero
    checked = 0
    for seed in range(200):
        stoi, reginfo = make_network(seed)[:2]
        crn = cq.CRN(stoi, reginfo)
        m, n = crn.stoi.shape
        A = np.array(crn.A)
        free = ~(np.abs(A) < np.inf)
        np.random.seed(seed)
        A[free] = np.random.normal(size=int(free.sum()), scale=10.0)
        if A.size == 0 or np.linalg.cond(A) > 1e8:
            continue
        inv = np.linalg.inv(A)
        expected = np.abs(inv[:m, :n]) > 1e-9 * np.abs(inv).max()
        np.random.seed(seed)
        assert np.array_equal(crn._smat_(1), expected), seed
        checked += 1
    assert checked > 100


SHARED = sorted(f for f in os.listdir(NETWORKS)
                if f.endswith(".network.json") and not f.startswith("iJO1366"))


@pytest.mark.parametrize("name", SHARED)
def test_search_matches_seedwise_on_shared_networks(cq, name):
    from quelmar.loaders.network import load_network_json

    crn = load_network_json(os.path.join(NETWORKS, name))
    reports = []
    assert_same_draws(lambda: cq._with_progress(lambda done, total: reports.append((done, total)),
                                                crn.search_for_isoBSs, ()),
                      lambda: cq._search_for_isoBSs_seedwise(crn), 1, name)
    assert reports and reports[-1][0] == reports[-1][1] > 0
    assert all(a[0] <= b[0] for a, b in zip(reports, reports[1:]))


def test_progress_callback_errors_stop_the_search(cq):
    crn = cq.CRN(EXAMPLES[sorted(EXAMPLES)[0]].copy())

    def fail(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        cq._with_progress(fail, crn.search_for_isoBSs, ())
    with pytest.raises(TypeError):
        cq._with_progress(1, crn.search_for_isoBSs, ())
    # Installed for one call only.
    assert len(crn.search_for_isoBSs()) >= 1
