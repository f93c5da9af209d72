// NumPy's C API for the binding layer.  Exactly one translation unit
// (cyquelmar.cpp) defines QUELMAR_IMPORT_NUMPY before including this header;
// it owns the API table and initialises it at import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quelmar_ARRAY_API
#ifndef QUELMAR_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
