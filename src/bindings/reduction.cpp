// CRN.structural_reduction, and indicator_diagnose, which contracts the
// smallest isolated buffering structure out of a network pass after pass.
#include "crn.hpp"
#include "module.hpp"
#include "progress.hpp"

namespace quelmar::py {
namespace {

/// np.array(x, dtype=np.bool_), which must be a one-dimensional ndarray.
Ref bool_array(PyObject* np, PyObject* x) {
    Ref dtype = getattr(np, "bool_");
    Ref array = getattr(np, "array");
    Ref arr = call(array.get(), x, {{"dtype", dtype.get()}});
    // np is looked up in the module at every call: whatever it returned must
    // be an ndarray before it is looked at as one.
    require_ndarray(arr.get());
    if (PyArray_NDIM(as_array(arr.get())) != 1)
        raise(PyExc_ValueError, "a selection must be one-dimensional");
    return arr;
}

/// The names whose entry of mask (from offset on) is false or true (keep).
Ref names_where(PyObject* names, Py_ssize_t count, PyObject* mask, Py_ssize_t offset,
                bool keep) {
    Ref list = new_list();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref mark = getitem_at(mask, offset + i);
        if (truth(mark.get()) != keep) continue;
        Ref name = getitem_at(names, i);
        append(list.get(), name.get());
    }
    return list;
}

// ---------------------------------------------------------------------------
// A long call that Ctrl-C can end.
//
// np.linalg.pinv of a large block runs in LAPACK for a long time without
// looking at signals.  It then runs on a helper thread while the calling
// thread waits in Thread.join(), which an interrupt ends: the KeyboardInterrupt
// reaches the caller at once, and the helper's result (or error) is dropped
// when it finishes.  Small blocks are computed in place.

/// Elements from which a pseudo-inverse runs on a helper thread.
constexpr Py_ssize_t kThreadedPinvSize = 250000;

/// box = [f, arg, result, error]: box[2] = f(arg), or box[3] = the
/// exception it raised (as a (type, value, traceback) tuple).
PyObject* run_boxed(PyObject*, PyObject* box) {
    PyObject* f = PyList_GET_ITEM(box, 0);    // borrowed
    PyObject* arg = PyList_GET_ITEM(box, 1);  // borrowed
    PyObject* result = PyObject_CallOneArg(f, arg);
    if (result != nullptr) {
        if (PyList_SetItem(box, 2, result) != 0) return nullptr;  // steals result
        Py_RETURN_NONE;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* error = PyTuple_Pack(3, type, value != nullptr ? value : Py_None,
                                   tb != nullptr ? tb : Py_None);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (error == nullptr) return nullptr;
    if (PyList_SetItem(box, 3, error) != 0) return nullptr;  // steals error
    Py_RETURN_NONE;
}

PyMethodDef run_boxed_def = {"_run_boxed", run_boxed, METH_O, nullptr};

/// f(arg); on a helper thread when arg is a large array, so that Ctrl-C ends
/// the wait at once.  The thread is not a daemon: an interrupted call leaves
/// it to finish in the background, and the interpreter waits for it at exit
/// (a daemon thread stopped inside BLAS would hang the library's shutdown).
Ref interruptible_call(PyObject* f, PyObject* arg) {
    if (!PyArray_Check(arg) || PyArray_SIZE(as_array(arg)) < kThreadedPinvSize)
        return call(f, arg);
    Ref box = checked(PyList_New(4));
    PyList_SET_ITEM(box.get(), 0, Py_NewRef(f));
    PyList_SET_ITEM(box.get(), 1, Py_NewRef(arg));
    PyList_SET_ITEM(box.get(), 2, Py_NewRef(Py_None));
    PyList_SET_ITEM(box.get(), 3, Py_NewRef(Py_None));
    Ref target = checked(PyCFunction_New(&run_boxed_def, nullptr));
    Ref threading = checked(PyImport_ImportModule("threading"));
    Ref Thread = getattr(threading.get(), "Thread");
    Ref args = tuple(box.get());
    Ref thread = call(Thread.get(), {{"target", target.get()}, {"args", args.get()},
                                      {"daemon", Py_False}});
    call_method(thread.get(), "start");
    call_method(thread.get(), "join");
    PyObject* error = PyList_GET_ITEM(box.get(), 3);  // borrowed
    if (error != Py_None) {
        PyErr_Restore(Py_NewRef(PyTuple_GET_ITEM(error, 0)), Py_NewRef(PyTuple_GET_ITEM(error, 1)),
                      PyTuple_GET_ITEM(error, 2) == Py_None
                          ? nullptr
                          : Py_NewRef(PyTuple_GET_ITEM(error, 2)));
        throw PyError{};
    }
    return Ref::borrow(PyList_GET_ITEM(box.get(), 2));
}

}  // namespace

PyObject* crn_structural_reduction(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *XandR = a[1];
    Ref np = module_global("np");
    Ref NU = getattr(self, "stoi");
    require_ndarray(NU.get());
    { Buffer check(NU.get(), Elem::Double, 2); }
    const Py_ssize_t M = extent(NU.get(), 0);
    const Py_ssize_t N = extent(NU.get(), 1);
    check_selection_length(XandR, M, N);

    Ref xpart = getslice(XandR, 0, M);
    Ref rpart = getslice(XandR, M, PY_SSIZE_T_MAX);
    Ref X = bool_array(np.get(), xpart.get());
    Ref R = bool_array(np.get(), rpart.get());
    Ref notX = invert(X.get());
    Ref notR = invert(R.get());

    // Every new value is computed before any attribute changes, so a failure
    // leaves the network as it was.
    // stoi: S11 - S12 . pinv(S22) . S21
    Ref S11 = submatrix(NU.get(), notX.get(), notR.get());
    Ref S12 = submatrix(NU.get(), notX.get(), R.get());
    Ref S22 = submatrix(NU.get(), X.get(), R.get());
    Ref linalg = getattr(np.get(), "linalg");
    Ref pinv = getattr(linalg.get(), "pinv");
    Ref P = interruptible_call(pinv.get(), S22.get());
    Ref T = call_method(S12.get(), "dot", P.get());
    Ref S21 = submatrix(NU.get(), X.get(), notR.get());
    Ref TS21 = call_method(T.get(), "dot", S21.get());
    Ref stoi_reduc = subtract(S11.get(), TS21.get());

    Ref reginfo = getattr(self, "reginfo");
    Ref reginfo_reduc = submatrix(reginfo.get(), notX.get(), notR.get());
    Ref A = construct_A_view(stoi_reduc.get(), reginfo_reduc.get());
    Ref cq_old = getattr(self, kCqClass);
    Ref cq_arr = call_method(np.get(), "array", cq_old.get());
    Ref cq = submatrix(cq_arr.get(), notX.get(), notX.get());
    Ref oc_old = getattr(self, kOcKeeper);
    Ref oc_arr = call_method(np.get(), "array", oc_old.get());
    Ref oc = submatrix(oc_arr.get(), notX.get(), notR.get());
    Ref X_names = getattr(self, "X_names");
    // The names are cut by the same boolean arrays as the matrices (a
    // selection is read once: a masked array, say, reads differently
    // element by element).
    Ref X_reduc = names_where(X_names.get(), M, X.get(), 0, false);
    Ref R_names = getattr(self, "R_names");
    Ref R_reduc = names_where(R_names.get(), N, R.get(), 0, false);

    setattr(self, "stoi", stoi_reduc.get());
    setattr(self, "reginfo", reginfo_reduc.get());
    setattr(self, "A", A.get());
    setattr(self, kCqClass, cq.get());
    setattr(self, kOcKeeper, oc.get());
    setattr(self, "X_names", X_reduc.get());
    setattr(self, "R_names", R_reduc.get());
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// indicator_diagnose

namespace {

bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return true;
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) {
        PyErr_Clear();
        return true;
    }
    return PyLong_AsLong(optimize.get()) == 0;
}

/// Unpacks exactly two extents of a shape.
void unpack2(PyObject* shape, Ref& first, Ref& second) {
    Ref it = checked(PyObject_GetIter(shape));
    Ref items[2];
    Py_ssize_t got = 0;
    for (; got < 2; ++got) {
        items[got] = Ref::steal(PyIter_Next(it.get()));
        if (!items[got]) {
            if (PyErr_Occurred()) throw PyError{};
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                  got == 1 ? "" : "s");
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    if (PyErr_Occurred()) throw PyError{};
    first = std::move(items[0]);
    second = std::move(items[1]);
}

/// The names of crn.<attr> whose entry of the selection (from offset on) is
/// true.
Ref names_of(PyObject* crn, const char* attr, PyObject* selection, Py_ssize_t offset) {
    Ref names = getattr(crn, attr);
    const Py_ssize_t count = PyObject_Length(names.get());
    if (count < 0) throw PyError{};
    return names_where(names.get(), count, selection, offset, true);
}

}  // namespace

PyObject* indicator_diagnose_impl(PyObject*, PyObject* const* a) {
    PyObject* crn = a[0];
    if (assertions_enabled()) {
        Ref cls = module_global("CRN");
        const int ok = PyObject_IsInstance(crn, cls.get());
        if (ok < 0) throw PyError{};
        if (!ok) {
            PyErr_SetNone(PyExc_AssertionError);
            throw PyError{};
        }
    }
    Ref res = new_list();
    Ref stoi0 = getattr(crn, "stoi");
    const Py_ssize_t P = extent(stoi0.get(), 1);
    for (Py_ssize_t pass = 0; pass < P; ++pass) {
        Ref stoi = getattr(crn, "stoi");
        Ref shape = getattr(stoi.get(), "shape");
        Ref Mobj, Nobj;
        unpack2(shape.get(), Mobj, Nobj);
        const Py_ssize_t M = as_ssize(Mobj.get());
        // Progress: the reactions contracted so far, of all.
        report_progress(P - as_ssize(Nobj.get()), P);
        ProgressPause pause;

        Ref found = call_method(crn, "search_for_isoBSs");
        Ref minisoBS = getitem_at(found.get(), 0);
        Ref X = names_of(crn, "X_names", minisoBS.get(), 0);
        Ref R = names_of(crn, "R_names", minisoBS.get(), M);

        auto holds_every_species = [&] {
            Ref s = getattr(crn, "stoi");
            return PyList_GET_SIZE(X.get()) == extent(s.get(), 0);
        };
        if (holds_every_species()) {
            Ref all = slice_all();
            setitem(minisoBS.get(), all.get(), Py_True);
            X = names_of(crn, "X_names", minisoBS.get(), 0);
            R = names_of(crn, "R_names", minisoBS.get(), M);
        }
        Ref sign = call_method(crn, "signdet_subnetwork", minisoBS.get());
        Ref record = new_dict();
        set_key(record.get(), "chemicals", X.get());
        set_key(record.get(), "reactions", R.get());
        set_key(record.get(), "sign_det", sign.get());
        append(res.get(), record.get());
        if (holds_every_species()) break;
        call_method(crn, "structural_reduction", minisoBS.get());
    }
    report_progress(P, P);
    return res.release();
}

}  // namespace quelmar::py
