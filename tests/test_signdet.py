"""Sign of a determinant with free entries: signdet, its objective, cy_det, and
the subnetwork form CRN.signdet_subnetwork."""

import math

import numpy as np
import pytest

import reference as ref
from netgen import EXAMPLES, make_network, random_selection, twins
from support import assert_same_draws, rng_state, same_state, traceback_entries

INF = np.inf
NAN = np.nan
SRC = "src/quelmar/cyquelmar"

# The optimiser's line searches may warn; that is SciPy talking, not us.
pytestmark = pytest.mark.filterwarnings("ignore::scipy.optimize.OptimizeWarning",
                                        "ignore:The line search algorithm did not converge",
                                        "ignore::RuntimeWarning")


# ---------------------------------------------------------------------------
# Reference determinant and adjugate
# ---------------------------------------------------------------------------


def test_reference_det_examples():
    assert ref.det(np.zeros((0, 0))) == 0.0
    assert ref.det(np.array([[3.5]])) == 3.5
    assert ref.det(np.array([[-2.0]])) == -2.0
    assert math.isnan(ref.det(np.array([[0.0]])))
    assert math.isnan(ref.det(np.array([[1.0, 2.0], [2.0, 4.0]])))  # exactly singular
    assert ref.det(np.array([[0.0, 1.0], [1.0, 0.0]])) == -1.0
    assert ref.det(np.array([[1.0, 2.0], [3.0, 4.0]])) == pytest.approx(-2.0)
    M = np.array([[2.0, 1.0, 0.0], [1.0, 3.0, 1.0], [0.0, 1.0, 4.0]])
    assert ref.det(M) == pytest.approx(np.linalg.det(M))


def test_reference_det_sign_follows_pivots():
    rng = np.random.default_rng(5)
    for _ in range(50):
        M = rng.normal(size=(4, 4))
        assert ref.det(M) == pytest.approx(np.linalg.det(M), rel=1e-10)


def test_reference_adjugate_examples():
    np.testing.assert_array_equal(ref.adjugate(np.array([[7.0]])), [[1.0]])
    assert ref.adjugate(np.zeros((0, 0))).shape == (0, 0)
    np.testing.assert_array_equal(ref.adjugate(np.eye(2)), [[1.0, NAN], [NAN, 1.0]])
    np.testing.assert_array_equal(
        ref.adjugate(np.array([[1.0, 2.0], [3.0, 4.0]])), [[4.0, -2.0], [-3.0, 1.0]]
    )


def test_reference_adjugate_identity():
    rng = np.random.default_rng(6)
    for n in range(2, 6):
        A = rng.normal(size=(n, n))
        adj = ref.adjugate(A.copy())
        np.testing.assert_allclose(A @ adj, np.linalg.det(A) * np.eye(n), atol=1e-10)


# ---------------------------------------------------------------------------
# signdet: documented examples (both implementations)
# ---------------------------------------------------------------------------


def test_fixed_matrices(impl):
    r = impl.signdet(np.array([[2.0]]))
    assert r == 1.0 and isinstance(r, np.floating)
    r = impl.signdet(np.array([[-3.0]]))
    assert r == -1.0 and isinstance(r, np.floating)
    for A in (np.array([[0.0]]), np.array([[1.0, 2.0], [2.0, 4.0]]), np.array([[5e-9]])):
        r = impl.signdet(A)
        assert r == 0 and type(r) is int
    r = impl.signdet(np.array([[0.0, 1.0], [1.0, 0.0]]))
    assert r == -1.0


def test_fixed_matrix_draws_nothing(impl):
    np.random.seed(11)
    before = rng_state()
    impl.signdet(np.array([[2.0, 1.0], [1.0, 3.0]]), 5)
    assert same_state(before, rng_state())


