"""Plain NumPy/SciPy model of quelmar.cyquelmar, used as the oracle of the test suite.

Every function here performs the same floating-point operations, in the same
order, as the compiled module, so that with the same state of NumPy's global
random generator both give identical results (bit for bit).  Nothing here is
optimised: the point is to be obviously the documented algorithm.

Public surface, mirroring the extension:

    signdet(A, trials=10)
    CRN(stoi, reginfo=None, X_names=None, R_names=None, name=None)
    indicator_diagnose(crn)

and the internal kernels under their own names (rref, nullity, det,
adjugate, construct_A, cq_classifier, oc_closure, no_emergent_cycles,
chiindex) for direct checks.
"""

import math
import operator

import numpy as np
from scipy.linalg.lapack import dgetrf
from scipy.optimize import minimize

TOL = 1e-8

__all__ = [
    "TOL",
    "rref",
    "nullity",
    "nullity_basis",
    "det",
    "adjugate",
    "construct_A",
    "cq_classifier",
    "oc_closure",
    "no_emergent_cycles",
    "chiindex",
    "signdet",
    "CRN",
    "indicator_diagnose",
]


def _require_float2d(a, what):
    """The kernels take two-dimensional float64 buffers; anything else is a ValueError."""
    if not isinstance(a, np.ndarray):
        raise TypeError("Cannot convert %s to numpy.ndarray" % type(a).__name__)
    if a.ndim != 2:
        raise ValueError("Buffer has wrong number of dimensions (expected 2, got %d)" % a.ndim)
    if a.dtype != np.float64:
        raise ValueError("Buffer dtype mismatch, expected 'double' but got '%s'" % a.dtype)
    return a


# ---------------------------------------------------------------------------
# Dense matrix kernels
# ---------------------------------------------------------------------------


def rref(M, nrows, ncols):
    """Reduced row echelon form of the leading nrows x ncols block of M, in place.

    Gauss-Jordan elimination with partial pivoting: the pivot is the largest
    magnitude from the current row down (the topmost wins ties), a candidate
    with |x| < TOL means "no pivot in this column"; the pivot row is divided by
    the pivot over the whole row and f * (pivot row) is subtracted from every
    other row over the whole row.
    """
    with np.errstate(all="ignore"):
        r = 0
        for j in range(ncols):
            if r == nrows:
                break
            p = r
            best = abs(M[r, j])
            for i in range(r + 1, nrows):
                a = abs(M[i, j])
                if a > best:
                    p = i
                    best = a
            if abs(M[p, j]) < TOL:
                continue
            if p != r:
                tmp = M[p, :ncols].copy()
                M[p, :ncols] = M[r, :ncols]
                M[r, :ncols] = tmp
            v = M[r, j]
            M[r, :ncols] = M[r, :ncols] / v
            for k in range(nrows):
                if k == r:
                    continue
                f = M[k, j]
                M[k, :ncols] = M[k, :ncols] - f * M[r, :ncols]
            r += 1


def nullity(M, work, m, n):
    """n - rank(M) for the m x n matrix M; work (>= n x (m+n)) ends up holding
    the reduced [M^T | I], whose last k rows (columns m..m+n-1) are a null-space
    basis of M."""
    work[...] = 0.0
    for i in range(n):
        for j in range(m):
            work[i, j] = M[j, i]
        work[i, m + i] = 1.0
    rref(work, n, m + n)
    for i in range(n):
        row = work[n - 1 - i, :m]
        if np.any(~(np.abs(row) < TOL)):
            return i
    return n


def nullity_basis(M):
    """Convenience: (k, basis) with basis the k x n null-space basis of M."""
    M = np.asarray(M, dtype=float)
    m, n = M.shape
    work = np.zeros((n, m + n))
    k = nullity(M, work, m, n)
    return k, work[n - k:, m:m + n].copy()


