// The search for isolated buffering structures: every closed seed
// selection of chi-index 0 without emergent cycles.
#pragma once

#include <cstdint>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

using Selection = std::vector<std::uint8_t>;

/// All isolated buffering structures reached from the (m+1)*n seeds
/// {species M (none for M = -1), reaction N}, M ascending from -1, N ascending
/// inside: each seed closed by oc_closure, accepted when its chi-index is 0
/// and it has no emergent cycle.  Duplicates keep their first occurrence; an
/// empty result becomes the whole network; the list is then ordered by the
/// exchange procedure (i < j, swap when species counts, then reaction counts,
/// of positions i, j are in decreasing order).  Each distinct closed
/// selection is evaluated once.
std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                     MatrixView<const double> DT,
                                     MatrixView<const std::uint8_t> oc,
                                     MatrixView<const std::uint8_t> lo,
                                     MatrixView<const std::uint8_t> cq,
                                     const Poll& poll = {});

}  // namespace quelmar
