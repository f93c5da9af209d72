// A few threads that share out loops whose iterations write disjoint
// outputs: every iteration does the same arithmetic on whichever thread runs
// it, so the results do not depend on the number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "view.hpp"

namespace quelmar {

/// The calling thread and up to `threads - 1` helper threads, started by the
/// constructor (fewer when the system refuses one) and joined by the
/// destructor; helpers wait on a condition variable between loops.  Used by
/// one thread at a time.
class Team {
public:
    explicit Team(int threads);
    ~Team();
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    /// The calling thread and the helpers.
    int size() const { return 1 + static_cast<int>(helpers_.size()); }

    /// Runs body(begin, end, on_caller) over consecutive pieces that cover
    /// [0, count): the calling thread and the helpers take the next piece in
    /// turn (on_caller tells the calling thread's pieces apart: only they
    /// may call poll()).  A piece holds a whole number of `unit` iterations
    /// (the last one may hold fewer), and there are a few per thread: a
    /// helper the system leaves waiting takes none, and the calling thread
    /// only waits for the pieces helpers have taken.  When a piece throws,
    /// no further piece is started and the exception is rethrown here (the
    /// calling thread's, if it threw).  On one thread, or for one piece, the
    /// body runs on [0, count) on the calling thread.
    template <class Body>
    void share_out(index_t count, index_t unit, Body&& body) {
        if (count <= 0) return;
        unit = std::max<index_t>(unit, 1);
        const index_t units = (count + unit - 1) / unit;
        const index_t workers = std::min<index_t>(size(), units);
        if (workers <= 1) {
            body(index_t{0}, count, true);
            return;
        }
        const index_t per_piece = std::max<index_t>(1, units / (workers * kPiecesPerThread));
        Job job;
        job.count = count;
        job.size = per_piece * unit;
        job.pieces = (count + job.size - 1) / job.size;
        job.body = const_cast<void*>(static_cast<const void*>(&body));
        job.run = [](void* b, index_t begin, index_t end, bool on_caller) {
            (*static_cast<std::remove_reference_t<Body>*>(b))(begin, end, on_caller);
        };
        run(job);
    }

private:
    static constexpr index_t kPiecesPerThread = 4;

    struct Job {
        void (*run)(void* body, index_t begin, index_t end, bool on_caller) = nullptr;
        void* body = nullptr;
        index_t count = 0, size = 0, pieces = 0;
        std::atomic<index_t> next{0};
        std::atomic<bool> failed{false};
        std::exception_ptr helper_error;  // the first, under the team's lock
    };

    void run(Job& job);
    void serve();
    // Takes pieces until none is left or one failed; returns the exception
    // of a failed piece (or null).
    static std::exception_ptr work(Job& job, bool on_caller);

    std::mutex lock_;
    std::condition_variable wake_, left_;
    Job* job_ = nullptr;            // the open loop, if any
    std::uint64_t generation_ = 0;  // loops opened so far
    int inside_ = 0;                // helpers working on the open loop
    bool stop_ = false;
    std::vector<std::thread> helpers_;
};

/// team->share_out(count, unit, body) when there is a team and the loop is
/// large, body(0, count, true) otherwise.
template <class Body>
void share_out(Team* team, bool large, index_t count, index_t unit, Body&& body) {
    if (team != nullptr && large) {
        team->share_out(count, unit, body);
    } else if (count > 0) {
        body(index_t{0}, count, true);
    }
}

}  // namespace quelmar