def det(M, n=None):
    """Determinant through LAPACK dgetrf on the row-major storage of M.

    The row-major n x n buffer is handed to the column-major routine, i.e. the
    transpose is factorised (same determinant).  0.0 for n <= 0, NaN when
    dgetrf reports a non-zero INFO (an exactly singular matrix included).
    """
    if n is None:
        n = M.shape[0]
    if n <= 0:
        return 0.0
    a = np.array(M[:n, :n], dtype=np.float64, order="C")
    lu, piv, info = dgetrf(a.T)
    if info != 0:
        return math.nan
    d = 1.0
    for i in range(n):
        d = d * float(lu[i, i])
        if piv[i] != i:  # SciPy returns 0-based pivots
            d = -d
    return d


def adjugate(A):
    """Adjugate of the square matrix A by cofactors, in place; returns A.

    All minors are taken before A is overwritten; each cofactor is det() of a
    fresh row-major minor, so an exactly singular minor gives NaN.  The 1 x 1
    adjugate is [[1.0]] (the empty minor has determinant 1); 0 x 0 is left
    as it is.
    """
    n = A.shape[0]
    if n == 0:
        return A
    if n == 1:
        A[0, 0] = 1.0
        return A
    minors = []
    for r in range(n):
        without_row = np.delete(A, r, axis=0)
        for s in range(n):
            minors.append(np.ascontiguousarray(np.delete(without_row, s, axis=1)))
    for r in range(n):
        for s in range(n):
            d = det(minors[r * n + s], n - 1)
            if (r + s) % 2 == 1:
                d = -d
            A[s, r] = d
    return A


def construct_A(stoi, reginfo):
    """The A-matrix: rows = reactions then conserved quantities, columns =
    species then cycles; A[j, i] = reginfo[i, j], A[j, m+k] = c_k[j],
    A[n+l, i] = d_l[i], the bases being those left by nullity()."""
    _require_float2d(stoi, "stoi")
    reginfo = _require_float2d(reginfo, "reginfo")
    m, n = stoi.shape
    if reginfo.shape[0] < m or reginfo.shape[1] < n:
        raise ValueError(
            "reginfo has shape (%d, %d), smaller than the (%d, %d) of stoi"
            % (reginfo.shape[0], reginfo.shape[1], m, n)
        )
    W1 = np.zeros(shape=(n, m + n), dtype=float)
    K = nullity(stoi, W1, m, n)
    A = np.zeros(shape=(m + K, m + K), dtype=float)
    W2 = np.zeros(shape=(m, m + n), dtype=float)
    L = nullity(stoi.T, W2, n, m)
    if n + L != m + K:
        raise ValueError("the two reductions disagree on the rank of stoi")
    for j in range(n):
        for k in range(K):
            A[j, m + k] = W1[n - K + k, m + j]
    for i in range(m):
        for l in range(L):
            A[n + l, i] = W2[m - L + l, n + i]
        for j in range(n):
            A[j, i] = reginfo[i, j]
    return A


# ---------------------------------------------------------------------------
# Structural invariants
# ---------------------------------------------------------------------------


def cq_classifier(DT):
    """Species classes linked by chains of conserved quantities (m x m bool)."""
    _require_float2d(DT, "DT")
    L, m = DT.shape
    out = np.zeros(shape=(m, m), dtype=np.bool_)
    present = ~(np.abs(DT) < TOL)  # NaN counts as present
    for i in range(m):
        for j in range(m):
            for l in range(L):
                if present[l, i] and present[l, j]:
                    out[i, j] = True
    for _ in range(L):
        for i in range(m):
            for j in range(m):
                for k in range(m):
                    if out[i, k] and out[k, j]:
                        out[i, j] = True
    for i in range(m):
        out[i, i] = True
    return out


def oc_closure(XandR, oc_keeper, lo_keeper, cq_class, m, n):
    """Close XandR (first m+n entries) in place under the three relations;
    returns XandR."""
    w = [bool(XandR[t]) for t in range(m + n)]
    while True:
        changed = False
        for i in range(m):
            if w[i]:
                for j in range(n):
                    if oc_keeper[i, j] and not w[m + j]:
                        w[m + j] = True
                        changed = True
        for j in range(n):
            if w[m + j]:
                for i in range(m):
                    if lo_keeper[i, j] and not w[i]:
                        w[i] = True
                        changed = True
        for i in range(m):
            if w[i]:
                for k in range(m):
                    if cq_class[i, k] and not w[k]:
                        w[k] = True
                        changed = True
        if not changed:
            break
    for t in range(m + n):
        XandR[t] = w[t]
    return XandR


