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
from netgen import make_network, twins

from quelmar import _structure as structure

from quelmar.loaders import read_network_json



def load_network(name):
    net = read_network_json(os.path.join(support.NETWORKS, name + ".network.json"))
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
    crn, ref = twins(cq, np.array([[-1.0], [1.0]]), np.array([[np.inf], [np.inf]]))
    crn.A = np.array([[np.inf, np.inf], [0.0, 0.0]])
    ref.A = np.array([[np.inf, np.inf], [0.0, 0.0]])
    assert structure.dulmage_mendelsohn(crn.A)[0] == 1
    out = support.assert_same_draws(lambda: crn._smat_(2), lambda: ref._smat_(2), 3)
    assert not out.any()


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


def test_threads_leave_the_pattern_unchanged(monkeypatch):
    # a reduced matrix of order above 256, whose elimination is shared out
    # among two threads unless OMP_NUM_THREADS asks for one
    rng = np.random.default_rng(3)
    m, n = 400, 430
    stoi = np.zeros((m, n))
    for j in range(n):
        # every species is consumed by a reaction, so its column is regulated
        first = j if j < m else rng.integers(m)
        species = [first, *((first + 1 + rng.choice(m - 1, size=3, replace=False)) % m)]
        stoi[species[0], j] -= 1.0
        if j % 3:
            stoi[species[1], j] -= 2.0
        stoi[species[2], j] += 1.0 + (j % 2)
        if j % 5 == 0:
            stoi[species[3], j] += 0.25
    crn = cq.CRN(stoi)
    assert np.linalg.matrix_rank(stoi) > 256
    patterns, matrices = [], []
    for round, threads in enumerate(("1", None, "2")):
        if threads is None:
            monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
        else:
            monkeypatch.setenv("OMP_NUM_THREADS", threads)
        np.random.seed(11)
        patterns.append(np.asarray(crn._smat_(2)))
        # the A-matrix's reductions on as many threads (a regulation entry
        # of its own each round, so that the A-matrix is built again)
        reginfo = np.where(stoi < 0, np.inf, 0.0)
        reginfo[round, 0] = -np.inf
        A = np.asarray(cq.CRN(stoi, reginfo).A)
        matrices.append(A[:, m:].tobytes() + A[n:, :].tobytes())
    assert patterns[0].any() and not patterns[0].all()
    assert np.array_equal(patterns[0], patterns[1])
    assert np.array_equal(patterns[0], patterns[2])
    assert matrices[0] == matrices[1] == matrices[2]


# -- response signs against the expanded polynomials ---------------------------


def expanded_signs(stoi, reginfo):
    """Signs of -(A^-1)[species, reactions] from the A-matrix with exact bases
    and one symbol per free entry, each ratio cancelled to lowest terms and
    decided by the coefficient signs of what remains (None: not regular)."""
    sympy = pytest.importorskip("sympy")
    m, n = stoi.shape
    S = support.to_fractions(stoi)
    cycles = support.kernel(S, n)
    conserved = support.kernel(support.transpose(S), m)
    N = m + len(cycles)
    if n + len(conserved) != N:
        return None
    M = sympy.zeros(N, N)
    positive, either = [], []
    for j in range(n):
        for i in range(m):
            r = reginfo[i, j]
            if np.isnan(r):
                x = sympy.Symbol(f"y{i}_{j}")
                either.append(x)
                M[j, i] = x
            elif np.isinf(r):
                x = sympy.Symbol(f"x{i}_{j}")
                positive.append(x)
                M[j, i] = x if r > 0 else -x
            else:
                M[j, i] = sympy.nsimplify(r)
        for k, c in enumerate(cycles):
            M[j, m + k] = sympy.Rational(c[j].numerator, c[j].denominator)
    for l, d in enumerate(conserved):
        for i in range(m):
            M[n + l, i] = sympy.Rational(d[i].numerator, d[i].denominator)
    gens = positive + either
    det = sympy.expand(M.det(method="berkowitz"))
    if det == 0:
        return None
    adj = M.adjugate(method="berkowitz")

    def one_sign(p):
        poly = sympy.Poly(p, *gens) if gens else sympy.Poly(p, sympy.Symbol("z"))
        if any(poly.degree(y) > 0 for y in either):
            return 0
        coeffs = poly.coeffs()
        return 1 if all(c > 0 for c in coeffs) else -1 if all(c < 0 for c in coeffs) else 0

    out = np.zeros((m, n))
    for i in range(m):
        for j in range(n):
            num, den = sympy.fraction(sympy.cancel(-adj[i, j] / det))
            if num == 0:
                continue
            a, b = one_sign(sympy.expand(num)), one_sign(sympy.expand(den))
            out[i, j] = a * b if a and b else np.nan
    return out


