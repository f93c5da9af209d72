// quelmar.cyquelmar: structural analysis of chemical reaction networks.
//
// Module namespace, bound at import in this order:
//   np                  the numpy module
//   minimize            scipy.optimize.minimize
//   signdet(A, trials=10)
//                       sign of a determinant whose infinite/NaN entries are
//                       free variables, decided by randomised optimisation
//   CRN                 the reaction-network class (crn.cpp)
//   indicator_diagnose(crn)
//                       successive contraction of minimal buffering structures
//   __test__            {}
//
// This unit holds the module's function type, the import-time set-up and
// signdet with its objective.

#define QUELMAR_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <cmath>
#include <cstring>
#include <memory>

#include <structmember.h>
#include <new>

#include "kernels.hpp"
#include "lapack.hpp"
#include "memview.hpp"
#include "module.hpp"
#include "sign.hpp"

namespace quelmar::py {
namespace {

constexpr const char* kDgetrfSignature =
    "void (int *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, int *, int *)";

// The module object once executed; it may be executed only once per process.
PyObject* the_module = nullptr;  // borrowed: the module owns itself via sys.modules
std::int64_t main_interpreter_id = -1;

// ---------------------------------------------------------------------------
// The function type: carries name, qualified name, module, documentation and
// defaults, binds as a method when stored in a class, and is called through
// vectorcall.

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* closure;
    PyObject* dict;
    PyObject* weakreflist;
};

PyTypeObject* function_type = nullptr;

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const FuncSpec* spec = f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guarded(spec->trace, [&]() -> PyObject* {
        PyObject* bound[8];
        const auto nparams = static_cast<Py_ssize_t>(spec->sig.params.size());
        bind_arguments(spec->sig, args, nargs, kwnames, bound);
        if (f->defaults != nullptr && PyTuple_Check(f->defaults)) {
            const Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults);
            for (Py_ssize_t i = 0; i < nparams; ++i) {
                const Py_ssize_t d = i - (nparams - ndef);
                if (bound[i] == nullptr && d >= 0) bound[i] = PyTuple_GET_ITEM(f->defaults, d);
            }
        }
        for (Py_ssize_t i = 0; i < nparams; ++i)
            if (bound[i] == nullptr)
                raise(PyExc_TypeError, "%.200s() missing required argument '%s'", spec->name,
                      spec->sig.params.begin()[i]);
        return spec->impl(self, bound);
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "quelmar.cyquelmar.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR
#if PY_VERSION_HEX >= 0x030A0000
        | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION
#endif
    ,
    function_slots,
};

}  // namespace

int function_init_type() {
    if (function_type != nullptr) return 0;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type == nullptr ? -1 : 0;
}

Ref make_function(const FuncSpec* spec, PyObject* defaults, PyObject* closure) {
    auto* f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) throw PyError{};
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->closure = f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_FromString(spec->name);
    f->qualname = PyUnicode_FromString(spec->qualname);
    f->module = PyUnicode_FromString("quelmar.cyquelmar");
    f->doc = spec->doc != nullptr ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    if (f->name == nullptr || f->qualname == nullptr || f->module == nullptr || f->doc == nullptr)
        throw PyError{};
    f->defaults = Py_NewRef(defaults != nullptr ? defaults : Py_None);
    f->closure = Py_XNewRef(closure);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return self;
}

PyObject* function_closure(PyObject* func) {
    return reinterpret_cast<FunctionObject*>(func)->closure;
}

Ref module_global(const char* name) {
    PyObject* dict = the_module != nullptr ? PyModule_GetDict(the_module) : nullptr;  // borrowed
    PyObject* value = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PyError{};
        raise(PyExc_NameError, "name '%s' is not defined", name);
    }
    return Ref::borrow(value);
}

// ---------------------------------------------------------------------------
// signdet and its objective.

