// CRN construction, and the steps of it that the analyses repeat: the
// A-matrix as a memory view, the conserved-quantity block, selections.
#include "crn.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <unistd.h>

#include "amatrix.hpp"
#include "invariants.hpp"
#include "memview.hpp"
#include "module.hpp"

namespace quelmar::py {

void check_extents(Py_ssize_t m, Py_ssize_t n) {
    if (m > kMaxExtent || n > kMaxExtent)
        raise(PyExc_ValueError,
              "the stoichiometry matrix has shape (%zd, %zd); at most %zd species and %zd "
              "reactions are supported",
              m, n, kMaxExtent, kMaxExtent);
}

namespace {

// The A-matrix has order m + K = n + L, at least max(m, n): a network whose
// A-matrix alone could not fit in the machine's memory is refused before
// anything of its size (its default names, the reductions) is built.
void check_fits(Py_ssize_t m, Py_ssize_t n) {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return;
    const double memory = static_cast<double>(pages) * static_cast<double>(page);
    const double order = static_cast<double>(std::max(m, n));
    const double need = order * order * static_cast<double>(sizeof(double));
    if (need > memory) {
        char sizes[64];
        std::snprintf(sizes, sizeof sizes, "%.3g GB, more than this machine's %.3g GB",
                      need / 1e9, memory / 1e9);
        raise(PyExc_MemoryError,
              "the stoichiometry matrix has shape (%zd, %zd): its A-matrix has order at least "
              "%zd, %s of memory",
              m, n, std::max(m, n), sizes);
    }
}

}  // namespace

Ref submatrix(PyObject* M, PyObject* rows, PyObject* cols) {
    Ref all = slice_all();
    Ref key1 = tuple(rows, all.get());
    Ref r = getitem(M, key1.get());
    Ref key2 = tuple(all.get(), cols);
    return getitem(r.get(), key2.get());
}

Ref conserved_block(PyObject* np, PyObject* A, Py_ssize_t n, Py_ssize_t m) {
    Ref from_n = slice_from(n);
    Ref to_m = slice_to(m);
    Ref key = tuple(from_n.get(), to_m.get());
    Ref block = getitem(A, key.get());
    return call_method(np, "array", block.get());
}

namespace {

// The A-matrices of the last few large networks built, found again by the
// exact bits of their stoichiometry and regulation matrices: a network built
// again from the same matrices (the analysis works on a copy of the caller's
// network, a notebook analyses one network several times) takes its
// A-matrix from here, with the same bits, instead of reducing its
// stoichiometry matrix again.  Matrices are kept sparse (the entries whose
// bits are not those of +0.0, so -0.0 and NaN payloads count), and an
// A-matrix only when most of it is zero: a genome-scale network costs a few
// megabytes.  Small networks are not kept: reducing them is cheaper than
// comparing.
constexpr index_t kRememberFrom = 1 << 16;  // entries of the stoichiometry matrix
constexpr std::size_t kRemembered = 4;

bool zero_bits(double x) {
    std::uint64_t b = 0;
    std::memcpy(&b, &x, sizeof b);
    return b == 0;
}

struct SparseBits {
    index_t rows = 0, cols = 0;
    Vec<index_t> at;  // row-major positions
    Vec<double> value;

