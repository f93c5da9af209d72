// Pieces of the binding layer shared between its translation units: the
// module's own function type and access to the module's namespace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyutil.hpp"

namespace quelmar::py {

/// Body of a Python-visible function.  `func` is the function object (its
/// closure is reachable through function_closure); `bound` holds one borrowed
/// reference per parameter, defaults already applied.  Returns a new
/// reference; throws on error (the caller adds the traceback entry).
using FuncImpl = PyObject* (*)(PyObject* func, PyObject* const* bound);

struct FuncSpec {
    const char* name;      // __name__ and the name used in argument errors
    const char* qualname;  // __qualname__
    const char* trace;     // name of its traceback entry (after "quelmar.cyquelmar.")
    const char* doc;       // __doc__, or null
    Signature sig;
    FuncImpl impl;
};

/// Creates the function type (once per process).  0, or -1 with an exception.
int function_init_type();

/// A new function object.  defaults: a tuple for the trailing parameters, or
/// null; closure: any object kept alive by the function, or null.  Throws.
Ref make_function(const FuncSpec* spec, PyObject* defaults, PyObject* closure);

/// Borrowed closure object of a function made by make_function.
PyObject* function_closure(PyObject* func);

/// New reference to a name of the module's namespace (KeyError-free: throws
/// NameError "name '%s' is not defined" when missing).
Ref module_global(const char* name);

/// The class CRN, created from a namespace holding its methods.  Throws.
Ref make_crn_class();

/// Specs of the module-level functions defined in other units.
extern const FuncSpec indicator_diagnose_spec;

}  // namespace quelmar::py
