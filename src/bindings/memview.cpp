// The memory-view type "_memoryviewslice".
//
// A view is an immutable layout (byte offset into the base's data, 1 or 2
// extents, byte strides) over a float64 or bool NumPy array, which it keeps
// alive through `base`.  Indexing with integers reads elements; slices, `T`
// and row selection give new views over the same base.  The buffer protocol
// exports the layout stored in the view object itself, so it stays valid
// while exported.
//
// The base is reachable from Python (`base`), and its data can be
// reallocated in place (resize(refcheck=False), __setstate__).  So a view
// keeps no pointer into the data: every access takes the base's data as it
// is at that moment, after any Python code the access runs (__index__ of a
// key, __float__ of a value), and checks that the view's bytes still lie
// inside it.
#include "memview.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "memview_detail.hpp"
#include "numpy_api.hpp"
#include "pyerrors.hpp"

namespace quelmar::py {

using namespace memview_detail;

namespace {

// ---------------------------------------------------------------------------
// Mapping, sequence and buffer slots

PyObject* MemView_subscript(PyObject* self, PyObject* key) {
    return guarded("_memoryviewslice.__getitem__", nullptr, [&]() -> PyObject* {
        MemView* v = as_view(self);
        const Selection sel = select(v->layout, key);
        if (sel.unchanged) return Py_NewRef(self);
        if (sel.layout.ndim == 0)
            return read_element(v->kind, origin(v) + (sel.layout.offset - v->layout.offset));
        return new_view(v->base, v->kind, sel.layout);
    });
}

int MemView_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guarded("_memoryviewslice.__setitem__", -1, [&] {
        MemView* v = as_view(self);
        if (value == nullptr) raise(PyExc_TypeError, "Cannot delete memory view elements");
        if (!base_writable(v)) raise(PyExc_TypeError, "Cannot assign to read-only memoryview");
        const Selection sel = select(v->layout, key);
        if (sel.layout.ndim != 0) raise(PyExc_TypeError, "Cannot assign to a slice of the view");
        const Element e = convert_element(v->kind, value);
        if (!base_writable(v)) raise(PyExc_TypeError, "Cannot assign to read-only memoryview");
        write_element(v->kind, origin(v) + (sel.layout.offset - v->layout.offset), e);
        return 0;
    });
}

Py_ssize_t MemView_length(PyObject* self) {
    const Layout& l = as_view(self)->layout;
    return l.ndim > 0 ? l.shape[0] : 0;
}

// Used by iteration; the caller has already added the length to negative i.
PyObject* MemView_item(PyObject* self, Py_ssize_t i) {
    return guarded("_memoryviewslice.__getitem__", nullptr, [&]() -> PyObject* {
        MemView* v = as_view(self);
        const Layout& src = v->layout;
        if (i < 0 || i >= src.shape[0])
            raise(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        if (src.ndim == 1) return read_element(v->kind, origin(v) + i * src.strides[0]);
        Layout row;
        row.offset = src.offset + i * src.strides[0];
        row.ndim = 1;
        row.shape[0] = src.shape[1];
        row.strides[0] = src.strides[1];
        return new_view(v->base, v->kind, row);
    });
}

int MemView_getbuffer(PyObject* self, Py_buffer* buf, int flags) {
    return guarded("_memoryviewslice.__getbuffer__", -1, [&] {
        MemView* v = as_view(self);
        const Layout& l = v->layout;
        const bool readonly = !base_writable(v);
        const bool c_contig = is_contiguous(l, v->itemsize, false);
        const bool f_contig = is_contiguous(l, v->itemsize, true);
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && readonly)
            raise(PyExc_BufferError, "memory view is read-only");
        if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c_contig)
            raise(PyExc_BufferError, "memory view is not C-contiguous");
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !f_contig)
            raise(PyExc_BufferError, "memory view is not Fortran contiguous");
        if ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !c_contig && !f_contig)
            raise(PyExc_BufferError, "memory view is not contiguous");
        const bool want_strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
        const bool want_shape = (flags & PyBUF_ND) == PyBUF_ND;
        if (!want_strides && !c_contig)
            raise(PyExc_BufferError, "memory view is not C-contiguous");

