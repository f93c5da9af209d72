"""Determinant-sign test: cost of one objective evaluation, and of a whole call.

``signdet.vardetA``: objective evaluations per second of the module's own
objective (the ``vardetA`` closure that ``signdet`` hands to
``scipy.optimize.minimize``) against the same steps written in NumPy:

    varA = np.array(A); varA[varposition] = z
    varA[P] = varA[P] ** 2; varA[N] = -(varA[N] ** 2)
    math.atan(det(varA))

with ``det`` from LAPACK's ``dgetrf`` through ``scipy.linalg.lapack`` (the
product of the diagonal of U with the pivot sign flips), or from
``np.linalg.det``.  The matrices are n x n float64 with about 30% of the
entries +inf, 5% -inf and 5% NaN (the free entries), the rest N(0, 1).

The module's objective is taken from a ``signdet`` call: ``minimize`` is a
global of ``quelmar.cyquelmar`` looked up at each call, so it is replaced for
one ``signdet(A, trials=1)`` call by a stub that records its ``fun``
arguments, then restored.

``signdet``: one whole ``signdet(A)`` call (10 trials of two minimisations),
against the NumPy model of the test suite (``tests/reference.py``).

``signdet.differences``: ``_signdet_differences(A)`` (the same minimisations,
each handed its forward-difference gradient taken in one call) against
``signdet(A)``, on the random matrices and on the A-matrix of e_coli_core
(order 95, 252 free entries: each gradient is 252 determinants, so the
determinants themselves are most of the time there; with ``threads=2``
each gradient's determinants are shared out between two threads, LAPACK
held to one thread as the analysis holds it).  The note says whether the
two gave the same sign and left NumPy's generator alike.
"""

import contextlib
import math

import numpy as np
from scipy.linalg.lapack import dgetrf

from harness import Case, reference

SIZES = (5, 10, 20)
BATCH = 200          # objective evaluations per timed call
FRACTIONS = {"+inf": 0.30, "-inf": 0.05, "nan": 0.05}


def random_matrix(n, seed=None):
    """n x n float64 with +inf, -inf and NaN free entries in fixed proportions."""
    rng = np.random.default_rng(1000 + n if seed is None else seed)
    A = rng.normal(size=(n, n))
    cells = rng.permutation(n * n)
    k_pos = int(round(FRACTIONS["+inf"] * n * n))
    k_neg = max(1, int(round(FRACTIONS["-inf"] * n * n)))
    k_nan = max(1, int(round(FRACTIONS["nan"] * n * n)))
    flat = A.reshape(-1)
    flat[cells[:k_pos]] = np.inf
    flat[cells[k_pos:k_pos + k_neg]] = -np.inf
    flat[cells[k_pos + k_neg:k_pos + k_neg + k_nan]] = np.nan
    return A


def free_entries(A):
    varposition = ~(np.abs(A) < np.inf)
    P = varposition & (np.sign(A) > 0)
    N = varposition & (np.sign(A) < 0)
    return varposition, P, N


# ---------------------------------------------------------------------------
# The module's objective

class _Result:
    fun = 0.0


@contextlib.contextmanager
def minimize_replaced(module, stub):
    """``module.minimize`` (looked up at each signdet call) replaced by stub."""
    saved = module.minimize
    module.minimize = stub
    try:
        yield
    finally:
        module.minimize = saved


def capture_objectives(A):
    """The functions that ``signdet(A, trials=1)`` passes to ``minimize``."""
    from quelmar import cyquelmar

    captured = []

    def stub(*args, **kwargs):
        captured.append(kwargs.get("fun", args[0] if args else None))
        return _Result()

    with minimize_replaced(cyquelmar, stub):
        cyquelmar.signdet(A, trials=1)
    return captured


def module_vardetA(A):
    """The module's ``vardetA`` for ``A``, or None if it is not found."""
    for fn in capture_objectives(A):
        if getattr(fn, "__name__", "") == "vardetA":
            return fn
    return None


def evaluate_during_signdet(A, zs):
    """Evaluate the module's ``vardetA`` on every z inside a ``signdet`` call.

    Used when the objective cannot be called once ``signdet`` has returned.
    """
    from quelmar import cyquelmar

    def stub(*args, **kwargs):
        fn = kwargs.get("fun", args[0] if args else None)
        if getattr(fn, "__name__", "") == "vardetA":
            for z in zs:
                fn(z)
        return _Result()

    with minimize_replaced(cyquelmar, stub):
        cyquelmar.signdet(A, trials=1)


# ---------------------------------------------------------------------------
# The same steps in NumPy

