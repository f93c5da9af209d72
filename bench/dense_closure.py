"""Generated networks whose buffering structures are many and overlap: the
shape of curated kinetic models of a few hundred species where the search
finds tens of thousands of structures and their hierarchy has many
inclusions.

:func:`pathway_network` builds ``pathways`` unbranched pathways (seeded
lengths around ``length``): an inflow feeds the first species, each species
is converted to the next and is degraded, the last one flows out, every
rate reads its substrate.  Perturbing a species or a reaction of a pathway
moves everything downstream of it, so the closures in a pathway are its
nested tails, and every union of two tails of different pathways is a
structure: about ``(pathways * length)**2 / 2`` structures, each nested in
many others.  With ``crosstalk`` > 0, that fraction of the pathways' species
also regulate the degradation of a species further down another pathway,
which joins the tails of the two into overlapping (no longer nested)
closures.

``python bench/dense_closure.py [PATHWAYS LENGTH]`` prints the sizes, the
A-matrix order and, when asked with ``--search``, the number of structures
and the search time.
"""

import numpy as np


def pathway_network(pathways=10, length=40, crosstalk=0.0, seed=0):
    """``(stoi, reginfo, species, reactions, name)`` of a network of
    ``pathways`` pathways of about ``length`` species each (see the module)."""
    rng = np.random.default_rng([pathways, length, seed])
    lengths = [max(2, int(length + rng.integers(-length // 5, length // 5 + 1)))
               for _ in range(pathways)]
    species, columns, reads = [], [], []  # reads: (species, reaction) regulation

    def reaction(name, entries, readers):
        columns.append((name, entries))
        for s in readers:
            reads.append((s, len(columns) - 1))

    first = []
    for p, c in enumerate(lengths):
        base = len(species)
        first.append(base)
        species.extend(f"P{p}_{i}" for i in range(c))
        reaction(f"in{p}", [(base, 1)], [])
        for i in range(c):
            s = base + i
            if i + 1 < c:
                reaction(f"v{p}_{i}", [(s, -1), (s + 1, 1)], [s])
            else:
                reaction(f"out{p}", [(s, -1)], [s])
            reaction(f"d{p}_{i}", [(s, -1)], [s])
    # crosstalk: a species regulates a degradation further down another pathway
    degradations = {name: j for j, (name, _) in enumerate(columns) if name.startswith("d")}
    for p, c in enumerate(lengths):
        for i in range(c):
            if rng.random() < crosstalk:
                q = int(rng.choice([x for x in range(pathways) if x != p]))
                k = int(rng.integers(lengths[q] // 2, lengths[q]))
                reads.append((first[p] + i, degradations[f"d{q}_{k}"]))

    m, n = len(species), len(columns)
    stoi = np.zeros((m, n))
    for j, (_, entries) in enumerate(columns):
        for i, v in entries:
            stoi[i, j] += v
    reginfo = np.zeros((m, n))
    for i, j in reads:
        reginfo[i, j] = np.inf
    name = f"pathways{pathways}x{length}" + (f"-crosstalk{crosstalk:g}" if crosstalk else "")
    return stoi, reginfo, species, [c[0] for c in columns], name


if __name__ == "__main__":
    import sys
    import time

    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    pathways, length = (int(args[0]), int(args[1])) if len(args) >= 2 else (10, 40)
    crosstalk = float(args[2]) if len(args) >= 3 else 0.0
    stoi, reginfo, species, reactions, name = pathway_network(pathways, length, crosstalk)
    from quelmar.cyquelmar import CRN

    crn = CRN(stoi, reginfo, species, reactions, name)
    print(name, stoi.shape, "order", crn.A.shape[0])
    if "--search" in sys.argv:
        np.random.seed(0)
        start = time.perf_counter()
        found = crn.search_for_isoBSs()
        print(len(found), "structures in %.1f s" % (time.perf_counter() - start))
        if "--hierarchy" in sys.argv:
            from quelmar.hasse import hasse_diagram

            member = np.array(found, dtype=bool)
            start = time.perf_counter()
            kids = hasse_diagram(member)
            print(sum(map(len, kids)), "edges in %.1f s" % (time.perf_counter() - start))
