// Helpers of the memory-view type: element access, index expressions and
// copies over a view's layout.  Every access takes the base's data as it is
// at that moment (see memview.cpp).
#include "memview_detail.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace quelmar::py::memview_detail {

Py_ssize_t element_count(const Layout& l) {
    Py_ssize_t n = 1;
    for (int k = 0; k < l.ndim; ++k) n *= l.shape[k];
    return n;
}

/// NumPy's rule: an empty layout is contiguous, and extents of length 1 do
/// not constrain their stride.
bool is_contiguous(const Layout& l, Py_ssize_t itemsize, bool fortran) {
    for (int k = 0; k < l.ndim; ++k)
        if (l.shape[k] == 0) return true;
    Py_ssize_t expected = itemsize;
    for (int t = 0; t < l.ndim; ++t) {
        const int k = fortran ? t : l.ndim - 1 - t;
        if (l.shape[k] == 1) continue;
        if (l.strides[k] != expected) return false;
        expected *= l.shape[k];
    }
    return true;
}

bool base_writable(const MemView* v) {
    return v->base != nullptr && PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(v->base));
}

/// The address of the view's first element in the base's data as it is now.
/// ValueError when the base no longer holds the bytes the view covers (its
/// data was reallocated smaller, or with another element type).
char* origin(const MemView* v) {
    if (v->base == nullptr) return nullptr;  // cleared: an empty layout
    auto* arr = reinterpret_cast<PyArrayObject*>(v->base);
    char* start = PyArray_BYTES(arr);
    const Layout& l = v->layout;
    if (element_count(l) == 0) return start;
    Py_ssize_t lo = l.offset, hi = l.offset + v->itemsize;
    for (int k = 0; k < l.ndim; ++k) {
        const Py_ssize_t reach = (l.shape[k] - 1) * l.strides[k];
        (reach < 0 ? lo : hi) += reach;
    }
    const bool same_elements = PyArray_ITEMSIZE(arr) == v->itemsize &&
                               (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr));
    if (!same_elements || lo < 0 || hi > PyArray_NBYTES(arr))
        raise(PyExc_ValueError, "the array under this memory view has been changed in place");
    return start + l.offset;
}

/// A new view over `base` (borrowed; the view takes its own reference).
PyObject* new_view(PyObject* base, Kind kind, const Layout& layout) {
    MemView* v = PyObject_GC_New(MemView, view_type);
    if (v == nullptr) throw PyError{};
    v->base = Py_NewRef(base);
    v->kind = kind;
    v->itemsize = kind == Kind::Double ? static_cast<Py_ssize_t>(sizeof(double)) : 1;
    v->layout = layout;
    v->exports = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(v));
    return reinterpret_cast<PyObject*>(v);
}

PyObject* read_element(Kind kind, const char* p) {
    if (kind == Kind::Double) {
        double x;
        std::memcpy(&x, p, sizeof x);
        return Ref::steal_or_throw(PyFloat_FromDouble(x)).release();
    }
    return Py_NewRef(*p != 0 ? Py_True : Py_False);
}

