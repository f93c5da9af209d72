// Small helpers of the binding layer: owned references, GIL release, errors
// travelling as C++ exceptions, traceback entries, typed buffer views and the
// argument binder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

#include "view.hpp"

namespace quelmar::py {

/// A Python exception is set (the indicator is already filled in).
struct PyError {};

/// Owned reference.  Move-only; the destructor releases it.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    /// Takes ownership of a new reference; throws PyError when it is null.
    static Ref steal_or_throw(PyObject* p) {
        if (p == nullptr) throw PyError{};
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Releases the GIL for its lifetime (re-acquired also while unwinding).
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

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

/// Calls PyErr_CheckSignals with the GIL held; throws PyError when a handler
/// raised.  Safe to call with or without the GIL.
void check_signals_from_any_thread();

/// Poll callback for kernels running without the GIL.
void poll_signals(void*);

// ---------------------------------------------------------------------------
// Typed buffer views.  Acquire a buffer of the given element type and number
// of dimensions, raising ValueError "Buffer dtype mismatch, expected %s%s%s
// but got %s" / "Buffer has wrong number of dimensions (expected %d, got %d)"
// otherwise.  Read-only buffers of unaligned arrays are taken from an aligned
// copy.  The Py_buffer is released by the destructor.
//
// A read-only Buffer reads a private copy of the data (C order, aligned),
// taken while the GIL is held: Python code that runs while a kernel works
// (another thread while the GIL is released, a signal handler at an
// interrupt check, a call back into Python) may reallocate the object's own
// data in place (ndarray.resize(refcheck=False), __setstate__), but cannot
// reach the copy.  Writable buffers are the binding's own new arrays.

enum class Elem { Double, Bool };

class Buffer {
public:
    Buffer(PyObject* obj, Elem elem, int ndim, bool writable = false);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const Py_buffer& raw() const { return view_; }
    index_t extent(int d) const { return view_.shape[d]; }

    template <class T>
    MatrixView<T> matrix() const {
        return {static_cast<T*>(view_.buf), view_.shape[0], view_.shape[1], view_.strides[0],
                view_.strides[1]};
    }
    template <class T>
    VectorView<T> vector() const {
        return {static_cast<T*>(view_.buf), view_.shape[0], view_.strides[0]};
    }

private:
    void take_private_copy(Py_ssize_t item);

    Py_buffer view_{};
    Ref aligned_copy_;  // owner of view_ when the object's own data was unaligned
    std::vector<unsigned char> copy_;   // the private copy view_ points into
    Py_ssize_t copy_shape_[3] = {0, 0, 0};
    Py_ssize_t copy_strides_[3] = {0, 0, 0};
};

/// The object must be a NumPy array: TypeError "Cannot convert %.200s to
/// %.200s" otherwise.  Returns it borrowed.
PyObject* require_ndarray(PyObject* obj);

// ---------------------------------------------------------------------------
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
