#include "pyerrors.hpp"

#include <cstdarg>
#include <new>
#include <stdexcept>
#include <string>

#include "errors.hpp"

#include <frameobject.h>

namespace quelmar::py {

void raise(PyObject* exc, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(exc, fmt, va);
    va_end(va);
    throw PyError{};
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const MemoryLimitExceeded& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

namespace {

/// "quelmar.cyquelmar." + qualname without "<locals>." and with "<lambda>"
/// as "lambda": signdet.<locals>.<lambda> is entered as signdet.lambda.
std::string traceback_name(const char* qualname) {
    std::string name = std::string("quelmar.cyquelmar.") + qualname;
    for (std::size_t at; (at = name.find("<locals>.")) != std::string::npos;) name.erase(at, 9);
    if (const std::size_t at = name.find("<lambda>"); at != std::string::npos)
        name.replace(at, 8, "lambda");
    return name;
}

}  // namespace

void add_traceback(const char* qualname) noexcept {
    if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyFrameObject* frame = nullptr;
    PyObject* globals = nullptr;
    PyCodeObject* code = nullptr;
    try {
        const std::string funcname = traceback_name(qualname);
        code = PyCode_NewEmpty("src/quelmar/cyquelmar", funcname.c_str(), 0);
    } catch (...) {  // no memory for the name: no entry
    }
    globals = PyDict_New();
    if (code != nullptr && globals != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (frame == nullptr) PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

}  // namespace quelmar::py
