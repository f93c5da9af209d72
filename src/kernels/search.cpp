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

// A candidate of p species and q reactions (of m and n) that is judged from
// the factorisation of the whole network first: it leaves out a few entries,
// at most a fifth of it.
bool nearly_whole(index_t p, index_t q, index_t m, index_t n) {
    constexpr index_t kMostLeftOut = 256;
    const index_t out = (m - p) + (n - q);
    return out <= kMostLeftOut && 4 * out <= p + q;
}

// The verdict of one candidate; one per thread, with its scratch.
class Evaluator {
public:
    Evaluator(MatrixView<const double> stoi, MatrixView<const double> DT, const Columns& S,
              const Columns& D, const EntryClosures& closures,
              const Vec<index_t>& closure_reactions, const WholeFactors* whole)
        : stoi_(stoi), DT_(DT), S_(S), D_(D), closures_(closures),
          closure_reactions_(closure_reactions), whole_(whole), m_(stoi.rows), n_(stoi.cols),
          bits_(closures.words()), pos_(std::max(m_, DT.rows), -1), inside_(m_, 0) {}

    bool accepted(Candidate cand, const Poll& poll) {
        candidate_bits(closures_, cand, bits_.data());
        split(bits_.data(), X_, R_);
        const auto p = static_cast<index_t>(X_.size());
        const auto q = static_cast<index_t>(R_.size());
        if (whole_ != nullptr && nearly_whole(p, q, m_, n_)) {
            left_out(X_, m_, Y_);
            left_out(R_, n_, C_);
            const int verdict = whole_->verdict(Y_, C_, W_);
            if (verdict >= 0) return verdict == 1;
        }
        if (q >= kLarge && m_ + n_ >= kSpanFrom && clearly_not_zero_index(cand, p))
            return false;

        // k1: nullity of stoi[:, R], on the species that R touches.
        rows_of(R_, S_, rowsR_);
        const auto p1 = static_cast<index_t>(rowsR_.size());
        index_t k1 = 0;
        if (!nullity_of(R_, S_, rowsR_, q, p1, k1, poll)) return fallback(poll);

        // k2: nullity of DT[:, X], on the conserved quantities that X touches.
        rows_of(X_, D_, rowsD_);
        const auto l1 = static_cast<index_t>(rowsD_.size());
        index_t k2 = 0;
        if (!nullity_of(X_, D_, rowsD_, p, l1, k2, poll)) return fallback(poll);
        if (q - k1 - k2 != 0) return false;

        // Emergent cycles: the cycles of stoi[X, R] on the species of X that R
        // touches; the other species of X add zero columns.
        for (const index_t i : X_) inside_[i] = 1;
        in_.clear();
        out_.clear();
        for (const index_t i : rowsR_) (inside_[i] != 0 ? in_ : out_).push_back(i);
        for (const index_t i : X_) inside_[i] = 0;
        // No species outside X: accepted whatever the cycles (the elimination
        // below would repeat that of k1 when every species of R is in X).
        if (out_.empty()) return true;
        const auto p2 = static_cast<index_t>(in_.size());
        index_t k = 0;
        if (!nullity_of(R_, S_, in_, q, p2, k, poll)) return fallback(poll);
        if (k == 0) return true;

        // E = stoi[outside, R] . Z^T, Z = W[q-k:, p2:], for the species outside
        // X that R touches (the others give exact zeros).
        const auto no = static_cast<index_t>(out_.size());
        for (index_t t = 0; t < no; ++t) pos_[out_[t]] = t;
        Sout_.assign(no * q, 0.0);
        for (index_t c = 0; c < q; ++c) {
            const index_t j = R_[c];
            for (index_t e = S_.ptr[j]; e < S_.ptr[j + 1]; ++e) {
                const index_t i = S_.row[e];
                if (pos_[i] >= 0) Sout_[(pos_[i] * q + c)] = S_.val[e];
            }
        }
        for (index_t t = 0; t < no; ++t) pos_[out_[t]] = -1;
        const index_t width = p2 + q;
        for (index_t t = 0; t < no; ++t) {
            const double* srow = Sout_.data() + t * q;
            for (index_t l = 0; l < k; ++l) {
                const double* z = W_.data() + (q - k + l) * width + p2;
                double e = 0.0;
                for (index_t c = 0; c < q; ++c) e += srow[c] * z[c];
                if (std::abs(e) >= TOL) return false;
            }
        }
        return true;
    }

private:
    // Candidates with this many reactions are first tried against the
    // factorised span of the larger of their two closures.
    static constexpr index_t kLarge = 48;
    // ... in networks of at least this many species and reactions: in smaller
    // ones the elimination costs less than factorising the spans (e_coli_core,
    // 167 of them: the spans took twice the time of the eliminations).
    static constexpr index_t kSpanFrom = 400;
    // The span is tried when the rest of the candidate has at most a
    // kMostAddedPart-th of its species and of its reactions.
    static constexpr index_t kMostAddedPart = 4;
    // Factorisations kept per thread: 64 MiB of doubles.
    static constexpr index_t kCacheDoubles = index_t{8} << 20;

