// The memory-view type "_memoryviewslice": a strided view (1-D or 2-D) over a
// NumPy array of float64 or bool, which it keeps alive.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelmar::py {

/// Creates the view type (once per process).  Returns 0, or -1 with an
/// exception set.  The type is not added to the module's namespace.
int memview_init_type();

/// A new view over the whole of `array` (a float64 or bool ndarray of 1 or 2
/// dimensions).  New reference, or null with an exception set.
PyObject* memview_wrap(PyObject* array);

/// True when obj is an instance of the view type.
bool memview_check(PyObject* obj);

}  // namespace quelmar::py
