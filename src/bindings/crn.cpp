// The class CRN and the function indicator_diagnose.
//
// CRN is an ordinary Python class (created from a namespace of the module's
// own functions), so its state is a set of plain instance attributes:
//   name, stoi, reginfo, X_names, R_names, A, _CRN__cq_class, _CRN__oc_keeper
// Methods read those attributes at every call and cache nothing.

#include "numpy_api.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "exact.hpp"
#include "invariants.hpp"
#include "kernels.hpp"
#include "memview.hpp"
#include "module.hpp"

namespace quelmar::py {
namespace {

constexpr const char* kCqClass = "_CRN__cq_class";
constexpr const char* kOcKeeper = "_CRN__oc_keeper";

// ---------------------------------------------------------------------------
// Small Python helpers.  Each returns a new reference or throws PyError.

Ref getattr(PyObject* obj, const char* name) {
    return Ref::steal_or_throw(PyObject_GetAttrString(obj, name));
}

void setattr(PyObject* obj, const char* name, PyObject* value) {
    if (PyObject_SetAttrString(obj, name, value) != 0) throw PyError{};
}

Ref pyint(Py_ssize_t v) { return Ref::steal_or_throw(PyLong_FromSsize_t(v)); }

Py_ssize_t as_ssize(PyObject* obj) {
    Ref index = Ref::steal_or_throw(PyNumber_Index(obj));
    const Py_ssize_t v = PyNumber_AsSsize_t(index.get(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

/// obj.shape[axis] as an integer (IndexError when the shape is shorter).
Py_ssize_t extent(PyObject* obj, Py_ssize_t axis) {
    Ref shape = getattr(obj, "shape");
    Ref item = Ref::steal_or_throw(PySequence_GetItem(shape.get(), axis));
    return as_ssize(item.get());
}

Ref getitem(PyObject* obj, PyObject* key) {
    return Ref::steal_or_throw(PyObject_GetItem(obj, key));
}

Ref getitem_index(PyObject* obj, Py_ssize_t i) {
    Ref key = pyint(i);
    return getitem(obj, key.get());
}

bool truth(PyObject* obj) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) throw PyError{};
    return t != 0;
}

Ref slice(Py_ssize_t start, Py_ssize_t stop, bool has_start, bool has_stop) {
    Ref a = has_start ? pyint(start) : Ref::borrow(Py_None);
    Ref b = has_stop ? pyint(stop) : Ref::borrow(Py_None);
    return Ref::steal_or_throw(PySlice_New(a.get(), b.get(), nullptr));
}

/// M[rows, :][:, cols] with NumPy indexing.
Ref submatrix(PyObject* M, PyObject* rows, PyObject* cols) {
    Ref all = slice(0, 0, false, false);
    Ref key1 = Ref::steal_or_throw(PyTuple_Pack(2, rows, all.get()));
    Ref r = getitem(M, key1.get());
    Ref key2 = Ref::steal_or_throw(PyTuple_Pack(2, all.get(), cols));
    return getitem(r.get(), key2.get());
}

/// np.array(A[rows_from:, :cols_to])
Ref block_copy(PyObject* np, PyObject* A, Py_ssize_t rows_from, Py_ssize_t cols_to) {
    Ref s1 = slice(rows_from, 0, true, false);
    Ref s2 = slice(0, cols_to, false, true);
    Ref key = Ref::steal_or_throw(PyTuple_Pack(2, s1.get(), s2.get()));
    Ref block = getitem(A, key.get());
    return Ref::steal_or_throw(PyObject_CallMethod(np, "array", "O", block.get()));
}

Ref new_bool_array(npy_intp rows, npy_intp cols, int ndim) {
    npy_intp dims[2] = {rows, cols};
    return Ref::steal_or_throw(PyArray_ZEROS(ndim, dims, NPY_BOOL, 0));
}

/// Runs body; on error adds the traceback entry of an internal kernel.
template <class F>
auto traced(const char* name, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        add_traceback(name);
        throw PyError{};
    }
}

Poll signal_poll() { return Poll{poll_signals, nullptr}; }

/// The A-matrix of (stoi, reginfo) as a new memory view over a new array.
Ref construct_A_view(PyObject* stoi, PyObject* reginfo) {
    Buffer rbuf(reginfo, Elem::Double, 2);
    return traced("cy_construct_A_from", [&] {
        require_ndarray(stoi);
        Buffer sbuf(stoi, Elem::Double, 2);
        Matrix<double> A;
        {
            GilRelease nogil;
            A = construct_A(sbuf.matrix<const double>(), rbuf.matrix<const double>(),
                            signal_poll());
        }
        npy_intp dims[2] = {A.rows(), A.cols()};
        Ref arr = Ref::steal_or_throw(PyArray_ZEROS(2, dims, NPY_DOUBLE, 0));
        if (A.rows() > 0)
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), A.data(),
                        static_cast<std::size_t>(A.rows() * A.cols()) * sizeof(double));
        return Ref::steal_or_throw(memview_wrap(arr.get()));
    });
}