    // The indices below count (ascending) missing from in (ascending).
    static void left_out(const Vec<index_t>& in, index_t count,
                         Vec<index_t>& out) {
        out.clear();
        std::size_t t = 0;
        for (index_t i = 0; i < count; ++i) {
            if (t < in.size() && in[t] == i)
                ++t;
            else
                out.push_back(i);
        }
    }

    // Species and reactions (ascending) of a bit set.
    void split(const EntryClosures::Word* bits, Vec<index_t>& X,
               Vec<index_t>& R) const {
        X.clear();
        R.clear();
        for (index_t w = 0; w < closures_.words(); ++w) {
            EntryClosures::Word word = bits[w];
            while (word != 0) {
                const index_t e = w * EntryClosures::bits_per_word + __builtin_ctzll(word);
                word &= word - 1;
                if (e < m_)
                    X.push_back(e);
                else
                    R.push_back(e - m_);
            }
        }
    }

    struct Factored {
        index_t component = -1;
        std::int64_t used = 0;  // clock_ at the last use
        Span S, D;  // spans of the closure's reaction columns and species columns of DT
    };

    // True when the chi-index of the candidate is certainly not 0, judged
    // from the factorised span of its larger closure and the rank that the
    // rest adds; false when it may be 0 or a decision is unclear.  Tried only
    // when the rest is small: the rank it adds costs about as much as the
    // elimination otherwise (nested pathways of a few hundred species, where
    // the rest is a third of the candidate, took twice the time).
    bool clearly_not_zero_index(Candidate cand, index_t p) {
        const index_t a = cand.cM >= 0 ? closure_reactions_[cand.cM] : -1;
        const index_t b = closure_reactions_[cand.cN];
        const index_t base = a >= b ? cand.cM : cand.cN;
        if (std::max(a, b) < kLarge / 2) return false;
        const EntryClosures::Word* in = closures_.closure(base);
        dX_.clear();
        dR_.clear();
        for (const index_t i : X_)
            if (((in[i / 64] >> (i % 64)) & 1U) == 0) dX_.push_back(i);
        for (const index_t j : R_) {
            const index_t e = m_ + j;
            if (((in[e / 64] >> (e % 64)) & 1U) == 0) dR_.push_back(j);
        }
        if (kMostAddedPart * dR_.ssize() > static_cast<index_t>(R_.size()) ||
            kMostAddedPart * dX_.ssize() > p)
            return false;
        const Factored& f = factored(base);
        if (f.S.rank() < 0 || f.D.rank() < 0) return false;
        const index_t aS = f.S.added_rank(S_, dR_, pos_);
        if (aS < 0) return false;
        const index_t aD = f.D.added_rank(D_, dX_, pos_);
        if (aD < 0) return false;
        return f.S.rank() + aS + f.D.rank() + aD - p != 0;
    }

