"""Network construction: ``CRN(stoi, reginfo, X_names, R_names, name)``.

Time and peak memory of building the network object (A-matrix,
conserved-quantity classes, output-completeness matrix) for every network in
data/networks, the genome-scale iJO1366 included.  Loading the file is not
timed.  The small networks are compared with the NumPy model of the test
suite (``tests/reference.py``); the two largest are not, the model being far
too slow there.  iJO1366 (about 1 s, most of it the two reductions of its
stoichiometry matrix) is timed over repeated rounds like the others.

``CRN`` finds the A-matrix of a large network built before again by its
matrices' bits, so each round of a large network changes the value of one
regulation entry (a fixed entry of the A-matrix, which costs nothing to the
reductions); ``baseline=again`` times building from the same matrices, the
A-matrix found again.
"""


import numpy as np
from harness import Case, reference
from networks import list_networks, load_network

# Networks on which the NumPy model is also run, and those in --quick.
LARGE = {"e_coli_core", "iJO1366"}
QUICK = {"BIOMD0000000005_Tyson1991", "BIOMD0000000009_HuangFerrell1996",
         "mini_textbook"}




def setup_for(key, with_reference):
    def setup():
        from quelmar.cyquelmar import CRN

        return {"net": load_network(key), "CRN": CRN,
                "ref": reference() if with_reference else None}
    return setup


def construct(state):
    stoi, reginfo = state["net"][:2]
    if stoi.size >= 1 << 16:  # a network whose A-matrix would be found again
        state["round"] = state.get("round", 0) + 1
        i, j = state.setdefault("entry", tuple(np.argwhere(np.isfinite(reginfo))[0]))
        reginfo[i, j] = 1.0 + 1e-9 * state["round"]
    state["CRN"](*state["net"])


def construct_again(state):
    state["CRN"](*state["net"])


def construct_reference(state):
    state["ref"].CRN(*state["net"])


def cases():
    out = []
    for key in list_networks():
        small = key not in LARGE
        again = key == "iJO1366"
        out.append(Case(
            name="construct",
            params={"network": key, **({"baseline": "again"} if again else {})},
            setup=setup_for(key, small),
            func=construct,
            baseline=construct_reference if small else construct_again if again else None,
            seed=None,
            quick=key in QUICK,
        ))
    return out


CASES = cases()
