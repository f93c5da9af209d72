// The search for isolated buffering structures.
//
// Every distinct closed seed selection is a candidate (closures.hpp).  Its
// verdict needs three nullities, each computed by nullity() on a matrix with
// one row per selected reaction (or species) and one column per species (or
// conserved quantity) of the whole network.  A column that is zero in every
// selected row stays exactly zero through the elimination (a row operation
// adds f * 0 to it, f finite) and is skipped as a pivot column, so it changes
// no value that the verdict reads: the candidate is evaluated on the species
// and conserved quantities it touches only, with the same elimination in the
// same order, which gives the same verdict at a cost set by the candidate's
// size instead of the network's.  Should a value stop being finite, the
// candidate is evaluated again on the whole network.  A candidate that leaves
// out only a few species and reactions of a large network is first judged
// from one factorisation of the whole network (complement.hpp), which
// decides it when every rank involved is clear by a wide margin; otherwise it
// is eliminated as above.  Candidates are shared
// out between threads in chunks; each verdict is stored at the candidate's
// position, so the result does not depend on the number of threads.
#include "search.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "closures.hpp"
#include "complement.hpp"
#include "invariants.hpp"
#include "dense.hpp"
#include "span.hpp"
#include "verdict.hpp"

namespace quelmar {

using namespace search_detail;

namespace {


bool all_finite(MatrixView<const double> A) {
    for (index_t i = 0; i < A.rows; ++i)
        for (index_t j = 0; j < A.cols; ++j)
            if (!std::isfinite(A(i, j))) return false;
    return true;
}

struct Stopped {};  // a worker noticed that the search is being stopped

// The number of bits from..to-1 set in bits.
index_t count_bits(const EntryClosures::Word* bits, index_t from, index_t to) {
    index_t total = 0;
    for (index_t e = from; e < to;) {
        const index_t b = e % EntryClosures::bits_per_word;
        const index_t take = std::min(EntryClosures::bits_per_word - b, to - e);
        EntryClosures::Word word = bits[e / EntryClosures::bits_per_word] >> b;
        if (take < EntryClosures::bits_per_word) word &= (EntryClosures::Word{1} << take) - 1;
        total += __builtin_popcountll(word);
        e += take;
    }
    return total;
}

// Shares the candidates out in chunks between `threads` threads (the caller's
// included) and fills verdict[k] for each.  make() builds one evaluator per
// thread.  The calling thread polls and reports progress between chunks; a
// poll inside a long elimination goes through a counter, so the clock is read
// only every few hundred columns.
//
// Progress is reported as done_before + the candidates evaluated here, of
// all_total (the candidates of the whole search).
//
// How candidates are shared out: chunk at a time, and, with the automatic
// thread count, a thread for every per_thread of them at most.
struct Sharing {
    std::int64_t chunk;
    std::int64_t per_thread;
};
// Candidates that cost microseconds: starting a thread costs more than a few
// thousand of them.
constexpr Sharing kSmallCandidates{64, 4096};
// Nearly whole candidates of a large network, milliseconds each: one at a
// time, on every thread.
constexpr Sharing kLargeCandidates{1, 4};

template <class Make>
void evaluate_all(const Vec<Candidate>& cand, Vec<std::uint8_t>& verdict,
                  int threads, const SearchOptions& opt, Make make,
                  std::int64_t done_before = 0, std::int64_t all_total = -1,
                  Sharing sharing = kSmallCandidates) {
    const auto total = static_cast<std::int64_t>(cand.size());
    if (all_total < 0) all_total = total;
    const std::int64_t kChunk = sharing.chunk;
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> done{0};
    std::atomic<bool> stop{false};
    std::exception_ptr error;
    std::mutex error_mutex;

    auto work = [&](bool caller) {
        auto evaluator = make();
        struct Ctx {
            const SearchOptions* opt;
            const std::atomic<bool>* stop;
            bool caller;
            unsigned count;
        } ctx{&opt, &stop, caller, 0};
        const Poll inner{[](void* p) {
                             auto* c = static_cast<Ctx*>(p);
                             if (c->stop->load(std::memory_order_relaxed)) throw Stopped{};
                             if (c->caller && (++c->count & 255U) == 0) c->opt->poll();
                         },
                         &ctx};
        auto last_report = std::chrono::steady_clock::now();
        for (;;) {
            if (stop.load(std::memory_order_relaxed)) return;
            if (caller) {
                opt.poll();
                if (opt.progress.fn != nullptr) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - last_report > std::chrono::milliseconds(200)) {
                        last_report = now;
                        opt.progress(done_before + done.load(), all_total);
                    }
                }
            }
            const std::int64_t begin = next.fetch_add(kChunk);
            if (begin >= total) return;
            const std::int64_t end = std::min(total, begin + kChunk);
            for (std::int64_t k = begin; k < end; ++k)
                verdict[k] =
                    evaluator.accepted(cand[k], inner) ? 1 : 0;
            done.fetch_add(end - begin);
        }
    };
    auto guarded = [&](bool caller) {
        try {
            work(caller);
        } catch (const Stopped&) {
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            stop.store(true);
        }
    };

