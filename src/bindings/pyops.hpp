// The Python and NumPy steps the binding layer repeats, one function each.
//
// Every function returns a new reference (or a plain value) or throws
// PyError with the Python exception set, so a sequence of steps reads like
// the expression it computes:
//
//     Ref P = call_method(linalg, "pinv", S22);     // np.linalg.pinv(S22)
//     Ref T = call_method(S12, "dot", P);           // S12.dot(P)
//
// Calls that take one argument pass it as that one argument (a tuple is not
// spread into several).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "numpy_api.hpp"
#include "pybuffer.hpp"
#include "pyerrors.hpp"
#include "pyref.hpp"

namespace quelmar::py {

// ---------------------------------------------------------------------------
// Objects, attributes and items.

inline Ref checked(PyObject* p) { return Ref::steal_or_throw(p); }

inline void check_status(int status) {
    if (status != 0) throw PyError{};
}

/// obj.name
inline Ref getattr(PyObject* obj, const char* name) {
    return checked(PyObject_GetAttrString(obj, name));
}

/// obj.name = value
inline void setattr(PyObject* obj, const char* name, PyObject* value) {
    check_status(PyObject_SetAttrString(obj, name, value));
}

/// obj[key]
inline Ref getitem(PyObject* obj, PyObject* key) { return checked(PyObject_GetItem(obj, key)); }

/// obj[key] = value
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(obj, key, value));
}

inline Ref integer(Py_ssize_t v) { return checked(PyLong_FromSsize_t(v)); }
inline Ref real(double v) { return checked(PyFloat_FromDouble(v)); }
inline Ref text(const char* s) { return checked(PyUnicode_FromString(s)); }

/// obj[i], with i given to obj as a Python integer.
inline Ref getitem_at(PyObject* obj, Py_ssize_t i) {
    Ref key = integer(i);
    return getitem(obj, key.get());
}

/// obj[start:stop]
inline Ref getslice(PyObject* obj, Py_ssize_t start, Py_ssize_t stop) {
    return checked(PySequence_GetSlice(obj, start, stop));
}

/// (items...)
template <class... T>
Ref tuple(T*... items) {
    return checked(PyTuple_Pack(static_cast<Py_ssize_t>(sizeof...(items)), items...));
}

/// :  (a null bound of PySlice_New is an open one)
inline Ref slice_all() { return checked(PySlice_New(nullptr, nullptr, nullptr)); }
/// start:
inline Ref slice_from(Py_ssize_t start) {
    Ref a = integer(start);
    return checked(PySlice_New(a.get(), nullptr, nullptr));
}
/// :stop
inline Ref slice_to(Py_ssize_t stop) {
    Ref b = integer(stop);
    return checked(PySlice_New(nullptr, b.get(), nullptr));
}

inline Ref new_list() { return checked(PyList_New(0)); }
inline void append(PyObject* list, PyObject* item) { check_status(PyList_Append(list, item)); }
inline Ref new_dict() { return checked(PyDict_New()); }
inline void set_key(PyObject* dict, const char* key, PyObject* value) {
    check_status(PyDict_SetItemString(dict, key, value));
}

// ---------------------------------------------------------------------------
// Conversions and tests.

/// bool(obj)
inline bool truth(PyObject* obj) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) throw PyError{};
    return t != 0;
}

