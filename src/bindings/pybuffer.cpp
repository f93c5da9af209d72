#include "pybuffer.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "numpy_api.hpp"
#include "pyerrors.hpp"

namespace quelmar::py {

namespace {

std::string describe_format(const char* fmt) {
    if (fmt == nullptr) return "'unsigned char'";
    const char* f = fmt;
    while (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    struct Name {
        const char* code;
        const char* text;
    };
    static const Name names[] = {
        {"c", "'char'"},         {"b", "'signed char'"},
        {"B", "'unsigned char'"}, {"h", "'short'"},
        {"H", "'unsigned short'"}, {"i", "'int'"},
        {"I", "'unsigned int'"},  {"l", "'long'"},
        {"L", "'unsigned long'"}, {"q", "'long long'"},
        {"Q", "'unsigned long long'"}, {"e", "'half'"},
        {"f", "'float'"},        {"d", "'double'"},
        {"g", "'long double'"},  {"Zf", "'complex float'"},
        {"Zd", "'complex double'"}, {"Zg", "'complex long double'"},
        {"O", "Python object"},  {"?", "'bool'"},
    };
#if PY_BIG_ENDIAN
    const bool foreign = *fmt == '<';
#else
    const bool foreign = *fmt == '>' || *fmt == '!';
#endif
    for (const auto& n : names)
        if (std::strcmp(f, n.code) == 0)
            return foreign ? std::string(n.text) + " in non-native byte order" : n.text;
    return std::string("'") + fmt + "'";
}

bool format_is(const char* fmt, char code) {
    if (fmt == nullptr) return code == 'B';
    const char* f = fmt;
    if (*f == '@' || *f == '=' || *f == '<') ++f;
#if PY_BIG_ENDIAN
    if (*fmt == '<') return false;
#else
    if (*fmt == '>' || *fmt == '!') return false;
#endif
    return f[0] == code && f[1] == '\0';
}

}  // namespace

Buffer::Buffer(PyObject* obj, Elem elem, int ndim, bool writable) {
    const int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) throw PyError{};
    const char* expected = elem == Elem::Double ? "double"
                           : elem == Elem::Bool ? "bool"
                                                : "unsigned char";
    if (view_.ndim != ndim) {
        const int got = view_.ndim;
        PyBuffer_Release(&view_);
        raise(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
              ndim, got);
    }
    const char code = elem == Elem::Double ? 'd' : elem == Elem::Bool ? '?' : 'B';
    const Py_ssize_t item = elem == Elem::Double ? 8 : 1;
    if (!format_is(view_.format, code) || view_.itemsize != item) {
        std::string got = describe_format(view_.format);
        PyBuffer_Release(&view_);
        raise(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
              expected, "'", got.c_str());
    }
    if (view_.suboffsets != nullptr) {
        for (int d = 0; d < ndim; ++d) {
            if (view_.suboffsets[d] >= 0) {
                PyBuffer_Release(&view_);
                raise(PyExc_ValueError, "Buffer with indirect dimensions is not supported");
            }
        }
    }
    bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(item) == 0;
    for (int d = 0; d < ndim && aligned; ++d) aligned = view_.strides[d] % item == 0;
    if (!aligned) {
        PyBuffer_Release(&view_);
        if (writable || !PyArray_Check(obj))
            raise(PyExc_ValueError, "Buffer is not aligned to its element size");
        // Kernels read whole elements: read an aligned copy instead.
        aligned_copy_ = Ref::steal_or_throw(
            PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY, nullptr));
        if (PyObject_GetBuffer(aligned_copy_.get(), &view_, flags) != 0) throw PyError{};
    }
    if (!writable) take_private_copy(item);
}

void Buffer::take_private_copy(Py_ssize_t item) {
    const int ndim = view_.ndim;
    if (ndim > 3) {
        PyBuffer_Release(&view_);
        raise(PyExc_ValueError, "Buffer has too many dimensions (%d)", ndim);
    }
    Py_ssize_t count = 1;
    for (int d = 0; d < ndim; ++d) {
        copy_shape_[d] = view_.shape[d];
        if (__builtin_mul_overflow(count, view_.shape[d], &count)) count = PY_SSIZE_T_MAX;
    }
    try {
        copy_.resize(static_cast<std::size_t>(count) * static_cast<std::size_t>(item));
    } catch (...) {
        PyBuffer_Release(&view_);
        throw;
    }
    Py_ssize_t stride = item;
    for (int d = ndim - 1; d >= 0; --d) {
        copy_strides_[d] = stride;
        stride *= copy_shape_[d];
    }
    if (count > 0) {
        const auto* src = static_cast<const unsigned char*>(view_.buf);
        unsigned char* dst = copy_.data();
        const Py_ssize_t n0 = ndim > 0 ? copy_shape_[0] : 1;
        const Py_ssize_t n1 = ndim > 1 ? copy_shape_[1] : 1;
        const Py_ssize_t n2 = ndim > 2 ? copy_shape_[2] : 1;
        const Py_ssize_t s0 = ndim > 0 ? view_.strides[0] : 0;
        const Py_ssize_t s1 = ndim > 1 ? view_.strides[1] : 0;
        const Py_ssize_t s2 = ndim > 2 ? view_.strides[2] : 0;
        const auto len = static_cast<std::size_t>(item);
        // The innermost dimension is copied in one piece when it is contiguous.
        const Py_ssize_t inner = ndim == 3 ? s2 : ndim == 2 ? s1 : s0;
        if (ndim > 0 && inner == item) {
            const Py_ssize_t run = ndim == 3 ? n2 : ndim == 2 ? n1 : n0;
            const auto bytes = static_cast<std::size_t>(run) * len;
            const Py_ssize_t outer0 = ndim == 3 ? n0 : ndim == 2 ? 1 : 1;
            const Py_ssize_t outer1 = ndim == 3 ? n1 : ndim == 2 ? n0 : 1;
            const Py_ssize_t t0 = ndim == 3 ? s0 : 0;
            const Py_ssize_t t1 = ndim == 3 ? s1 : ndim == 2 ? s0 : 0;
            for (Py_ssize_t i = 0; i < outer0; ++i)
                for (Py_ssize_t j = 0; j < outer1; ++j, dst += run * item)
                    std::memcpy(dst, src + i * t0 + j * t1, bytes);
        } else {
            for (Py_ssize_t i = 0; i < n0; ++i)
                for (Py_ssize_t j = 0; j < n1; ++j)
                    for (Py_ssize_t k = 0; k < n2; ++k, dst += item)
                        std::memcpy(dst, src + i * s0 + j * s1 + k * s2, len);
        }
    }
    PyBuffer_Release(&view_);
    aligned_copy_ = Ref();
    view_.buf = copy_.data();
    view_.obj = nullptr;
    view_.len = count * item;
    view_.readonly = 1;
    view_.itemsize = item;
    view_.format = nullptr;  // checked already; not read again
    view_.ndim = ndim;
    view_.shape = copy_shape_;
    view_.strides = copy_strides_;
    view_.suboffsets = nullptr;
    view_.internal = nullptr;
}

Buffer::~Buffer() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

PyObject* require_ndarray(PyObject* obj) {
    if (!PyArray_Check(obj))
        raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
              PyArray_Type.tp_name);
    return obj;
}

}  // namespace quelmar::py
