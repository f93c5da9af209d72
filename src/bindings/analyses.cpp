// The analyses of a CRN: the sensitivity matrix (_smat_), the closure of one
// seed, the index of one subnetwork, the search for all isolated buffering
// structures, and the determinant sign of a subnetwork.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "crn.hpp"
#include "heap.hpp"
#include "invariants.hpp"
#include "memview.hpp"
#include "module.hpp"
#include "progress.hpp"
#include "search.hpp"
#include "sensitivity.hpp"

namespace quelmar::py {

// ---------------------------------------------------------------------------
// CRN._smat_

namespace {

// The work of the exact path on the stoichiometry matrix alone (its values,
// its rank and pivots modulo each prime), kept from one call to the next on
// the same stoichiometry matrix and A-matrix order: repeated calls on one
// network (a search, the trials of an analysis) do it once.  Taken out under
// the lock while in use, so calls from several threads never share it.
struct ExactCache {
    std::mutex lock;
    Py_ssize_t L = -1;
    Py_ssize_t m = 0, n = 0;
    Vec<index_t> at;   // the entries of stoi (C order) that are not 0.0
    Vec<double> value;
    std::optional<ExactSensitivity> exact;
};

ExactCache& exact_cache() {
    static ExactCache* cache = new ExactCache();  // never destroyed: no work at exit
    return *cache;
}

bool same_stoichiometry(const ExactCache& c, Py_ssize_t L, Py_ssize_t m, Py_ssize_t n,
                        const double* stoi) {
    if (!c.exact || c.L != L || c.m != m || c.n != n) return false;
    std::size_t k = 0;
    for (index_t e = 0; e < m * n; ++e) {
        if (stoi[e] == 0.0) continue;
        if (k == c.at.size() || c.at[k] != e ||
            std::memcmp(&c.value[k], &stoi[e], sizeof(double)) != 0)
            return false;
        ++k;
    }
    return k == c.at.size();
}

void keep_stoichiometry(ExactCache& c, Py_ssize_t L, Py_ssize_t m, Py_ssize_t n,
                        const double* stoi) {
    c.L = L;
    c.m = m;
    c.n = n;
    c.at.clear();
    c.value.clear();
    for (index_t e = 0; e < m * n; ++e) {
        if (stoi[e] == 0.0) continue;
        c.at.push_back(e);
        c.value.push_back(stoi[e]);
    }
}

}  // namespace

// The threads of the exact path and of the A-matrix's reductions.  Only
// large ones start helpers (exact.hpp, amatrix.hpp; smaller ones, all but
// genome-scale networks, run on this thread as before), and then the steps
// that stay on one thread (the panels of the eliminations) limit what more
// than two would bring: at most two, as many as there are cores if fewer,
// and one when OMP_NUM_THREADS asks for one (as in a batch's worker
// processes, each of which has a core of its own; the BLAS libraries follow
// the same setting).  The results do not depend on the count.
int kernel_threads() {
    constexpr int kMost = 2;
    // asked once: the count reads files of the system on every call
    static const int cores = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1U,
                                                         static_cast<unsigned>(kMost)));
    int threads = cores;
    if (const char* env = std::getenv("OMP_NUM_THREADS")) {
        char* end = nullptr;
        const long asked = std::strtol(env, &end, 10);
        if (end != env && asked >= 1) threads = static_cast<int>(std::min<long>(threads, asked));
    }
    return threads;
}

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
    // The copy of a memory view or of an array is already a fresh array (or
    // a view of one) holding the same values: NumPy would copy it again.
    Ref base = memview_check(Acopy.get()) || PyArray_CheckExact(Acopy.get())
                   ? std::move(Acopy)
                   : call_method(np.get(), "array", Acopy.get());
    // base is a fresh array that only this call refers to: it is read in
    // place (a read-only view would be copied first).
    Buffer abuf(base.get(), Elem::Double, 2, /*writable=*/true);
    if (abuf.extent(0) != L || abuf.extent(1) != L)
        raise(PyExc_ValueError, "the A-matrix must be square, got shape (%zd, %zd)",
              static_cast<Py_ssize_t>(abuf.extent(0)), static_cast<Py_ssize_t>(abuf.extent(1)));
    SensitivityTrials trials(abuf.matrix<const double>(), M, N);
    trials.use_threads(kernel_threads());
    guarded("cy_adjugate", rethrow, [&] {
        GilRelease nogil;
        trials.test_structure(signal_poll());
    });

    // The exact path reads a private C-ordered float64 copy of the
    // stoichiometry made by NumPy (no other thread can change it while the
    // interpreter lock is released); without one, trials use cofactors.
    std::optional<Buffer> sbuf;
    Ref stoi_copy;
    if (PyArray_Check(stoi.get())) {
        PyArrayObject* sarr = as_array(stoi.get());
        if (PyArray_NDIM(sarr) == 2 && PyArray_TYPE(sarr) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(sarr) && PyArray_ISALIGNED(sarr)) {
            stoi_copy = checked(PyArray_NewCopy(sarr, NPY_CORDER));
            sbuf.emplace(stoi_copy.get(), Elem::Double, 2, /*writable=*/true);
            trials.use_stoichiometry(sbuf->matrix<const double>());
            ExactCache& cache = exact_cache();
            const std::lock_guard<std::mutex> hold(cache.lock);
            if (same_stoichiometry(cache, L, M, N, data_of<double>(stoi_copy.get()))) {
                trials.adopt_exact(std::move(*cache.exact));
                cache.exact.reset();
            }
        }
    }

    const Py_ssize_t count = as_ssize(trial_arg);
    const Py_ssize_t k = trials.free_count();
    Ref random = getattr(np.get(), "random");
    Ref normal = getattr(random.get(), "normal");
    Ref size = integer(k);
    Ref scale = real(10.0);
    const MatrixView<std::uint8_t> out = matrix_of<std::uint8_t>(booleanS.get());
    const std::span<double> free_values = trials.free_values();
    for (Py_ssize_t t = 0; t < count; ++t) {
        // a trial may take no time at all (nothing free to draw): Ctrl-C
        // must still end a huge number of them
        if (PyErr_CheckSignals() != 0) throw PyError{};
        Ref draw = call(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref values = checked(PyArray_FROMANY(draw.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO));
        const auto drawn = static_cast<Py_ssize_t>(PyArray_SIZE(as_array(values.get())));
        if (drawn != k) raise(PyExc_ValueError, "expected %zd random values, got %zd", k, drawn);
        if (k > 0)
            std::memcpy(free_values.data(), data_of<double>(values.get()),
                        static_cast<std::size_t>(k) * sizeof(double));
        if (trials.adjugate_vanishes()) continue;
        guarded("cy_adjugate", rethrow, [&] {
            GilRelease nogil;
            trials.trial(out, signal_poll());
        });
    }
    if (stoi_copy) {
        std::optional<ExactSensitivity> exact = trials.release_exact();
        if (exact) {
            ExactCache& cache = exact_cache();
            const std::lock_guard<std::mutex> hold(cache.lock);
            keep_stoichiometry(cache, L, M, N, data_of<double>(stoi_copy.get()));
            cache.exact = std::move(exact);
        }
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
    guarded("cy_oc_closure", rethrow, [&] {
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
    const index_t chi = guarded("cy_chiindex", rethrow, [&] {
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

namespace {

// The options of a whole search: stopped by signals, progress shown, and
// SciPy's dgesdd (looked up with the interpreter lock held, before it is
// released).
SearchOptions whole_search_options() {
    SearchOptions options;
    options.poll = signal_poll();
    options.progress = progress_hook();
    options.dgesdd = scipy_dgesdd();
    options.qr = scipy_qr();
    return options;
}

}  // namespace

PyObject* crn_search_for_isoBSs(PyObject*, PyObject* const* a) {
    const SearchOptions options = whole_search_options();
    std::vector<Selection> found = found_by(a[0], a[1], [&](const SearchViews& v) {
        return search_isoBSs(v.stoi, v.DT, v.oc, v.lo, v.cq, options);
    });
    return selection_list(found);
}

// The same search, its structures as (bits, indptr, indices): row k of the
// uint8 array bits holds structure k, element x at bit x % 8 of byte x / 8
// (NumPy's packbits with bitorder "little"), and indices[indptr[k]:indptr[k +
// 1]] (int32) its elements ascending.  The structures are never held one
// byte per element: a large search's list takes an eighth of the memory.
PyObject* search_rows_impl(PyObject*, PyObject* const* a) {
    const SearchOptions options = whole_search_options();
    std::size_t bytes = 0;
    std::vector<std::uint8_t> packed;
    std::vector<npy_intp> ptr{0};
    std::vector<std::int32_t> indices;
    found_by(a[0], a[1], [&](const SearchViews& v) {
        const index_t width = v.stoi.rows + v.stoi.cols;
        bytes = static_cast<std::size_t>((width + 7) / 8);
        search_isoBSs_each(v.stoi, v.DT, v.oc, v.lo, v.cq, options,
                           [&](const std::uint64_t* words) {
            const std::size_t at = packed.size();
            packed.resize(at + bytes);
            std::uint8_t* row = packed.data() + at;
            for (std::size_t b = 0; b < bytes; ++b)
                row[b] = static_cast<std::uint8_t>(words[b / 8] >> (8 * (b % 8)));
            if (width % 8 != 0)
                row[bytes - 1] = static_cast<std::uint8_t>(
                    row[bytes - 1] & ((1U << static_cast<unsigned>(width % 8)) - 1U));
            for (index_t w = 0; w < (width + 63) / 64; ++w)
                for (std::uint64_t word = words[w]; word != 0; word &= word - 1) {
                    const index_t x = w * 64 + __builtin_ctzll(word);
                    if (x < width) indices.push_back(static_cast<std::int32_t>(x));
                }
            ptr.push_back(static_cast<npy_intp>(indices.size()));
        });
        return std::vector<Selection>{};
    });
    const auto k = static_cast<npy_intp>(ptr.size() - 1);
    npy_intp bits_shape[2] = {k, static_cast<npy_intp>(bytes)};
    Ref bits = checked(PyArray_EMPTY(2, bits_shape, NPY_UINT8, 0));  // every byte written next
    if (!packed.empty()) std::memcpy(PyArray_DATA(as_array(bits.get())), packed.data(), packed.size());
    std::vector<std::uint8_t>().swap(packed);
    npy_intp ptr_shape[1] = {k + 1};
    Ref indptr = checked(PyArray_EMPTY(1, ptr_shape, NPY_INTP, 0));
    std::memcpy(PyArray_DATA(as_array(indptr.get())), ptr.data(), ptr.size() * sizeof(npy_intp));
    npy_intp idx_shape[1] = {static_cast<npy_intp>(indices.size())};
    Ref idx = checked(PyArray_EMPTY(1, idx_shape, NPY_INT32, 0));
    if (!indices.empty())
        std::memcpy(PyArray_DATA(as_array(idx.get())), indices.data(),
                    indices.size() * sizeof(std::int32_t));
    {
        GilRelease nogil;
        std::vector<std::int32_t>().swap(indices);
        release_free_memory();
    }
    return tuple(bits.get(), indptr.get(), idx.get()).release();
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