/// Conserved-quantity classes of DT (L x m) as a new bool memory view.
Ref cq_classes_view(PyObject* DT) {
    return traced("cy_cq_classifier", [&] {
        Buffer dbuf(DT, Elem::Double, 2);
        const npy_intp m = dbuf.extent(1);
        Ref out = new_bool_array(m, m, 2);
        auto* arr = reinterpret_cast<PyArrayObject*>(out.get());
        MatrixView<std::uint8_t> ov{static_cast<std::uint8_t*>(PyArray_DATA(arr)), m, m,
                                    PyArray_STRIDE(arr, 0), PyArray_STRIDE(arr, 1)};
        {
            GilRelease nogil;
            cq_classifier(dbuf.matrix<const double>(), ov);
        }
        return Ref::steal_or_throw(memview_wrap(out.get()));
    });
}

/// XandR of m + n booleans from two index containers (membership tests in
/// ascending order of the index).
///
/// m and n come from a `shape` attribute, which only an ndarray guarantees to
/// be non-negative: entries are written with NumPy's index rules (a negative
/// position counts from the end, anything outside raises IndexError), so an
/// object with a negative extent can never reach outside the vector.
Ref selection_from_indices(PyObject* X, PyObject* R, Py_ssize_t m, Py_ssize_t n) {
    Ref XandR = new_bool_array(m + n, 0, 1);
    auto* arr = reinterpret_cast<PyArrayObject*>(XandR.get());
    auto* data = static_cast<npy_bool*>(PyArray_DATA(arr));
    const Py_ssize_t size = PyArray_DIM(arr, 0);
    auto set = [&](Py_ssize_t pos, int value) {
        const Py_ssize_t at = pos < 0 ? pos + size : pos;
        if (at < 0 || at >= size)
            raise(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", pos,
                  size);
        data[at] = static_cast<npy_bool>(value);
    };
    for (Py_ssize_t i = 0; i < m; ++i) {
        Ref key = pyint(i);
        const int in = PySequence_Contains(X, key.get());
        if (in < 0) throw PyError{};
        set(i, in);
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        Ref key = pyint(j);
        const int in = PySequence_Contains(R, key.get());
        if (in < 0) throw PyError{};
        set(m + j, in);
    }
    return XandR;
}

// ---------------------------------------------------------------------------
// CRN.__init__

PyObject* crn_init(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject *stoi_arg = a[1], *reginfo_arg = a[2], *X_names = a[3], *R_names = a[4],
             *name = a[5];
    Ref np = module_global("np");
    setattr(self, "name", name);

    Ref kwargs = Ref::steal_or_throw(Py_BuildValue("{s:O}", "dtype", &PyFloat_Type));
    Ref asarray = getattr(np.get(), "asarray");
    auto as_float_array = [&](PyObject* x) {
        Ref args = Ref::steal_or_throw(PyTuple_Pack(1, x));
        return Ref::steal_or_throw(PyObject_Call(asarray.get(), args.get(), kwargs.get()));
    };
    Ref stoi = as_float_array(stoi_arg);
    setattr(self, "stoi", stoi.get());

    Ref reginfo;
    if (reginfo_arg == Py_None) {
        Ref copy = Ref::steal_or_throw(PyObject_CallMethod(stoi.get(), "copy", nullptr));
        Ref zero = Ref::steal_or_throw(PyFloat_FromDouble(0.0));
        Ref deflt = Ref::steal_or_throw(PyNumber_Multiply(copy.get(), zero.get()));
        Ref ntol = Ref::steal_or_throw(PyFloat_FromDouble(-TOL));
        Ref consumed = Ref::steal_or_throw(PyObject_RichCompare(stoi.get(), ntol.get(), Py_LT));
        Ref inf = Ref::steal_or_throw(PyFloat_FromDouble(HUGE_VAL));
        if (PyObject_SetItem(deflt.get(), consumed.get(), inf.get()) != 0) throw PyError{};
        reginfo = as_float_array(deflt.get());
    } else {
        reginfo = as_float_array(reginfo_arg);
    }
    setattr(self, "reginfo", reginfo.get());

    auto default_names = [&](const char* prefix, Py_ssize_t axis) {
        const Py_ssize_t count = extent(stoi.get(), axis);
        Ref list = Ref::steal_or_throw(PyList_New(0));
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref s = Ref::steal_or_throw(PyUnicode_FromFormat("%s%zd", prefix, i));
            if (PyList_Append(list.get(), s.get()) != 0) throw PyError{};
        }
        return list;
    };
    if (X_names != Py_None) {
        setattr(self, "X_names", X_names);
    } else {
        Ref names = default_names("X", 0);
        setattr(self, "X_names", names.get());
    }
    if (R_names != Py_None) {
        setattr(self, "R_names", R_names);
    } else {
        Ref names = default_names("R", 1);
        setattr(self, "R_names", names.get());
    }

    Ref A = construct_A_view(stoi.get(), reginfo.get());
    setattr(self, "A", A.get());

    const Py_ssize_t n = extent(stoi.get(), 1);
    const Py_ssize_t m = extent(stoi.get(), 0);
    Ref DT = block_copy(np.get(), A.get(), n, m);
    Ref cq = cq_classes_view(DT.get());
    setattr(self, kCqClass, cq.get());

    Ref absr = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "abs", "O", reginfo.get()));
    Ref tol = Ref::steal_or_throw(PyFloat_FromDouble(TOL));
    Ref small = Ref::steal_or_throw(PyObject_RichCompare(absr.get(), tol.get(), Py_LT));
    Ref oc = Ref::steal_or_throw(PyNumber_Invert(small.get()));
    setattr(self, kOcKeeper, oc.get());
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// CRN._smat_

