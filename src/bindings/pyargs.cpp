#include "pyargs.hpp"

#include "pyerrors.hpp"

namespace quelmar::py {

namespace {

[[noreturn]] void raise_argtuple_invalid(const char* name, bool exact, Py_ssize_t num_min,
                                         Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (num_found < num_min) {
        expected = num_min;
        more_or_less = "at least";
    } else {
        expected = num_max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
          more_or_less, expected, expected == 1 ? "" : "s", num_found);
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    const bool exact = sig.required == nparams;
    if (nargs > nparams) raise_argtuple_invalid(sig.name, exact, sig.required, nparams, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t t = 0; t < nkw; ++t) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, t);  // borrowed
            if (!PyUnicode_Check(key))
                raise(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            Py_ssize_t idx = -1;
            Py_ssize_t k = 0;
            for (const char* p : sig.params) {
                if (PyUnicode_CompareWithASCIIString(key, p) == 0) {
                    idx = k;
                    break;
                }
                ++k;
            }
            if (idx < 0)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                      key);
            if (out[idx] != nullptr)
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      sig.name, key);
            out[idx] = args[nargs + t];
        }
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) raise_argtuple_invalid(sig.name, exact, sig.required, nparams, i);
}

}  // namespace quelmar::py