    // The factorised spans of a closure, kept for later candidates with the
    // same base while they take at most kCacheDoubles doubles (the two most
    // recently used are kept whatever their size).
    const Factored& factored(index_t component) {
        ++clock_;
        for (Factored& f : cache_)
            if (f.component == component) {
                f.used = clock_;
                return f;
            }
        while (cache_.size() >= 2 && cached_doubles_ > kCacheDoubles) evict();
        cache_.emplace_back();
        Factored& f = cache_.back();
        f.component = component;
        f.used = clock_;
        split(closures_.closure(component), fX_, fR_);
        f.S.factor(S_, fR_, pos_);
        f.D.factor(D_, fX_, pos_);
        cached_doubles_ += f.S.doubles() + f.D.doubles();
        return f;
    }

    // Drops the least recently used factorisation.
    void evict() {
        std::size_t oldest = 0;
        for (std::size_t k = 1; k < cache_.size(); ++k)
            if (cache_[k].used < cache_[oldest].used) oldest = k;
        cached_doubles_ -= cache_[oldest].S.doubles() + cache_[oldest].D.doubles();
        if (oldest + 1 != cache_.size()) std::swap(cache_[oldest], cache_.back());
        cache_.pop_back();
    }

    // The rows (ascending) that the columns cols of A touch.
    void rows_of(const Vec<index_t>& cols, const Columns& A, Vec<index_t>& rows) {
        rows.clear();
        for (const index_t j : cols)
            for (index_t e = A.ptr[j]; e < A.ptr[j + 1]; ++e) {
                const index_t i = A.row[e];
                if (pos_[i] == -2) continue;
                pos_[i] = -2;
                rows.push_back(i);
            }
        for (const index_t i : rows) pos_[i] = -1;
        std::sort(rows.begin(), rows.end());
    }

    // nullity() of A[rows, cols] (rows: nr, cols: nc), left in W_ (nc rows,
    // nr + nc columns).  False if a value of the elimination is not finite.
    bool nullity_of(const Vec<index_t>& cols, const Columns& A,
                    const Vec<index_t>& rows, index_t nc, index_t nr, index_t& k,
                    const Poll& poll) {
        const index_t width = nr + nc;
        W_.assign(nc * width, 0.0);
        for (index_t t = 0; t < nr; ++t) pos_[rows[t]] = t;
        for (index_t c = 0; c < nc; ++c) {
            const index_t j = cols[c];
            double* row = W_.data() + c * width;
            for (index_t e = A.ptr[j]; e < A.ptr[j + 1]; ++e) {
                const index_t t = pos_[A.row[e]];
                if (t >= 0) row[t] = A.val[e];
            }
            row[nr + c] = 1.0;
        }
        for (index_t t = 0; t < nr; ++t) pos_[rows[t]] = -1;
        if (nr == 0) {  // [I]: already reduced, no pivot changes a value
            k = nc;
            return true;
        }
        const auto item = static_cast<index_t>(sizeof(double));
        const MatrixView<double> view{W_.data(), nc, width, width * item, item};
        rref(view, nc, width, poll);
        for (const double x : W_)
            if (!std::isfinite(x)) return false;
        k = nc;
        for (index_t i = 0; i < nc; ++i) {
            const double* row = W_.data() + (nc - 1 - i) * width;
            bool zero = true;
            for (index_t j = 0; j < nr && zero; ++j) zero = std::abs(row[j]) < TOL;
            if (!zero) {
                k = i;
                break;
            }
        }
        return true;
    }

    // The whole-network kernels, for the rare candidate whose elimination met
    // a value that is not finite.
    bool fallback(const Poll& poll) {
        Selection s(m_ + n_, 0);
        for (const index_t i : X_) s[i] = 1;
        for (const index_t j : R_) s[m_ + j] = 1;
        const VectorView<const std::uint8_t> view{s.data(), m_ + n_, 1};
        return chiindex(stoi_, DT_, view, poll) == 0 && no_emergent_cycles(stoi_, view, poll);
    }