PyObject* crn_smat(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* trial_arg = a[1];
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref A = getattr(self, "A");
    const Py_ssize_t L = extent(A.get(), 0);

    Ref booleanS = new_bool_array(M, N, 2);
    auto* bs = reinterpret_cast<PyArrayObject*>(booleanS.get());
    // Checked before the empty case: an empty A-matrix stored on a network
    // with species or reactions is as unusable as any other too small one.
    if (M > L || N > L)
        raise(PyExc_ValueError,
              "the A-matrix of order %zd is smaller than the stoichiometry matrix (%zd, %zd)", L,
              M, N);
    // A network without species and reactions has an empty A-matrix and an
    // empty sensitivity matrix.
    if (L == 0) {
        (void)as_ssize(trial_arg);
        return booleanS.release();
    }

    // A fresh float64 copy of A: its free entries (infinite or NaN) are the
    // positions the random values go to, in row-major order.
    Ref Acopy = Ref::steal_or_throw(PyObject_CallMethod(A.get(), "copy", nullptr));
    Ref base = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "array", "O", Acopy.get()));
    Buffer abuf(base.get(), Elem::Double, 2);
    if (abuf.extent(0) != L || abuf.extent(1) != L)
        raise(PyExc_ValueError, "the A-matrix must be square, got shape (%zd, %zd)",
              static_cast<Py_ssize_t>(abuf.extent(0)), static_cast<Py_ssize_t>(abuf.extent(1)));
    Matrix<double> fixed(L, L);
    std::vector<index_t> free_positions;
    {
        auto av = abuf.matrix<const double>();
        for (index_t i = 0; i < L; ++i)
            for (index_t j = 0; j < L; ++j) {
                const double v = av(i, j);
                fixed(i, j) = v;
                if (!(std::fabs(v) < HUGE_VAL)) free_positions.push_back(i * L + j);
            }
    }
    const auto k = static_cast<Py_ssize_t>(free_positions.size());

    // The exact pattern needs the stoichiometry as a float64 matrix; the
    // cofactor workspace (L*L minors of order L-1) is allocated only if a trial
    // has to fall back to cofactors.
    std::optional<Buffer> sbuf;
    if (PyArray_Check(stoi.get())) {
        auto* sarr = reinterpret_cast<PyArrayObject*>(stoi.get());
        if (PyArray_NDIM(sarr) == 2 && PyArray_TYPE(sarr) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(sarr) && PyArray_ISALIGNED(sarr))
            sbuf.emplace(stoi.get(), Elem::Double, 2);
    }
    Ref work;
    double* minors = nullptr;

    const Py_ssize_t trials = as_ssize(trial_arg);
    Ref random = getattr(np.get(), "random");
    Ref normal = getattr(random.get(), "normal");
    Ref kw = Ref::steal_or_throw(Py_BuildValue("{s:n,s:d}", "size", k, "scale", 10.0));
    Ref noargs = Ref::steal_or_throw(PyTuple_New(0));
    auto* out = static_cast<std::uint8_t*>(PyArray_DATA(bs));
    const npy_intp bs0 = PyArray_STRIDE(bs, 0), bs1 = PyArray_STRIDE(bs, 1);
    const MatrixView<std::uint8_t> out_view{out, M, N, bs0, bs1};

    Matrix<double> randA;
    for (Py_ssize_t t = 0; t < trials; ++t) {
        randA = fixed;
        Ref draw = Ref::steal_or_throw(PyObject_Call(normal.get(), noargs.get(), kw.get()));
        Ref values = Ref::steal_or_throw(
            PyArray_FROMANY(draw.get(), NPY_DOUBLE, 0, 1, NPY_ARRAY_CARRAY_RO));
        auto* varr = reinterpret_cast<PyArrayObject*>(values.get());
        if (PyArray_SIZE(varr) != k)
            raise(PyExc_ValueError, "expected %zd random values, got %zd", k,
                  static_cast<Py_ssize_t>(PyArray_SIZE(varr)));
        const auto* v = static_cast<const double*>(PyArray_DATA(varr));
        for (Py_ssize_t p = 0; p < k; ++p) randA.data()[free_positions[p]] = v[p];

        // Exact non-zero pattern of the species-by-reaction block of adj(randA),
        // with the cycle and conservation blocks taken exactly from stoi.
        if (sbuf) {
            const auto item = static_cast<index_t>(sizeof(double));
            const MatrixView<const double> top{randA.data(), N, M, L * item, item};
            const bool exact = traced("cy_adjugate", [&] {
                GilRelease nogil;
                return exact_sensitivity_pattern(sbuf->matrix<const double>(), top, L - M,
                                                 L - N, out_view, signal_poll());
            });
            if (exact) continue;
        }
        if (minors == nullptr) {
            npy_intp wdims[3] = {L * L, L - 1, L - 1};
            work = Ref::steal_or_throw(PyArray_EMPTY(3, wdims, NPY_DOUBLE, 0));
            minors = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(work.get())));
        }
        traced("cy_adjugate", [&] {
            GilRelease nogil;
            adjugate(randA.view(), L, minors, signal_poll());
        });
        for (index_t i = 0; i < M; ++i)
            for (index_t j = 0; j < N; ++j)
                if (std::fabs(randA(i, j)) > TOL) out[i * bs0 + j * bs1] = 1;
    }
    return booleanS.release();
}

