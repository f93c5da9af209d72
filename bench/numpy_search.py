"""A plain NumPy/SciPy search for isolated buffering structures, the baseline
that ``bench_search.py`` measures the module's search against.

The same steps as ``CRN.search_for_isoBSs``, written the direct way: the
sensitivity matrix as the non-zero pattern of the inverse of the A-matrix
with the same random draws, the closures of the seeds through the strongly
connected components of the inclusion graph (scipy.sparse.csgraph), and the
chi-index and the emergent-cycle test from SVD ranks (numpy.linalg.matrix_rank).
"""

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components


def sensitivity(crn, trial=2):
    """Non-zero pattern of the species-by-reaction block of inv(A), OR-ed over
    ``trial`` draws of the free entries (the draws of ``CRN._smat_``)."""
    m, n = np.asarray(crn.stoi).shape
    A = np.array(crn.A, dtype=float)
    free = ~(np.abs(A) < np.inf)
    k = int(free.sum())
    out = np.zeros((m, n), dtype=bool)
    for _ in range(trial):
        R = A.copy()
        R[free] = np.random.normal(size=k, scale=10.0)
        inv = np.linalg.inv(R)
        block = np.abs(inv[:m, :n])
        out |= block > 1e-8 * max(1.0, float(np.abs(inv).max()))
    return out


def entry_closures(oc, lo, cq):
    """Closure of every single entry (species, then reactions) as a bool
    matrix, from the components of the inclusion graph in reverse
    topological order."""
    m, n = oc.shape
    graph = np.zeros((m + n, m + n), dtype=bool)
    graph[:m, m:] = oc
    graph[m:, :m] = lo.T
    graph[:m, :m] = cq
    ncomp, label = connected_components(sp.csr_matrix(graph), directed=True,
                                        connection="strong")
    members = [np.flatnonzero(label == c) for c in range(ncomp)]
    succ = [set(label[np.flatnonzero(graph[members[c]].any(axis=0))]) - {c}
            for c in range(ncomp)]
    closure = [None] * ncomp
    for c in range(ncomp):  # depth-first, children before parents
        stack = [(c, False)]
        while stack:
            d, ready = stack.pop()
            if closure[d] is not None:
                continue
            if not ready:
                stack.append((d, True))
                stack.extend((e, False) for e in succ[d] if closure[e] is None)
                continue
            bits = np.zeros(m + n, dtype=bool)
            bits[members[d]] = True
            for e in succ[d]:
                bits |= closure[e]
            closure[d] = bits
    return np.array([closure[label[e]] for e in range(m + n)]).reshape(m + n, m + n)


def search(crn, trial=2):
    stoi = np.asarray(crn.stoi, dtype=float)
    m, n = stoi.shape
    DT = np.array(crn.A)[n:, :m]
    lo = sensitivity(crn, trial)
    oc = np.asarray(crn._CRN__oc_keeper, dtype=bool)
    cq = np.asarray(crn._CRN__cq_class, dtype=bool)
    closures = entry_closures(oc, lo, cq)

    def rank(M):
        return int(np.linalg.matrix_rank(M, tol=1e-8)) if M.size else 0

    seen = set()
    found = []
    for M in range(-1, m):
        for N in range(n):
            sel = closures[m + N] | closures[M] if M >= 0 else closures[m + N].copy()
            key = sel.tobytes()
            if key in seen:
                continue
            seen.add(key)
            X, R = sel[:m], sel[m:]
            rS = rank(stoi[:, R])
            if rS + rank(DT[:, X]) - int(X.sum()) != 0:
                continue
            if rank(stoi[X][:, R]) == rS:
                found.append(sel)
    if not found:
        found.append(np.ones(m + n, dtype=bool))
    for i in range(len(found) - 1):  # the exchange ordering of the module
        for j in range(i + 1, len(found)):
            a, b = found[i], found[j]
            ka = (int(a[:m].sum()), int(a[m:].sum()))
            kb = (int(b[:m].sum()), int(b[m:].sum()))
            if ka > kb:
                found[i], found[j] = b, a
    return found
