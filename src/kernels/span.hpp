// Ranks of sets of sparse columns by orthogonal projection, for sharing work
// between the candidates of a search: the span of a large set of columns is
// factorised once, and the rank that a few more columns add is found by
// projecting them out of it.  Every rank decision has a margin: a residual
// counts as non-zero only when it is far above the zero tolerance (relative
// to its column and in absolute terms), and as zero only when it is
// rounding-error small; anything in between leaves the rank undecided, and
// the caller then decides by the exact elimination.
#pragma once

#include <cstdint>
#include <vector>

#include "view.hpp"

namespace quelmar::search_detail {

/// Non-zero entries of the columns of a matrix, rows ascending.
struct Columns {
    Vec<index_t> ptr, row;
    Vec<double> val;
    explicit Columns(MatrixView<const double> A);
    index_t begin(index_t j) const { return ptr[j]; }
    index_t end(index_t j) const { return ptr[j + 1]; }
};

class Span {
public:
    /// The span of the columns cols of A.  pos: scratch of A.rows entries,
    /// all -1 (left so).
    void factor(const Columns& A, const Vec<index_t>& cols, Vec<index_t>& pos);

    /// Rank of the columns, or -1 if undecided.
    index_t rank() const { return rank_; }
    /// The doubles the factorisation holds.
    index_t doubles() const { return Q_.ssize() + Qt_.ssize(); }

    /// The rank that the columns cols of A add to the span, or -1 if
    /// undecided.  pos as for factor().
    index_t added_rank(const Columns& A, const Vec<index_t>& cols,
                       Vec<index_t>& pos) const;

private:
    // The single column j of A is far outside the span (pos maps the span's
    // rows to their positions, other rows to -1).
    bool clearly_outside(const Columns& A, index_t j, const Vec<index_t>& pos) const;

    Vec<index_t> rows_;  // the rows the columns touch, ascending
    Vec<double> Q_;      // rank_ orthonormal vectors of rows_.size() entries
    Vec<double> Qt_;     // the same, transposed (row t: rank_ entries)
    index_t rank_ = 0;
    mutable Vec<double> scratch_;
};

}  // namespace quelmar::search_detail
