// The verdict of one candidate of the search for isolated buffering
// structures: its three nullities on the species and conserved quantities it
// touches (Evaluator), or on the whole network when values are not finite
// (WholeEvaluator).  Used by search.cpp only; one evaluator per thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "closures.hpp"
#include "complement.hpp"
#include "dense.hpp"
#include "invariants.hpp"
#include "span.hpp"

namespace quelmar::search_detail {

// A candidate of p species and q reactions (of m and n) that is judged from
// the factorisation of the whole network first: it leaves out a few entries,
// at most a fifth of it.
inline bool nearly_whole(index_t p, index_t q, index_t m, index_t n) {
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

}  // namespace quelmar::search_detail