    MatrixView<const double> stoi_, DT_;
    const Columns& S_;
    const Columns& D_;
    const EntryClosures& closures_;
    const Vec<index_t>& closure_reactions_;
    const WholeFactors* whole_;
    index_t m_, n_;
    Vec<EntryClosures::Word> bits_;
    Vec<index_t> pos_;
    Vec<std::uint8_t> inside_;
    Vec<index_t> X_, R_, rowsR_, rowsD_, in_, out_, dX_, dR_, fX_, fR_, Y_, C_;
    Vec<double> W_, Sout_;
    Vec<Factored> cache_;
    index_t cached_doubles_ = 0;
    std::int64_t clock_ = 0;
};

// Whole-network evaluation, for inputs with values that are not finite (the
// local evaluation relies on finite arithmetic).
class WholeEvaluator {
public:
    WholeEvaluator(MatrixView<const double> stoi, MatrixView<const double> DT,
                   const EntryClosures& closures)
        : stoi_(stoi), DT_(DT), closures_(closures), m_(stoi.rows), n_(stoi.cols),
          bits_(closures.words()), s_(m_ + n_) {}
    bool accepted(Candidate cand, const Poll& poll) {
        candidate_bits(closures_, cand, bits_.data());
        for (index_t e = 0; e < m_ + n_; ++e)
            s_[e] = (bits_[e / EntryClosures::bits_per_word] >>
                        (e % EntryClosures::bits_per_word)) & 1U;
        const VectorView<const std::uint8_t> view{s_.data(), m_ + n_, 1};
        return chiindex(stoi_, DT_, view, poll) == 0 && no_emergent_cycles(stoi_, view, poll);
    }

private:
    MatrixView<const double> stoi_, DT_;
    const EntryClosures& closures_;
    index_t m_, n_;
    Vec<EntryClosures::Word> bits_;
    Selection s_;
};

// Shares the candidates out in chunks between `threads` threads (the caller's
// included) and fills verdict[k] for each.  make() builds one evaluator per
// thread.  The calling thread polls and reports progress between chunks; a
// poll inside a long elimination goes through a counter, so the clock is read
// only every few hundred columns.
//
// Progress is reported as done_before + the candidates evaluated here, of
// all_total (the candidates of the whole search).
template <class Make>
void evaluate_all(const Vec<Candidate>& cand, Vec<std::uint8_t>& verdict,
                  int threads, const SearchOptions& opt, Make make,
                  std::int64_t done_before = 0, std::int64_t all_total = -1) {
    const auto total = static_cast<std::int64_t>(cand.size());
    if (all_total < 0) all_total = total;
    constexpr std::int64_t kChunk = 64;
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

    // Starting a thread costs more than a few thousand small candidates: with
    // the automatic count, a thread per kPerThread candidates at most.
    constexpr std::int64_t kPerThread = 4096;
    const std::int64_t most = opt.threads > 0 ? (total + kChunk - 1) / kChunk : total / kPerThread;
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

std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                     MatrixView<const double> DT,
                                     MatrixView<const std::uint8_t> oc,
                                     MatrixView<const std::uint8_t> lo,
                                     MatrixView<const std::uint8_t> cq,
                                     const SearchOptions& options) {
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
            const WholeFactors whole(stoi, DT, options.dgesdd);
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
                    whole.emplace(stoi, DT, options.dgesdd);
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
                         evaluator(whole->usable() ? &*whole : nullptr), done_before, all);
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
    std::vector<Selection> found;
    if (accepted.empty()) {
        order_found(found, m, n);  // the whole network
        return found;
    }
    const Vec<std::size_t> item = exchange_order(std::move(key));
    found.reserve(accepted.size());
    for (const std::size_t at : item) {
        candidate_bits(closures, candidates[accepted[at]], bits.data());
        Selection s(m + n);
        for (index_t e = 0; e < m + n; ++e)
            s[e] = (bits[e / EntryClosures::bits_per_word] >>
                       (e % EntryClosures::bits_per_word)) & 1U;
        found.push_back(std::move(s));
    }
    return found;
}

}  // namespace quelmar