def directed_network(seed, rng):
    """A random network whose free dependences take every direction (rising,
    falling, either) as rng draws them."""
    stoi, reginfo = make_network(seed)[:2]
    if reginfo is None:
        reginfo = np.where(stoi < -reference.TOL, np.inf, 0.0)
    reginfo = np.array(reginfo)
    free = np.isinf(reginfo)
    reginfo[free] = rng.choice([np.inf, np.inf, -np.inf, np.nan], int(free.sum()))
    return stoi, reginfo


def test_response_signs_equal_the_expanded_polynomials():
    from quelmar.signs import CERTIFIED, EXACT, sign_decisions

    rng = np.random.default_rng(25)
    checked = decided = either = 0
    for seed in range(400):
        stoi, reginfo = directed_network(seed, rng)
        crn = cq.CRN(stoi, reginfo)
        if not 2 <= np.array(crn.A).shape[0] <= 5 or np.isfinite(np.array(crn.A)).all():
            continue
        expected = expanded_signs(stoi, reginfo)
        if expected is None:
            continue
        state = np.random.get_state()
        got = sign_decisions(crn, sensitivity=expected != 0)
        assert support.same_state(np.random.get_state(), state)
        assert np.array_equal(got.signs, expected, equal_nan=True), (seed, got.signs, expected)
        checked += 1
        decided += int(np.sum(got.method == EXACT))
        either += int(np.sum(np.isnan(expected)))
        assert np.all((got.method == EXACT) | (got.method == CERTIFIED) | (expected == 0))
        if checked == 30:
            break
    assert checked == 30 and decided > 40 and either > 40, (checked, decided, either)


def test_determinate_response_signs_agree_with_kinetics():
    # Brown 2004 reaches a stable steady state; raising each rate law by a
    # factor moves the species' steady levels as the determinate signs say
    roadrunner = pytest.importorskip("roadrunner")
    libsbml = pytest.importorskip("libsbml")
    import quelmar
    from quelmar.signs import sign_decisions

    path = os.path.join(support.MODELS, "BIOMD0000000033_Brown2004.xml")
    crn = quelmar.load(path)
    signs = sign_decisions(crn).signs
    determinate = (signs == 1.0) | (signs == -1.0)
    columns = np.flatnonzero(determinate.any(axis=0))
    assert determinate.sum() >= 40
    doc = libsbml.readSBML(path)
    model = doc.getModel()
    for j in columns:
        rid = crn.R_names[j]
        law = model.getReaction(rid).getKineticLaw()
        p = model.createParameter()
        p.setId("scale_" + rid)
        p.setValue(1.0)
        p.setConstant(True)
        law.setMath(libsbml.parseL3Formula(
            f"scale_{rid} * ({libsbml.formulaToL3String(law.getMath())})"))
    roadrunner.Logger.setLevel(roadrunner.Logger.LOG_FATAL)
    rr = roadrunner.RoadRunner(libsbml.writeSBMLToString(doc))
    rr.conservedMoietyAnalysis = True
    rr.simulate(0, 2000, 200)

    def steady():
        rr.steadyState()
        levels = rr.getFloatingSpeciesConcentrationsNamedArray()
        order = [s.strip("[]") for s in levels.colnames]
        return np.array(levels).ravel()[[order.index(s) for s in crn.X_names]]

    base = steady()
    assert np.max(np.linalg.eigvals(rr.getReducedJacobian()).real) < 0
    agree = 0
    h = 1e-4
    for j in columns:
        rid = crn.R_names[j]
        rr["scale_" + rid] = 1 + h
        up = steady()
        rr["scale_" + rid] = 1 - h
        down = steady()
        rr["scale_" + rid] = 1.0
        change = (up - down) / (2 * h)
        clear = determinate[:, j] & (np.abs(change) > 1e-6 * np.abs(base))
        assert np.all(np.sign(change[clear]) == signs[clear, j]), rid
        agree += int(clear.sum())
    assert agree >= 20


