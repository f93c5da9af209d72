#include "pysignals.hpp"

#include <chrono>

#include "pyref.hpp"

namespace quelmar::py {

void check_signals_from_any_thread() {
    PyGILState_STATE s = PyGILState_Ensure();
    int rc = PyErr_CheckSignals();
    PyGILState_Release(s);
    if (rc != 0) throw PyError{};
}

void poll_signals(void*) {
    // Asking the interpreter costs a GIL round trip; do it every 20 ms at most.
    using clock = std::chrono::steady_clock;
    thread_local clock::time_point last{};
    const auto now = clock::now();
    if (now - last < std::chrono::milliseconds(20)) return;
    last = now;
    check_signals_from_any_thread();
}

}  // namespace quelmar::py