        buf->buf = origin(v);
        buf->obj = Py_NewRef(self);
        buf->len = element_count(l) * v->itemsize;
        buf->readonly = readonly ? 1 : 0;
        buf->itemsize = v->itemsize;
        buf->format = nullptr;
        if ((flags & PyBUF_FORMAT) == PyBUF_FORMAT)
            buf->format = v->kind == Kind::Double ? format_double : format_bool;
        buf->ndim = want_shape ? l.ndim : 1;
        buf->shape = want_shape ? v->layout.shape : nullptr;
        buf->strides = want_strides ? v->layout.strides : nullptr;
        buf->suboffsets = nullptr;
        buf->internal = nullptr;
        ++v->exports;
        return 0;
    });
}

void MemView_releasebuffer(PyObject* self, Py_buffer*) { --as_view(self)->exports; }

// ---------------------------------------------------------------------------
// Methods

PyObject* MemView_copy(PyObject* self, PyObject*) {
    return guarded("_memoryviewslice.copy", nullptr, [&] { return copy_view(as_view(self), false); });
}

PyObject* MemView_copy_fortran(PyObject* self, PyObject*) {
    return guarded("_memoryviewslice.copy_fortran", nullptr,
                   [&] { return copy_view(as_view(self), true); });
}

PyObject* MemView_is_c_contig(PyObject* self, PyObject*) {
    const MemView* v = as_view(self);
    return PyBool_FromLong(is_contiguous(v->layout, v->itemsize, false));
}

PyObject* MemView_is_f_contig(PyObject* self, PyObject*) {
    const MemView* v = as_view(self);
    return PyBool_FromLong(is_contiguous(v->layout, v->itemsize, true));
}

// ---------------------------------------------------------------------------
// Properties

PyObject* MemView_get_T(PyObject* self, void*) {
    return guarded("_memoryviewslice.T.__get__", nullptr, [&] {
        const MemView* v = as_view(self);
        Layout t = v->layout;
        for (int k = 0; k < t.ndim; ++k) {
            t.shape[k] = v->layout.shape[t.ndim - 1 - k];
            t.strides[k] = v->layout.strides[t.ndim - 1 - k];
        }
        return new_view(v->base, v->kind, t);
    });
}

PyObject* MemView_get_base(PyObject* self, void*) {
    PyObject* base = as_view(self)->base;  // borrowed
    return Py_NewRef(base != nullptr ? base : Py_None);
}

PyObject* MemView_get_shape(PyObject* self, void*) {
    return guarded("_memoryviewslice.shape.__get__", nullptr, [&] {
        const Layout& l = as_view(self)->layout;
        return tuple_of(l.ndim, l.shape).release();
    });
}

PyObject* MemView_get_strides(PyObject* self, void*) {
    return guarded("_memoryviewslice.strides.__get__", nullptr, [&] {
        const Layout& l = as_view(self)->layout;
        return tuple_of(l.ndim, l.strides).release();
    });
}

PyObject* MemView_get_suboffsets(PyObject* self, void*) {
    return guarded("_memoryviewslice.suboffsets.__get__", nullptr, [&] {
        const Py_ssize_t none[max_ndim] = {-1, -1};
        return tuple_of(as_view(self)->layout.ndim, none).release();
    });
}

PyObject* MemView_get_ndim(PyObject* self, void*) {
    return PyLong_FromLong(as_view(self)->layout.ndim);
}

PyObject* MemView_get_itemsize(PyObject* self, void*) {
    return PyLong_FromSsize_t(as_view(self)->itemsize);
}

PyObject* MemView_get_nbytes(PyObject* self, void*) {
    const MemView* v = as_view(self);
    return PyLong_FromSsize_t(element_count(v->layout) * v->itemsize);
}

PyObject* MemView_get_size(PyObject* self, void*) {
    return PyLong_FromSsize_t(element_count(as_view(self)->layout));
}

// ---------------------------------------------------------------------------
// repr, str, GC

PyObject* MemView_repr(PyObject* self) {
    return guarded("_memoryviewslice.__repr__", nullptr, [&] {
        Ref name = base_type_name(as_view(self));
        char address[2 * sizeof(std::uintptr_t) + 1];
        std::snprintf(address, sizeof address, "%" PRIxPTR,
                      reinterpret_cast<std::uintptr_t>(self));
        return PyUnicode_FromFormat("<MemoryView of %R at 0x%s>", name.get(), address);
    });
}

PyObject* MemView_str(PyObject* self) {
    return guarded("_memoryviewslice.__str__", nullptr, [&] {
        Ref name = base_type_name(as_view(self));
        return PyUnicode_FromFormat("<MemoryView of %R object>", name.get());
    });
}

int MemView_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->base);
    return 0;
}

// Leaves an empty layout behind, so nothing reaches the released data.
int MemView_clear(PyObject* self) {
    MemView* v = as_view(self);
    Py_CLEAR(v->base);
    v->layout.offset = 0;
    v->layout.shape[0] = v->layout.shape[1] = 0;
    return 0;
}