    void keep(const MatrixView<const double>& M) {
        rows = M.rows;
        cols = M.cols;
        at.clear();
        value.clear();
        for (index_t i = 0; i < rows; ++i)
            for (index_t j = 0; j < cols; ++j)
                if (!zero_bits(M(i, j))) {
                    at.push_back(i * cols + j);
                    value.push_back(M(i, j));
                }
    }
    bool same(const MatrixView<const double>& M) const {
        if (M.rows != rows || M.cols != cols) return false;
        std::size_t k = 0;
        for (index_t i = 0; i < rows; ++i)
            for (index_t j = 0; j < cols; ++j) {
                const double x = M(i, j);
                if (zero_bits(x)) continue;
                if (k == at.size() || at[k] != i * cols + j ||
                    std::memcmp(&value[k], &x, sizeof x) != 0)
                    return false;
                ++k;
            }
        return k == at.size();
    }
    void fill(double* out) const {  // into rows x cols zeros, row-major
        for (std::size_t k = 0; k < at.size(); ++k) out[at[k]] = value[k];
    }
};

struct BuiltA {
    SparseBits stoi, reginfo, A;
    std::uint64_t used = 0;
};

struct BuiltStore {
    std::mutex lock;
    std::vector<BuiltA> slots;
    std::uint64_t clock = 0;
};

BuiltStore& built_store() {
    static BuiltStore* store = new BuiltStore();  // never destroyed: no work at exit
    return *store;
}

/// The remembered A-matrix of (S, R) copied into a new array, or null.
Ref remembered_A(const MatrixView<const double>& S, const MatrixView<const double>& R) {
    const SparseBits* found = nullptr;
    BuiltStore& store = built_store();
    std::unique_lock<std::mutex> hold(store.lock, std::defer_lock);
    {
        GilRelease nogil;
        hold.lock();
        for (BuiltA& b : store.slots)
            if (b.stoi.same(S) && b.reginfo.same(R)) {
                b.used = ++store.clock;
                found = &b.A;
                break;
            }
    }
    if (found == nullptr) return Ref();
    Ref arr = zeros<double>({found->rows, found->cols});
    found->fill(data_of<double>(arr.get()));
    return arr;
}

void remember_A(const MatrixView<const double>& S, const MatrixView<const double>& R,
                const Matrix<double>& A) {
    BuiltA b;
    b.A.keep(A.view());
    if (4 * b.A.at.size() > static_cast<std::size_t>(A.rows() * A.cols())) return;
    b.stoi.keep(S);
    b.reginfo.keep(R);
    BuiltStore& store = built_store();
    const std::lock_guard<std::mutex> hold(store.lock);
    for (const BuiltA& o : store.slots)
        if (o.stoi.same(S) && o.reginfo.same(R)) return;  // another thread was first
    b.used = ++store.clock;
    if (store.slots.size() < kRemembered) {
        store.slots.push_back(std::move(b));
        return;
    }
    auto oldest = std::min_element(store.slots.begin(), store.slots.end(),
                                   [](const BuiltA& x, const BuiltA& y) { return x.used < y.used; });
    *oldest = std::move(b);
}

}  // namespace

Ref construct_A_view(PyObject* stoi, PyObject* reginfo) {
    Buffer rbuf(reginfo, Elem::Double, 2);
    return guarded("cy_construct_A_from", rethrow, [&] {
        require_ndarray(stoi);
        Buffer sbuf(stoi, Elem::Double, 2);
        const MatrixView<const double> S = sbuf.matrix<const double>();
        const MatrixView<const double> R = rbuf.matrix<const double>();
        const bool large = S.rows * S.cols >= kRememberFrom;
        if (large) {
            Ref arr = remembered_A(S, R);
            if (arr) return checked(memview_wrap(arr.get()));
        }
        Matrix<double> A;
        {
            GilRelease nogil;
            A = construct_A(S, R, signal_poll(), kernel_threads());
            if (large) remember_A(S, R, A);
        }
        Ref arr = zeros<double>({A.rows(), A.cols()});
        if (A.rows() > 0)
            std::memcpy(data_of<double>(arr.get()), A.data(),
                        static_cast<std::size_t>(A.rows() * A.cols()) * sizeof(double));
        return checked(memview_wrap(arr.get()));
    });
}

// m and n come from a `shape` attribute, which only an ndarray guarantees to
// be non-negative: entries are written with NumPy's index rules (a negative
// position counts from the end, anything outside raises IndexError), so an
// object with a negative extent can never reach outside the vector.
Ref selection_from_indices(PyObject* X, PyObject* R, Py_ssize_t m, Py_ssize_t n) {
    check_extents(m, n);
    Ref XandR = zeros<std::uint8_t>({m + n});
    auto* data = data_of<npy_bool>(XandR.get());
    const Py_ssize_t size = PyArray_DIM(as_array(XandR.get()), 0);
    auto set = [&](Py_ssize_t pos, int value) {
        const Py_ssize_t at = pos < 0 ? pos + size : pos;
        if (at < 0 || at >= size)
            raise(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", pos,
                  size);
        data[at] = static_cast<npy_bool>(value);
    };
    auto contains = [](PyObject* container, Py_ssize_t i) {
        Ref key = integer(i);
        const int in = PySequence_Contains(container, key.get());
        if (in < 0) throw PyError{};
        return in;
    };
    // A membership test of a big container can take long: Ctrl-C is
    // honoured between two of them.
    for (Py_ssize_t i = 0; i < m; ++i) {
        if (PyErr_CheckSignals() != 0) throw PyError{};
        set(i, contains(X, i));
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyErr_CheckSignals() != 0) throw PyError{};
        set(m + j, contains(R, j));
    }
    return XandR;
}