# -- factors of the determinant over the hierarchy ---------------------------


def test_fixed_block_determinant_signs_hold_at_every_instance():
    # a sign fixed by the expanded blocks is the sign at every admissible
    # instance, and never the opposite of what signdet finds
    from quelmar.factors import det_sign
    from quelmar.signs import EXACT, instance

    rng = np.random.default_rng(24)
    fixed = either = 0
    for seed in range(200):
        stoi, reginfo = directed_network(seed, rng)
        A = np.array(cq.CRN(stoi, reginfo).A)
        if not 2 <= A.shape[0] <= 8:
            continue
        state = np.random.get_state()
        sign, method, _ = det_sign(A, stoi)
        assert support.same_state(np.random.get_state(), state)
        if method != EXACT:
            continue
        if np.isnan(sign):
            either += 1
            continue
        for spread in (1.0, 3.0) * 50:
            M = instance(A, rng, spread)
            d = np.linalg.det(M)
            hadamard = np.prod(np.linalg.norm(M, axis=1))
            if sign == 0:  # vanishes identically: rounding only
                assert abs(d) <= 1e-9 * hadamard, (seed, d)
            else:
                assert np.sign(d) == sign or abs(d) <= 1e-9 * hadamard, (seed, sign, d)
        fixed += sign != 0
        np.random.seed(seed)
        assert cq.signdet(A) in (sign, np.nan) or np.isnan(cq.signdet(A))
    assert fixed > 20 and either > 5, (fixed, either)


@pytest.mark.parametrize("path", [
    os.path.join(support.MODELS, "BIOMD0000000033_Brown2004.xml"),
    os.path.join(support.NETWORKS, "e_coli_core.network.json"),
    os.path.join(support.MODELS, "BIOMD0000000005_Tyson1991.xml"),
])
def test_bifurcation_factors_agree_with_the_indicator_diagnosis(path):
    pytest.importorskip("libsbml")
    import quelmar
    from quelmar.analysis import copy_crn
    from quelmar.factors import bifurcation_factors

    crn = quelmar.load(path)
    np.random.seed(0)
    state = np.random.get_state()
    factors = bifurcation_factors(crn)
    assert support.same_state(np.random.get_state(), state)
    records = cq.indicator_diagnose(copy_crn(crn))
    signs = {(frozenset(r["chemicals"]), frozenset(r["reactions"])): r["sign_det"]
             for r in records}
    both = 0
    for f in factors:
        theirs = signs.get((frozenset(f.species), frozenset(f.reactions)))
        if theirs is not None and not np.isnan(theirs) and not np.isnan(f.sign):
            assert f.sign == theirs, (f, theirs)
            both += 1
    # every species and reaction lies in exactly one factor
    assert sorted(x for f in factors for x in f.species) == sorted(crn.X_names)
    assert sorted(x for f in factors for x in f.reactions) == sorted(crn.R_names)
    assert both >= min(len(records) - 1, 4)
