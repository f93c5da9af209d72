// Cooperative cancellation for long kernel loops.
#pragma once

namespace quelmar {

/// Called now and then from long loops.  The callback may throw (the binding
/// layer throws when a signal handler raised, so Ctrl-C stops a long call);
/// kernels are written so that unwinding from any poll point leaks nothing.
struct Poll {
    void (*fn)(void* ctx) = nullptr;
    void* ctx = nullptr;
    void operator()() const {
        if (fn != nullptr) fn(ctx);
    }
};

}  // namespace quelmar
