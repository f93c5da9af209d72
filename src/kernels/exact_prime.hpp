// The pieces of the exact sensitivity pattern (exact.hpp) shared by its
// units: the problem, the primes with the pivots of the stoichiometry matrix
// modulo each, the structure of the reduced matrix, the work of one prime
// (exact_prime.cpp) and the number of primes (exact_bound.cpp).  Private to
// exact*.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "modfield.hpp"
#include "parallel.hpp"
#include "poll.hpp"

namespace quelmar::exact_detail {

using namespace modp;

enum class RankStatus { low, exact, high };

struct Problem {
    index_t m = 0, n = 0, r = 0;
    SparseExact S;    // m rows (species), column index = reaction
    SparseExact top;  // n rows (reactions), column index = species
    // ranges of the binary exponents of the values of S and of top
    int s_lo = 0, s_hi = 0, t_lo = 0, t_hi = 0;

    static void exponents(const SparseExact& A, int& lo, int& hi) {
        lo = hi = 0;
        for (const Exact& v : A.val) {
            lo = std::min(lo, v.e2);
            hi = std::max(hi, v.e2);
        }
    }
    Field field_S(int64_t prime) const { return Field(prime, s_lo, s_hi); }
    Field field_top(int64_t prime) const { return Field(prime, t_lo, t_hi); }
};

// One prime of the fixed sequence, with the rank of S modulo it and, when
// the rank is r, the pivots I, J: the same for every draw of top, so they are
// computed once per stoichiometry matrix.
struct PrimeData {
    int64_t p = 0;
    RankStatus st = RankStatus::low;
    SparseMod Srow, Scol;
    Vec<index_t> I, J;
    Vec<double> Sval;  // the entries of S mod p, in the order of Problem::S
};

// The values of A mod p, entry by entry (zeros kept).
Vec<double> reduce_values(const Field& F, const SparseExact& A);

// Srow: the entries of S non-zero mod p, from their residues Sval (in the
// order of pb.S).
RankStatus rank_status(const Field& F, const Problem& pb, const Vec<double>& Sval,
                       SparseMod& Srow, SparseMod& Scol, Vec<index_t>& I,
                       Vec<index_t>& J, const Poll& poll);

// The structure of W = top * S[:, J] for one draw and one choice of J: row j
// of W has the columns col[ptr[j] .. ptr[j+1]), and entry w of W is the sum
// of top.val[tr[q]] * S.val[ts[q]] over q in [tptr[w], tptr[w+1]).  The same
// for every prime with the same pivot columns J.
struct WPlan {
    Vec<index_t> J;
    Vec<index_t> ptr, col, tptr, tr, ts;

    void build(const Problem& pb, const Vec<index_t>& pivots,
               const Vec<index_t>& colpos);
};

// The primes in the order PrimeSource draws them, with their PrimeData,
// computed when first asked for.
class PrimeTable {
public:
    const PrimeData& get(std::size_t k, const Problem& pb, const Poll& poll) {
        while (data_.size() <= k) {
            PrimeData d;
            d.p = source_.next();
            const Field F = pb.field_S(d.p);
            d.Sval = reduce_values(F, pb.S);
            d.st = rank_status(F, pb, d.Sval, d.Srow, d.Scol, d.I, d.J, poll);
            data_.push_back(std::move(d));
        }
        return data_[k];
    }
    void clear() {
        data_.clear();
        source_ = PrimeSource{};
    }

private:
    PrimeSource source_;
    std::deque<PrimeData> data_;
};

// ORs the pattern of S[:, J] adj(M) S[I, :] mod p into pat (m x n); returns the
// rank status of S mod p (the pattern is only computed when it is exact).
// The large steps are shared out among the team, if any (modelim.hpp).
RankStatus one_prime(const PrimeData& d, const Problem& pb, WPlan& plan,
                     Vec<std::uint8_t>& pat, const Poll& poll, Team* team = nullptr);

// Upper bound on log2 |Y_ij * Delta| (see exact.hpp), valid for every (i, j).
double bound_bits(const Problem& pb);

// The number of primes that bounds the failure probability (exact.hpp).
int primes_needed(const Problem& pb);

}  // namespace quelmar::exact_detail
