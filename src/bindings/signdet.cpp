// signdet and its objective.
//
// signdet(A, trials) decides the sign of det(A) when A's infinite or NaN
// entries are free variables: without free entries it is the sign of
// np.linalg.det; otherwise each trial minimises -atan(det) and atan(det)
// (vardetA and its negation) from random starting points.
//
// _signdet_differences(A, trials) takes the same steps and hands the
// optimiser, besides each objective, its forward-difference gradient taken
// in one call: the numbers the optimiser would take itself, one objective
// call at a time, when given no gradient (quelmar.signfast checks that the
// SciPy at hand agrees before the batch and analysis use it).
#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "dense.hpp"
#include "module.hpp"
#include "parallel.hpp"
#include "pyops.hpp"
#include "sign.hpp"

namespace quelmar::py {
namespace {

// State shared by vardetA and the lambda of one signdet call.
struct SignClosure {
    Ref A;                                     // the caller's matrix
    std::unique_ptr<SignObjective> objective;  // built at the first evaluation
    Ref vardetA;                               // the objective function (for the lambda)
    // With gradients: the last point vardetA was evaluated at, and its value.
    bool remember = false;
    std::vector<double> last_z;
    double last_value = 0.0;
    bool has_last = false;
    int threads = 1;             // for the gradients' determinants
    std::unique_ptr<Team> team;  // started by the first gradient that shares out
};

// Gradients share their determinants out among threads from this much work
// (free entries times the cube of the order) on: below it, starting a piece
// on a thread costs more than it saves.
constexpr double kSharedGradientWork = 4.0e6;

constexpr const char* kSignClosureName = "quelmar.cyquelmar.signdet.closure";

void sign_closure_destroy(PyObject* capsule) {
    delete static_cast<SignClosure*>(PyCapsule_GetPointer(capsule, kSignClosureName));
}

SignClosure& sign_closure(PyObject* func) {
    auto* c =
        static_cast<SignClosure*>(PyCapsule_GetPointer(function_closure(func), kSignClosureName));
    if (c == nullptr) throw PyError{};
    return *c;
}

/// The minimize result's `fun`, as a float.
double result_fun(PyObject* result) {
    Ref fun = getattr(result, "fun");
    return as_double(fun.get());
}

}  // namespace

PyObject* vardetA_impl(PyObject* func, PyObject* const* bound) {
    SignClosure& c = sign_closure(func);
    if (!c.objective) {
        // The objective reads np.array(A), so nested lists and tuples are
        // matrices here as they are to NumPy.
        Ref np = module_global("np");
        Ref varA = call_method(np.get(), "array", c.A.get());
        Buffer buf(varA.get(), Elem::Double, 2);
        c.objective = std::make_unique<SignObjective>(buf.matrix<const double>());
    }
    // The optimiser passes float64 vectors: read those in place.
    PyObject* varsz = bound[0];  // borrowed from the arguments
    Ref z;
    PyArrayObject* zarr = as_array(varsz);
    if (!(PyArray_CheckExact(varsz) && PyArray_TYPE(zarr) == NPY_DOUBLE &&
          PyArray_ISCARRAY_RO(zarr) && PyArray_ISNOTSWAPPED(zarr))) {
        z = checked(
            PyArray_FROMANY(varsz, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
        zarr = as_array(z.get());
    }
    const npy_intp count = PyArray_SIZE(zarr);
    const index_t k = c.objective->nvars();
    if (count != k && count != 1)
        raise(PyExc_ValueError,
              "NumPy boolean array indexing assignment cannot assign %zd input values to the "
              "%zd output values where the mask is true",
              static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(k));
    const auto* values = static_cast<const double*>(PyArray_DATA(zarr));
    const double value = (*c.objective)(values, static_cast<index_t>(count));
    if (c.remember && count == k) {
        c.last_z.assign(values, values + k);
        c.last_value = value;
        c.has_last = true;
    }
    return PyFloat_FromDouble(value);
}

namespace {

/// The gradient of sign * vardetA at the point bound[0] (see SignObjective::differences).
PyObject* gradient(PyObject* func, PyObject* const* bound, double sign) {
    SignClosure& c = sign_closure(func);
    if (!c.objective) raise(PyExc_RuntimeError, "the gradient is taken after the objective");
    const index_t k = c.objective->nvars();
    Ref z = checked(
        PyArray_FROMANY(bound[0], NPY_DOUBLE, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    auto* zarr = as_array(z.get());
    if (PyArray_SIZE(zarr) != k)
        raise(PyExc_ValueError, "the gradient takes %zd variable values, got %zd",
              static_cast<Py_ssize_t>(k), static_cast<Py_ssize_t>(PyArray_SIZE(zarr)));
    const auto* values = static_cast<const double*>(PyArray_DATA(zarr));
    const auto bytes = static_cast<std::size_t>(k) * sizeof(double);
    double value;
    if (c.has_last && std::memcmp(c.last_z.data(), values, bytes) == 0) {
        value = c.last_value;
    } else {
        value = (*c.objective)(values, k);
    }
    npy_intp dims[1] = {static_cast<npy_intp>(k)};
    Ref g = checked(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
    auto* out = static_cast<double*>(PyArray_DATA(as_array(g.get())));
    const double f0 = sign < 0 ? -value : value;
    const index_t n = c.objective->order();
    const double work = static_cast<double>(k) * static_cast<double>(n) *
                        static_cast<double>(n) * static_cast<double>(n);
    if (c.threads < 2 || work < kSharedGradientWork || k < 2) {
        c.objective->differences(values, f0, sign, out);
        return g.release();
    }
    // Each entry is the same determinant on whichever thread computes it.
    if (!c.team) c.team = std::make_unique<Team>(c.threads);
    const std::vector<double> point0(values, values + k);  // read without the lock
    const SignObjective& objective = *c.objective;
    {
        GilRelease nogil;
        c.team->share_out(k, 1, [&](index_t begin, index_t end, bool) {
            Vec<double> scratch(n * n);
            Vec<double> point(point0.begin(), point0.end());
            objective.differences(point0.data(), f0, sign, out, begin, end, scratch.data(),
                                  point.data());
        });
    }
    return g.release();
}

}  // namespace

PyObject* gradient_impl(PyObject* func, PyObject* const* bound) {
    return gradient(func, bound, 1.0);
}

PyObject* negated_gradient_impl(PyObject* func, PyObject* const* bound) {
    return gradient(func, bound, -1.0);
}

PyObject* lambda_impl(PyObject* func, PyObject* const* bound) {
    SignClosure& c = sign_closure(func);
    if (!c.vardetA) raise(PyExc_RuntimeError, "the objective of this signdet call has ended");
    Ref value = call(c.vardetA.get(), bound[0]);
    return negative(value.get()).release();
}

namespace {

PyObject* signdet_with(PyObject* const* bound, bool differences, int threads) {
    PyObject* A = bound[0];  // borrowed from the arguments
    PyObject* trials_arg = bound[1];
    Ref np = module_global("np");

    // Free entries: not (|a| < inf), i.e. +inf, -inf and NaN.
    Ref absA = call_method(np.get(), "abs", A);
    Ref inf = real(HUGE_VAL);
    Ref finite = less(absA.get(), inf.get());
    Ref varposition = invert(finite.get());
    Ref ksum = call_method(np.get(), "sum", varposition.get());
    const Py_ssize_t k = PyNumber_AsSsize_t(ksum.get(), PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) throw PyError{};

    if (k == 0) {
        Ref copy = call_method(np.get(), "array", A);
        Ref linalg = getattr(np.get(), "linalg");
        Ref d = call_method(linalg.get(), "det", copy.get());
        Ref absd = absolute(d.get());
        Ref tol = real(TOL);
        Ref small = less(absd.get(), tol.get());
        if (truth(small.get())) return PyLong_FromLong(0);
        return call_method(np.get(), "sign", d.get()).release();
    }

    // The objective reads A as a square matrix: reject anything else before
    // the optimisation starts.
    PyArrayObject* absarr = as_array(absA.get());
    if (!PyArray_Check(absA.get()) || PyArray_NDIM(absarr) != 2 ||
        PyArray_DIM(absarr, 0) != PyArray_DIM(absarr, 1)) {
        Ref shape = getattr(absA.get(), "shape");
        raise(PyExc_ValueError,
              "signdet() needs a square two-dimensional matrix when it has variable entries, "
              "got shape %R",
              shape.get());
    }
    const Py_ssize_t trials = as_ssize(trials_arg);

    auto* closure = new SignClosure{};
    closure->A = Ref::borrow(A);
    closure->remember = differences;
    closure->threads = threads;
    Ref capsule = Ref::steal(PyCapsule_New(closure, kSignClosureName, sign_closure_destroy));
    if (!capsule) {
        delete closure;
        throw PyError{};
    }
    Ref vardetA = make_function(&vardetA_spec, capsule.get());
    closure->vardetA = Ref::borrow(vardetA.get());
    Ref lambda = make_function(&lambda_spec, capsule.get());
    Ref jac, negated_jac;
    if (differences) {
        jac = make_function(&gradient_spec, capsule.get());
        negated_jac = make_function(&negated_gradient_spec, capsule.get());
    }
    // The capsule now refers to vardetA, which refers to the capsule: break
    // that cycle when the call ends, whatever way it ends; the gradients'
    // helper threads end with it too (a gradient kept and called later runs
    // on the calling thread).
    struct CycleBreaker {
        SignClosure* c;
        ~CycleBreaker() {
            c->vardetA = Ref();
            c->threads = 1;
            c->team.reset();
        }
    } breaker{closure};

    Ref minimize = module_global("minimize");
    Ref random = getattr(np.get(), "random");
    Ref normal = getattr(random.get(), "normal");
    Ref size = integer(k);
    Ref scale = real(10.0);

    bool has_positive = false;
    bool has_negative = false;
    for (Py_ssize_t t = 0; t < trials; ++t) {
        Ref x0 = call(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref p = differences ? call(minimize.get(), {{"fun", lambda.get()},
                                                    {"x0", x0.get()},
                                                    {"jac", negated_jac.get()}})
                            : call(minimize.get(), {{"fun", lambda.get()}, {"x0", x0.get()}});
        if (-result_fun(p.get()) > TOL) has_positive = true;
        Ref x1 = call(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref q = differences ? call(minimize.get(), {{"fun", vardetA.get()},
                                                    {"x0", x1.get()},
                                                    {"jac", jac.get()}})
                            : call(minimize.get(), {{"fun", vardetA.get()}, {"x0", x1.get()}});
        if (result_fun(q.get()) < -TOL) has_negative = true;
    }
    if (has_positive && has_negative) return PyFloat_FromDouble(std::nan(""));
    if (has_positive) return PyFloat_FromDouble(1.0);
    if (has_negative) return PyFloat_FromDouble(-1.0);
    return PyFloat_FromDouble(0.0);
}

}  // namespace

PyObject* signdet_impl(PyObject*, PyObject* const* bound) {
    return signdet_with(bound, false, 1);
}

PyObject* signdet_differences_impl(PyObject*, PyObject* const* bound) {
    const Py_ssize_t threads = as_ssize(bound[2]);
    if (threads < 1) raise(PyExc_ValueError, "threads must be at least 1, got %zd", threads);
    constexpr Py_ssize_t kMostThreads = 8;
    return signdet_with(bound, true, static_cast<int>(std::min(threads, kMostThreads)));
}

}  // namespace quelmar::py
