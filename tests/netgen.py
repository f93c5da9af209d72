"""Example networks and the random network generator shared by the test
modules (the fixtures in conftest.py wrap them)."""


import numpy as np

import reference as ref


# ---------------------------------------------------------------------------
# Example networks
# ---------------------------------------------------------------------------

EXAMPLES = {
    # one species, two reactions: X0 -> 0, 0 -> X0 (one cycle, no conserved quantity)
    "inflow_outflow": np.array([[-1.0, 1.0]]),
    # two species, one reaction: X0 -> X1 (one conserved quantity X0 + X1)
    "conversion": np.array([[-1.0], [1.0]]),
    # X0 -> X1, 0 -> X0: {X0, R0, R1} has an emergent cycle
    "emergent": np.array([[-1.0, 1.0], [1.0, 0.0]]),
    # X0 -> X1, X1 -> X0: {X0, R0, R1} has no emergent cycle
    "reversible": np.array([[-1.0, 1.0], [1.0, -1.0]]),
    # species without reactions: identity A-matrix
    "no_reactions": np.zeros((3, 0)),
    # the empty network
    "empty": np.zeros((0, 0)),
    # 0 -> X0, X0 -> X1, X0 -> X2: no rate depends on X1 or X2 and nothing
    # limits R0, so A has a zero row and two zero columns (structural rank
    # below L - 1: every cofactor vanishes whatever the drawn values)
    "structurally_singular": np.array([[1.0, -1.0, -1.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
    # a chain 0 -> X0 -> X1 -> X2 -> 0
    "chain": np.array([[1.0, -1.0, 0.0, 0.0], [0.0, 1.0, -1.0, 0.0], [0.0, 0.0, 1.0, -1.0]]),
    # two independent modules: 0 -> X0 -> 0 and 0 -> X1 <-> X2 -> 0
    "two_modules": np.array(
        [
            [1.0, -1.0, 0.0, 0.0, 0.0, 0.0],
            [0.0, 0.0, 1.0, -1.0, 1.0, 0.0],
            [0.0, 0.0, 0.0, 1.0, -1.0, -1.0],
        ]
    ),
    # enzyme-like: E + S -> C, C -> E + S, C -> E + P, P -> 0, 0 -> S
    "enzyme": np.array(
        [
            [-1.0, 1.0, 1.0, 0.0, 0.0],  # E
            [-1.0, 1.0, 0.0, 0.0, 1.0],  # S
            [1.0, -1.0, -1.0, 0.0, 0.0],  # C
            [0.0, 0.0, 1.0, -1.0, 0.0],  # P
        ]
    ),
}



# ---------------------------------------------------------------------------
# Random networks
# ---------------------------------------------------------------------------


def _random_reaction(rng, m):
    """One reaction column: up to two reactants and up to two products."""
    col = np.zeros(m)
    species = rng.permutation(m)
    nr = int(rng.integers(0, 3))
    npr = int(rng.integers(0, 3))
    if nr + npr == 0:
        nr = 1
    nr = min(nr, m)
    npr = min(npr, m - nr)
    for i in species[:nr]:
        col[i] -= rng.choice([1, 1, 1, 2])
    for i in species[nr:nr + npr]:
        col[i] += rng.choice([1, 1, 1, 2])
    return col


def make_network(seed):
    """A random network for the given seed: (stoi, reginfo or None, description).

    Styles: chemical-looking reactions (with inflows and outflows), closed
    conversion networks (conserved quantities), reversible pairs and repeated
    combinations (cycles), plain random integer matrices, and occasionally an
    explicit regulation matrix with extra +inf, finite or removed entries.
    """
    rng = np.random.default_rng([20240613, seed])
    style = seed % 5
    m = int(rng.integers(1, 8))
    n = int(rng.integers(1, 9))
    if style == 0:  # chemical reactions with in/outflows
        stoi = np.column_stack([_random_reaction(rng, m) for _ in range(n)])
    elif style == 1:  # closed conversions X_a -> X_b: conserved totals
        stoi = np.zeros((m, n))
        for j in range(n):
            if m == 1:
                stoi[0, j] = rng.choice([-1.0, 1.0])
                continue
            a, b = rng.choice(m, size=2, replace=False)
            stoi[a, j] = -1.0
            stoi[b, j] = 1.0
    elif style == 2:  # reversible pairs and sums of reactions: cycles
        base = max(1, n // 2)
        cols = [_random_reaction(rng, m) for _ in range(base)]
        while len(cols) < n:
            kind = rng.integers(0, 3)
            if kind == 0:
                cols.append(-cols[int(rng.integers(0, len(cols)))])
            elif kind == 1:
                i, j = rng.integers(0, len(cols), size=2)
                cols.append(cols[i] + cols[j])
            else:
                cols.append(_random_reaction(rng, m))
        stoi = np.column_stack(cols[:n])
    elif style == 3:  # sparse random integers
        stoi = rng.integers(-2, 3, size=(m, n)).astype(float)
        stoi[rng.random((m, n)) < 0.45] = 0.0
    else:  # small networks with duplicated species rows (dependent rows)
        stoi = np.column_stack([_random_reaction(rng, m) for _ in range(n)])
        if m >= 2:
            stoi[m - 1] = stoi[0] * rng.choice([-1.0, 1.0, 2.0])
    stoi = np.ascontiguousarray(stoi, dtype=float) + 0.0  # no negative zeros
    reginfo = None
    if rng.random() < 0.3:
        reginfo = np.where(stoi < -ref.TOL, np.inf, 0.0)
        extra = rng.random((m, n))
        reginfo[extra < 0.15] = np.inf  # regulation by a non-reactant
        reginfo[(extra > 0.9) & (reginfo == 0.0)] = rng.choice([0.5, 2.0, -1.0])
        reginfo[(extra > 0.85) & (extra <= 0.9)] = 0.0  # removed dependence
    return stoi, reginfo, "seed %d style %d (%d x %d)" % (seed, style, m, n)



def random_selection(seed, m, n, p=0.5):
    """A deterministic random selection vector of m + n booleans."""
    rng = np.random.default_rng([777, seed])
    return rng.random(m + n) < p




def twins(cq, stoi, reginfo=None, **kwargs):
    """The network as a CRN of the compiled module cq and one of the NumPy
    model, each built from its own copies of the matrices."""
    return tuple(mod.CRN(stoi.copy(), None if reginfo is None else reginfo.copy(), **kwargs)
                 for mod in (cq, ref))


def crn_state(crn):
    """The complete state of a CRN object as plain values (arrays copied)."""
    return {
        "name": crn.name,
        "stoi": np.array(crn.stoi),
        "reginfo": np.array(crn.reginfo),
        "X_names": list(crn.X_names),
        "R_names": list(crn.R_names),
        "A": np.array(crn.A),
        "cq_class": np.array(crn._CRN__cq_class),
        "oc_keeper": np.array(crn._CRN__oc_keeper),
    }

