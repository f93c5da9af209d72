// Signal checks for kernels that run without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "poll.hpp"

namespace quelmar::py {

/// Calls PyErr_CheckSignals with the GIL held; throws PyError when a handler
/// raised.  Safe to call with or without the GIL.
void check_signals_from_any_thread();

/// Poll callback for kernels running without the GIL.
void poll_signals(void*);

/// The kernels' Poll of poll_signals.
inline Poll signal_poll() { return Poll{poll_signals, nullptr}; }

}  // namespace quelmar::py
