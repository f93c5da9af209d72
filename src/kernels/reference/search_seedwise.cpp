// The seed-by-seed search: every distinct closed selection is evaluated with
// the whole-network kernels chiindex() and no_emergent_cycles().  Kept as the
// reference that search_isoBSs() must reproduce, and as its benchmark
// baseline.
#include <vector>

#include "closures.hpp"
#include "invariants.hpp"
#include "reference.hpp"
#include "search.hpp"

namespace quelmar::reference {

using namespace search_detail;

std::vector<Selection> search_isoBSs_seedwise(MatrixView<const double> stoi,
                                              MatrixView<const double> DT,
                                              MatrixView<const std::uint8_t> oc,
                                              MatrixView<const std::uint8_t> lo,
                                              MatrixView<const std::uint8_t> cq,
                                              const Poll& poll) {
    check_search_args(stoi, DT, oc, lo, cq);
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    const EntryClosures closures(oc, lo, cq, m, n, poll);
    const Vec<Candidate> candidates = distinct_candidates(closures, m, n, poll);
    Vec<EntryClosures::Word> bits(closures.words());
    std::vector<Selection> found;
    Selection selected(m + n);
    for (const Candidate c : candidates) {
        poll();
        candidate_bits(closures, c, bits.data());
        for (index_t e = 0; e < m + n; ++e)
            selected[e] =
                (bits[e / EntryClosures::bits_per_word] >>
                 (e % EntryClosures::bits_per_word)) & 1U;
        const VectorView<const std::uint8_t> view{selected.data(), m + n, 1};
        if (chiindex(stoi, DT, view, poll) == 0 && no_emergent_cycles(stoi, view, poll))
            found.push_back(selected);
    }
    order_found(found, m, n);
    return found;
}

}  // namespace quelmar::reference
