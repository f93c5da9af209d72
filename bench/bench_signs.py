"""Response signs and the factors of det A on real networks.

``sign_decisions`` with the sensitivity given (as ``analyze(...,
signs=True)`` calls it), and ``bifurcation_factors`` with the structures
given (as ``analyze(..., factors=True)`` calls it).  The note counts the
decisions by method.  Against the analysis itself: ``analyze`` on the same
network is the baseline of the signs, which should stay well below it.
"""

from harness import Case

from networks import load_network


def prepared(key):
    def setup():
        import numpy as np

        from quelmar.cyquelmar import CRN
        stoi, reginfo, species, reactions, name = load_network(key)
        crn = CRN(stoi, reginfo, species, reactions, name)
        state = np.random.get_state()
        np.random.seed(0)
        sensitivity = crn._smat_()
        structures = crn.search_for_isoBSs()
        np.random.set_state(state)
        return {"crn": crn, "sensitivity": sensitivity, "structures": structures,
                "note": None}
    return setup


def signs(state):
    from quelmar.signs import sign_decisions
    counts = sign_decisions(state["crn"], sensitivity=state["sensitivity"]).counts()
    state["note"] = (f"{counts['exact']} exact, {counts['certified']} certified, "
                     f"{counts['randomised']} randomised")


def analysis(state):
    import quelmar
    quelmar.analyze(state["crn"], seed=0, diagnose=False, progress=False)


def factors(state):
    from quelmar.factors import bifurcation_factors
    found = bifurcation_factors(state["crn"], structures=state["structures"])
    methods = [f.method for f in found]
    state["note"] = ", ".join(f"{methods.count(m)} {m}" for m in sorted(set(methods)))


def note(state):
    return state["note"]


CASES = [
    Case(name="sign_decisions", params={"network": key}, setup=prepared(key), func=signs,
         baseline=analysis, report=note, seed=None, quick=key == "mini_textbook")
    for key in ("mini_textbook", "BIOMD0000000033_Brown2004", "e_coli_core")
] + [
    Case(name="bifurcation_factors", params={"network": key}, setup=prepared(key),
         func=factors, report=note, seed=None, quick=key == "mini_textbook")
    for key in ("mini_textbook", "BIOMD0000000033_Brown2004", "e_coli_core")
]