// ---------------------------------------------------------------------------
// Closure-based methods

struct Relations {
    Buffer oc, lo, cq;
    Relations(PyObject* self, PyObject* lo_keeper, Ref& oc_ref, Ref& cq_ref)
        : oc((oc_ref = getattr(self, kOcKeeper)).get(), Elem::Bool, 2),
          lo(lo_keeper, Elem::Bool, 2),
          cq((cq_ref = getattr(self, kCqClass)).get(), Elem::Bool, 2) {}
};

PyObject* crn_isoBS_searchfrom(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *X = a[1], *R = a[2], *trial = a[3];
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref XandR = selection_from_indices(X, R, M, N);
    Ref lo_keeper = Ref::steal_or_throw(PyObject_CallMethod(self, "_smat_", "O", trial));
    Ref oc_ref, cq_ref;
    Relations rel(self, lo_keeper.get(), oc_ref, cq_ref);
    auto* sel = reinterpret_cast<PyArrayObject*>(XandR.get());
    VectorView<std::uint8_t> sv{static_cast<std::uint8_t*>(PyArray_DATA(sel)), M + N, 1};
    traced("cy_oc_closure", [&] {
        GilRelease nogil;
        oc_closure(sv, rel.oc.matrix<const std::uint8_t>(), rel.lo.matrix<const std::uint8_t>(),
                   rel.cq.matrix<const std::uint8_t>(), M, N);
    });
    Ref Xs = Ref::steal_or_throw(PyList_New(0));
    Ref Rs = Ref::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < M + N; ++i) {
        if (!sv(i)) continue;
        Ref idx = pyint(i < M ? i : i - M);
        if (PyList_Append(i < M ? Xs.get() : Rs.get(), idx.get()) != 0) throw PyError{};
    }
    return PyTuple_Pack(2, Xs.get(), Rs.get());
}

