// quelmar._structure: the structure of a matrix's non-zero pattern.
//
//   structural_rank(a)            size of a maximum matching of the pattern
//   dulmage_mendelsohn(a)         (rank, row_mate, col_mate, row_block, col_block)
//   dulmage_mendelsohn_csr(rows, cols, indptr, indices)
//                                 the same for a compressed-row pattern
//   SQUARE, OVER, UNDER           the block codes
//   carry_reduction(source, target)
//                                 copies the classifier matrices a reduced
//                                 network keeps from one CRN onto another
//   hasse_edges(member, progress=None)
//                                 (child, parent) intp arrays: the Hasse diagram
//                                 of the rows of a 2-D bool array
//   hasse_edges_packed(bits, elements, progress=None)
//                                 the same of rows given as bits (2-D uint8)
//   uncovered_rows(rows, child, parent)
//                                 intp array: the rows (2-D uint8) their children
//                                 in the Hasse diagram do not cover
//   release_free_memory()         returns the freed heap to the system
//
// `a` is a two-dimensional float64 buffer (any strides); an entry is zero when
// |x| < 1e-8, so infinite and NaN entries are non-zero.  row_mate/col_mate are
// intp arrays (-1 when unmatched); the blocks are int8 arrays.  The pattern
// is copied with the GIL held; the matching runs without it.

#define QUELMAR_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "crn.hpp"
#include "hasse.hpp"
#include "heap.hpp"
#include "matching.hpp"
#include "pyargs.hpp"
#include "pybuffer.hpp"
#include "pyerrors.hpp"
#include "pyref.hpp"
#include "pysignals.hpp"

namespace quelmar::py {
namespace {

static_assert(sizeof(index_t) == sizeof(npy_intp), "index_t must be npy_intp");

Pattern dense_pattern(PyObject* obj) {
    Buffer buf(obj, Elem::Double, 2);
    return pattern_of(buf.matrix<const double>());
}

std::vector<index_t> index_vector(PyObject* obj, const char* what) {
    // Integers only: reading 0.5 as 0 would silently change the pattern.
    Ref any = Ref::steal(PyArray_FromAny(obj, nullptr, 1, 1, NPY_ARRAY_CARRAY_RO, nullptr));
    if (any) {
        auto* a = reinterpret_cast<PyArrayObject*>(any.get());
        if (PyArray_SIZE(a) > 0 && !PyArray_ISINTEGER(a) && !PyArray_ISBOOL(a))
            raise(PyExc_ValueError, "%s must be a one-dimensional array of integers", what);
    }
    Ref arr = any ? Ref::steal(PyArray_FROMANY(any.get(), NPY_INTP, 1, 1, NPY_ARRAY_CARRAY_RO))
                  : Ref();
    if (!arr) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_ValueError, "%s must be a one-dimensional array of integers", what);
        }
        throw PyError{};
    }
    auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
    const auto* data = static_cast<const index_t*>(PyArray_DATA(a));
    return std::vector<index_t>(data, data + PyArray_SIZE(a));
}

index_t extent(PyObject* obj, const char* what) {
    const Py_ssize_t n = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PyError{};
    if (n < 0) raise(PyExc_ValueError, "%s must not be negative", what);
    return n;
}

Ref intp_array(const std::vector<index_t>& v) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    Ref out = Ref::steal_or_throw(PyArray_SimpleNew(1, dims, NPY_INTP));
    if (!v.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), v.data(),
                    v.size() * sizeof(index_t));
    return out;
}

Ref block_array(const std::vector<Block>& v) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    Ref out = Ref::steal_or_throw(PyArray_SimpleNew(1, dims, NPY_INT8));
    auto* data = static_cast<npy_int8*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (std::size_t i = 0; i < v.size(); ++i) data[i] = static_cast<npy_int8>(v[i]);
    return out;
}

Ref decompose(const Pattern& p) {
    Decomposition d;
    {
        GilRelease nogil;
        d = coarse_decomposition(p, signal_poll());
    }
    Ref rank = Ref::steal_or_throw(PyLong_FromSsize_t(d.matching.size));
    Ref row_mate = intp_array(d.matching.row_mate);
    Ref col_mate = intp_array(d.matching.col_mate);
    Ref row_block = block_array(d.row_block);
    Ref col_block = block_array(d.col_block);
    return Ref::steal_or_throw(PyTuple_Pack(5, rank.get(), row_mate.get(), col_mate.get(),
                                            row_block.get(), col_block.get()));
}

PyObject* py_structural_rank(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments({"structural_rank", {"a"}, 1}, args, nargs, kwnames, bound);
        const Pattern p = dense_pattern(bound[0]);
        index_t rank = 0;
        {
            GilRelease nogil;
            rank = structural_rank(p, signal_poll());
        }
        return PyLong_FromSsize_t(rank);
    });
}