void MemView_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    MemView_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Tables and the type

PyMethodDef MemView_methods[] = {
    {"copy", MemView_copy, METH_NOARGS,
     PyDoc_STR("copy($self, /)\n--\n\nA view over a new C-contiguous array with the same values.")},
    {"copy_fortran", MemView_copy_fortran, METH_NOARGS,
     PyDoc_STR("copy_fortran($self, /)\n--\n\nA view over a new Fortran-ordered array with the "
               "same values.")},
    {"is_c_contig", MemView_is_c_contig, METH_NOARGS,
     PyDoc_STR("is_c_contig($self, /)\n--\n\nWhether the view is C-contiguous.")},
    {"is_f_contig", MemView_is_f_contig, METH_NOARGS,
     PyDoc_STR("is_f_contig($self, /)\n--\n\nWhether the view is Fortran contiguous.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MemView_getset[] = {
    {"T", MemView_get_T, nullptr, PyDoc_STR("The transposed view, sharing memory."), nullptr},
    {"base", MemView_get_base, nullptr, PyDoc_STR("The array that holds the data."), nullptr},
    {"shape", MemView_get_shape, nullptr, PyDoc_STR("Extents, a tuple of ints."), nullptr},
    {"strides", MemView_get_strides, nullptr, PyDoc_STR("Strides in bytes, a tuple of ints."),
     nullptr},
    {"suboffsets", MemView_get_suboffsets, nullptr, PyDoc_STR("-1 for each dimension."), nullptr},
    {"ndim", MemView_get_ndim, nullptr, PyDoc_STR("Number of dimensions."), nullptr},
    {"itemsize", MemView_get_itemsize, nullptr, PyDoc_STR("Bytes per element."), nullptr},
    {"nbytes", MemView_get_nbytes, nullptr, PyDoc_STR("size * itemsize."), nullptr},
    {"size", MemView_get_size, nullptr, PyDoc_STR("Number of elements."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MemView_slots[] = {
    {Py_tp_doc, const_cast<char*>("Internal class for passing memoryview slices to Python")},
    {Py_tp_dealloc, reinterpret_cast<void*>(MemView_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(MemView_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MemView_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(MemView_repr)},
    {Py_tp_str, reinterpret_cast<void*>(MemView_str)},
    {Py_tp_methods, MemView_methods},
    {Py_tp_getset, MemView_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(MemView_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(MemView_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(MemView_length)},
    {Py_sq_length, reinterpret_cast<void*>(MemView_length)},
    {Py_sq_item, reinterpret_cast<void*>(MemView_item)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(MemView_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(MemView_releasebuffer)},
    {0, nullptr},
};

PyType_Spec MemView_type_slots = {
    .name = "quelmar.cyquelmar._memoryviewslice",
    .basicsize = static_cast<int>(sizeof(MemView)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = MemView_slots,
};

}  // namespace

int memview_init_type() {
    if (view_type != nullptr) return 0;
    PyObject* type = PyType_FromSpec(&MemView_type_slots);
    if (type == nullptr) return -1;
    view_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    return 0;
}

PyObject* memview_wrap(PyObject* array) {
    return guarded("_memoryviewslice.__cinit__", nullptr, [&]() -> PyObject* {
        if (view_type == nullptr)
            raise(PyExc_SystemError, "the memory view type is not initialised");
        auto* arr = reinterpret_cast<PyArrayObject*>(require_ndarray(array));
        Kind kind;
        if (PyArray_TYPE(arr) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(arr))
            kind = Kind::Double;
        else if (PyArray_TYPE(arr) == NPY_BOOL)
            kind = Kind::Bool;
        else
            raise(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' or 'bool' but got %S",
                  reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
        const int ndim = PyArray_NDIM(arr);
        if (ndim < 1 || ndim > max_ndim)
            raise(PyExc_ValueError,
                  "Buffer has wrong number of dimensions (expected 1 or 2, got %d)", ndim);
        Layout l;
        l.offset = 0;
        l.ndim = ndim;
        for (int k = 0; k < ndim; ++k) {
            l.shape[k] = PyArray_DIMS(arr)[k];
            l.strides[k] = PyArray_STRIDES(arr)[k];
        }
        return new_view(array, kind, l);
    });
}

bool memview_check(PyObject* obj) {
    return view_type != nullptr && PyObject_TypeCheck(obj, view_type);
}

}  // namespace quelmar::py