PyObject* crn_compute_index(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *X = a[1], *R = a[2];
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    const Py_ssize_t N = extent(stoi.get(), 1);
    Ref XandR = selection_from_indices(X, R, M, N);
    Ref A = getattr(self, "A");
    Ref DT = block_copy(np.get(), A.get(), N, M);
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

PyObject* crn_search_for_isoBSs(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *trial = a[1];
    Ref np = module_global("np");
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t m = extent(stoi.get(), 0);
    const Py_ssize_t n = extent(stoi.get(), 1);
    Ref A = getattr(self, "A");
    Ref DT = block_copy(np.get(), A.get(), n, m);
    Buffer dbuf(DT.get(), Elem::Double, 2);
    Ref lo_keeper = Ref::steal_or_throw(PyObject_CallMethod(self, "_smat_", "O", trial));
    require_ndarray(stoi.get());
    Buffer sbuf(stoi.get(), Elem::Double, 2);
    Ref oc_ref, cq_ref;
    Relations rel(self, lo_keeper.get(), oc_ref, cq_ref);

    std::vector<Selection> found;
    {
        GilRelease nogil;
        found = search_isoBSs(sbuf.matrix<const double>(), dbuf.matrix<const double>(),
                              rel.oc.matrix<const std::uint8_t>(),
                              rel.lo.matrix<const std::uint8_t>(),
                              rel.cq.matrix<const std::uint8_t>(), signal_poll());
    }
    Ref result = Ref::steal_or_throw(PyList_New(0));
    for (const Selection& s : found) {
        Ref arr = new_bool_array(static_cast<npy_intp>(s.size()), 0, 1);
        auto* data = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
        for (std::size_t i = 0; i < s.size(); ++i) data[i] = s[i] != 0;
        if (PyList_Append(result.get(), arr.get()) != 0) throw PyError{};
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// CRN.signdet_subnetwork and CRN.structural_reduction

/// A selection has one entry per species and one per reaction: NumPy would
/// read a too short one (an empty mask part) as an empty index list.
void check_selection_length(PyObject* XandR, Py_ssize_t m, Py_ssize_t n) {
    const Py_ssize_t len = PyObject_Length(XandR);
    if (len < 0) throw PyError{};
    if (len != m + n)
        raise(PyExc_ValueError,
              "the selection has %zd entries, but the network has %zd species and %zd "
              "reactions",
              len, m, n);
}

PyObject* crn_signdet_subnetwork(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *XandR = a[1];
    Ref stoi = getattr(self, "stoi");
    const Py_ssize_t M = extent(stoi.get(), 0);
    check_selection_length(XandR, M, extent(stoi.get(), 1));
    Ref rows = Ref::steal_or_throw(PySequence_GetSlice(XandR, 0, M));
    Ref cols = Ref::steal_or_throw(PySequence_GetSlice(XandR, M, PY_SSIZE_T_MAX));
    Ref S = submatrix(stoi.get(), rows.get(), cols.get());
    Ref reginfo = getattr(self, "reginfo");
    Ref G = submatrix(reginfo.get(), rows.get(), cols.get());
    Ref Agamma = construct_A_view(S.get(), G.get());
    Ref np = module_global("np");
    Ref arr = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "array", "O", Agamma.get()));
    Ref signdet = module_global("signdet");
    return PyObject_CallOneArg(signdet.get(), arr.get());
}

Ref bool_array(PyObject* np, PyObject* x) {
    Ref kw = Ref::steal_or_throw(PyDict_New());
    Ref dtype = getattr(np, "bool_");
    if (PyDict_SetItemString(kw.get(), "dtype", dtype.get()) != 0) throw PyError{};
    Ref args = Ref::steal_or_throw(PyTuple_Pack(1, x));
    Ref fn = getattr(np, "array");
    Ref arr = Ref::steal_or_throw(PyObject_Call(fn.get(), args.get(), kw.get()));
    // np is looked up in the module at every call: whatever it returned must
    // be an ndarray before it is looked at as one.
    require_ndarray(arr.get());
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr.get())) != 1)
        raise(PyExc_ValueError, "a selection must be one-dimensional");
    return arr;
}

Ref kept_names(PyObject* names, PyObject* XandR, Py_ssize_t offset, Py_ssize_t count) {
    Ref list = Ref::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref mark = getitem_index(XandR, offset + i);
        if (truth(mark.get())) continue;
        Ref name = getitem_index(names, i);
        if (PyList_Append(list.get(), name.get()) != 0) throw PyError{};
    }
    return list;
}

