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

void add_traceback(const char* qualname) noexcept {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    std::string funcname = std::string("quelmar.cyquelmar.") + qualname;
    PyCodeObject* code = PyCode_NewEmpty("src/quelmar/cyquelmar", funcname.c_str(), 0);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code != nullptr && globals != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (frame == nullptr) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

}  // namespace quelmar::py
