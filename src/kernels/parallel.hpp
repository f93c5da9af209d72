// Sharing a loop out among a few threads, for kernels whose iterations write
// disjoint outputs: every iteration does the same arithmetic on whichever
// thread runs it, so the results do not depend on the number of threads.
#pragma once

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

#include "view.hpp"

namespace quelmar {

/// Runs body(begin, end) over consecutive ranges that cover [0, count), on
/// at most `threads` threads: the calling thread takes the first range and
/// started threads the others (ranges hold whole multiples of `unit`
/// iterations, except the last).  Returns once every range is done; an
/// exception thrown by a range is rethrown here (the first range's first),
/// after all threads have joined.  When a thread cannot be started, the
/// calling thread does its range too.  The body must not call poll() unless
/// on the calling thread (the range with begin == 0).
template <class Body>
void share_out(int threads, index_t count, index_t unit, Body&& body) {
    if (count <= 0) return;
    unit = std::max<index_t>(unit, 1);
    const index_t units = (count + unit - 1) / unit;
    const index_t parts = std::clamp<index_t>(threads, 1, units);
    if (parts == 1) {
        body(index_t{0}, count);
        return;
    }
    const auto bound = [&](index_t p) { return std::min(count, units * p / parts * unit); };
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(parts));
    const auto run = [&](index_t p) {
        try {
            body(bound(p), bound(p + 1));
        } catch (...) {
            errors[static_cast<std::size_t>(p)] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(parts - 1));
    index_t started = 1;
    try {
        for (; started < parts; ++started) pool.emplace_back(run, started);
    } catch (...) {
        // fewer threads: this one does the ranges not started
    }
    run(0);
    for (index_t p = started; p < parts; ++p) run(p);
    for (std::thread& t : pool) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace quelmar
