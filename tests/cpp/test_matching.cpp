// Maximum matching, structural rank and the coarse Dulmage-Mendelsohn blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "matching.hpp"
#include "test_util.hpp"

namespace {

using quelmar::Block;
using quelmar::index_t;
using quelmar::Matrix;
using quelmar::Pattern;
using quelmar::testing::inf;
using quelmar::testing::mat;
using quelmar::testing::nan;

// Reference: simple augmenting paths (Kuhn), recursive, on a dense 0/1 mask
// with rows or columns switched off.
struct Kuhn {
    const Matrix<std::uint8_t>& a;
    std::vector<std::uint8_t> row_on, col_on;
    std::vector<index_t> col_mate;
    std::vector<std::uint8_t> seen;

    bool augment(index_t i) {
        for (index_t j = 0; j < a.cols(); ++j) {
            if (!a(i, j) || !col_on[static_cast<std::size_t>(j)] || seen[static_cast<std::size_t>(j)])
                continue;
            seen[static_cast<std::size_t>(j)] = 1;
            const index_t w = col_mate[static_cast<std::size_t>(j)];
            if (w < 0 || augment(w)) {
                col_mate[static_cast<std::size_t>(j)] = i;
                return true;
            }
        }
        return false;
    }
    index_t size() {
        col_mate.assign(static_cast<std::size_t>(a.cols()), -1);
        index_t n = 0;
        for (index_t i = 0; i < a.rows(); ++i) {
            if (!row_on[static_cast<std::size_t>(i)]) continue;
            seen.assign(static_cast<std::size_t>(a.cols()), 0);
            if (augment(i)) ++n;
        }
        return n;
    }
};

index_t reference_rank(const Matrix<std::uint8_t>& a, index_t drop_row = -1,
                       index_t drop_col = -1) {
    Kuhn k{a, std::vector<std::uint8_t>(static_cast<std::size_t>(a.rows()), 1),
           std::vector<std::uint8_t>(static_cast<std::size_t>(a.cols()), 1), {}, {}};
    if (drop_row >= 0) k.row_on[static_cast<std::size_t>(drop_row)] = 0;
    if (drop_col >= 0) k.col_on[static_cast<std::size_t>(drop_col)] = 0;
    return k.size();
}

Pattern pattern_of_mask(const Matrix<std::uint8_t>& a) {
    Pattern p;
    p.rows = a.rows();
    p.cols = a.cols();
    for (index_t i = 0; i < a.rows(); ++i) {
        for (index_t j = 0; j < a.cols(); ++j)
            if (a(i, j)) p.indices.push_back(j);
        p.indptr.push_back(p.nnz());
    }
    return p;
}

void expect_valid_maximum(const Pattern& p, const quelmar::Matching& m, index_t rank) {
    EXPECT_EQ(m.size, rank);
    index_t matched = 0;
    for (index_t i = 0; i < p.rows; ++i) {
        const index_t j = m.row_mate[static_cast<std::size_t>(i)];
        if (j < 0) continue;
        ++matched;
        ASSERT_EQ(m.col_mate[static_cast<std::size_t>(j)], i);
        bool edge = false;
        for (index_t k = p.indptr[static_cast<std::size_t>(i)];
             k < p.indptr[static_cast<std::size_t>(i) + 1]; ++k)
            edge = edge || p.indices[static_cast<std::size_t>(k)] == j;
        ASSERT_TRUE(edge) << "row " << i << " matched to a zero entry";
    }
    EXPECT_EQ(matched, rank);
}

TEST(Matching, DenseZeroTestAndBlocksOfASmallSingularMatrix) {
    // Column 2 is zero (|1e-9| < TOL); rows 1 and 2 only meet column 0, so
    // one of them is always left out and row 0 must take column 1.
    const auto a = mat({{1.0, 5.0, 0.0}, {inf, 0.0, 1e-9}, {nan, 0.0, 0.0}});
    const Pattern p = quelmar::pattern_of(a.view());
    EXPECT_EQ(p.nnz(), 4);
    const auto d = quelmar::coarse_decomposition(p);
    EXPECT_EQ(d.matching.size, 2);
    EXPECT_EQ(d.row_block, (std::vector<Block>{Block::Square, Block::Over, Block::Over}));
    EXPECT_EQ(d.col_block, (std::vector<Block>{Block::Over, Block::Square, Block::Under}));
    // Exactly TOL counts as non-zero; a transposed (strided) view reads the same entries.
    EXPECT_EQ(quelmar::pattern_of(mat({{1e-8}}).view()).nnz(), 1);
    EXPECT_EQ(quelmar::structural_rank(quelmar::pattern_of(a.view().transposed())), 2);
}

TEST(Matching, EmptyAndDegenerateShapes) {
    for (const auto& [r, c] : {std::pair<index_t, index_t>{0, 0}, {0, 3}, {3, 0}}) {
        const Matrix<double> z(r, c);
        const auto d = quelmar::coarse_decomposition(quelmar::pattern_of(z.view()));
        EXPECT_EQ(d.matching.size, 0);
        for (const Block b : d.row_block) EXPECT_EQ(b, Block::Over);
        for (const Block b : d.col_block) EXPECT_EQ(b, Block::Under);
    }
}

TEST(Matching, CsrInputIsValidated) {
    using quelmar::pattern_from_csr;
    EXPECT_EQ(quelmar::structural_rank(pattern_from_csr(2, 2, {0, 1, 2}, {1, 0})), 2);
    EXPECT_THROW(pattern_from_csr(-1, 2, {0}, {}), std::invalid_argument);
    EXPECT_THROW(pattern_from_csr(2, 2, {0, 1}, {0}), std::invalid_argument);
    EXPECT_THROW(pattern_from_csr(2, 2, {1, 1, 1}, {0}), std::invalid_argument);
    EXPECT_THROW(pattern_from_csr(2, 2, {0, 2, 1}, {0}), std::invalid_argument);
    EXPECT_THROW(pattern_from_csr(2, 2, {0, 1, 2}, {0, 2}), std::invalid_argument);
    EXPECT_THROW(pattern_from_csr(2, 2, {0, 1, 2}, {-1, 0}), std::invalid_argument);
}

TEST(Matching, RandomPatternsAgreeWithBruteForce) {
    std::mt19937 gen(12);
    for (int trial = 0; trial < 400; ++trial) {
        const index_t r = static_cast<index_t>(gen() % 8);
        const index_t c = static_cast<index_t>(gen() % 8);
        const double density = 0.1 + 0.05 * static_cast<double>(gen() % 8);
        std::bernoulli_distribution bit(density);
        Matrix<std::uint8_t> a(r, c);
        for (index_t i = 0; i < r; ++i)
            for (index_t j = 0; j < c; ++j) a(i, j) = bit(gen) ? 1 : 0;
        const Pattern p = pattern_of_mask(a);
        const index_t rank = reference_rank(a);
        const auto d = quelmar::coarse_decomposition(p);
        expect_valid_maximum(p, d.matching, rank);
        // A row is Over exactly when some maximum matching leaves it out, i.e.
        // dropping it keeps the rank; likewise a column and Under.  The other
        // member of each block is a neighbour of those.
        for (index_t i = 0; i < r; ++i) {
            const bool uncoverable = reference_rank(a, i, -1) == rank;
            EXPECT_EQ(d.row_block[static_cast<std::size_t>(i)] == Block::Over, uncoverable)
                << "trial " << trial << " row " << i;
            bool near_under = false;
            for (index_t j = 0; j < c; ++j)
                near_under = near_under || (a(i, j) && reference_rank(a, -1, j) == rank);
            EXPECT_EQ(d.row_block[static_cast<std::size_t>(i)] == Block::Under, near_under)
                << "trial " << trial << " row " << i;
        }
        for (index_t j = 0; j < c; ++j) {
            const bool uncoverable = reference_rank(a, -1, j) == rank;
            EXPECT_EQ(d.col_block[static_cast<std::size_t>(j)] == Block::Under, uncoverable)
                << "trial " << trial << " col " << j;
            bool near_over = false;
            for (index_t i = 0; i < r; ++i)
                near_over = near_over || (a(i, j) && reference_rank(a, i, -1) == rank);
            EXPECT_EQ(d.col_block[static_cast<std::size_t>(j)] == Block::Over, near_over)
                << "trial " << trial << " col " << j;
        }
    }
}

TEST(Matching, LongAugmentingPathNeedsNoRecursion) {
    // Greedy matches row i to column i + 1, leaving the last row to an
    // augmenting path through every row.
    const index_t n = 100000;
    std::vector<index_t> indptr{0}, indices;
    for (index_t i = 0; i < n; ++i) {
        if (i + 1 < n) indices.push_back(i + 1);
        indices.push_back(i);
        indptr.push_back(static_cast<index_t>(indices.size()));
    }
    const auto p = quelmar::pattern_from_csr(n, n, indptr, indices);
    const auto m = quelmar::maximum_matching(p);
    expect_valid_maximum(p, m, n);
}

TEST(Matching, PollMayStopTheSearch) {
    struct Stop {};
    const quelmar::Poll poll{[](void*) { throw Stop{}; }, nullptr};
    const auto p = quelmar::pattern_from_csr(1, 1, {0, 1}, {0});
    EXPECT_THROW(quelmar::maximum_matching(p, poll), Stop);
}

}  // namespace