@pytest.mark.parametrize(
    "A, expected",
    [
        ([[INF]], 1.0),
        ([[-INF]], -1.0),
        ([[NAN]], NAN),
        ([[INF, 1.0], [1.0, INF]], NAN),
        ([[INF, 0.0], [0.0, 1.0]], 1.0),
        ([[INF, 0.0], [0.0, -1.0]], -1.0),
        ([[INF, 0.0], [0.0, INF]], 1.0),
        ([[INF, 1.0], [0.0, 0.0]], 0.0),  # a zero row: identically zero
        ([[1.0, 1.0, INF], [2.0, 2.0, INF], [3.0, 3.0, -INF]], 0.0),  # equal columns
        ([[-INF, 1.0], [-1.0, -INF]], 1.0),  # z1^2 z2^2 + 1
    ],
)
def test_variable_matrices(impl, A, expected):
    np.random.seed(0)
    r = impl.signdet(np.array(A), 4)
    assert type(r) is float
    if math.isnan(expected):
        assert math.isnan(r)
    else:
        assert r == expected


def test_nested_lists_and_tuples_are_matrices(impl, same):
    for rows in ([[2.0, 1.0], [1.0, 3.0]], [[0.0, 1.0], [1.0, 0.0]], [[1e-9]],
                 [[INF, 0.0], [0.0, -1.0]], [[INF, 1.0], [1.0, NAN]]):
        np.random.seed(5)
        expected = impl.signdet(np.array(rows), 2)
        for form in (rows, tuple(map(tuple, rows))):
            np.random.seed(5)
            same(impl.signdet(form, 2), expected)


@pytest.mark.parametrize("trials", [0, -3])
def test_no_trials(impl, trials):
    np.random.seed(1)
    before = rng_state()
    r = impl.signdet(np.array([[INF, 1.0], [1.0, INF]]), trials)
    assert r == 0.0 and type(r) is float
    assert same_state(before, rng_state())


def test_trials_by_keyword(impl):
    np.random.seed(2)
    assert impl.signdet(A=np.array([[INF]]), trials=1) == 1.0


def test_caller_matrix_is_not_modified(impl):
    A = np.array([[INF, 1.0], [-INF, NAN]])
    copy = A.copy()
    np.random.seed(3)
    impl.signdet(A, 2)
    np.testing.assert_array_equal(A, copy)


def test_draws_two_vectors_per_trial(impl):
    A = np.array([[INF, 1.0, 0.0], [1.0, INF, 1.0], [0.0, 2.0, -INF]])
    np.random.seed(4)
    impl.signdet(A, 3)
    after = rng_state()
    np.random.seed(4)
    np.random.normal(size=3 * 2 * 3, scale=10.0)
    assert same_state(after, rng_state())


@pytest.mark.parametrize("A, trials, error, match", [
    (np.ones((2, 3)), (), np.linalg.LinAlgError, None),  # without free entries
    (np.array([[INF, 1.0, 0.0], [0.0, 1.0, 1.0]]), (), ValueError, None),
    (np.array([[INF, 1.0], [1.0, 2.0]], dtype=np.float32), (1,), ValueError, "Buffer dtype mismatch"),
], ids=["non-square fixed", "non-square free", "float32 free"])
def test_unusable_matrices(impl, A, trials, error, match):
    np.random.seed(5)
    with pytest.raises(error, match=match):
        impl.signdet(A, *trials)


# ---------------------------------------------------------------------------
# Extension only: surface, binding, traceback
# ---------------------------------------------------------------------------


SIGNDET_DOC = [
    "Determine the sign of the determinant of matrix A with variable entries.",
    "",
    "Parameters:",
    "-----------",
    "A : ndarray",
    "Input square matrix with possible infinite or variable entries",
    "trials : int, optional",
    "Number of optimization trials to test sign consistency (default: 10)",
    "",
    "Returns:",
    "--------",
    "float",
    "Sign of the determinant:",
    "=  1.0 if consistently positive",
    "= -1.0 if consistently negative",
    "=  0.0 if consistently zero",
    "=  NAN if both positive and negative signs are possible",
]


def test_signdet_docstring(cq):
    doc = cq.signdet.__doc__
    assert doc.startswith("\n")
    assert doc.endswith("\n    ")
    lines = doc.split("\n")[1:-1]
    assert [line.strip() for line in lines] == SIGNDET_DOC
    by_text = {line.strip(): line for line in lines if line.strip()}
    for heading in ["Parameters:", "A : ndarray", "trials : int, optional", "Returns:", "float"]:
        assert by_text[heading] == "    " + heading
    for description in [
        "Input square matrix with possible infinite or variable entries",
        "Sign of the determinant:",
    ]:
        assert by_text[description] == "        " + description


