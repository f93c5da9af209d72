// quelmar.cyquelmar: structural analysis of chemical reaction networks.
//
// Module namespace, bound at import in this order:
//   np                  the numpy module
//   minimize            scipy.optimize.minimize
//   signdet(A, trials=10)
//                       sign of a determinant whose infinite/NaN entries are
//                       free variables, decided by randomised optimisation
//   CRN                 the reaction-network class
//   indicator_diagnose(crn)
//                       successive contraction of minimal buffering structures
//   __test__            {}
//
// This unit holds the table of the module's functions and the import-time
// set-up.  The function type is in function.cpp, signdet in signdet.cpp, the
// class CRN in crn.cpp (construction), analyses.cpp and reduction.cpp.

#define QUELMAR_IMPORT_NUMPY
#include "numpy_api.hpp"

#include <cstdint>
#include <cstring>

#include "docstrings.hpp"
#include "lapack.hpp"
#include "memview.hpp"
#include "module.hpp"
#include "pyops.hpp"

namespace quelmar::py {

// ---------------------------------------------------------------------------
// The functions: qualified name (the other names derive from it),
// documentation, parameters, defaults of the trailing parameters, body.

const FuncSpec vardetA_spec = {
    "signdet.<locals>.vardetA", doc::vardetA, {"varsz"}, {}, vardetA_impl,
};

const FuncSpec lambda_spec = {
    "signdet.<locals>.<lambda>", nullptr, {"z"}, {}, lambda_impl,
};

const FuncSpec gradient_spec = {
    "_signdet_differences.<locals>.gradient", nullptr, {"varsz"}, {}, gradient_impl,
};

const FuncSpec negated_gradient_spec = {
    "_signdet_differences.<locals>.negated_gradient", nullptr, {"z"}, {},
    negated_gradient_impl,
};

namespace {

const FuncSpec signdet_spec = {
    "signdet", doc::signdet, {"A", "trials"}, {int_default(10)}, signdet_impl,
};

const FuncSpec indicator_diagnose_spec = {
    "indicator_diagnose", doc::diagnose, {"crn"}, {}, indicator_diagnose_impl,
};

// Private helpers of the Python front end and the benchmarks.
const FuncSpec with_progress_spec = {
    "_with_progress",
    "Calls function(*args) with callback(done, total) told how far the long searches "
    "and diagnoses on this thread have come.",
    {"callback", "function", "args"}, {}, with_progress_impl,
};

const FuncSpec search_rows_spec = {
    "_search_rows",
    "crn.search_for_isoBSs(trial) as (bits, indptr, indices): row k of the uint8 array "
    "bits holds structure k, element x at bit x % 8 of byte x // 8 (packbits with "
    "bitorder='little'), and indices[indptr[k]:indptr[k + 1]] its elements ascending.",
    {"crn", "trial"}, {int_default(2)}, search_rows_impl,
};

const FuncSpec signdet_differences_spec = {
    "_signdet_differences",
    "signdet(A, trials) with the same draws and minimisations, each given the "
    "forward-difference gradient of its objective taken in one call: the gradient "
    "the minimiser takes itself, one objective call at a time, when given none. "
    "Large gradients share their determinants out among at most `threads` threads "
    "(run LAPACK on one thread meanwhile).",
    {"A", "trials", "threads"}, {int_default(10), int_default(1)}, signdet_differences_impl,
};

#ifdef QUELMAR_TEST_HOOKS
// Built for the tests and the benchmarks only (reference_hooks.cpp).
const FuncSpec search_seedwise_spec = {
    "_search_for_isoBSs_seedwise",
    "crn.search_for_isoBSs(trial), found by evaluating every candidate on the whole "
    "network, one after the other.",
    {"crn", "trial"}, {int_default(2)}, search_seedwise_impl,
};
#endif

/// The methods of CRN, in the order they are bound.
const FuncSpec crn_methods[] = {
    {"CRN.__init__", doc::init, {"self", "stoi", "reginfo", "X_names", "R_names", "name"},
     {none_default, none_default, none_default, none_default}, crn_init},
    {"CRN._smat_", doc::smat, {"self", "trial"}, {int_default(2)}, crn_smat},
    {"CRN.isoBS_searchfrom", doc::searchfrom, {"self", "X", "R", "trial"}, {int_default(2)},
     crn_isoBS_searchfrom},
    {"CRN.compute_index", doc::compute_index, {"self", "X", "R"}, {}, crn_compute_index},
    {"CRN.search_for_isoBSs", doc::search, {"self", "trial"}, {int_default(2)},
     crn_search_for_isoBSs},
    {"CRN.signdet_subnetwork", doc::signdet_subnetwork, {"self", "XandR"}, {},
     crn_signdet_subnetwork},
    {"CRN.structural_reduction", doc::reduction, {"self", "XandR"}, {},
     crn_structural_reduction},
};

constexpr const char* kDgetrfSignature =
    "void (int *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, int *, int *)";

constexpr const char* kDgesddSignature =
    "void (char *, int *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, "
    "__pyx_t_5scipy_6linalg_13cython_lapack_d *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, "
    "int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, "
    "__pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, int *, int *)";

constexpr const char* kDgeqp3Signature =
    "void (int *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, int *, "
    "__pyx_t_5scipy_6linalg_13cython_lapack_d *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, "
    "int *, int *)";

constexpr const char* kDorgqrSignature =
    "void (int *, int *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, "
    "__pyx_t_5scipy_6linalg_13cython_lapack_d *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, "
    "int *, int *)";

constexpr const char* kDtrtriSignature =
    "void (char *, char *, int *, __pyx_t_5scipy_6linalg_13cython_lapack_d *, int *, int *)";

// The module object once executed; it may be executed only once per process.
PyObject* the_module = nullptr;  // borrowed: the module owns itself via sys.modules
std::int64_t main_interpreter_id = -1;

/// The class CRN: type("CRN", (object,), namespace) with the methods above.
Ref make_crn_class() {
    Ref ns = new_dict();
    Ref module = text("quelmar.cyquelmar");
    Ref qualname = text("CRN");
    Ref doc = text(doc::crn);
    set_key(ns.get(), "__module__", module.get());
    set_key(ns.get(), "__qualname__", qualname.get());
    set_key(ns.get(), "__doc__", doc.get());
    for (const FuncSpec& spec : crn_methods) {
        Ref fn = make_function(&spec, nullptr);
        set_key(ns.get(), spec.name(), fn.get());
    }
    Ref bases = tuple(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Ref name = text("CRN");
    Ref args = tuple(name.get(), bases.get(), ns.get());
    return call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr);
}

}  // namespace

Ref module_global(const char* name) {
    PyObject* dict = the_module != nullptr ? PyModule_GetDict(the_module) : nullptr;  // borrowed
    PyObject* value = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PyError{};
        raise(PyExc_NameError, "name '%s' is not defined", name);
    }
    return Ref::borrow(value);
}