PyObject* crn_structural_reduction(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *XandR = a[1];
    Ref np = module_global("np");
    Ref NU = getattr(self, "stoi");
    require_ndarray(NU.get());
    { Buffer check(NU.get(), Elem::Double, 2); }
    const Py_ssize_t M = extent(NU.get(), 0);
    const Py_ssize_t N = extent(NU.get(), 1);
    check_selection_length(XandR, M, N);

    Ref xpart = Ref::steal_or_throw(PySequence_GetSlice(XandR, 0, M));
    Ref rpart = Ref::steal_or_throw(PySequence_GetSlice(XandR, M, PY_SSIZE_T_MAX));
    Ref X = bool_array(np.get(), xpart.get());
    Ref R = bool_array(np.get(), rpart.get());
    Ref notX = Ref::steal_or_throw(PyNumber_Invert(X.get()));
    Ref notR = Ref::steal_or_throw(PyNumber_Invert(R.get()));

    // Every new value is computed before any attribute changes, so a failure
    // leaves the network as it was.
    Ref S11 = submatrix(NU.get(), notX.get(), notR.get());
    Ref S12 = submatrix(NU.get(), notX.get(), R.get());
    Ref S22 = submatrix(NU.get(), X.get(), R.get());
    Ref linalg = getattr(np.get(), "linalg");
    Ref P = Ref::steal_or_throw(PyObject_CallMethod(linalg.get(), "pinv", "O", S22.get()));
    Ref T = Ref::steal_or_throw(PyObject_CallMethod(S12.get(), "dot", "O", P.get()));
    Ref S21 = submatrix(NU.get(), X.get(), notR.get());
    Ref TS21 = Ref::steal_or_throw(PyObject_CallMethod(T.get(), "dot", "O", S21.get()));
    Ref stoi_reduc = Ref::steal_or_throw(PyNumber_Subtract(S11.get(), TS21.get()));

    Ref reginfo = getattr(self, "reginfo");
    Ref reginfo_reduc = submatrix(reginfo.get(), notX.get(), notR.get());
    Ref A = construct_A_view(stoi_reduc.get(), reginfo_reduc.get());
    Ref cq_old = getattr(self, kCqClass);
    Ref cq_arr = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "array", "O", cq_old.get()));
    Ref cq = submatrix(cq_arr.get(), notX.get(), notX.get());
    Ref oc_old = getattr(self, kOcKeeper);
    Ref oc_arr = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "array", "O", oc_old.get()));
    Ref oc = submatrix(oc_arr.get(), notX.get(), notR.get());
    Ref X_names = getattr(self, "X_names");
    Ref X_reduc = kept_names(X_names.get(), XandR, 0, M);
    Ref R_names = getattr(self, "R_names");
    Ref R_reduc = kept_names(R_names.get(), XandR, M, N);

    setattr(self, "stoi", stoi_reduc.get());
    setattr(self, "reginfo", reginfo_reduc.get());
    setattr(self, "A", A.get());
    setattr(self, kCqClass, cq.get());
    setattr(self, kOcKeeper, oc.get());
    setattr(self, "X_names", X_reduc.get());
    setattr(self, "R_names", R_reduc.get());
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// indicator_diagnose

bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return true;
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) {
        PyErr_Clear();
        return true;
    }
    return PyLong_AsLong(optimize.get()) == 0;
}