def test_signdet_traceback_through_objective(cq):
    np.random.seed(5)
    with pytest.raises(ValueError, match="Buffer dtype mismatch") as ei:
        cq.signdet(np.array([[INF, 1.0], [1.0, 2.0]], dtype=np.float32), 1)
    entries = traceback_entries(ei)
    names = [n for n, _ in entries]
    assert ("quelmar.cyquelmar.signdet", SRC) in entries
    assert ("quelmar.cyquelmar.signdet.vardetA", SRC) in entries
    assert names.index("quelmar.cyquelmar.signdet") < names.index("quelmar.cyquelmar.signdet.vardetA")
    # the optimiser sits between the two
    outer = names.index("quelmar.cyquelmar.signdet")
    inner = names.index("quelmar.cyquelmar.signdet.vardetA")
    assert inner - outer > 1


def test_signdet_uses_the_module_minimize(cq, monkeypatch):
    """The objective is handed to scipy's minimize with fun= and x0= only."""
    import scipy.optimize

    calls = []
    real = scipy.optimize.minimize

    def spy(*args, **kwargs):
        calls.append((args, sorted(kwargs)))
        res = real(*args, **kwargs)
        calls[-1] = calls[-1] + (res.fun, kwargs["fun"](kwargs["x0"]))
        return res

    monkeypatch.setattr(cq, "minimize", spy)
    np.random.seed(8)
    try:
        cq.signdet(np.array([[INF, 1.0], [1.0, INF]]), 1)
    except Exception:
        pass
    if not calls:
        pytest.skip("signdet binds minimize at import time")
    assert len(calls) == 2
    for args, keys, _, _ in calls:
        assert args == () and keys == ["fun", "x0"]


# ---------------------------------------------------------------------------
# Differential
# ---------------------------------------------------------------------------


def sign_matrix(seed):
    """Matrices with free entries: network A-matrices and small mixed ones."""
    if seed % 2 == 0:
        stoi, reginfo, _ = make_network(seed)
        return np.array(ref.CRN(stoi, reginfo).A)
    rng = np.random.default_rng([4242, seed])
    n = int(rng.integers(1, 5))
    A = rng.integers(-2, 3, size=(n, n)).astype(float)
    kinds = rng.random((n, n))
    A[kinds < 0.25] = INF
    A[(kinds >= 0.25) & (kinds < 0.35)] = -INF
    A[(kinds >= 0.35) & (kinds < 0.42)] = NAN
    return A


def test_signdet_matches_reference(cq, sign_seed):
    A = sign_matrix(sign_seed)
    assert_same_draws(lambda: cq.signdet(A.copy(), 2), lambda: ref.signdet(A.copy(), 2), sign_seed,
                      "signdet of\n%r" % A)


def test_signdet_fixed_matrices_match_reference(cq, same):
    rng = np.random.default_rng(17)
    for _ in range(100):
        n = int(rng.integers(1, 6))
        A = rng.integers(-2, 3, size=(n, n)).astype(float)
        same(cq.signdet(A), ref.signdet(A), repr(A))


def recorded_minimisations(cq, monkeypatch, call):
    """call()'s result, then every minimisation's value, point, iteration
    count and last gradient, then the generator's state."""
    seen = []
    real = cq.minimize

    def recorder(**kw):
        result = real(**kw)
        seen.append((np.float64(result.fun).tobytes(), result.x.tobytes(), result.nit,
                     np.asarray(result.jac).tobytes()))
        return result

    monkeypatch.setattr(cq, "minimize", recorder)
    out = call()
    return [repr(out)] + seen + [rng_state()[1].tobytes()]


def test_differences_take_the_same_minimisations(cq, sign_seed, monkeypatch):
    """The gradient handed to each minimisation changes nothing: every
    minimisation ends at the same point with the same value after as many
    iterations, and as many numbers are drawn."""
    A = sign_matrix(sign_seed)
    runs = []
    for fn in (cq.signdet, cq._signdet_differences):
        np.random.seed(sign_seed)
        runs.append(recorded_minimisations(cq, monkeypatch, lambda: fn(A.copy(), 2)))
    assert runs[0] == runs[1], "signdet of\n%r" % A


