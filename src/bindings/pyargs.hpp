// Argument binding for vectorcall functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

namespace quelmar::py {

// Argument binding for vectorcall functions with positional-or-keyword
// parameters.

struct Signature {
    const char* name;                    // plain name used in messages
    std::initializer_list<const char*> params;  // all parameters, in order
    Py_ssize_t required;                 // leading parameters without default
};

/// Binds args (nargs positional, then values of kwnames) to the parameters.
/// out[i] is a borrowed reference, or null when the parameter was not given
/// (the caller applies the default).  Throws PyError with the messages of
/// argument binding on a wrong count, repeated, unknown or non-string keyword.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

}  // namespace quelmar::py