PyObject* py_dulmage_mendelsohn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments({"dulmage_mendelsohn", {"a"}, 1}, args, nargs, kwnames, bound);
        return decompose(dense_pattern(bound[0])).release();
    });
}

PyObject* py_dulmage_mendelsohn_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[4];
        bind_arguments({"dulmage_mendelsohn_csr", {"rows", "cols", "indptr", "indices"}, 4},
                       args, nargs, kwnames, bound);
        const index_t rows = extent(bound[0], "rows");
        const index_t cols = extent(bound[1], "cols");
        std::vector<index_t> indptr = index_vector(bound[2], "indptr");
        std::vector<index_t> indices = index_vector(bound[3], "indices");
        return decompose(pattern_from_csr(rows, cols, std::move(indptr), std::move(indices)))
            .release();
    });
}

// A reduced network keeps restricted copies of its conserved-quantity
// classes and output-complete keepers instead of recomputing them; a copy of
// the network must carry them to behave the same.  Written here, beside the
// class's own code, so that Python never spells the private attributes.
PyObject* py_carry_reduction(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[2];
        bind_arguments({"carry_reduction", {"source", "target"}, 2}, args, nargs, kwnames,
                       bound);
        for (const char* name : {kCqClass, kOcKeeper}) {
            Ref value = getattr(bound[0], name);
            Ref copy = Ref::steal_or_throw(PyArray_FROMANY(
                value.get(), NPY_BOOL, 0, 0, NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSURECOPY));
            setattr(bound[1], name, copy.get());
        }
        Py_RETURN_NONE;
    });
}

// The edges of `family`, in pieces, telling progress(done, total) between them.
PyObject* family_edges(std::optional<HasseFamily>& family, PyObject* progress, int threads,
                       const Poll& poll) {
    std::vector<index_t> child, parent;
    const index_t k = family->sets();
    const index_t piece = std::max<index_t>(2048, k / 100);
    for (index_t begin = 0; begin < k; begin += piece) {
        {
            GilRelease nogil;
            family->edges(begin, std::min(k, begin + piece), threads, child, parent, poll);
        }
        if (progress != nullptr) {
            Ref done = Ref::steal_or_throw(PyLong_FromSsize_t(std::min(k, begin + piece)));
            Ref total = Ref::steal_or_throw(PyLong_FromSsize_t(k));
            Ref r = Ref::steal_or_throw(
                PyObject_CallFunctionObjArgs(progress, done.get(), total.get(), nullptr));
        }
    }
    family.reset();
    Ref c = intp_array(child);
    std::vector<index_t>().swap(child);
    Ref p = intp_array(parent);
    return Ref::steal_or_throw(PyTuple_Pack(2, c.get(), p.get())).release();
}

int hasse_threads() { return static_cast<int>(std::max(1U, std::thread::hardware_concurrency())); }

PyObject* py_hasse_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[2] = {nullptr, Py_None};
        bind_arguments({"hasse_edges", {"member", "progress"}, 1}, args, nargs, kwnames, bound);
        PyObject* progress = bound[1] == nullptr || bound[1] == Py_None ? nullptr : bound[1];
        std::optional<HasseFamily> family;
        const Poll poll = signal_poll();
        const int threads = hasse_threads();
        {
            Buffer buf(bound[0], Elem::Bool, 2);
            GilRelease nogil;
            family.emplace(buf.matrix<const std::uint8_t>(), poll, threads);
        }
        return family_edges(family, progress, threads, poll);
    });
}

PyObject* py_hasse_edges_packed(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[3] = {nullptr, nullptr, Py_None};
        bind_arguments({"hasse_edges_packed", {"bits", "elements", "progress"}, 2}, args,
                       nargs, kwnames, bound);
        const index_t elements = extent(bound[1], "elements");
        PyObject* progress = bound[2] == nullptr || bound[2] == Py_None ? nullptr : bound[2];
        std::optional<HasseFamily> family;
        const Poll poll = signal_poll();
        const int threads = hasse_threads();
        {
            Buffer buf(bound[0], Elem::UInt8, 2);
            if (buf.extent(1) < (elements + 7) / 8)
                raise(PyExc_ValueError, "rows of %zd bytes cannot hold %zd elements",
                      static_cast<Py_ssize_t>(buf.extent(1)), static_cast<Py_ssize_t>(elements));
            GilRelease nogil;
            family.emplace(buf.matrix<const std::uint8_t>(), elements, poll, threads);
        }
        return family_edges(family, progress, threads, poll);
    });
}

