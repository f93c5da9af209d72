// The analyses of a CRN: the sensitivity matrix (_smat_), the closure of one
// seed, the index of one subnetwork, the search for all isolated buffering
// structures, and the determinant sign of a subnetwork.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "crn.hpp"
#include "exact.hpp"
#include "invariants.hpp"
#include "matching.hpp"
#include "module.hpp"
#include "progress.hpp"
#include "search.hpp"

namespace quelmar::py {

// ---------------------------------------------------------------------------
// CRN._smat_

namespace {

/// The largest workspace the cofactor method may ask for, in bytes.
constexpr double kMaxCofactorBytes = 2.0 * (1 << 30);

/// The cofactor method keeps L*L minors of order L-1 (L^4 doubles): refused,
/// with a MemoryError that says so, beyond a modest order instead of
/// requesting gigabytes.
void check_cofactor_workspace(Py_ssize_t L) {
    const double side = static_cast<double>(L);
    const double bytes = side * side * (side - 1) * (side - 1) * sizeof(double);
    if (bytes > kMaxCofactorBytes) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "the sensitivity matrix could not be decided exactly, and the cofactor "
                      "method would need %.1f GiB for an A-matrix of order %zu (at most %.0f "
                      "GiB are used)",
                      bytes / (1 << 30), static_cast<std::size_t>(L),
                      kMaxCofactorBytes / (1 << 30));
        raise(PyExc_MemoryError, "%s", message);
    }
}

}  // namespace