/// operator.index(obj) as a Py_ssize_t (OverflowError when it does not fit).
inline Py_ssize_t as_ssize(PyObject* obj) {
    Ref index = checked(PyNumber_Index(obj));
    const Py_ssize_t v = PyNumber_AsSsize_t(index.get(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

/// float(obj)
inline double as_double(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

/// obj.shape[axis] as an integer (IndexError when the shape is shorter).
inline Py_ssize_t extent(PyObject* obj, Py_ssize_t axis) {
    Ref shape = getattr(obj, "shape");
    Ref item = checked(PySequence_GetItem(shape.get(), axis));
    return as_ssize(item.get());
}

// ---------------------------------------------------------------------------
// Operators.

/// a < b
inline Ref less(PyObject* a, PyObject* b) { return checked(PyObject_RichCompare(a, b, Py_LT)); }
/// a - b
inline Ref subtract(PyObject* a, PyObject* b) { return checked(PyNumber_Subtract(a, b)); }
/// a * b
inline Ref multiply(PyObject* a, PyObject* b) { return checked(PyNumber_Multiply(a, b)); }
/// ~a
inline Ref invert(PyObject* a) { return checked(PyNumber_Invert(a)); }
/// -a
inline Ref negative(PyObject* a) { return checked(PyNumber_Negative(a)); }
/// abs(a)
inline Ref absolute(PyObject* a) { return checked(PyNumber_Absolute(a)); }

// ---------------------------------------------------------------------------
// Calls.

/// A keyword argument.
using Kw = std::pair<const char*, PyObject*>;

/// f()
inline Ref call(PyObject* f) { return checked(PyObject_CallNoArgs(f)); }
/// f(arg)
inline Ref call(PyObject* f, PyObject* arg) { return checked(PyObject_CallOneArg(f, arg)); }
/// f(*args, **kwargs) with args a tuple and kwargs a dict (or null).
inline Ref call(PyObject* f, PyObject* args, PyObject* kwargs) {
    return checked(PyObject_Call(f, args, kwargs));
}
/// f(key=value, ...), keywords in the order given.
inline Ref call(PyObject* f, std::initializer_list<Kw> kw) {
    Ref kwargs = new_dict();
    for (const auto& [key, value] : kw) set_key(kwargs.get(), key, value);
    Ref none = checked(PyTuple_New(0));
    return call(f, none.get(), kwargs.get());
}
/// f(arg, key=value, ...)
inline Ref call(PyObject* f, PyObject* arg, std::initializer_list<Kw> kw) {
    Ref kwargs = new_dict();
    for (const auto& [key, value] : kw) set_key(kwargs.get(), key, value);
    Ref args = tuple(arg);
    return call(f, args.get(), kwargs.get());
}

/// obj.name()
inline Ref call_method(PyObject* obj, const char* name) {
    Ref f = getattr(obj, name);
    return call(f.get());
}
/// obj.name(arg)
inline Ref call_method(PyObject* obj, const char* name, PyObject* arg) {
    Ref f = getattr(obj, name);
    return call(f.get(), arg);
}

// ---------------------------------------------------------------------------
// NumPy arrays made and read through the C API.

template <class T>
struct ArrayType;
template <>
struct ArrayType<double> {
    static constexpr int typenum = NPY_DOUBLE;
};
template <>
struct ArrayType<std::uint8_t> {
    static constexpr int typenum = NPY_BOOL;
};

inline PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

/// np.zeros(shape, dtype=T): a new C-ordered array (T: double or bool bytes).
template <class T>
Ref zeros(std::initializer_list<npy_intp> shape) {
    return checked(PyArray_ZEROS(static_cast<int>(shape.size()),
                                 const_cast<npy_intp*>(shape.begin()), ArrayType<T>::typenum, 0));
}

/// np.empty(shape, dtype=T)
template <class T>
Ref empty(std::initializer_list<npy_intp> shape) {
    return checked(PyArray_EMPTY(static_cast<int>(shape.size()),
                                 const_cast<npy_intp*>(shape.begin()), ArrayType<T>::typenum, 0));
}

/// The data of an ndarray known to hold elements of type T.
template <class T>
T* data_of(PyObject* array) {
    return static_cast<T*>(PyArray_DATA(as_array(array)));
}

/// The whole of a 2-d ndarray of T as a strided view.
template <class T>
MatrixView<T> matrix_of(PyObject* array) {
    PyArrayObject* a = as_array(array);
    return {data_of<T>(array), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0),
            PyArray_STRIDE(a, 1)};
}

/// The whole of a 1-d ndarray of T as a strided view.
template <class T>
VectorView<T> vector_of(PyObject* array) {
    PyArrayObject* a = as_array(array);
    return {data_of<T>(array), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
}

}  // namespace quelmar::py