namespace {

// State shared by vardetA and the lambda of one signdet call.
struct SignClosure {
    Ref A;                                   // the caller's matrix
    std::unique_ptr<SignObjective> objective;  // built at the first evaluation
    Ref vardetA;                             // the objective function (for the lambda)
};

constexpr const char* kSignClosureName = "quelmar.cyquelmar.signdet.closure";

void sign_closure_destroy(PyObject* capsule) {
    delete static_cast<SignClosure*>(PyCapsule_GetPointer(capsule, kSignClosureName));
}

SignClosure& sign_closure(PyObject* func) {
    auto* c = static_cast<SignClosure*>(
        PyCapsule_GetPointer(function_closure(func), kSignClosureName));
    if (c == nullptr) throw PyError{};
    return *c;
}

PyObject* vardetA_impl(PyObject* func, PyObject* const* bound) {
    SignClosure& c = sign_closure(func);
    if (!c.objective) {
        Buffer buf(c.A.get(), Elem::Double, 2);
        c.objective = std::make_unique<SignObjective>(buf.matrix<const double>());
    }
    // The optimiser passes float64 vectors: read those in place.
    PyObject* varsz = bound[0];  // borrowed from the arguments
    Ref z;
    auto* zarr = reinterpret_cast<PyArrayObject*>(varsz);
    if (!(PyArray_CheckExact(varsz) && PyArray_TYPE(zarr) == NPY_DOUBLE &&
          PyArray_ISCARRAY_RO(zarr) && PyArray_ISNOTSWAPPED(zarr))) {
        z = Ref::steal_or_throw(
            PyArray_FROMANY(varsz, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
        zarr = reinterpret_cast<PyArrayObject*>(z.get());
    }
    const npy_intp count = PyArray_SIZE(zarr);
    const index_t k = c.objective->nvars();
    if (count != k && count != 1)
        raise(PyExc_ValueError,
              "NumPy boolean array indexing assignment cannot assign %zd input values to the "
              "%zd output values where the mask is true",
              static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(k));
    const auto* values = static_cast<const double*>(PyArray_DATA(zarr));
    return PyFloat_FromDouble((*c.objective)(values, static_cast<index_t>(count)));
}

PyObject* lambda_impl(PyObject* func, PyObject* const* bound) {
    SignClosure& c = sign_closure(func);
    if (!c.vardetA) raise(PyExc_RuntimeError, "the objective of this signdet call has ended");
    Ref value = Ref::steal_or_throw(PyObject_CallOneArg(c.vardetA.get(), bound[0]));
    return PyNumber_Negative(value.get());
}

const FuncSpec vardetA_spec = {
    "vardetA", "signdet.<locals>.vardetA", "signdet.vardetA",
    "Compute arctan of determinant with squared variables.",
    {"vardetA", {"varsz"}, 1}, vardetA_impl,
};

const FuncSpec lambda_spec = {
    "<lambda>", "signdet.<locals>.<lambda>", "signdet.lambda", nullptr,
    {"<lambda>", {"z"}, 1}, lambda_impl,
};

Ref call_kw(PyObject* callable, std::initializer_list<std::pair<const char*, PyObject*>> kw) {
    Ref kwargs = Ref::steal_or_throw(PyDict_New());
    for (const auto& [key, value] : kw)
        if (PyDict_SetItemString(kwargs.get(), key, value) != 0) throw PyError{};
    Ref empty = Ref::steal_or_throw(PyTuple_New(0));
    return Ref::steal_or_throw(PyObject_Call(callable, empty.get(), kwargs.get()));
}

// fun attribute of a minimize result, as a double.
double result_fun(PyObject* result) {
    Ref fun = Ref::steal_or_throw(PyObject_GetAttrString(result, "fun"));
    const double v = PyFloat_AsDouble(fun.get());
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

PyObject* signdet_impl(PyObject*, PyObject* const* bound) {
    PyObject* A = bound[0];  // borrowed from the arguments
    PyObject* trials_arg = bound[1];
    Ref np = module_global("np");

    // Free entries: not (|a| < inf), i.e. +inf, -inf and NaN.
    Ref absA = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "abs", "O", A));
    Ref inf = Ref::steal_or_throw(PyFloat_FromDouble(HUGE_VAL));
    Ref finite = Ref::steal_or_throw(PyObject_RichCompare(absA.get(), inf.get(), Py_LT));
    Ref varposition = Ref::steal_or_throw(PyNumber_Invert(finite.get()));
    Ref ksum = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "sum", "O", varposition.get()));
    const Py_ssize_t k = PyNumber_AsSsize_t(ksum.get(), PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) throw PyError{};

