// The module's function type: carries name, qualified name, module,
// documentation and defaults, binds as a method when stored in a class, and
// is called through vectorcall with the arguments bound by its description.
#include "module.hpp"

#include <structmember.h>

namespace quelmar::py {
namespace {

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

// One interpreter per process: the type lives for the life of the process.
PyTypeObject* function_type = nullptr;

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const FuncSpec* spec = f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guarded(spec->qualname, nullptr, [&]() -> PyObject* {
        PyObject* bound[8];
        const Signature sig = spec->signature();
        const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
        bind_arguments(sig, args, nargs, kwnames, bound);
        if (f->defaults != nullptr && PyTuple_Check(f->defaults)) {
            const Py_ssize_t ndef = PyTuple_GET_SIZE(f->defaults);
            for (Py_ssize_t i = 0; i < nparams; ++i) {
                const Py_ssize_t d = i - (nparams - ndef);
                if (bound[i] == nullptr && d >= 0) bound[i] = PyTuple_GET_ITEM(f->defaults, d);
            }
        }
        for (Py_ssize_t i = 0; i < nparams; ++i)
            if (bound[i] == nullptr)
                raise(PyExc_TypeError, "%.200s() missing required argument '%s'", sig.name,
                      sig.params.begin()[i]);
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

namespace {

/// The tuple of a description's defaults, or None when it has none.
Ref defaults_of(const FuncSpec* spec) {
    if (spec->defaults.size() == 0) return Ref::borrow(Py_None);
    Ref t = Ref::steal_or_throw(PyTuple_New(static_cast<Py_ssize_t>(spec->defaults.size())));
    Py_ssize_t i = 0;
    for (const Default& d : spec->defaults) {
        PyObject* v = d.is_none ? Py_NewRef(Py_None) : PyLong_FromLong(d.value);
        if (v == nullptr) throw PyError{};
        PyTuple_SET_ITEM(t.get(), i++, v);
    }
    return t;
}

}  // namespace

Ref make_function(const FuncSpec* spec, PyObject* closure) {
    Ref defaults = defaults_of(spec);
    auto* f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) throw PyError{};
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->closure = f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_FromString(spec->name());
    f->qualname = PyUnicode_FromString(spec->qualname);
    f->module = PyUnicode_FromString("quelmar.cyquelmar");
    f->doc = spec->doc != nullptr ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    if (f->name == nullptr || f->qualname == nullptr || f->module == nullptr || f->doc == nullptr)
        throw PyError{};
    f->defaults = defaults.release();
    f->closure = Py_XNewRef(closure);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return self;
}

PyObject* function_closure(PyObject* func) {
    return reinterpret_cast<FunctionObject*>(func)->closure;
}

}  // namespace quelmar::py