    const std::int64_t most =
        opt.threads > 0 ? (total + kChunk - 1) / kChunk : total / sharing.per_thread;
    const int helpers =
        static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(threads - 1, most - 1)));
    Vec<std::thread> pool;
    try {
        for (int t = 0; t < helpers; ++t) pool.emplace_back(guarded, false);
    } catch (...) {
        // Fewer threads than asked for: the ones started and the caller do it.
    }
    guarded(true);
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
    opt.progress(done_before + total, all_total);
}

// The candidates at the positions where pick[k] == want, and those positions.
void subset(const Vec<Candidate>& cand, const Vec<std::uint8_t>& pick, std::uint8_t want,
            Vec<Candidate>& part, Vec<std::size_t>& where) {
    part.clear();
    where.clear();
    for (std::size_t k = 0; k < cand.size(); ++k)
        if (pick[k] == want) {
            part.push_back(cand[k]);
            where.push_back(k);
        }
}

}  // namespace

void search_isoBSs_each(MatrixView<const double> stoi, MatrixView<const double> DT,
                        MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                        MatrixView<const std::uint8_t> cq, const SearchOptions& options,
                        const std::function<void(const std::uint64_t*)>& each) {
    check_search_args(stoi, DT, oc, lo, cq);
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    const EntryClosures closures(oc, lo, cq, m, n, options.poll);
    const Vec<Candidate> candidates = distinct_candidates(closures, m, n, options.poll);
    Vec<std::uint8_t> verdict(candidates.size(), 0);

    int threads = options.threads;
    if (threads <= 0) {
        // read once: the C library reads a file in /sys for it, which costs as
        // much as the whole search of a small network
        static const unsigned hardware = std::max(1U, std::thread::hardware_concurrency());
        threads = static_cast<int>(hardware);
    }
    if (all_finite(stoi) && all_finite(DT)) {
        const Columns S(stoi);
        const Columns D(DT);
        // Reactions in each component's closure.
        Vec<index_t> closure_reactions(closures.components(), 0);
        for (index_t c = 0; c < closures.components(); ++c) {
            const EntryClosures::Word* w = closures.closure(c);
            for (index_t e = m; e < m + n; ++e)
                closure_reactions[c] += static_cast<index_t>((w[e / 64] >> (e % 64)) & 1U);
        }
        // The whole network is factorised when some candidate can use it
        // (its elimination would cost about as much as the factorisation) and
        // the factors, m^2 + n^2 doubles, take at most 1 GiB.
        constexpr index_t kMostFactorised = 8000;
        Vec<std::uint8_t> near;
        bool any_near = false;
        if (options.dgesdd != nullptr && m + n >= options.whole_from && m <= kMostFactorised &&
            n <= kMostFactorised) {
            near.assign(candidates.size(), 0);
            Vec<EntryClosures::Word> bits(closures.words());
            for (std::size_t k = 0; k < candidates.size(); ++k) {
                candidate_bits(closures, candidates[k], bits.data());
                near[k] = nearly_whole(count_bits(bits.data(), 0, m),
                                       count_bits(bits.data(), m, m + n), m, n)
                              ? 1
                              : 0;
                any_near = any_near || near[k] != 0;
            }
        }
        auto evaluator = [&](const WholeFactors* usable) {
            return [&, usable] {
                return Evaluator(stoi, DT, S, D, closures, closure_reactions, usable);
            };
        };
        if (!any_near) {
            evaluate_all(candidates, verdict, threads, options, evaluator(nullptr));
        } else if (threads < 2) {
            const WholeFactors whole(stoi, DT, options.dgesdd, options.qr);
            evaluate_all(candidates, verdict, threads, options,
                         evaluator(whole.usable() ? &whole : nullptr));
        } else {
            // The factorisation on a thread of its own while the other threads
            // evaluate the candidates that do not use it; then every thread
            // evaluates the nearly whole ones.  Each verdict is the same
            // whichever thread gives it, and when.
            std::optional<WholeFactors> whole;
            std::exception_ptr failed;
            std::thread factoring([&] {
                try {
                    whole.emplace(stoi, DT, options.dgesdd, options.qr);
                } catch (...) {
                    failed = std::current_exception();
                }
            });
            struct Join {
                std::thread& t;
                ~Join() {
                    if (t.joinable()) t.join();
                }
            } join{factoring};
            const auto all = static_cast<std::int64_t>(candidates.size());
            Vec<Candidate> part;
            Vec<std::size_t> where;
            Vec<std::uint8_t> part_verdict;
            subset(candidates, near, 0, part, where);
            part_verdict.assign(part.size(), 0);
            evaluate_all(part, part_verdict, threads - 1, options, evaluator(nullptr), 0, all);
            for (std::size_t k = 0; k < part.size(); ++k) verdict[where[k]] = part_verdict[k];
            const auto done_before = static_cast<std::int64_t>(part.size());
            factoring.join();
            if (failed) std::rethrow_exception(failed);
            subset(candidates, near, 1, part, where);
            part_verdict.assign(part.size(), 0);
            evaluate_all(part, part_verdict, threads, options,
                         evaluator(whole->usable() ? &*whole : nullptr), done_before, all,
                         kLargeCandidates);
            for (std::size_t k = 0; k < part.size(); ++k) verdict[where[k]] = part_verdict[k];
        }
    } else {
        evaluate_all(candidates, verdict, threads, options,
                     [&] { return WholeEvaluator(stoi, DT, closures); });
    }

    // The accepted candidates' keys from their bit sets, ordered; each
    // selection is then made in its final place.
    Vec<std::size_t> accepted;
    Vec<std::int64_t> key;
    Vec<EntryClosures::Word> bits(closures.words());
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (verdict[k] == 0) continue;
        candidate_bits(closures, candidates[k], bits.data());
        accepted.push_back(k);
        key.push_back(static_cast<std::int64_t>(count_bits(bits.data(), 0, m)) * (n + 1) +
                      count_bits(bits.data(), m, m + n));
    }
    if (accepted.empty()) {  // the whole network
        std::fill(bits.begin(), bits.end(), EntryClosures::Word{0});
        for (index_t e = 0; e < m + n; ++e)
            bits[e / EntryClosures::bits_per_word] |= EntryClosures::Word{1}
                                                      << (e % EntryClosures::bits_per_word);
        each(bits.data());
        return;
    }
    const Vec<std::size_t> item = exchange_order(std::move(key));
    for (const std::size_t at : item) {
        candidate_bits(closures, candidates[accepted[at]], bits.data());
        each(bits.data());
    }
}

std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                     MatrixView<const double> DT,
                                     MatrixView<const std::uint8_t> oc,
                                     MatrixView<const std::uint8_t> lo,
                                     MatrixView<const std::uint8_t> cq,
                                     const SearchOptions& options) {
    const index_t width = stoi.rows + stoi.cols;
    std::vector<Selection> found;
    search_isoBSs_each(stoi, DT, oc, lo, cq, options, [&](const std::uint64_t* bits) {
        Selection s(width);
        for (index_t e = 0; e < width; ++e)
            s[e] = (bits[e / EntryClosures::bits_per_word] >>
                       (e % EntryClosures::bits_per_word)) & 1U;
        found.push_back(std::move(s));
    });
    return found;
}

}  // namespace quelmar