// NumPy would read a too short selection (an empty mask part) as an empty
// index list.
void check_selection_length(PyObject* XandR, Py_ssize_t m, Py_ssize_t n) {
    const Py_ssize_t len = PyObject_Length(XandR);
    if (len < 0) throw PyError{};
    if (len != m + n)
        raise(PyExc_ValueError,
              "the selection has %zd entries, but the network has %zd species and %zd "
              "reactions",
              len, m, n);
}

namespace {

/// Conserved-quantity classes of DT (L x m) as a new bool memory view.
Ref cq_classes_view(PyObject* DT) {
    return guarded("cy_cq_classifier", rethrow, [&] {
        Buffer dbuf(DT, Elem::Double, 2);
        const npy_intp m = dbuf.extent(1);
        Ref out = zeros<std::uint8_t>({m, m});
        {
            GilRelease nogil;
            cq_classifier(dbuf.matrix<const double>(), matrix_of<std::uint8_t>(out.get()));
        }
        return checked(memview_wrap(out.get()));
    });
}

/// ["X0", "X1", ...] with one name per entry of stoi's given axis.
Ref default_names(PyObject* stoi, const char* prefix, Py_ssize_t axis) {
    const Py_ssize_t count = extent(stoi, axis);
    Ref list = new_list();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref s = checked(PyUnicode_FromFormat("%s%zd", prefix, i));
        append(list.get(), s.get());
    }
    return list;
}

}  // namespace

PyObject* crn_init(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject *stoi_arg = a[1], *reginfo_arg = a[2], *X_names = a[3], *R_names = a[4], *name = a[5];
    Ref np = module_global("np");
    setattr(self, "name", name);

    Ref asarray = getattr(np.get(), "asarray");
    auto as_float_array = [&](PyObject* x) {
        return call(asarray.get(), x, {{"dtype", reinterpret_cast<PyObject*>(&PyFloat_Type)}});
    };
    Ref stoi = as_float_array(stoi_arg);
    setattr(self, "stoi", stoi.get());
    if (PyArray_Check(stoi.get()) && PyArray_NDIM(as_array(stoi.get())) == 2) {
        const Py_ssize_t m = PyArray_DIM(as_array(stoi.get()), 0);
        const Py_ssize_t n = PyArray_DIM(as_array(stoi.get()), 1);
        check_extents(m, n);
        check_fits(m, n);
    }

    Ref reginfo;
    if (reginfo_arg == Py_None) {
        // stoi.copy() * 0.0, then inf where stoi < -TOL
        Ref copy = call_method(stoi.get(), "copy");
        Ref zero = real(0.0);
        Ref deflt = multiply(copy.get(), zero.get());
        Ref ntol = real(-TOL);
        Ref consumed = less(stoi.get(), ntol.get());
        Ref inf = real(HUGE_VAL);
        setitem(deflt.get(), consumed.get(), inf.get());
        reginfo = as_float_array(deflt.get());
    } else {
        reginfo = as_float_array(reginfo_arg);
    }
    setattr(self, "reginfo", reginfo.get());

    if (X_names != Py_None) {
        setattr(self, "X_names", X_names);
    } else {
        Ref names = default_names(stoi.get(), "X", 0);
        setattr(self, "X_names", names.get());
    }
    if (R_names != Py_None) {
        setattr(self, "R_names", R_names);
    } else {
        Ref names = default_names(stoi.get(), "R", 1);
        setattr(self, "R_names", names.get());
    }

    Ref A = construct_A_view(stoi.get(), reginfo.get());
    setattr(self, "A", A.get());

    const Py_ssize_t n = extent(stoi.get(), 1);
    const Py_ssize_t m = extent(stoi.get(), 0);
    Ref DT = conserved_block(np.get(), A.get(), n, m);
    Ref cq = cq_classes_view(DT.get());
    setattr(self, kCqClass, cq.get());

    // ~(np.abs(reginfo) < TOL)
    Ref absr = call_method(np.get(), "abs", reginfo.get());
    Ref tol = real(TOL);
    Ref small = less(absr.get(), tol.get());
    Ref oc = invert(small.get());
    setattr(self, kOcKeeper, oc.get());
    return Py_NewRef(Py_None);
}

}  // namespace quelmar::py