PyObject* py_uncovered_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded(nullptr, nullptr, [&]() -> PyObject* {
        PyObject* bound[3] = {nullptr, nullptr, nullptr};
        bind_arguments({"uncovered_rows", {"rows", "child", "parent"}, 3}, args, nargs, kwnames,
                       bound);
        const std::vector<index_t> child = index_vector(bound[1], "child");
        const std::vector<index_t> parent = index_vector(bound[2], "parent");
        if (child.size() != parent.size())
            raise(PyExc_ValueError, "the edges' children and parents differ in number");
        const Poll poll = signal_poll();
        std::vector<index_t> out;
        {
            Buffer buf(bound[0], Elem::UInt8, 2);
            GilRelease nogil;
            out = uncovered_sets(buf.matrix<const std::uint8_t>(), child.data(), parent.data(),
                                 static_cast<index_t>(child.size()), poll);
        }
        return intp_array(out).release();
    });
}

PyObject* py_release_free_memory(PyObject*, PyObject*) {
    {
        GilRelease nogil;
        release_free_memory();
    }
    Py_RETURN_NONE;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef module_methods[] = {
    {"structural_rank", FASTCALL_KW(py_structural_rank), METH_FASTCALL | METH_KEYWORDS,
     "structural_rank(a)\n--\n\nSize of a maximum matching of the non-zero pattern of the "
     "2-D float64 array a (|x| < 1e-8 is zero; inf and NaN are non-zero)."},
    {"dulmage_mendelsohn", FASTCALL_KW(py_dulmage_mendelsohn), METH_FASTCALL | METH_KEYWORDS,
     "dulmage_mendelsohn(a)\n--\n\n(rank, row_mate, col_mate, row_block, col_block) of the "
     "non-zero pattern of a: a maximum matching (-1 = unmatched) and the coarse "
     "Dulmage-Mendelsohn block of every row and column (SQUARE, OVER or UNDER)."},
    {"dulmage_mendelsohn_csr", FASTCALL_KW(py_dulmage_mendelsohn_csr),
     METH_FASTCALL | METH_KEYWORDS,
     "dulmage_mendelsohn_csr(rows, cols, indptr, indices)\n--\n\nAs dulmage_mendelsohn, "
     "for a pattern in compressed-row form."},
    {"carry_reduction", FASTCALL_KW(py_carry_reduction), METH_FASTCALL | METH_KEYWORDS,
     "carry_reduction(source, target)\n--\n\nCopy onto the CRN target the conserved-quantity "
     "classes and output-complete keepers of the CRN source (restricted ones, when source "
     "was reduced)."},
    {"uncovered_rows", FASTCALL_KW(py_uncovered_rows), METH_FASTCALL | METH_KEYWORDS,
     "uncovered_rows(rows, child, parent)\n--\n\nThe rows (2-D uint8, compared byte for byte) "
     "that the union of their children does not cover, ascending, as an intp array: the "
     "edges (child[e], parent[e]) of their Hasse diagram, in any order."},
    {"hasse_edges", FASTCALL_KW(py_hasse_edges), METH_FASTCALL | METH_KEYWORDS,
     "hasse_edges(member, progress=None)\n--\n\n(child, parent): the edges of the Hasse "
     "diagram (transitive reduction of strict inclusion) of the rows of the 2-D bool array "
     "member, as intp arrays, child ascending.  progress(done, total) is called now and "
     "then with the number of rows done."},
    {"release_free_memory", py_release_free_memory, METH_NOARGS,
     "release_free_memory()\n--\n\nReturns the pages of the freed heap to the system "
     "(where the C library can)."},
    {"hasse_edges_packed", FASTCALL_KW(py_hasse_edges_packed), METH_FASTCALL | METH_KEYWORDS,
     "hasse_edges_packed(bits, elements, progress=None)\n--\n\nhasse_edges of sets given "
     "as the rows of the 2-D uint8 array bits, element x at bit x % 8 of byte x // 8 (NumPy's "
     "packbits with bitorder='little'); bits from elements on are ignored."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (PyModule_AddIntConstant(module, "SQUARE", static_cast<long>(Block::Square)) < 0 ||
        PyModule_AddIntConstant(module, "OVER", static_cast<long>(Block::Over)) < 0 ||
        PyModule_AddIntConstant(module, "UNDER", static_cast<long>(Block::Under)) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_structure",
    "Structure of the non-zero pattern of a matrix: maximum matching, structural rank and "
    "the coarse Dulmage-Mendelsohn decomposition.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quelmar::py

PyMODINIT_FUNC PyInit__structure() { return PyModuleDef_Init(&quelmar::py::module_def); }