/// Unpacks exactly two extents of a shape.
void unpack2(PyObject* shape, Ref& first, Ref& second) {
    Ref it = Ref::steal_or_throw(PyObject_GetIter(shape));
    Ref items[2];
    Py_ssize_t got = 0;
    for (; got < 2; ++got) {
        items[got] = Ref::steal(PyIter_Next(it.get()));
        if (!items[got]) {
            if (PyErr_Occurred()) throw PyError{};
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                  got == 1 ? "" : "s");
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    if (PyErr_Occurred()) throw PyError{};
    first = std::move(items[0]);
    second = std::move(items[1]);
}

Ref names_of(PyObject* crn, const char* attr, PyObject* selection, Py_ssize_t offset) {
    Ref names = getattr(crn, attr);
    const Py_ssize_t count = PyObject_Length(names.get());
    if (count < 0) throw PyError{};
    Ref out = Ref::steal_or_throw(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref mark = getitem_index(selection, offset + i);
        if (!truth(mark.get())) continue;
        Ref name = getitem_index(names.get(), i);
        if (PyList_Append(out.get(), name.get()) != 0) throw PyError{};
    }
    return out;
}

PyObject* indicator_diagnose_impl(PyObject*, PyObject* const* a) {
    PyObject* crn = a[0];
    if (assertions_enabled()) {
        Ref cls = module_global("CRN");
        const int ok = PyObject_IsInstance(crn, cls.get());
        if (ok < 0) throw PyError{};
        if (!ok) {
            PyErr_SetNone(PyExc_AssertionError);
            throw PyError{};
        }
    }
    Ref res = Ref::steal_or_throw(PyList_New(0));
    Ref stoi0 = getattr(crn, "stoi");
    const Py_ssize_t P = extent(stoi0.get(), 1);
    for (Py_ssize_t pass = 0; pass < P; ++pass) {
        Ref stoi = getattr(crn, "stoi");
        Ref shape = getattr(stoi.get(), "shape");
        Ref Mobj, Nobj;
        unpack2(shape.get(), Mobj, Nobj);
        const Py_ssize_t M = as_ssize(Mobj.get());

        Ref found = Ref::steal_or_throw(PyObject_CallMethod(crn, "search_for_isoBSs", nullptr));
        Ref minisoBS = getitem_index(found.get(), 0);
        Ref X = names_of(crn, "X_names", minisoBS.get(), 0);
        Ref R = names_of(crn, "R_names", minisoBS.get(), M);

        auto holds_every_species = [&] {
            Ref s = getattr(crn, "stoi");
            return PyList_GET_SIZE(X.get()) == extent(s.get(), 0);
        };
        const bool whole = holds_every_species();
        if (whole) {
            Ref all = slice(0, 0, false, false);
            if (PyObject_SetItem(minisoBS.get(), all.get(), Py_True) != 0) throw PyError{};
            X = names_of(crn, "X_names", minisoBS.get(), 0);
            R = names_of(crn, "R_names", minisoBS.get(), M);
        }
        Ref sign = Ref::steal_or_throw(
            PyObject_CallMethod(crn, "signdet_subnetwork", "O", minisoBS.get()));
        Ref record = Ref::steal_or_throw(PyDict_New());
        if (PyDict_SetItemString(record.get(), "chemicals", X.get()) != 0 ||
            PyDict_SetItemString(record.get(), "reactions", R.get()) != 0 ||
            PyDict_SetItemString(record.get(), "sign_det", sign.get()) != 0 ||
            PyList_Append(res.get(), record.get()) != 0)
            throw PyError{};
        if (holds_every_species()) break;
        Ref none = Ref::steal_or_throw(
            PyObject_CallMethod(crn, "structural_reduction", "O", minisoBS.get()));
    }
    return res.release();
}

// ---------------------------------------------------------------------------
// Documentation and the class namespace.

const char init_doc[] =
    "\n"
    "        Initialize a Chemical Reaction Network.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        stoi : ndarray\n"
    "            Stoichiometry matrix (num_chem x num_react)\n"
    "        reginfo : ndarray, optional\n"
    "            Regulation information matrix (num_chem x num_react), defaults to infinity "
    "where stoi < -TOL\n"
    "        X_names : list of str, optional\n"
    "            Names of chemical species, defaults to ['X0', 'X1', ...]\n"
    "        R_names : list of str, optional\n"
    "            Names of reactions, defaults to ['R0', 'R1', ...]\n"
    "        name : str, optional\n"
    "            Name of the CRN\n"
    "        ";

const char smat_doc[] =
    "\n"
    "        Compute a boolean sensitivity matrix using random perturbations.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        trial : int, optional\n"
    "            Number of random trials to aggregate (default: 2)\n"
    "\n"
    "        Returns:\n"
    "        --------\n"
    "        ndarray\n"
    "            Boolean sensitivity matrix (num_chem x num_react)\n"
    "        ";

const char searchfrom_doc[] =
    "\n"
    "        Search for an isolated buffered subnetwork starting from given species and "
    "reactions.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        X : list of int\n"
    "            Indices of initial chemical species\n"
    "        R : list of int\n"
    "            Indices of initial reactions\n"
    "        trial : int, optional\n"
    "            Number of trials for sensitivity matrix (default: 2)\n"
    "\n"
    "        Returns:\n"
    "        --------\n"
    "        tuple\n"
    "            (Xs, Rs) - Lists of species and reaction indices in the subnetwork\n"
    "        ";

const char compute_index_doc[] =
    "\n"
    "        Compute the chi-index for a subnetwork defined by species and reactions.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        X : list of int\n"
    "            Indices of chemical species\n"
    "        R : list of int\n"
    "            Indices of reactions\n"
    "\n"
    "        Returns:\n"
    "        --------\n"
    "        int\n"
    "            Chi-index of the subnetwork\n"
    "        ";

const char search_doc[] =
    "\n"
    "        Search for all unique isolated buffered subnetworks with chi-index 0.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        trial : int, optional\n"
    "            Number of trials for sensitivity matrix (default: 2)\n"
    "\n"
    "        Returns:\n"
    "        --------\n"
    "        list\n"
    "            List of unique XandR arrays sorted by species count, then reaction count\n"
    "        ";

const char signdet_subnetwork_doc[] =
    "\n"
    "        Compute the sign of the determinant for a subnetwork defined by XandR.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        XandR : ndarray\n"
    "            Boolean array (num_chem + num_react) indicating selected species and "
    "reactions\n"
    "\n"
    "        Returns:\n"
    "        --------\n"
    "        float\n"
    "            Sign of the determinant of the subnetwork A matrix\n"
    "        ";

const char reduction_doc[] =
    "\n"
    "        Contract a subnetwork out of the network, in place.\n"
    "\n"
    "        Parameters:\n"
    "        -----------\n"
    "        XandR : array_like\n"
    "            Boolean array (num_chem + num_react) marking the species and reactions "
    "to eliminate\n"
    "        ";

const char diagnose_doc[] =
    "\n"
    "    Diagnose a network by contracting its minimal isolated buffering structures.\n"
    "\n"
    "    Parameters:\n"
    "    -----------\n"
    "    crn : CRN\n"
    "        The network; it is reduced in place\n"
    "\n"
    "    Returns:\n"
    "    --------\n"
    "    list\n"
    "        Records {\"chemicals\", \"reactions\", \"sign_det\"}, one per structure\n"
    "    ";

const FuncSpec method_specs[] = {
    {"__init__", "CRN.__init__", "CRN.__init__", init_doc,
     {"__init__", {"self", "stoi", "reginfo", "X_names", "R_names", "name"}, 2}, crn_init},
    {"_smat_", "CRN._smat_", "CRN._smat_", smat_doc, {"_smat_", {"self", "trial"}, 1}, crn_smat},
    {"isoBS_searchfrom", "CRN.isoBS_searchfrom", "CRN.isoBS_searchfrom", searchfrom_doc,
     {"isoBS_searchfrom", {"self", "X", "R", "trial"}, 3}, crn_isoBS_searchfrom},
    {"compute_index", "CRN.compute_index", "CRN.compute_index", compute_index_doc,
     {"compute_index", {"self", "X", "R"}, 3}, crn_compute_index},
    {"search_for_isoBSs", "CRN.search_for_isoBSs", "CRN.search_for_isoBSs", search_doc,
     {"search_for_isoBSs", {"self", "trial"}, 1}, crn_search_for_isoBSs},
    {"signdet_subnetwork", "CRN.signdet_subnetwork", "CRN.signdet_subnetwork",
     signdet_subnetwork_doc, {"signdet_subnetwork", {"self", "XandR"}, 2},
     crn_signdet_subnetwork},
    {"structural_reduction", "CRN.structural_reduction", "CRN.structural_reduction",
     reduction_doc, {"structural_reduction", {"self", "XandR"}, 2}, crn_structural_reduction},
};

}  // namespace

