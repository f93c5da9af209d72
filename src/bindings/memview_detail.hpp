// The memory-view type's object layout and the helpers its slots share
// (element access, index expressions, copies).  Private to memview*.cpp.
#pragma once

#include <cstring>

#include "numpy_api.hpp"
#include "pybuffer.hpp"
#include "pyerrors.hpp"
#include "pyref.hpp"

namespace quelmar::py::memview_detail {

inline constexpr int max_ndim = 2;

inline char format_double[] = "d";
inline char format_bool[] = "?";

enum class Kind : char { Double = 'd', Bool = '?' };

struct Layout {
    Py_ssize_t offset = 0;  // bytes from the start of the base's data
    int ndim = 0;
    Py_ssize_t shape[max_ndim] = {0, 0};
    Py_ssize_t strides[max_ndim] = {0, 0};  // bytes
};

struct MemView {
    PyObject_HEAD
    PyObject* base;  // owned: the ndarray that holds the data
    Kind kind;
    Py_ssize_t itemsize;
    Layout layout;
    Py_ssize_t exports;
};

// One interpreter per process: the type lives for the life of the process.
inline PyTypeObject* view_type = nullptr;

inline MemView* as_view(PyObject* self) { return reinterpret_cast<MemView*>(self); }

/// Number of elements of the layout.
Py_ssize_t element_count(const Layout& l);
/// Whether the layout is contiguous in C (or Fortran) order for the item size.
bool is_contiguous(const Layout& l, Py_ssize_t itemsize, bool fortran);
/// Whether the base array may be written.
bool base_writable(const MemView* v);
/// The address of the view's first element in the base's data as it is now
/// (raises ValueError when the data no longer covers the view).
char* origin(const MemView* v);
/// A new view over `base` (borrowed; the view takes its own reference).
PyObject* new_view(PyObject* base, Kind kind, const Layout& layout);
PyObject* read_element(Kind kind, const char* p);

/// A value converted for storing (the conversion may run Python code).
struct Element {
    double real = 0.0;
    char truth = 0;
};
Element convert_element(Kind kind, PyObject* value);
void write_element(Kind kind, char* p, const Element& e);

/// Result of applying an index expression to a layout.
struct Selection {
    Layout layout;
    bool unchanged = false;  // only `...` or `()`: the view itself
};
/// Applies key (an integer, slice, Ellipsis or a tuple of these) to `src`.
Selection select(const Layout& src, PyObject* key);
/// A new view over a fresh array (C or Fortran order) holding the same values.
PyObject* copy_view(const MemView* v, bool fortran);
/// The name of the base's type, as a new reference.
Ref base_type_name(const MemView* v);
Ref tuple_of(int ndim, const Py_ssize_t* values);

}  // namespace quelmar::py::memview_detail