    if (k == 0) {
        Ref copy = Ref::steal_or_throw(PyObject_CallMethod(np.get(), "array", "O", A));
        Ref linalg = Ref::steal_or_throw(PyObject_GetAttrString(np.get(), "linalg"));
        Ref d = Ref::steal_or_throw(PyObject_CallMethod(linalg.get(), "det", "O", copy.get()));
        Ref absd = Ref::steal_or_throw(PyNumber_Absolute(d.get()));
        Ref tol = Ref::steal_or_throw(PyFloat_FromDouble(TOL));
        Ref small = Ref::steal_or_throw(PyObject_RichCompare(absd.get(), tol.get(), Py_LT));
        const int is_small = PyObject_IsTrue(small.get());
        if (is_small < 0) throw PyError{};
        if (is_small) return PyLong_FromLong(0);
        return PyObject_CallMethod(np.get(), "sign", "O", d.get());
    }

    // The objective reads A as a square matrix: reject anything else before
    // the optimisation starts.
    auto* absarr = reinterpret_cast<PyArrayObject*>(absA.get());
    if (!PyArray_Check(absA.get()) || PyArray_NDIM(absarr) != 2 ||
        PyArray_DIM(absarr, 0) != PyArray_DIM(absarr, 1)) {
        Ref shape = Ref::steal_or_throw(PyObject_GetAttrString(absA.get(), "shape"));
        raise(PyExc_ValueError,
              "signdet() needs a square two-dimensional matrix when it has variable entries, "
              "got shape %R",
              shape.get());
    }

    Ref trials_index = Ref::steal_or_throw(PyNumber_Index(trials_arg));
    const Py_ssize_t trials = PyNumber_AsSsize_t(trials_index.get(), PyExc_OverflowError);
    if (trials == -1 && PyErr_Occurred()) throw PyError{};

    auto* closure = new SignClosure{Ref::borrow(A), nullptr, Ref()};
    Ref capsule = Ref::steal(PyCapsule_New(closure, kSignClosureName, sign_closure_destroy));
    if (!capsule) {
        delete closure;
        throw PyError{};
    }
    Ref vardetA = make_function(&vardetA_spec, nullptr, capsule.get());
    closure->vardetA = Ref::borrow(vardetA.get());
    Ref lambda = make_function(&lambda_spec, nullptr, capsule.get());
    // The capsule now refers to vardetA, which refers to the capsule: break
    // that cycle when the call ends, whatever way it ends.
    struct CycleBreaker {
        SignClosure* c;
        ~CycleBreaker() { c->vardetA = Ref(); }
    } breaker{closure};

    Ref minimize = module_global("minimize");
    Ref random = Ref::steal_or_throw(PyObject_GetAttrString(np.get(), "random"));
    Ref normal = Ref::steal_or_throw(PyObject_GetAttrString(random.get(), "normal"));
    Ref size = Ref::steal_or_throw(PyLong_FromSsize_t(k));
    Ref scale = Ref::steal_or_throw(PyFloat_FromDouble(10.0));