def _require_selection(XandR, m, n):
    XandR = np.asarray(XandR)
    if XandR.ndim != 1 or XandR.shape[0] != m + n:
        raise ValueError(
            "selection has %s entries, expected %d" % (XandR.shape, m + n)
        )
    return XandR.astype(np.bool_)


def no_emergent_cycles(stoi, XandR):
    """True when every cycle of the selected subnetwork is a cycle of the network."""
    _require_float2d(stoi, "stoi")
    m, n = stoi.shape
    XandR = _require_selection(XandR, m, n)
    X = np.zeros(shape=(m,), dtype=np.bool_)
    R = np.zeros(shape=(n,), dtype=np.bool_)
    p = int(np.sum(XandR[:m]))
    q = int(np.sum(XandR[m:]))
    X[:] = XandR[:m]
    R[:] = XandR[m:m + n]
    W = np.zeros(shape=(q, p + q), dtype=float)
    S_XR = stoi[X, :][:, R]
    k = nullity(S_XR, W, p, q)
    Z = W[q - k:, p:]
    E = np.dot(stoi[~X, :][:, R], Z.T)
    for value in E.ravel():
        if abs(value) >= TOL:
            return False
    return True


def chiindex(stoi, DT, XandR):
    """q - k1 - k2 for the selected species (p) and reactions (q)."""
    _require_float2d(stoi, "stoi")
    _require_float2d(DT, "DT")
    m, n = stoi.shape
    L = DT.shape[0]
    XandR = _require_selection(XandR, m, n)
    p = sum(1 for i in range(m) if XandR[i])
    q = sum(1 for j in range(n) if XandR[m + j])
    W1 = np.zeros(shape=(q, m + q), dtype=float)
    S_R = stoi[:, XandR[m:]]
    k1 = nullity(S_R, W1, m, q)
    W2 = np.zeros(shape=(p, L + p), dtype=float)
    D_X = DT[:, XandR[:m]]
    k2 = nullity(D_X, W2, L, p)
    return q - k1 - k2


# ---------------------------------------------------------------------------
# Determinant sign with free entries
# ---------------------------------------------------------------------------


def signdet(A, trials=10):
    """
    Determine the sign of the determinant of matrix A with variable entries.

    +inf entries are free non-negative variables, -inf non-positive ones, NaN
    free of either sign.  Returns 1.0, -1.0, 0.0 or NaN (Python floats) when A
    has variable entries; otherwise np.sign(np.linalg.det(A)) or the int 0 when
    |det| < TOL.
    """
    varposition = ~(np.abs(A) < np.inf)
    k = np.sum(varposition)
    if k == 0:
        d = np.linalg.det(np.array(A))
        if np.abs(d) < TOL:
            return 0
        return np.sign(d)

    shape = np.shape(A)
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError("signdet needs a square matrix, got shape %s" % (shape,))

    Pposits = varposition & (np.sign(A) > 0)
    Nposits = varposition & (np.sign(A) < 0)

    def vardetA(varsz):
        """Compute arctan of determinant with squared variables."""
        varA = np.array(A).copy()
        varA[varposition] = varsz
        varA[Pposits] = varA[Pposits] ** 2
        varA[Nposits] = -(varA[Nposits] ** 2)
        if varA.dtype != np.float64:
            raise ValueError(
                "Buffer dtype mismatch, expected 'double' but got '%s'" % varA.dtype
            )
        return math.atan(det(varA, varA.shape[0]))

    Presult = []
    Nresult = []
    for trial in range(trials):
        Pattempt = minimize(fun=lambda z: -vardetA(z), x0=np.random.normal(size=k, scale=10.0))
        Presult.append(-Pattempt.fun > TOL)
        Nattempt = minimize(fun=vardetA, x0=np.random.normal(size=k, scale=10.0))
        Nresult.append(Nattempt.fun < -TOL)
    has_positive = np.any(Presult)
    has_negative = np.any(Nresult)
    if has_positive and has_negative:
        return math.nan
    if has_positive:
        return 1.0
    if has_negative:
        return -1.0
    return 0.0