PyObject* crn_smat(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *trial_arg = a[1];
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref A = getattr(self, "A");
    const Py_ssize_t L = extent(A.get(), 0);

    Ref booleanS = zeros<std::uint8_t>({M, N});
    // Checked before the empty case: an empty A-matrix stored on a network
    // with species or reactions is as unusable as any other too small one.
    if (M > L || N > L)
        raise(PyExc_ValueError,
              "the A-matrix of order %zd is smaller than the stoichiometry matrix (%zd, %zd)", L, M,
              N);
    // A network without species and reactions has an empty A-matrix and an
    // empty sensitivity matrix.
    if (L == 0) {
        (void)as_ssize(trial_arg);
        return booleanS.release();
    }

    // A fresh float64 copy of A: its free entries (infinite or NaN) are the
    // positions the random values go to, in row-major order.
    Ref Acopy = call_method(A.get(), "copy");
    Ref base = call_method(np.get(), "array", Acopy.get());
    // base is a fresh array that only this call refers to: it is read in
    // place (a read-only view would be copied first).
    Buffer abuf(base.get(), Elem::Double, 2, /*writable=*/true);
    if (abuf.extent(0) != L || abuf.extent(1) != L)
        raise(PyExc_ValueError, "the A-matrix must be square, got shape (%zd, %zd)",
              static_cast<Py_ssize_t>(abuf.extent(0)), static_cast<Py_ssize_t>(abuf.extent(1)));
    // One pass over the rows: the values, the free positions, and the
    // pattern of the entries that are not exactly zero (free ones included).
    Matrix<double> fixed(L, L);
    std::vector<index_t> free_positions, indptr(1, 0), indices;
    {
        const auto av = abuf.matrix<const double>();
        for (index_t i = 0; i < L; ++i) {
            double* row = fixed.data() + i * L;
            if (av.stride1 == static_cast<index_t>(sizeof(double))) {
                std::memcpy(row, &av(i, 0), static_cast<std::size_t>(L) * sizeof(double));
            } else {
                for (index_t j = 0; j < L; ++j) row[j] = av(i, j);
            }
            for (index_t j = 0; j < L; ++j) {
                const double v = row[j];
                if (v == 0.0) continue;
                indices.push_back(j);
                if (!(std::fabs(v) < HUGE_VAL)) free_positions.push_back(i * L + j);
            }
            indptr.push_back(static_cast<index_t>(indices.size()));
        }
    }
    const auto k = static_cast<Py_ssize_t>(free_positions.size());

    // Every cofactor is a minor of order L - 1: when no L - 1 rows and
    // columns of A can be matched along entries that are not exactly zero
    // (free entries count as non-zero), every cofactor vanishes for all
    // values of the free entries, and so does the whole adjugate.  With a
    // maximum matching of size L - 1, the cofactor of row j and column i can
    // only be non-zero when some maximum matching leaves row j and column i
    // uncovered (the rows of the Over block and the columns of the Under
    // block of the coarse decomposition); when no reaction row or no species
    // column is among them, the species-by-reaction block of the adjugate
    // vanishes.  The trials then only draw their random numbers.
    bool adjugate_vanishes = false;
    if (L >= 2) {
        const Pattern pattern = pattern_from_csr(L, L, std::move(indptr), std::move(indices));
        adjugate_vanishes = traced("cy_adjugate", [&] {
            GilRelease nogil;
            const Decomposition d = coarse_decomposition(pattern, signal_poll());
            const index_t rank = d.matching.size;
            if (rank <= L - 2) return true;
            if (rank == L) return false;
            bool reaction_row = false, species_column = false;
            for (index_t j = 0; j < N && !reaction_row; ++j)
                reaction_row = d.row_block[static_cast<std::size_t>(j)] == Block::Over;
            for (index_t i = 0; i < M && !species_column; ++i)
                species_column = d.col_block[static_cast<std::size_t>(i)] == Block::Under;
            return !(reaction_row && species_column);
        });
    }

    // The exact pattern needs the stoichiometry as a float64 matrix; the
    // cofactor workspace (L*L minors of order L-1) is allocated only if a trial
    // has to fall back to cofactors.
    // The kernel reads a private C-ordered copy made by NumPy (no other
    // thread can change it while the interpreter lock is released).
    std::optional<Buffer> sbuf;
    Ref stoi_copy;
    if (PyArray_Check(stoi.get())) {
        PyArrayObject* sarr = as_array(stoi.get());
        if (PyArray_NDIM(sarr) == 2 && PyArray_TYPE(sarr) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(sarr) && PyArray_ISALIGNED(sarr)) {
            stoi_copy = checked(PyArray_NewCopy(sarr, NPY_CORDER));
            sbuf.emplace(stoi_copy.get(), Elem::Double, 2, /*writable=*/true);
        }
    }
    std::optional<ExactSensitivity> exact_path;
    Ref work;
    double* minors = nullptr;

    const Py_ssize_t trials = as_ssize(trial_arg);
    Ref random = getattr(np.get(), "random");
    Ref normal = getattr(random.get(), "normal");
    Ref size = integer(k);
    Ref scale = real(10.0);
    const MatrixView<std::uint8_t> out = matrix_of<std::uint8_t>(booleanS.get());

    // randA holds the fixed entries of A between trials, unless the cofactor
    // method replaced it by its adjugate: each trial then only writes the
    // free entries.
    Matrix<double> randA;
    bool randA_fixed = false;
    for (Py_ssize_t t = 0; t < trials; ++t) {
        // a trial may take no time at all (nothing free to draw): Ctrl-C
        // must still end a huge number of them
        if (PyErr_CheckSignals() != 0) throw PyError{};
        if (!randA_fixed) {
            randA = fixed;
            randA_fixed = true;
        }
        Ref draw = call(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref values = checked(PyArray_FROMANY(draw.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO));
        const auto count = static_cast<Py_ssize_t>(PyArray_SIZE(as_array(values.get())));
        if (count != k) raise(PyExc_ValueError, "expected %zd random values, got %zd", k, count);
        const double* v = data_of<double>(values.get());
        for (Py_ssize_t p = 0; p < k; ++p) randA.data()[free_positions[p]] = v[p];
        if (adjugate_vanishes) continue;

        // Exact non-zero pattern of the species-by-reaction block of adj(randA),
        // with the cycle and conservation blocks taken exactly from stoi (the
        // work on stoi alone is done by the first trial that needs it).
        if (sbuf) {
            const auto item = static_cast<index_t>(sizeof(double));
            const MatrixView<const double> top{randA.data(), N, M, L * item, item};
            const bool exact = traced("cy_adjugate", [&] {
                GilRelease nogil;
                if (!exact_path)
                    exact_path.emplace(sbuf->matrix<const double>(), L - M, L - N,
                                       signal_poll());
                return exact_path->pattern(top, out, signal_poll());
            });
            if (exact) continue;
        }
        if (minors == nullptr) {
            check_cofactor_workspace(L);
            work = empty<double>({L * L, L - 1, L - 1});
            minors = data_of<double>(work.get());
        }
        randA_fixed = false;
        traced("cy_adjugate", [&] {
            GilRelease nogil;
            adjugate(randA.view(), L, minors, signal_poll());
        });
        for (index_t i = 0; i < M; ++i)
            for (index_t j = 0; j < N; ++j)
                if (std::fabs(randA(i, j)) > TOL) out(i, j) = 1;
    }
    return booleanS.release();
}

// ---------------------------------------------------------------------------
// Closure-based methods

namespace {

/// The three relations a closure follows, as typed views.
struct Relations {
    Buffer oc, lo, cq;
    Relations(PyObject* self, PyObject* lo_keeper, Ref& oc_ref, Ref& cq_ref)
        : oc((oc_ref = getattr(self, kOcKeeper)).get(), Elem::Bool, 2),
          lo(lo_keeper, Elem::Bool, 2),
          cq((cq_ref = getattr(self, kCqClass)).get(), Elem::Bool, 2) {}
};

}  // namespace

PyObject* crn_isoBS_searchfrom(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *X = a[1], *R = a[2], *trial = a[3];
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref XandR = selection_from_indices(X, R, M, N);
    Ref lo_keeper = call_method(self, "_smat_", trial);
    Ref oc_ref, cq_ref;
    Relations rel(self, lo_keeper.get(), oc_ref, cq_ref);
    const VectorView<std::uint8_t> sv{data_of<std::uint8_t>(XandR.get()), M + N, 1};
    traced("cy_oc_closure", [&] {
        GilRelease nogil;
        oc_closure(sv, rel.oc.matrix<const std::uint8_t>(), rel.lo.matrix<const std::uint8_t>(),
                   rel.cq.matrix<const std::uint8_t>(), M, N);
    });
    Ref Xs = new_list();
    Ref Rs = new_list();
    for (Py_ssize_t i = 0; i < M + N; ++i) {
        if (!sv(i)) continue;
        Ref idx = integer(i < M ? i : i - M);
        append(i < M ? Xs.get() : Rs.get(), idx.get());
    }
    return tuple(Xs.get(), Rs.get()).release();
}

PyObject* crn_compute_index(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *X = a[1], *R = a[2];
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref XandR = selection_from_indices(X, R, M, N);
    Ref A = getattr(self, "A");
    Ref DT = conserved_block(np.get(), A.get(), N, M);
    require_ndarray(stoi.get());
    Buffer sbuf(stoi.get(), Elem::Double, 2);
    Buffer dbuf(DT.get(), Elem::Double, 2);
    Buffer xbuf(XandR.get(), Elem::Bool, 1);
    const index_t chi = traced("cy_chiindex", [&] {
        GilRelease nogil;
        return chiindex(sbuf.matrix<const double>(), dbuf.matrix<const double>(),
                        xbuf.vector<const std::uint8_t>(), signal_poll());
    });
    return PyLong_FromSsize_t(chi);
}

std::vector<Selection> found_by(PyObject* self, PyObject* trial, const SearchFn& find) {
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t m = extent(stoi.get(), 0);
    const Py_ssize_t n = extent(stoi.get(), 1);
    Ref A = getattr(self, "A");
    Ref DT = conserved_block(np.get(), A.get(), n, m);
    Buffer dbuf(DT.get(), Elem::Double, 2);
    Ref lo_keeper = call_method(self, "_smat_", trial);
    require_ndarray(stoi.get());
    Buffer sbuf(stoi.get(), Elem::Double, 2);
    Ref oc_ref, cq_ref;
    Relations rel(self, lo_keeper.get(), oc_ref, cq_ref);
    GilRelease nogil;
    return find(SearchViews{sbuf.matrix<const double>(), dbuf.matrix<const double>(),
                            rel.oc.matrix<const std::uint8_t>(),
                            rel.lo.matrix<const std::uint8_t>(),
                            rel.cq.matrix<const std::uint8_t>()});
}

PyObject* selection_list(std::vector<Selection>& found) {
    Ref result = new_list();
    for (Selection& s : found) {
        Ref arr = zeros<std::uint8_t>({static_cast<npy_intp>(s.size())});
        std::uint8_t* data = data_of<std::uint8_t>(arr.get());
        for (std::size_t i = 0; i < s.size(); ++i) data[i] = s[i] != 0;
        append(result.get(), arr.get());
        Selection().swap(s);  // a long list is not held twice
    }
    return result.release();
}

PyObject* crn_search_for_isoBSs(PyObject*, PyObject* const* a) {
    // Looked up with the interpreter lock held, before it is released.
    dgesdd_fn* const dgesdd = scipy_dgesdd();
    std::vector<Selection> found = found_by(a[0], a[1], [dgesdd](const SearchViews& v) {
        SearchOptions options;
        options.poll = signal_poll();
        options.progress = progress_hook();
        options.dgesdd = dgesdd;
        return search_isoBSs(v.stoi, v.DT, v.oc, v.lo, v.cq, options);
    });
    return selection_list(found);
}

// ---------------------------------------------------------------------------
// CRN.signdet_subnetwork: signdet of the selection's own A-matrix.

PyObject* crn_signdet_subnetwork(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *XandR = a[1];
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    check_selection_length(XandR, M, extent(stoi.get(), 1));
    Ref rows = getslice(XandR, 0, M);
    Ref cols = getslice(XandR, M, PY_SSIZE_T_MAX);
    Ref S = submatrix(stoi.get(), rows.get(), cols.get());
    Ref reginfo = getattr(self, "reginfo");
    Ref G = submatrix(reginfo.get(), rows.get(), cols.get());
    Ref Agamma = construct_A_view(S.get(), G.get());
    Ref np = module_global("np");
    Ref arr = call_method(np.get(), "array", Agamma.get());
    Ref signdet = module_global("signdet");
    return call(signdet.get(), arr.get()).release();
}

}  // namespace quelmar::py