const FuncSpec indicator_diagnose_spec = {
    "indicator_diagnose", "indicator_diagnose", "indicator_diagnose", diagnose_doc,
    {"indicator_diagnose", {"crn"}, 1}, indicator_diagnose_impl,
};

Ref make_crn_class() {
    Ref ns = Ref::steal_or_throw(PyDict_New());
    Ref module = Ref::steal_or_throw(PyUnicode_FromString("quelmar.cyquelmar"));
    Ref qualname = Ref::steal_or_throw(PyUnicode_FromString("CRN"));
    Ref doc = Ref::steal_or_throw(
        PyUnicode_FromString("Chemical Reaction Network (CRN) representation and analysis."));
    if (PyDict_SetItemString(ns.get(), "__module__", module.get()) != 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) != 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) != 0)
        throw PyError{};
    Ref init_defaults = Ref::steal_or_throw(Py_BuildValue("(OOOO)", Py_None, Py_None, Py_None, Py_None));
    Ref trial_default = Ref::steal_or_throw(Py_BuildValue("(i)", 2));
    for (const FuncSpec& spec : method_specs) {
        PyObject* defaults = nullptr;  // borrowed
        if (std::strcmp(spec.name, "__init__") == 0) defaults = init_defaults.get();
        else if (std::strcmp(spec.name, "_smat_") == 0 ||
                 std::strcmp(spec.name, "isoBS_searchfrom") == 0 ||
                 std::strcmp(spec.name, "search_for_isoBSs") == 0)
            defaults = trial_default.get();
        Ref fn = make_function(&spec, defaults, nullptr);
        if (PyDict_SetItemString(ns.get(), spec.name, fn.get()) != 0) throw PyError{};
    }
    Ref bases = Ref::steal_or_throw(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref name = Ref::steal_or_throw(PyUnicode_FromString("CRN"));
    Ref args = Ref::steal_or_throw(PyTuple_Pack(3, name.get(), bases.get(), ns.get()));
    return Ref::steal_or_throw(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr));
}

}  // namespace quelmar::py
