// Typed buffer views of Python objects for the kernels.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "pyref.hpp"
#include "view.hpp"

namespace quelmar::py {

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

enum class Elem { Double, Bool, UInt8 };

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

}  // namespace quelmar::py
