// The helper threads of a Team and the hand-over of a loop to them.
#include "parallel.hpp"

namespace quelmar {

Team::Team(int threads) {
    const int helpers = std::max(threads, 1) - 1;
    try {
        helpers_.reserve(static_cast<std::size_t>(helpers));
        for (int t = 0; t < helpers; ++t) helpers_.emplace_back([this] { serve(); });
    } catch (...) {
        // fewer threads: the ones started and the calling thread do the work
    }
}

Team::~Team() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

std::exception_ptr Team::work(Job& job, bool on_caller) {
    try {
        for (;;) {
            if (job.failed.load(std::memory_order_relaxed)) return nullptr;
            const index_t p = job.next.fetch_add(1);
            if (p >= job.pieces) return nullptr;
            job.run(job.body, p * job.size, std::min(job.count, (p + 1) * job.size), on_caller);
        }
    } catch (...) {
        job.failed.store(true);
        return std::current_exception();
    }
}

void Team::serve() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [&] { return stop_ || (job_ != nullptr && generation_ != seen); });
        if (stop_) return;
        seen = generation_;
        Job& job = *job_;
        ++inside_;
        hold.unlock();
        std::exception_ptr error = work(job, false);
        hold.lock();
        if (error && !job.helper_error) job.helper_error = error;
        if (--inside_ == 0) left_.notify_all();
    }
}

void Team::run(Job& job) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        job_ = &job;
        ++generation_;
    }
    wake_.notify_all();
    const std::exception_ptr error = work(job, true);
    {
        // Closed: helpers that come later leave it alone; those inside finish
        // the pieces they took.
        std::unique_lock<std::mutex> hold(lock_);
        job_ = nullptr;
        left_.wait(hold, [&] { return inside_ == 0; });
    }
    if (error) std::rethrow_exception(error);
    if (job.helper_error) std::rethrow_exception(job.helper_error);
}

}  // namespace quelmar
