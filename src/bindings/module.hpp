// Pieces of the binding layer shared between its translation units: the
// module's own function type, the table entry that describes one function,
// and access to the module's namespace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <initializer_list>

#include "lapack.hpp"
#include "pyargs.hpp"
#include "pyerrors.hpp"
#include "pyref.hpp"
#include "pysignals.hpp"

namespace quelmar::py {

/// Body of a Python-visible function.  `func` is the function object (its
/// closure is reachable through function_closure); `bound` holds one borrowed
/// reference per parameter, defaults already applied.  Returns a new
/// reference; throws on error (the caller adds the traceback entry).
using FuncImpl = PyObject* (*)(PyObject* func, PyObject* const* bound);

/// Default value of a trailing parameter: None or a small integer.
struct Default {
    bool is_none;
    long value;
};
inline constexpr Default none_default{true, 0};
constexpr Default int_default(long v) { return {false, v}; }

/// One function of the module.  Its names all come from the qualified
/// name: __name__ (also the name in argument errors) is its last component,
/// and its traceback entry is the qualified name without "<locals>."
/// (add_traceback).
struct FuncSpec {
    const char* qualname;  // __qualname__: "signdet", "CRN._smat_", "signdet.<locals>.vardetA"
    const char* doc;       // __doc__, or null
    std::initializer_list<const char*> params;  // all parameters, in order
    std::initializer_list<Default> defaults;    // of the trailing parameters
    FuncImpl impl;

    const char* name() const {
        const char* dot = std::strrchr(qualname, '.');
        return dot != nullptr ? dot + 1 : qualname;
    }
    Signature signature() const {
        return {name(), params, static_cast<Py_ssize_t>(params.size() - defaults.size())};
    }
};

/// Creates the function type (once per process).  0, or -1 with an exception.
int function_init_type();

/// A new function object with the defaults of its description (None when it has
/// none); closure: any object kept alive by the function, or null.  Throws.
Ref make_function(const FuncSpec* spec, PyObject* closure);

/// Borrowed closure object of a function made by make_function.
PyObject* function_closure(PyObject* func);

/// New reference to a name of the module's namespace (KeyError-free: throws
/// NameError "name '%s' is not defined" when missing).
Ref module_global(const char* name);

/// SciPy's LAPACK dgesdd, or nullptr if it cannot be had.  Interpreter lock
/// held.
dgesdd_fn* scipy_dgesdd();

/// SciPy's LAPACK dgeqp3, dorgqr and dtrtri (those it has).  Interpreter lock
/// held.
QrRoutines scipy_qr();

// Bodies of the Python-visible functions.  The table in cyquelmar.cpp gives
// their names, parameters, defaults and documentation.

// crn.cpp: construction
PyObject* crn_init(PyObject*, PyObject* const* bound);
// analyses.cpp
PyObject* crn_smat(PyObject*, PyObject* const* bound);
PyObject* crn_isoBS_searchfrom(PyObject*, PyObject* const* bound);
PyObject* crn_compute_index(PyObject*, PyObject* const* bound);
PyObject* crn_search_for_isoBSs(PyObject*, PyObject* const* bound);
PyObject* search_rows_impl(PyObject*, PyObject* const* bound);
PyObject* crn_signdet_subnetwork(PyObject*, PyObject* const* bound);
#ifdef QUELMAR_TEST_HOOKS
// reference_hooks.cpp
PyObject* search_seedwise_impl(PyObject*, PyObject* const* bound);
#endif
// progress.cpp
PyObject* with_progress_impl(PyObject*, PyObject* const* bound);
// reduction.cpp
PyObject* crn_structural_reduction(PyObject*, PyObject* const* bound);
PyObject* indicator_diagnose_impl(PyObject*, PyObject* const* bound);
// signdet.cpp: signdet and its two nested functions; signdet creates the
// nested ones at every call from their descriptions below.
PyObject* signdet_impl(PyObject*, PyObject* const* bound);
PyObject* vardetA_impl(PyObject* func, PyObject* const* bound);
PyObject* lambda_impl(PyObject* func, PyObject* const* bound);
PyObject* signdet_differences_impl(PyObject*, PyObject* const* bound);
PyObject* gradient_impl(PyObject* func, PyObject* const* bound);
PyObject* negated_gradient_impl(PyObject* func, PyObject* const* bound);
extern const FuncSpec vardetA_spec;
extern const FuncSpec lambda_spec;
extern const FuncSpec gradient_spec;
extern const FuncSpec negated_gradient_spec;

}  // namespace quelmar::py