def numpy_vardetA(A, det="dgetrf"):
    varposition, P, N = free_entries(A)
    n = A.shape[0]
    identity = np.arange(n, dtype=np.int32)

    if det == "dgetrf":
        def determinant(varA):
            # varA is C-ordered, so varA.T is its Fortran-ordered transpose,
            # with the same determinant.
            lu, piv, info = dgetrf(varA.T)
            if info != 0:
                return math.nan
            d = float(np.prod(np.diagonal(lu)))
            return -d if np.count_nonzero(piv != identity) % 2 else d
    else:
        determinant = np.linalg.det

    def vardetA(varsz):
        varA = np.array(A)
        varA[varposition] = varsz
        varA[P] = varA[P] ** 2
        varA[N] = -(varA[N] ** 2)
        return math.atan(determinant(varA))

    return vardetA


class ObjectiveState:
    def __init__(self, n, det):
        self.A = random_matrix(n)
        self.k = int(free_entries(self.A)[0].sum())
        rng = np.random.default_rng(n)
        self.zs = [rng.normal(size=self.k, scale=10.0) for _ in range(BATCH)]
        self.subject = module_vardetA(self.A)
        self.live = False
        if self.subject is None:
            raise RuntimeError("signdet passed no function named vardetA to minimize")
        try:
            self.subject(self.zs[0])
        except RuntimeError:
            # The objective ends with its signdet call: time it inside one.
            self.live = True
        self.reference = numpy_vardetA(self.A, det)


def objective_setup(n, det):
    return lambda: ObjectiveState(n, det)


def run_module(state):
    if state.live:
        evaluate_during_signdet(state.A, state.zs)
        return
    f = state.subject
    for z in state.zs:
        f(z)


def run_numpy(state):
    f = state.reference
    for z in state.zs:
        f(z)


def check_objective(state):
    if state.live:
        return "objective timed inside signdet (not callable after it returns)"
    bad = 0
    for z in state.zs[:20]:
        a, b = state.subject(z), state.reference(z)
        if not (a == b or (math.isnan(a) and math.isnan(b)) or math.isclose(a, b, rel_tol=1e-9)):
            bad += 1
    if bad:
        return "module and NumPy objectives differ on %d of 20 points" % bad
    return None


def objective_cases():
    cases = []
    for n in SIZES:
        k = int(free_entries(random_matrix(n))[0].sum())
        for det, label in (("dgetrf", "lapack.dgetrf"), ("linalg", "np.linalg.det")):
            cases.append(Case(
                name="signdet.vardetA",
                params={"n": n, "k": k, "vs": label},
                setup=objective_setup(n, det),
                func=run_module,
                baseline=run_numpy,
                check=check_objective,
                per=BATCH,
                unit="eval",
                seed=None,
                quick=True,
                note="target ratio >= 10" if n == 10 else "",
            ))
    return cases


# ---------------------------------------------------------------------------
# Whole signdet calls



def signdet_setup(n):
    def setup():
        from quelmar import cyquelmar

        return {"A": random_matrix(n), "module": cyquelmar, "reference": reference()}
    return setup


def call_module_signdet(state):
    state["module"].signdet(state["A"])


def call_reference_signdet(state):
    state["reference"].signdet(state["A"])


def signdet_cases():
    cases = []
    for n in (5, 10):
        k = int(free_entries(random_matrix(n))[0].sum())
        cases.append(Case(
            name="signdet",
            params={"n": n, "k": k, "trials": 10, "vs": "reference"},
            setup=signdet_setup(n),
            func=call_module_signdet,
            baseline=call_reference_signdet,
            seed=0,
            quick=(n == 5),
        ))
    return cases


def differences_setup(n):
    def setup():
        from quelmar import cyquelmar

        if n == "e_coli_core":
            from networks import load_network
            A = cyquelmar.CRN(*load_network("e_coli_core")).A
        else:
            A = random_matrix(n)
        return {"A": np.array(A), "module": cyquelmar, "out": {}}
    return setup


def differences_of(name, threads=1, limit=False):
    def call(state):
        from threadpoolctl import threadpool_limits

        kw = {"threads": threads} if threads > 1 else {}
        with threadpool_limits(1, "blas") if limit else contextlib.nullcontext():
            sign = getattr(state["module"], name)(state["A"], **kw)
        state["out"][name] = (repr(sign), np.random.get_state()[1].tobytes())
    return call


def differences_report(state):
    out = state["out"]
    if len(out) < 2:
        return None
    return ("same sign and generator" if out["signdet"] == out["_signdet_differences"]
            else "DIFFERENT from signdet")


def differences_cases():
    cases = []
    for n, threads in ((5, 1), (10, 1), (20, 1), ("e_coli_core", 1), ("e_coli_core", 2)):
        A = None if n == "e_coli_core" else random_matrix(n)
        cases.append(Case(
            name="signdet.differences",
            params={"n": 95 if A is None else n,
                    "k": 252 if A is None else int(free_entries(A)[0].sum()),
                    "threads": threads, "vs": "signdet"},
            setup=differences_setup(n),
            func=differences_of("_signdet_differences", threads, threads > 1),
            baseline=differences_of("signdet", 1, threads > 1),
            report=differences_report,
            seed=0,
            quick=(n == 5),
        ))
    return cases


CASES = objective_cases() + signdet_cases() + differences_cases()
