// Structure of a sparse non-zero pattern: maximum bipartite matching
// (Hopcroft-Karp), structural rank, and the coarse Dulmage-Mendelsohn
// decomposition.
//
// The pattern of an r x c matrix is a bipartite graph with one vertex per row
// and per column and one edge per non-zero entry.  Its structural rank is the
// size of a maximum matching: the largest rank the matrix can have for any
// values of its non-zero entries.  A square matrix whose structural rank is
// below its order is singular for every choice of values.
//
// Coarse decomposition, given any maximum matching:
//   Over:   the rows reachable from an unmatched row by an alternating path
//           (row -> column along an edge, column -> row along the matching)
//           and the columns on those paths.  Exactly these rows are left
//           uncovered by some maximum matching; the columns are covered by
//           every maximum matching.  More rows than columns.
//   Under:  the same from the unmatched columns (column -> row along an edge,
//           row -> column along the matching).  Exactly these columns are left
//           uncovered by some maximum matching; their rows are always covered.
//           More columns than rows.
//   Square: the rest, perfectly matched among itself.
// The blocks do not depend on the matching chosen.
#pragma once

#include <cstdint>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

/// Non-zero pattern in compressed-row form: the columns of row i are
/// indices[indptr[i] .. indptr[i+1]).  Repeated column indices are harmless.
struct Pattern {
    index_t rows = 0;
    index_t cols = 0;
    Vec<index_t> indptr{0};
    Vec<index_t> indices;

    index_t nnz() const { return static_cast<index_t>(indices.size()); }
};

/// The pattern of a dense matrix under the kernels' zero test: an entry is
/// zero when |x| < TOL, so infinite and NaN entries are non-zero.
Pattern pattern_of(MatrixView<const double> a);

/// A pattern from compressed-row arrays.  Throws std::invalid_argument when a
/// count is negative, indptr does not have rows + 1 entries starting at 0,
/// non-decreasing and ending at indices.size(), or a column index is outside
/// [0, cols).
Pattern pattern_from_csr(index_t rows, index_t cols, Vec<index_t> indptr,
                         Vec<index_t> indices);

/// A matching: row_mate[i] is the column matched to row i (-1 when
/// unmatched), col_mate[j] the row matched to column j (-1 when unmatched).
struct Matching {
    Vec<index_t> row_mate;
    Vec<index_t> col_mate;
    index_t size = 0;
};

/// A maximum matching by Hopcroft-Karp, O(nnz sqrt(rows + cols)) time and
/// O(rows + cols) memory besides the pattern; iterative (no recursion).
/// poll() is called between phases and may throw.
Matching maximum_matching(const Pattern& p, const Poll& poll = {});

/// The size of a maximum matching.
index_t structural_rank(const Pattern& p, const Poll& poll = {});

enum class Block : std::uint8_t { Square = 0, Over = 1, Under = 2 };

struct Decomposition {
    Matching matching;             // the maximum matching used
    Vec<Block> row_block;  // one per row
    Vec<Block> col_block;  // one per column
};

/// The coarse Dulmage-Mendelsohn decomposition (see the header comment).
Decomposition coarse_decomposition(const Pattern& p, const Poll& poll = {});

}  // namespace quelmar
