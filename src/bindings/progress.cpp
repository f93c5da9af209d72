// Progress of long searches and diagnoses, reported to a Python callable that
// a caller installs on its thread for the duration of one call
// (_with_progress(callback, function, args)).  The callback receives (done,
// total); an exception it raises stops the work like Ctrl-C does.
#include "module.hpp"
#include "pyops.hpp"
#include "progress.hpp"

namespace quelmar::py {

namespace {

thread_local PyObject* hook = nullptr;  // borrowed; alive while _with_progress runs

void call_hook(PyObject* cb, std::int64_t done, std::int64_t total) {
    Ref d = checked(PyLong_FromLongLong(done));
    Ref t = checked(PyLong_FromLongLong(total));
    Ref args = tuple(d.get(), t.get());
    call(cb, args.get(), nullptr);
}

}  // namespace

Progress progress_hook() {
    if (hook == nullptr) return {};
    return Progress{[](void* cb, std::int64_t done, std::int64_t total) {
                        PyGILState_STATE s = PyGILState_Ensure();
                        bool failed = false;
                        try {
                            call_hook(static_cast<PyObject*>(cb), done, total);
                        } catch (const PyError&) {
                            failed = true;
                        }
                        PyGILState_Release(s);
                        if (failed) throw PyError{};
                    },
                    hook};
}

void report_progress(std::int64_t done, std::int64_t total) {
    if (hook != nullptr) call_hook(hook, done, total);
}

ProgressPause::ProgressPause() : saved_(hook) { hook = nullptr; }
ProgressPause::~ProgressPause() { hook = saved_; }

PyObject* with_progress_impl(PyObject*, PyObject* const* a) {
    PyObject *callback = a[0], *function = a[1], *args = a[2];
    if (callback != Py_None && !PyCallable_Check(callback))
        raise(PyExc_TypeError, "the progress callback must be callable or None");
    if (!PyTuple_Check(args)) raise(PyExc_TypeError, "args must be a tuple");
    struct Install {
        PyObject* saved;
        explicit Install(PyObject* cb) : saved(hook) { hook = cb == Py_None ? nullptr : cb; }
        ~Install() { hook = saved; }
    } install(callback);
    return call(function, args, nullptr).release();
}

}  // namespace quelmar::py
