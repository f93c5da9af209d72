// Errors travelling as C++ exceptions, their translation into Python
// exceptions, and traceback entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyref.hpp"

namespace quelmar::py {

/// Sets exc with a formatted message and throws PyError.
[[noreturn]] void raise(PyObject* exc, const char* fmt, ...);

/// Converts the exception in flight (inside a catch block) into a Python
/// exception: PyError keeps the indicator, std exceptions map to ValueError,
/// IndexError, OverflowError, MemoryError, RuntimeError; anything else
/// becomes SystemError.
void translate_current_exception() noexcept;

/// Adds a traceback entry "quelmar.cyquelmar.<qualname>" in file
/// "src/quelmar/cyquelmar" to the pending exception.
void add_traceback(const char* qualname) noexcept;

/// Runs body (returning a new reference) and turns any exception into a set
/// Python error plus a traceback entry for qualname; returns null then.
template <class F>
PyObject* guarded(const char* qualname, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        add_traceback(qualname);
        return nullptr;
    }
}

}  // namespace quelmar::py