namespace {

// ---------------------------------------------------------------------------
// Import-time set-up.

// The C function `name` of scipy.linalg.cython_lapack, checked against its
// signature; nullptr with an exception set if it is missing or different.
void* scipy_lapack(const char* name, const char* signature) {
    Ref lapack = Ref::steal(PyImport_ImportModule("scipy.linalg.cython_lapack"));
    if (!lapack) return nullptr;
    Ref capi = Ref::steal(PyObject_GetAttrString(lapack.get(), "__pyx_capi__"));
    if (!capi) return nullptr;
    Ref item = Ref::steal(PyMapping_GetItemString(capi.get(), name));
    if (!item) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     "scipy.linalg.cython_lapack", "function", name);
        return nullptr;
    }
    PyObject* cap = item.get();  // borrowed from item
    const char* found = PyCapsule_CheckExact(cap) ? PyCapsule_GetName(cap) : nullptr;
    if (found == nullptr || std::strcmp(found, signature) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", "scipy.linalg.cython_lapack", name, signature,
                     found != nullptr ? found : "(not a capsule)");
        return nullptr;
    }
    return PyCapsule_GetPointer(cap, found);
}

int install_dgetrf() {
    void* fn = scipy_lapack("dgetrf", kDgetrfSignature);
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
    const int status = guarded(nullptr, -1, [&] {
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
        Ref signdet = make_function(&signdet_spec, nullptr);
        if (add_name(module, "signdet", signdet.get()) < 0) throw PyError{};
        Ref crn = make_crn_class();
        if (add_name(module, "CRN", crn.get()) < 0) throw PyError{};
        Ref diagnose = make_function(&indicator_diagnose_spec, nullptr);
        if (add_name(module, "indicator_diagnose", diagnose.get()) < 0) throw PyError{};
        Ref test = Ref::steal_or_throw(PyDict_New());
        if (add_name(module, "__test__", test.get()) < 0) throw PyError{};
        for (const FuncSpec* spec : {
                 &with_progress_spec,
                 &search_rows_spec,
                 &signdet_differences_spec,
#ifdef QUELMAR_TEST_HOOKS
                 &search_seedwise_spec,
#endif
             }) {
            Ref fn = make_function(spec, nullptr);
            if (add_name(module, spec->name(), fn.get()) < 0) throw PyError{};
        }
        return 0;
    });
    if (status < 0) the_module = nullptr;
    return status;
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

dgesdd_fn* scipy_dgesdd() {
    // Looked up once, with the interpreter lock held.  A SciPy without it
    // leaves the searches to their eliminations.
    static dgesdd_fn* fn = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        fn = reinterpret_cast<dgesdd_fn*>(scipy_lapack("dgesdd", kDgesddSignature));
        if (fn == nullptr) PyErr_Clear();
    }
    return fn;
}

QrRoutines scipy_qr() {
    // Looked up once, with the interpreter lock held; a SciPy without one of
    // them leaves the factorisation to dgesdd.
    static QrRoutines routines;
    static bool looked = false;
    if (!looked) {
        looked = true;
        auto find = [](const char* name, const char* signature) {
            void* fn = scipy_lapack(name, signature);
            if (fn == nullptr) PyErr_Clear();
            return fn;
        };
        routines.dgeqp3 = reinterpret_cast<dgeqp3_fn*>(find("dgeqp3", kDgeqp3Signature));
        routines.dorgqr = reinterpret_cast<dorgqr_fn*>(find("dorgqr", kDorgqrSignature));
        routines.dtrtri = reinterpret_cast<dtrtri_fn*>(find("dtrtri", kDtrtriSignature));
    }
    return routines;
}

}  // namespace quelmar::py

PyMODINIT_FUNC PyInit_cyquelmar() { return PyModuleDef_Init(&quelmar::py::module_def); }