def test_differences_on_threads_take_the_same_minimisations(cq, monkeypatch):
    """A gradient large enough to be shared out among threads is the same."""
    from threadpoolctl import threadpool_limits

    rng = np.random.default_rng(31)
    A = rng.normal(size=(32, 32))
    A[rng.random((32, 32)) < 0.3] = INF
    A[rng.random((32, 32)) < 0.05] = NAN
    runs = []
    with threadpool_limits(1, "blas"):
        for call in (lambda: cq.signdet(A, 1), lambda: cq._signdet_differences(A, 1, threads=2),
                     lambda: cq._signdet_differences(A, trials=1, threads=99)):
            np.random.seed(5)
            runs.append(recorded_minimisations(cq, monkeypatch, call))
            monkeypatch.undo()
    assert runs[0] == runs[1] == runs[2]
    with pytest.raises(ValueError, match="threads must be at least 1"):
        cq._signdet_differences(A, 1, threads=0)
    # a gradient kept past its call still gives the same numbers (on the
    # calling thread: the helper threads end with the call)
    kept = {}

    def keep(fun, x0, jac):
        fun(x0)  # the gradient is taken after the objective, as the minimiser does
        kept["inside"] = jac(x0)
        kept["fun"], kept["jac"], kept["x0"] = fun, jac, x0
        return type("Result", (), {"fun": 0.0})

    monkeypatch.setattr(cq, "minimize", keep)
    with threadpool_limits(1, "blas"):
        cq._signdet_differences(A, 1, threads=2)
    monkeypatch.undo()
    kept["fun"](kept["x0"])
    assert kept["jac"](kept["x0"]).tobytes() == kept["inside"].tobytes()


def test_difference_gradient_is_the_minimisers_own(cq, monkeypatch):
    """At any point, large ones included (where the step is taken relative
    to the point), the gradient is the one the minimiser takes itself."""
    from scipy.optimize._numdiff import approx_derivative
    from scipy.optimize._optimize import _epsilon

    A = np.array([[INF, 2.0, 0.0], [-1.0, -INF, NAN], [0.5, NAN, INF]])
    points = [np.array(p) for p in (
        [0.3, -1.2, 4.0, 0.0, 7.5], [3e8, -5e8, 1e9, -2.5e8, 1.0], [1e200, 1e-300, -0.0, 2.0, -1.0],
        [1.0, 2.0, -INF, 3.0, 4.0], [NAN, 1.0, 2.0, 3.0, 4.0])]
    compared = []

    def stub(fun, x0, jac):
        for k, z in enumerate(points):
            if k % 2:
                fun(z)  # the gradient may reuse the value just computed
            want = approx_derivative(fun, z, method="2-point", abs_step=_epsilon, f0=fun(z))
            got = jac(z.copy())
            assert np.array_equal(np.isnan(got), np.isnan(want)), (z, got, want)
            assert got[~np.isnan(got)].tobytes() == want[~np.isnan(want)].tobytes(), (z, got, want)
            compared.append(z)

        class Result:
            pass
        Result.fun = fun(x0)
        return Result

    monkeypatch.setattr(cq, "minimize", stub)
    cq._signdet_differences(A, 1)
    assert len(compared) == 2 * len(points)


def test_fast_signs_only_where_they_agree(cq, monkeypatch):
    from quelmar import signfast

    plain = cq.signdet
    assert signfast.differences_agree()
    with signfast.fast_signs():
        assert cq.signdet is cq._signdet_differences
        with signfast.fast_signs(threads=2):
            assert cq.signdet is cq._signdet_differences
        assert cq.signdet is cq._signdet_differences
    assert cq.signdet is plain
    with signfast.fast_signs(threads=2):
        assert cq.signdet.func is cq._signdet_differences
        assert cq.signdet.keywords == {"threads": 2}
    assert cq.signdet is plain
    with pytest.raises(KeyError), signfast.fast_signs():
        raise KeyError
    assert cq.signdet is plain
    # a signdet put in place by someone else stays
    own = lambda A, trials=10: 0.0  # noqa: E731
    monkeypatch.setattr(cq, "signdet", own)
    with signfast.fast_signs():
        assert cq.signdet is own
    monkeypatch.undo()
    # a SciPy whose own differences are not these: the plain signdet
    monkeypatch.setattr(signfast, "_agree", False)
    with signfast.fast_signs():
        assert cq.signdet is plain
    assert signfast.signdet_function() is plain