    bool has_positive = false;
    bool has_negative = false;
    for (Py_ssize_t t = 0; t < trials; ++t) {
        Ref x0 = call_kw(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref p = call_kw(minimize.get(), {{"fun", lambda.get()}, {"x0", x0.get()}});
        if (-result_fun(p.get()) > TOL) has_positive = true;
        Ref x1 = call_kw(normal.get(), {{"size", size.get()}, {"scale", scale.get()}});
        Ref q = call_kw(minimize.get(), {{"fun", vardetA.get()}, {"x0", x1.get()}});
        if (result_fun(q.get()) < -TOL) has_negative = true;
    }
    if (has_positive && has_negative) return PyFloat_FromDouble(std::nan(""));
    if (has_positive) return PyFloat_FromDouble(1.0);
    if (has_negative) return PyFloat_FromDouble(-1.0);
    return PyFloat_FromDouble(0.0);
}

const char signdet_doc[] =
    "\n"
    "    Determine the sign of the determinant of matrix A with variable entries.\n"
    "\n"
    "    Parameters:\n"
    "    -----------\n"
    "    A : ndarray\n"
    "        Input square matrix with possible infinite or variable entries\n"
    "    trials : int, optional\n"
    "        Number of optimization trials to test sign consistency (default: 10)\n"
    "\n"
    "    Returns:\n"
    "    --------\n"
    "    float\n"
    "        Sign of the determinant:\n"
    "        =  1.0 if consistently positive\n"
    "        = -1.0 if consistently negative\n"
    "        =  0.0 if consistently zero\n"
    "        =  NAN if both positive and negative signs are possible\n"
    "    ";

const FuncSpec signdet_spec = {
    "signdet", "signdet", "signdet", signdet_doc, {"signdet", {"A", "trials"}, 1}, signdet_impl,
};

// ---------------------------------------------------------------------------
// Import-time set-up.

int install_dgetrf() {
    Ref lapack = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_lapack"));
    if (!lapack) return -1;
    Ref capi = Ref::steal(PyObject_GetAttrString(lapack.get(), "__pyx_capi__"));
    if (!capi) return -1;
    Ref item = Ref::steal(PyMapping_GetItemString(capi.get(), "dgetrf"));
    if (!item) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     "scipy.linalg.cython_lapack", "function", "dgetrf");
        return -1;
    }
    PyObject* cap = item.get();  // borrowed from item
    const char* name = PyCapsule_CheckExact(cap) ? PyCapsule_GetName(cap) : nullptr;
    if (name == nullptr || std::strcmp(name, kDgetrfSignature) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", "scipy.linalg.cython_lapack", "dgetrf", kDgetrfSignature,
                     name != nullptr ? name : "(not a capsule)");
        return -1;
    }
    void* fn = PyCapsule_GetPointer(cap, name);
    if (fn == nullptr) return -1;
    set_dgetrf(reinterpret_cast<dgetrf_fn*>(fn));
    return 0;
}

int add_name(PyObject* module, const char* name, PyObject* value) {
    return PyModule_AddObjectRef(module, name, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) {
    if (the_module == module) return 0;
    if (the_module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cyquelmar' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    const int run_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int run_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (run_major != PY_MAJOR_VERSION || run_minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(nullptr, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime "
                             "version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, "quelmar.cyquelmar",
                             "does not match", run_major, run_minor) < 0)
            return -1;
    }
    if (PyArray_ImportNumPyAPI() < 0) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        }
        return -1;
    }
    if (install_dgetrf() < 0) return -1;
    if (function_init_type() < 0 || memview_init_type() < 0) return -1;

    the_module = module;
    try {
        Ref np = Ref::steal_or_throw(PyImport_ImportModule("numpy"));
        if (add_name(module, "np", np.get()) < 0) throw PyError{};
        Ref optimize = Ref::steal_or_throw(PyImport_ImportModule("scipy.optimize"));
        Ref minimize = Ref::steal(PyObject_GetAttrString(optimize.get(), "minimize"));
        if (!minimize) {
            Ref attr = Ref::steal_or_throw(PyUnicode_FromString("minimize"));
            PyErr_Clear();
            raise(PyExc_ImportError, "cannot import name %S", attr.get());
        }
        if (add_name(module, "minimize", minimize.get()) < 0) throw PyError{};
        Ref ten = Ref::steal_or_throw(Py_BuildValue("(i)", 10));
        Ref signdet = make_function(&signdet_spec, ten.get(), nullptr);
        if (add_name(module, "signdet", signdet.get()) < 0) throw PyError{};
        Ref crn = make_crn_class();
        if (add_name(module, "CRN", crn.get()) < 0) throw PyError{};
        Ref diagnose = make_function(&indicator_diagnose_spec, nullptr, nullptr);
        if (add_name(module, "indicator_diagnose", diagnose.get()) < 0) throw PyError{};
        Ref test = Ref::steal_or_throw(PyDict_New());
        if (add_name(module, "__test__", test.get()) < 0) throw PyError{};
    } catch (...) {
        translate_current_exception();
        the_module = nullptr;
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cyquelmar",
    nullptr,  // no module documentation
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quelmar::py

PyMODINIT_FUNC PyInit_cyquelmar() { return PyModuleDef_Init(&quelmar::py::module_def); }
