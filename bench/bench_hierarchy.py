"""Hierarchy of buffering structures: ``hasse_diagram`` on families shaped
like the structures of the prepared iJO1366.

That network (1597 species, 2368 reactions: 3965 elements) has 161066
structures: 160342 small ones of two to twenty elements (most of four or
six) and 724 that leave out between 86 and 117 elements, all of them among
117.  The families here are drawn the same way (seeded): ``small`` random
small sets of two to eight elements and ``large`` sets leaving out a few of
120 chosen elements, plus the whole set.  The note is the number of edges.
The baseline of the smallest family is the pairwise comparison of Python
sets (quadratic in the number of structures, with a cubic transitive
reduction); that of the others (``baseline=products``) is the hierarchy as
it was computed before, from all strict inclusions by sparse matrix
products and then their transitive reduction (``hasse_products.py``).

``hasse_diagram[pathways=...]``: the structures of the generated networks
of ``dense_closure.py`` (nested tails of pathways and their unions, found
by the search before the clock starts): 22723 structures for 10 pathways of
about 20 species, 77020 for 10 of about 40 (A-matrix order 816), where the
number of inclusions grows as the square of the number of structures; the
products baseline runs on the smaller one only (at the larger it grows past
10 GB).
"""

from harness import Case

ELEMENTS = 3965
LEFT_OUT = 120


def family(small, large):
    def setup():
        import numpy as np

        rng = np.random.default_rng(0)
        member = np.zeros((small + large + 1, ELEMENTS), dtype=bool)
        for k in range(small):
            member[k, rng.choice(ELEMENTS, rng.integers(2, 9), replace=False)] = True
        holes = rng.choice(ELEMENTS, LEFT_OUT, replace=False)
        for k in range(small, small + large):
            member[k] = True
            member[k, rng.choice(holes, rng.integers(80, LEFT_OUT), replace=False)] = False
        member[-1] = True
        return {"member": member, "edges": None}
    return setup


def hasse(state):
    from quelmar.hasse import hasse_diagram

    state["edges"] = sum(map(len, hasse_diagram(state["member"])))


def products(state):
    from hasse_products import hasse_diagram

    hasse_diagram(state["member"])


def pathways(count, length):
    def setup():
        import numpy as np

        from dense_closure import pathway_network
        from quelmar.cyquelmar import CRN

        np.random.seed(0)
        found = CRN(*pathway_network(count, length)).search_for_isoBSs()
        return {"member": np.array(found, dtype=bool), "edges": None}
    return setup


def pairwise(state):
    sets = [frozenset(row.nonzero()[0].tolist()) for row in state["member"]]
    below = [[j for j, b in enumerate(sets) if b < a] for a in sets]
    [[j for j in inside if not any(sets[j] < sets[k] for k in inside if k != j)]
     for inside in below]


def with_children(small, large):
    make = family(small, large)

    def setup():
        from quelmar.hasse import hasse_diagram
        state = make()
        state["children"] = hasse_diagram(state["member"])
        return state
    return setup


def irreducible(state):
    from quelmar.irreducible import irreducible_rows
    state["edges"] = len(irreducible_rows(state["member"], state["children"]))


def report_irreducible(state):
    return None if state["edges"] is None else f"{state['edges']} irreducible"


def report(state):
    return None if state["edges"] is None else f"{state['edges']} edges"


CASES = [
    Case(name="hasse_diagram", params={"small": 300, "large": 100},
         setup=family(300, 100), func=hasse, baseline=pairwise, report=report,
         seed=None, quick=True),
    Case(name="hasse_diagram", params={"small": 20000, "large": 700, "baseline": "products"},
         setup=family(20000, 700), func=hasse, baseline=products, report=report, seed=None),
    Case(name="hasse_diagram", params={"small": 160000, "large": 724, "baseline": "products"},
         setup=family(160000, 724), func=hasse, baseline=products, report=report, seed=None,
         slow=True),
    Case(name="hasse_diagram", params={"pathways": 10, "length": 20, "baseline": "products"},
         setup=pathways(10, 20), func=hasse, baseline=products, report=report, seed=None,
         slow=True),
    Case(name="hasse_diagram", params={"pathways": 10, "length": 40},
         setup=pathways(10, 40), func=hasse, report=report, seed=None, slow=True),
    # the irreducible structures, from the hierarchy (computed in the setup)
    Case(name="irreducible", params={"small": 20000, "large": 700},
         setup=with_children(20000, 700), func=irreducible, report=report_irreducible,
         seed=None, quick=True),
]
