"""Structural regularity and preparation.

``structural_rank``: the maximum matching of the A-matrix pattern
(``quelmar._structure``, pattern taken from the dense matrix) against
SciPy's ``structural_rank`` on the same pattern given as a sparse matrix
(the conversion to sparse is not timed).  ``regularity``: the whole
diagnosis with the reasons in words.  ``prune``: the preparation of the
network (a regular network is copied; iJO1366 is pruned to a regular one).
"""

from harness import Case
from networks import list_networks, load_network

QUICK = {"BIOMD0000000005_Tyson1991", "e_coli_core"}


def setup_for(key):
    def setup():
        import numpy as np
        from scipy.sparse import csr_matrix

        from quelmar import CRN

        crn = CRN(*load_network(key))
        A = np.array(crn.A)
        return {"crn": crn, "A": A, "sparse": csr_matrix((~(np.abs(A) < 1e-8)).astype(np.int8))}
    return setup


def rank(state):
    from quelmar import _structure
    _structure.structural_rank(state["A"])


def rank_scipy(state):
    from scipy.sparse.csgraph import structural_rank
    structural_rank(state["sparse"])


def regularity(state):
    import quelmar
    quelmar.regularity(state["crn"])


def prune(state):
    import quelmar
    quelmar.prune(state["crn"])


def cases():
    out = []
    for key in list_networks():
        big = key == "iJO1366"
        for name, func, base in (("structural_rank", rank, rank_scipy),
                                 ("regularity", regularity, None),
                                 ("prune", prune, None)):
            out.append(Case(name=name, params={"network": key}, setup=setup_for(key),
                            func=func, baseline=base, seed=None,
                            slow=big and name == "prune", quick=key in QUICK))
    return out


CASES = cases()
