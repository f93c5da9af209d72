// Errors travelling as C++ exceptions, their translation into Python
// exceptions, and traceback entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>

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
/// "src/quelmar/cyquelmar" to the pending exception, with "<locals>." left
/// out of the name and "<lambda>" written "lambda".
void add_traceback(const char* qualname) noexcept;

/// What guarded() does when its body failed, instead of returning CPython's
/// error value (null, -1): go on unwinding as PyError.
struct Rethrow {};
inline constexpr Rethrow rethrow{};

/// The one error wrapper of the binding layer.  Runs body; any exception
/// becomes the set Python error (translate_current_exception) with a
/// traceback entry for `trace` (none when it is null), and the call returns
/// `failed`, or with `rethrow` throws PyError.
template <class Failed, class F>
auto guarded(const char* trace, Failed failed, F&& body) noexcept(
    !std::is_same_v<Failed, Rethrow>) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        if (trace != nullptr) add_traceback(trace);
        if constexpr (std::is_same_v<Failed, Rethrow>)
            throw PyError{};
        else
            return failed;
    }
}

}  // namespace quelmar::py