# ---------------------------------------------------------------------------
# The network object
# ---------------------------------------------------------------------------


def membership(X, R, M, N):
    """The selection of species m in X and reactions n in R, asked in that order."""
    XandR = np.zeros(M + N, dtype=np.bool_)
    for m in range(M):
        XandR[m] = m in X
    for n in range(N):
        XandR[M + n] = n in R
    return XandR


class CRN:
    """Chemical Reaction Network (CRN) representation and analysis."""

    def __init__(self, stoi, reginfo=None, X_names=None, R_names=None, name=None):
        """Initialize a Chemical Reaction Network."""
        self.name = name
        self.stoi = np.asarray(stoi, dtype=float)
        if reginfo is None:
            reginfo = self.stoi.copy() * 0.0
            reginfo[self.stoi < -TOL] = np.inf
        self.reginfo = np.asarray(reginfo, dtype=float)
        if X_names is not None:
            self.X_names = X_names
        else:
            self.X_names = ["X" + str(i) for i in range(self.stoi.shape[0])]
        if R_names is not None:
            self.R_names = R_names
        else:
            self.R_names = ["R" + str(j) for j in range(self.stoi.shape[1])]
        self.A = construct_A(self.stoi, self.reginfo)
        m, n = self.stoi.shape
        self.__cq_class = cq_classifier(np.array(np.asarray(self.A)[n:, :m]))
        self.__oc_keeper = ~(np.abs(self.reginfo) < TOL)

    def _smat_(self, trial=2):
        """Compute a boolean sensitivity matrix using random perturbations."""
        M = int(self.stoi.shape[0])
        N = int(self.stoi.shape[1])
        Amat = np.array(self.A)
        L = Amat.shape[0]
        booleanS = np.zeros((M, N), dtype=np.bool_)
        varholder = ~(np.abs(Amat) < np.inf)
        for _t_ in range(operator.index(trial)):
            randA = np.array(Amat.copy())
            k = int(np.sum(varholder))
            randA[varholder] = np.random.normal(size=k, scale=10.0)
            if L == 0:
                continue
            adjA = adjugate(randA)
            booleanS |= np.abs(adjA[:M, :N]) > TOL
        return booleanS

    def isoBS_searchfrom(self, X, R, trial=2):
        """Search for an isolated buffered subnetwork starting from given species and reactions."""
        M = int(self.stoi.shape[0])
        N = int(self.stoi.shape[1])
        XandR = membership(X, R, M, N)
        lo_keeper = self._smat_(trial)
        XandR = oc_closure(
            XandR, self._CRN__oc_keeper, np.asarray(lo_keeper), np.asarray(self._CRN__cq_class), M, N
        )
        Xs = [m for m in range(M) if XandR[m]]
        Rs = [n for n in range(N) if XandR[M + n]]
        return (Xs, Rs)

    def compute_index(self, X, R):
        """Compute the chi-index for a subnetwork defined by species and reactions."""
        M = int(self.stoi.shape[0])
        N = int(self.stoi.shape[1])
        XandR = membership(X, R, M, N)
        DT = np.array(np.asarray(self.A)[N:, :M])
        return int(chiindex(self.stoi, DT, XandR))

    def search_for_isoBSs(self, trial=2):
        """Search for all unique isolated buffered subnetworks with chi-index 0."""
        m = int(self.stoi.shape[0])
        n = int(self.stoi.shape[1])
        DT = np.array(np.asarray(self.A)[n:, :m])
        XandR = np.zeros(m + n, dtype=np.bool_)
        lo_keeper = np.asarray(self._smat_(trial))
        oc_keeper = np.asarray(self._CRN__oc_keeper)
        cq_class = np.asarray(self._CRN__cq_class)
        isoBSs = []
        unique_isoBSs = []
        for M in range(-1, m):
            for N in range(n):
                XandR[:] = False
                if M >= 0:
                    XandR[M] = True
                XandR[m + N] = True
                oc_closure(XandR, oc_keeper, lo_keeper, cq_class, m, n)
                if chiindex(self.stoi, DT, XandR) == 0 and no_emergent_cycles(self.stoi, XandR):
                    isoBSs.append(np.array(XandR))
        if len(isoBSs) == 0:
            XandR[:] = True
            isoBSs.append(np.array(XandR))
        for g in isoBSs:
            for movedg in unique_isoBSs:
                if np.all(g == movedg):
                    break
            else:
                unique_isoBSs.append(g)
        L = len(unique_isoBSs)
        for i in range(L - 1):
            for j in range(i + 1, L):
                m_species = np.sum(unique_isoBSs[i][:m])
                n_species = np.sum(unique_isoBSs[j][:m])
                if m_species > n_species:
                    unique_isoBSs[i], unique_isoBSs[j] = unique_isoBSs[j], unique_isoBSs[i]
                elif m_species == n_species:
                    m_reacts = np.sum(unique_isoBSs[i][m:])
                    n_reacts = np.sum(unique_isoBSs[j][m:])
                    if m_reacts > n_reacts:
                        unique_isoBSs[i], unique_isoBSs[j] = unique_isoBSs[j], unique_isoBSs[i]
        return unique_isoBSs

    def signdet_subnetwork(self, XandR):
        """Compute the sign of the determinant for a subnetwork defined by XandR."""
        M = int(self.stoi.shape[0])
        S = self.stoi[XandR[:M], :][:, XandR[M:]]
        G = self.reginfo[XandR[:M], :][:, XandR[M:]]
        Agamma = construct_A(S, G)
        return signdet(np.array(Agamma))

    def structural_reduction(self, XandR):
        """Contract the marked species and reactions out of the network, in place.

        Everything is computed first; the seven attributes are replaced only
        once every step has succeeded, so a failure leaves the object as it was.
        """
        M = int(self.stoi.shape[0])
        N = int(self.stoi.shape[1])
        NU = _require_float2d(self.stoi, "stoi")
        X = np.array(XandR[:M], dtype=np.bool_)
        R = np.array(XandR[M:], dtype=np.bool_)
        S11 = NU[~X, :][:, ~R]
        S12 = NU[~X, :][:, R]
        P = np.linalg.pinv(NU[X, :][:, R])
        T = S12.dot(P)
        S21 = NU[X, :][:, ~R]
        stoi_reduc = S11 - T.dot(S21)
        reginfo_reduc = self.reginfo[~X, :][:, ~R]
        A_reduc = construct_A(stoi_reduc, reginfo_reduc)
        cq_reduc = np.array(self._CRN__cq_class)[~X, :][:, ~X]
        oc_reduc = np.array(self._CRN__oc_keeper)[~X, :][:, ~R]
        X_names = [self.X_names[i] for i in range(M) if not XandR[i]]
        R_names = [self.R_names[j] for j in range(N) if not XandR[M + j]]
        self.stoi = stoi_reduc
        self.reginfo = reginfo_reduc
        self.A = A_reduc
        self._CRN__cq_class = cq_reduc
        self._CRN__oc_keeper = oc_reduc
        self.X_names = X_names
        self.R_names = R_names


def indicator_diagnose(crn):
    """Successively contract minimal isolated buffering structures out of crn."""
    assert isinstance(crn, CRN)
    res = []
    P = crn.stoi.shape[1]
    for _ in range(P):
        M, N = crn.stoi.shape
        minisoBS = crn.search_for_isoBSs()[0]
        X = [crn.X_names[m] for m in range(len(crn.X_names)) if minisoBS[m]]
        R = [crn.R_names[n] for n in range(len(crn.R_names)) if minisoBS[M + n]]
        if len(X) == crn.stoi.shape[0]:
            minisoBS[:] = True
            X = [crn.X_names[m] for m in range(len(crn.X_names)) if minisoBS[m]]
            R = [crn.R_names[n] for n in range(len(crn.R_names)) if minisoBS[M + n]]
        sign_detA = crn.signdet_subnetwork(minisoBS)
        res.append({"chemicals": X, "reactions": R, "sign_det": sign_detA})
        if len(X) == crn.stoi.shape[0]:
            break
        crn.structural_reduction(minisoBS)
    return res