Element convert_element(Kind kind, PyObject* value) {
    Element e;
    if (kind == Kind::Double) {
        e.real = PyFloat_AsDouble(value);
        if (e.real == -1.0 && PyErr_Occurred()) throw PyError{};
        return e;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw PyError{};
    e.truth = static_cast<char>(truth);
    return e;
}

void write_element(Kind kind, char* p, const Element& e) {
    if (kind == Kind::Double)
        std::memcpy(p, &e.real, sizeof e.real);
    else
        *p = e.truth;
}

/// Applies key (an integer, slice, Ellipsis or a tuple of these) to `src`.
Selection select(const Layout& src, PyObject* key) {
    PyObject* const* items = &key;  // borrowed
    Py_ssize_t n = 1;
    if (PyTuple_Check(key)) {
        items = &PyTuple_GET_ITEM(key, 0);
        n = PyTuple_GET_SIZE(key);
    }
    Py_ssize_t ellipses = 0;
    for (Py_ssize_t t = 0; t < n; ++t)
        if (items[t] == Py_Ellipsis) ++ellipses;
    if (ellipses > 1) raise(PyExc_IndexError, "an index can only have a single ellipsis ('...')");
    const Py_ssize_t explicit_axes = n - ellipses;
    if (explicit_axes > src.ndim)
        raise(PyExc_IndexError, "too many indices for memory view: view is %d-dimensional, but %zd were indexed",
              src.ndim, explicit_axes);

    Selection sel;
    sel.unchanged = explicit_axes == 0;
    Layout& out = sel.layout;
    out.offset = src.offset;
    int axis = 0;
    auto keep_axis = [&](Py_ssize_t shape, Py_ssize_t stride) {
        out.shape[out.ndim] = shape;
        out.strides[out.ndim] = stride;
        ++out.ndim;
    };
    for (Py_ssize_t t = 0; t < n; ++t) {
        PyObject* item = items[t];  // borrowed
        if (item == Py_Ellipsis) {
            for (Py_ssize_t r = 0; r < src.ndim - explicit_axes; ++r, ++axis)
                keep_axis(src.shape[axis], src.strides[axis]);
        } else if (PySlice_Check(item)) {
            Py_ssize_t start, stop, step;
            if (PySlice_Unpack(item, &start, &stop, &step) < 0) throw PyError{};
            const Py_ssize_t len = PySlice_AdjustIndices(src.shape[axis], &start, &stop, step);
            // As NumPy: an empty slice keeps the stride.  The product only
            // overflows for a huge step over one element, where the stride is
            // never used.
            Py_ssize_t stride = src.strides[axis];
            if (len > 0) {
                out.offset += start * src.strides[axis];
                if (__builtin_mul_overflow(step, src.strides[axis], &stride))
                    stride = src.strides[axis];
            }
            keep_axis(len, stride);
            ++axis;
        } else if (PyIndex_Check(item)) {
            Py_ssize_t i = PyNumber_AsSsize_t(item, nullptr);  // clipped when huge
            if (i == -1 && PyErr_Occurred()) throw PyError{};
            if (i < 0) i += src.shape[axis];
            if (i < 0 || i >= src.shape[axis])
                raise(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
            out.offset += i * src.strides[axis];
            ++axis;
        } else {
            raise(PyExc_TypeError, "Cannot index with type '%.200s'", Py_TYPE(item)->tp_name);
        }
    }
    for (; axis < src.ndim; ++axis) keep_axis(src.shape[axis], src.strides[axis]);
    return sel;
}

/// A new view over a fresh array (C or Fortran order) holding the same values.
PyObject* copy_view(const MemView* v, bool fortran) {
    const Layout& src = v->layout;
    npy_intp dims[max_ndim] = {0, 0};
    for (int k = 0; k < src.ndim; ++k) dims[k] = src.shape[k];
    const int typenum = v->kind == Kind::Double ? NPY_DOUBLE : NPY_BOOL;
    Ref array = Ref::steal_or_throw(PyArray_EMPTY(src.ndim, dims, typenum, fortran ? 1 : 0));
    auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
    // taken after the allocation, which may have run Python code (the GC)
    const char* from = origin(v);
    char* to = static_cast<char*>(PyArray_DATA(arr));

    Layout dst;
    dst.ndim = src.ndim;
    for (int k = 0; k < src.ndim; ++k) {
        dst.shape[k] = src.shape[k];
        dst.strides[k] = PyArray_STRIDES(arr)[k];
    }
    const Py_ssize_t rows = src.shape[0];
    const Py_ssize_t cols = src.ndim == 2 ? src.shape[1] : 1;
    const Py_ssize_t s1 = src.ndim == 2 ? src.strides[1] : 0;
    const Py_ssize_t d1 = src.ndim == 2 ? dst.strides[1] : 0;
    const auto item = static_cast<std::size_t>(v->itemsize);
    const bool rows_contiguous = src.ndim == 2 && s1 == v->itemsize && d1 == v->itemsize;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        if (rows_contiguous) {  // one copy per row
            std::memcpy(to + i * dst.strides[0], from + i * src.strides[0],
                        static_cast<std::size_t>(cols) * item);
            continue;
        }
        for (Py_ssize_t j = 0; j < cols; ++j)
            std::memcpy(to + i * dst.strides[0] + j * d1, from + i * src.strides[0] + j * s1, item);
    }
    return new_view(array.get(), v->kind, dst);
}

/// The name of the base's type, as a new reference.
Ref base_type_name(const MemView* v) {
    PyObject* base = v->base != nullptr ? v->base : Py_None;  // borrowed
    return Ref::steal_or_throw(PyType_GetName(Py_TYPE(base)));
}

Ref tuple_of(int ndim, const Py_ssize_t* values) {
    Ref t = Ref::steal_or_throw(PyTuple_New(ndim));
    for (int k = 0; k < ndim; ++k) {
        PyObject* x = PyLong_FromSsize_t(values[k]);
        if (x == nullptr) throw PyError{};
        PyTuple_SET_ITEM(t.get(), k, x);  // steals x
    }
    return t;
}

}  // namespace quelmar::py::memview_detail
