// Progress reports of long calls to a Python callable installed by
// _with_progress for one call on the calling thread.
#pragma once

#include <cstdint>

#include "search.hpp"

namespace quelmar::py {

/// For a kernel running on this thread without the interpreter lock: calls
/// the installed callable with the lock taken (throws PyError when it
/// raises).  Empty when none is installed.
Progress progress_hook();

/// With the interpreter lock held: calls the installed callable, if any.
void report_progress(std::int64_t done, std::int64_t total);

/// Hides the installed callable from the calls made in its scope (so that
/// the searches inside a diagnosis do not report as the diagnosis).
class ProgressPause {
public:
    ProgressPause();
    ~ProgressPause();
    ProgressPause(const ProgressPause&) = delete;
    ProgressPause& operator=(const ProgressPause&) = delete;

private:
    PyObject* saved_;
};

}  // namespace quelmar::py
