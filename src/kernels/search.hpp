// The search for isolated buffering structures: every closed seed
// selection of chi-index 0 without emergent cycles.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "lapack.hpp"
#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

using Selection = Vec<std::uint8_t>;

/// Told how far a long search has come: done of total candidates evaluated.
/// Called on the calling thread only, a few times per second at most (and
/// once at the end); it may throw to stop the search.
struct Progress {
    void (*fn)(void* ctx, std::int64_t done, std::int64_t total) = nullptr;
    void* ctx = nullptr;
    void operator()(std::int64_t done, std::int64_t total) const {
        if (fn != nullptr) fn(ctx, done, total);
    }
};

struct SearchOptions {
    /// Threads that evaluate candidates, the calling thread included; 0: one
    /// per hardware thread.  The result does not depend on it.
    int threads = 0;
    /// Called on the calling thread between pieces of work (not per column);
    /// may throw to stop the search, which then joins its threads and
    /// rethrows.
    Poll poll;
    Progress progress;
    /// LAPACK's dgesdd.  With it, candidates that leave out only a few
    /// species and reactions of a network of at least whole_from of them are
    /// judged from one factorisation of the whole network (complement.hpp),
    /// with the exact elimination wherever a rank is unclear; without it,
    /// every candidate is eliminated.  The verdicts are the same.
    dgesdd_fn* dgesdd = nullptr;
    /// With them as well, the stoichiometry matrix is factorised by a pivoted
    /// QR factorisation, which takes half the time of its singular value
    /// decomposition (dgesdd then only factorises the conserved quantities).
    QrRoutines qr;
    index_t whole_from = 1000;
};

/// All isolated buffering structures reached from the (m+1)*n seeds
/// {species M (none for M = -1), reaction N}, M ascending from -1, N ascending
/// inside: each seed closed by oc_closure, accepted when its chi-index is 0
/// and it has no emergent cycle.  Duplicates keep their first occurrence; an
/// empty result becomes the whole network; the list is then ordered by the
/// exchange procedure (i < j, swap when species counts, then reaction counts,
/// of positions i, j are in decreasing order).  Each distinct closed
/// selection is evaluated once, on the species and reactions it touches only,
/// with exactly the arithmetic of chiindex() and no_emergent_cycles().
std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                     MatrixView<const double> DT,
                                     MatrixView<const std::uint8_t> oc,
                                     MatrixView<const std::uint8_t> lo,
                                     MatrixView<const std::uint8_t> cq,
                                     const SearchOptions& options = {});

/// The same search, each structure handed to each(bits) in the order of the
/// list instead of being held: element x of the m + n species and reactions
/// is bit x % 64 of bits[x / 64] (the words stay valid during the call only).
/// A large search's list is held as bits, an eighth of its bytes.
void search_isoBSs_each(MatrixView<const double> stoi, MatrixView<const double> DT,
                        MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                        MatrixView<const std::uint8_t> cq, const SearchOptions& options,
                        const std::function<void(const std::uint64_t*)>& each);

inline std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                            MatrixView<const double> DT,
                                            MatrixView<const std::uint8_t> oc,
                                            MatrixView<const std::uint8_t> lo,
                                            MatrixView<const std::uint8_t> cq, const Poll& poll) {
    SearchOptions options;
    options.poll = poll;
    return search_isoBSs(stoi, DT, oc, lo, cq, options);
}

}  // namespace quelmar