# ---------------------------------------------------------------------------
# CRN.signdet_subnetwork
# ---------------------------------------------------------------------------


def test_subnetwork_whole_network_is_signdet_of_A(impl):
    crn = impl.CRN(EXAMPLES["chain"])
    sel = np.ones(3 + 4, dtype=bool)
    np.random.seed(9)
    a = crn.signdet_subnetwork(sel)
    np.random.seed(9)
    b = impl.signdet(np.array(crn.A))
    assert a == b or (math.isnan(a) and math.isnan(b))


def test_subnetwork_sign_examples(impl):
    # X0 -> 0, 0 -> X0 : A = [[z^2, 1], [0, 1]], positive
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    np.random.seed(10)
    assert crn.signdet_subnetwork(np.array([True, True, True])) == 1.0
    # X0 -> X1 alone: A = [[z^2, 0], [1, 1]], positive
    crn = impl.CRN(np.array([[-1.0], [1.0]]))
    np.random.seed(10)
    assert crn.signdet_subnetwork([True, True, True]) == 1.0
    # species 0 with reaction 0 of the chain: [[z^2]]
    crn = impl.CRN(EXAMPLES["chain"])
    np.random.seed(10)
    sel = np.zeros(7, dtype=bool)
    sel[0] = True
    sel[3 + 1] = True  # X0 -> X1 consumes X0
    assert crn.signdet_subnetwork(sel) == 1.0


def test_subnetwork_empty_selection(impl):
    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    # the empty A-matrix has no free entry; NumPy's determinant of it is 1.0
    r = crn.signdet_subnetwork(np.zeros(3, dtype=bool))
    assert r == 1.0 and isinstance(r, np.floating)


@pytest.mark.parametrize("length", [1, 3, 5, 8])
def test_subnetwork_wrong_length(impl, length):
    crn = impl.CRN(np.array([[-1.0, 1.0], [1.0, -1.0]]))
    with pytest.raises((ValueError, IndexError)):
        crn.signdet_subnetwork(np.ones(length, dtype=bool))


def test_subnetwork_leaves_object_unchanged(impl, state_of, same):
    crn = impl.CRN(EXAMPLES["enzyme"])
    before = state_of(crn)
    np.random.seed(12)
    crn.signdet_subnetwork(np.ones(9, dtype=bool))
    same(state_of(crn), before)


def test_subnetwork_looks_up_signdet_at_call_time(impl, monkeypatch):
    seen = []

    def fake(A, trials=10):
        seen.append(A)
        return "sentinel"

    crn = impl.CRN(np.array([[-1.0, 1.0]]))
    monkeypatch.setattr(impl, "signdet", fake)
    assert crn.signdet_subnetwork(np.array([True, True, True])) == "sentinel"
    assert len(seen) == 1
    assert isinstance(seen[0], np.ndarray) and seen[0].dtype == np.float64
    np.testing.assert_array_equal(seen[0], [[INF, 1.0], [0.0, 1.0]])


def test_subnetwork_builds_the_sub_A_matrix(impl, monkeypatch):
    seen = []
    monkeypatch.setattr(impl, "signdet", lambda A: seen.append(A) or 0.0)
    stoi = EXAMPLES["enzyme"]
    crn = impl.CRN(stoi)
    sel = np.array([True, True, True, False, True, True, False, False, False])
    crn.signdet_subnetwork(sel)
    want = ref.construct_A(stoi[sel[:4]][:, sel[4:]], crn.reginfo[sel[:4]][:, sel[4:]])
    np.testing.assert_array_equal(seen[0], want)


def test_subnetwork_matches_reference(cq, subnet_seed):
    stoi, reginfo, desc = make_network(subnet_seed * 7 + 1)
    m, n = stoi.shape
    sel = random_selection(subnet_seed, m, n, 0.6)
    got_crn, want_crn = twins(cq, stoi, reginfo)
    assert_same_draws(lambda: got_crn.signdet_subnetwork(sel),
                      lambda: want_crn.signdet_subnetwork(sel), subnet_seed, desc)
