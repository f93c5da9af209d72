// Dense matrix kernels and the A-matrix.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "amatrix.hpp"
#include "dense.hpp"
#include "test_util.hpp"
#include "lapack.hpp"
#include "reference.hpp"

extern "C" void dgetrf_(int* m, int* n, double* a, int* lda, int* ipiv, int* info);

namespace {

using quelmar::index_t;
using quelmar::Matrix;
using quelmar::MatrixView;

// The whole test binary factorises with the system LAPACK.
class LapackEnvironment : public ::testing::Environment {
public:
    void SetUp() override { quelmar::set_dgetrf(&dgetrf_); }
};
[[maybe_unused]] ::testing::Environment* const lapack_env =
    ::testing::AddGlobalTestEnvironment(new LapackEnvironment);

using quelmar::testing::expect_same;
using quelmar::testing::inf;
using quelmar::testing::mat;
using quelmar::testing::nan;
using quelmar::testing::random_matrix;

// ---------------------------------------------------------------- rref

TEST(Rref, ReducesToEchelonForm) {
    Matrix<double> M = mat({{2, 4, 2}, {1, 2, 3}, {3, 6, 5}});
    quelmar::rref(M.view(), 3, 3);
    expect_same(M, mat({{1, 2, 0}, {0, 0, 1}, {0, 0, 0}}));
}

TEST(Rref, OnlyTheLeadingBlockIsTouched) {
    Matrix<double> M = mat({{2, 4, 7}, {1, 3, 7}, {7, 7, 7}});
    quelmar::rref(M.view(), 2, 2);
    expect_same(M, mat({{1, 0, 7}, {0, 1, 7}, {7, 7, 7}}));
}

// NaN in a later column exposes which of two equal-magnitude candidates became
// the pivot row: the pivot row is subtracted from every other row, so a NaN in
// it would spread to all rows.
TEST(Rref, TopmostRowWinsATieBelowTheCurrentRow) {
    Matrix<double> M = mat({{0, 0}, {1, 0}, {-1, nan}});
    quelmar::rref(M.view(), 3, 2);
    expect_same(M, mat({{1, 0}, {0, 0}, {0, nan}}));
}

TEST(Rref, CurrentRowIsKeptOnATie) {
    Matrix<double> M = mat({{1, 0}, {0, 0}, {-1, nan}});
    quelmar::rref(M.view(), 3, 2);
    expect_same(M, mat({{1, 0}, {0, 0}, {0, nan}}));
}

TEST(Rref, PivotRowIsScaledLeftOfThePivotToo) {
    Matrix<double> M = mat({{5e-9, 2}});
    quelmar::rref(M.view(), 1, 2);
    EXPECT_EQ(M(0, 0), 5e-9 / 2);
    EXPECT_EQ(M(0, 1), 1.0);
}

TEST(Rref, EliminationRunsLeftOfThePivotToo) {
    Matrix<double> M = mat({{5e-9, 1}, {1e-9, 1}});
    quelmar::rref(M.view(), 2, 2);
    expect_same(M, mat({{5e-9, 1}, {1e-9 - 5e-9, 0}}));
}

TEST(Rref, PivotThresholdIsStrict) {
    Matrix<double> below = mat({{5e-9, 1}});
    quelmar::rref(below.view(), 1, 2);
    EXPECT_EQ(below(0, 1), 1.0);  // column 0 skipped, pivot in column 1
    Matrix<double> at = mat({{1e-8, 1}});
    quelmar::rref(at.view(), 1, 2);
    EXPECT_EQ(at(0, 0), 1.0);
    EXPECT_EQ(at(0, 1), 1.0 / 1e-8);
}

TEST(Rref, BlockLargerThanTheMatrixThrows) {
    Matrix<double> M(2, 2);
    EXPECT_THROW(quelmar::rref(M.view(), 3, 2), std::invalid_argument);
}

// ------------------------------------------------ rref in panels, to the bit

// The bits of two matrices, so that -0.0 differs from 0.0 and NaNs compare.
void expect_bits(const Matrix<double>& actual, const Matrix<double>& expected) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    for (index_t i = 0; i < expected.rows(); ++i)
        for (index_t j = 0; j < expected.cols(); ++j) {
            const double a = actual(i, j);
            const double e = expected(i, j);
            ASSERT_EQ(std::memcmp(&a, &e, sizeof(double)), 0)
                << "at (" << i << ", " << j << "): " << a << " instead of " << e;
        }
}

// rref_panels() at several panel widths (dividing the column count or not),
// on one and two threads, and rref() itself, against the elimination pivot
// after pivot.
void expect_panels_match(const Matrix<double>& M) {
    Matrix<double> expected = M;
    quelmar::reference::rref_pivotwise(expected.view(), M.rows(), M.cols());
    for (const index_t width : {1, 2, 3, 5, 8, 13, 32, 1000})
        for (const int threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << M.rows() << " x " << M.cols() << ", width "
                                              << width << ", threads " << threads);
            Matrix<double> actual = M;
            quelmar::rref_panels(actual.view(), M.rows(), M.cols(), width, {}, threads);
            expect_bits(actual, expected);
        }
    Matrix<double> actual = M;
    quelmar::rref(actual.view(), M.rows(), M.cols(), {}, 2);
    expect_bits(actual, expected);
}

// An m x n matrix with a fraction density of entries drawn by entry(gen), the
// others 0.0.
template <class Dist>
Matrix<double> sparse_matrix(index_t m, index_t n, double density, std::mt19937& gen,
                             Dist& entry) {
    std::bernoulli_distribution present(density);
    Matrix<double> M(m, n);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            if (present(gen)) M(i, j) = entry(gen);
    return M;
}

// [S^T | I], the matrix nullity() reduces.
Matrix<double> transpose_and_identity(const Matrix<double>& S) {
    Matrix<double> W(S.cols(), S.rows() + S.cols());
    for (index_t i = 0; i < S.cols(); ++i) {
        for (index_t j = 0; j < S.rows(); ++j) W(i, j) = S(j, i);
        W(i, S.rows() + i) = 1.0;
    }
    return W;
}

// Rows at the bottom of W whose first cols entries are all below the pivot
// threshold: what nullity() counts.
index_t zero_led_rows(const Matrix<double>& W, index_t cols) {
    for (index_t i = 0; i < W.rows(); ++i) {
        const index_t row = W.rows() - 1 - i;
        for (index_t j = 0; j < cols; ++j)
            if (!(std::abs(W(row, j)) < quelmar::TOL)) return i;
    }
    return W.rows();
}

// rref_settled() of [S^T | I] with the S^T columns settled, in panels of
// several widths and on one and two threads: the rows nullity() reads, the
// bits of rref().
void expect_settled_match(const Matrix<double>& W, index_t settled) {
    Matrix<double> expected = W;
    quelmar::reference::rref_pivotwise(expected.view(), W.rows(), W.cols());
    const index_t k = zero_led_rows(expected, settled);
    auto check = [&](const Matrix<double>& actual) {
        ASSERT_EQ(zero_led_rows(actual, settled), k);
        for (index_t i = W.rows() - k; i < W.rows(); ++i)
            for (index_t j = 0; j < W.cols(); ++j) {
                const double a = actual(i, j);
                const double e = expected(i, j);
                ASSERT_EQ(std::memcmp(&a, &e, sizeof(double)), 0)
                    << "at (" << i << ", " << j << "): " << a << " instead of " << e;
            }
    };
    for (const index_t width : {1, 3, 8, 32, 1000})
        for (const int threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << W.rows() << " x " << W.cols() << ", settled "
                                              << settled << ", width " << width
                                              << ", threads " << threads);
            Matrix<double> actual = W;
            quelmar::rref_panels(actual.view(), W.rows(), W.cols(), width, {}, threads, settled);
            check(actual);
        }
    Matrix<double> actual = W;
    quelmar::rref_settled(actual.view(), W.rows(), W.cols(), settled, {}, 2);
    check(actual);
}

// expect_panels_match() of S and of [S^T | I], and expect_settled_match() of
// the latter.
void expect_reductions_match(const Matrix<double>& S) {
    expect_panels_match(S);
    const Matrix<double> W = transpose_and_identity(S);
    expect_panels_match(W);
    expect_settled_match(W, S.rows());
}

constexpr std::pair<index_t, index_t> kShapes[] = {
    {1, 1}, {1, 9}, {9, 1}, {4, 4}, {7, 19}, {19, 7}, {30, 30}, {23, 61}, {61, 23}};

TEST(RrefPanels, StoichiometryLikeMatrices) {
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> coefficient(-3, 3);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    for (const auto& [m, n] : kShapes)
        for (const double density : {0.05, 0.2, 0.6}) {
            const Matrix<double> S = sparse_matrix(m, n, density, gen, entry);
            expect_reductions_match(S);
        }
}

TEST(RrefPanels, RandomDoubles) {
    std::mt19937 gen(12);
    std::uniform_real_distribution<double> value(-2.0, 2.0);
    for (const auto& [m, n] : kShapes)
        for (const double density : {0.1, 0.5, 1.0}) {
            const Matrix<double> S = sparse_matrix(m, n, density, gen, value);
            expect_reductions_match(S);
        }
}

// Rows that are integer combinations of others cancel exactly: the matrix is
// rank-deficient and its eliminations leave exact zeros of either sign.
TEST(RrefPanels, ExactCancellationsAndRankDeficiency) {
    std::mt19937 gen(13);
    std::uniform_int_distribution<int> coefficient(-2, 2);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    for (const auto& [m, n] : kShapes) {
        Matrix<double> S = sparse_matrix(m, n, 0.4, gen, entry);
        for (index_t i = m / 2; i < m; ++i)
            for (index_t j = 0; j < n; ++j)
                S(i, j) = entry(gen) * S(i - m / 2, j) - S(i / 3, j);
        expect_reductions_match(S);
    }
}

// Entries near the pivot threshold: columns skipped as zero, pivots of the
// order of TOL and the growth they bring.
TEST(RrefPanels, EntriesNearTheThreshold) {
    std::mt19937 gen(14);
    std::uniform_int_distribution<int> coefficient(-3, 3);
    std::bernoulli_distribution tiny(0.3);
    auto entry = [&](std::mt19937& g) {
        return static_cast<double>(coefficient(g)) * (tiny(g) ? 4e-9 : 1.0);
    };
    for (const auto& [m, n] : kShapes) expect_panels_match(sparse_matrix(m, n, 0.5, gen, entry));
}

TEST(RrefPanels, NegativeZeros) {
    std::mt19937 gen(15);
    std::uniform_int_distribution<int> coefficient(-3, 3);
    std::bernoulli_distribution negative(0.5);
    auto entry = [&](std::mt19937& g) {
        const int c = coefficient(g);
        return c == 0 ? (negative(g) ? -0.0 : 0.0) : static_cast<double>(c);
    };
    for (const auto& [m, n] : kShapes)
        for (const double density : {0.3, 1.0}) {
            Matrix<double> S = sparse_matrix(m, n, density, gen, entry);
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j)
                    if (S(i, j) == 0.0 && negative(gen)) S(i, j) = -0.0;
            expect_reductions_match(S);
        }
}

// NaN and infinite entries take the dense path and skip no row; with zeros of
// both signs the dense path changes the signs of some.
TEST(RrefPanels, NonFiniteEntries) {
    std::mt19937 gen(16);
    std::uniform_int_distribution<int> coefficient(-3, 3);
    std::uniform_int_distribution<int> kind(0, 2);
    std::bernoulli_distribution negative(0.5);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    for (const auto& [m, n] : kShapes)
        for (const int count : {1, 3, -1, -3}) {
            Matrix<double> S = sparse_matrix(m, n, 0.3, gen, entry);
            if (count < 0)
                for (index_t i = 0; i < m; ++i)
                    for (index_t j = 0; j < n; ++j)
                        if (S(i, j) == 0.0 && negative(gen)) S(i, j) = -0.0;
            std::uniform_int_distribution<index_t> row(0, m - 1);
            std::uniform_int_distribution<index_t> col(0, n - 1);
            for (int e = 0; e < std::abs(count); ++e) {
                const int k = kind(gen);
                S(row(gen), col(gen)) = k == 0 ? nan : k == 1 ? inf : -inf;
            }
            expect_reductions_match(S);
        }
}

TEST(RrefPanels, EmptyAndDegenerateBlocks) {
    expect_panels_match(Matrix<double>(0, 0));
    expect_panels_match(Matrix<double>(0, 5));
    expect_panels_match(Matrix<double>(5, 0));
    expect_panels_match(Matrix<double>(6, 9));
    expect_panels_match(mat({{-0.0, 0.0, -0.0}}));
    expect_panels_match(mat({{0.0}, {-0.0}, {2.0}}));
}

// Only the leading block is reduced, in a view with any strides.
TEST(RrefPanels, StridedViewsAndLeadingBlocks) {
    std::mt19937 gen(17);
    std::uniform_int_distribution<int> coefficient(-3, 3);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    const auto item = static_cast<index_t>(sizeof(double));
    for (const auto& [m, n] : kShapes) {
        const Matrix<double> S = sparse_matrix(2 * m + 1, 2 * n + 1, 0.3, gen, entry);
        // every other element of every other row, and its transpose
        auto views = [&](Matrix<double>& A) {
            const MatrixView<double> every_other{A.view().data, m, n, 2 * (2 * n + 1) * item,
                                                 2 * item};
            return std::pair{every_other, every_other.transposed()};
        };
        for (const bool transposed : {false, true})
            for (const index_t width : {1, 3, 32}) {
                Matrix<double> expected = S;
                Matrix<double> actual = S;
                Matrix<double> dispatched = S;
                auto pick = [&](Matrix<double>& A) {
                    const auto [v, t] = views(A);
                    return transposed ? t : v;
                };
                const MatrixView<double> e = pick(expected);
                const MatrixView<double> a = pick(actual);
                const MatrixView<double> d = pick(dispatched);
                const index_t rows = e.rows - 1;
                quelmar::reference::rref_pivotwise(e, rows, e.cols);
                quelmar::rref_panels(a, rows, a.cols, width, {}, 2);
                quelmar::rref(d, rows, d.cols);
                expect_bits(actual, expected);
                expect_bits(dispatched, expected);
            }
        // a leading block of a contiguous matrix with more columns
        Matrix<double> expected = S;
        Matrix<double> actual = S;
        quelmar::reference::rref_pivotwise(expected.view(), m, n);
        quelmar::rref_panels(actual.view(), m, n, 5, {}, 2);
        expect_bits(actual, expected);
    }
}

// Large enough (430 x 690) for rref() to work in panels by itself.
TEST(RrefPanels, LargeStoichiometryLikeMatrix) {
    std::mt19937 gen(18);
    std::uniform_int_distribution<int> coefficient(-2, 2);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    Matrix<double> S = sparse_matrix(260, 430, 0.01, gen, entry);
    for (index_t j = 0; j < 430; j += 7)  // dependent columns
        for (index_t i = 0; i < 260; ++i) S(i, j) = S(i, (j + 1) % 430) + S(i, (j + 2) % 430);
    const Matrix<double> W = transpose_and_identity(S);
    Matrix<double> expected = W;
    quelmar::reference::rref_pivotwise(expected.view(), W.rows(), W.cols());
    for (const int threads : {1, 2}) {
        Matrix<double> actual = W;
        quelmar::rref(actual.view(), W.rows(), W.cols(), {}, threads);
        expect_bits(actual, expected);
    }
    expect_settled_match(W, S.rows());
}

TEST(RrefPanels, WidthMustBePositive) {
    Matrix<double> M(2, 2);
    EXPECT_THROW(quelmar::rref_panels(M.view(), 2, 2, 0), std::invalid_argument);
    EXPECT_THROW(quelmar::rref_panels(M.view(), 3, 2, 1), std::invalid_argument);
}

TEST(RrefPanels, PollMayStopTheComputation) {
    std::mt19937 gen(19);
    std::uniform_int_distribution<int> coefficient(-2, 2);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    const Matrix<double> W = transpose_and_identity(sparse_matrix(100, 300, 0.05, gen, entry));
    struct Stop {};
    for (const int threads : {1, 2}) {
        int calls = 0;
        quelmar::Poll poll{[](void* ctx) {
                               if (++*static_cast<int*>(ctx) == 40) throw Stop{};
                           },
                           &calls};
        Matrix<double> A = W;
        EXPECT_THROW(quelmar::rref_panels(A.view(), A.rows(), A.cols(), 8, poll, threads), Stop);
    }
}

// ---------------------------------------------------------------- nullity

TEST(Nullity, NoRowsGivesTheIdentityBasis) {
    Matrix<double> M(0, 3);
    Matrix<double> W(3, 3, 9.0);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 0, 3), 3);
    expect_same(W, mat({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
}

TEST(Nullity, NoColumnsGivesZero) {
    Matrix<double> M(2, 0);
    Matrix<double> W(0, 2);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 2, 0), 0);
}

TEST(Nullity, ZeroMatrixHasTheIdentityBasis) {
    Matrix<double> M(2, 3);
    Matrix<double> W(3, 5);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 2, 3), 3);
    expect_same(W, mat({{0, 0, 1, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, 0, 0, 1}}));
}

TEST(Nullity, FullColumnRankGivesZero) {
    Matrix<double> M = mat({{1, 2}, {3, 4}, {5, 7}});
    Matrix<double> W(2, 5);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 3, 2), 0);
}

TEST(Nullity, BasisOfOneByTwo) {
    Matrix<double> M = mat({{1, 1}});
    Matrix<double> W(2, 3);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 1, 2), 1);
    EXPECT_EQ(W(1, 1), 1.0);
    EXPECT_EQ(W(1, 2), -1.0);
}

TEST(Nullity, ToleranceIsStrict) {
    Matrix<double> W(1, 2);
    const Matrix<double> small = mat({{5e-9}});
    EXPECT_EQ(quelmar::nullity(small.view(), W.view(), 1, 1), 1);
    const Matrix<double> at = mat({{1e-8}});
    EXPECT_EQ(quelmar::nullity(at.view(), W.view(), 1, 1), 0);
    const Matrix<double> bad = mat({{nan}});
    EXPECT_EQ(quelmar::nullity(bad.view(), W.view(), 1, 1), 0);
}

TEST(Nullity, ClearsTheWholeWorkMatrix) {
    const Matrix<double> M = mat({{1, 1}});
    Matrix<double> W(4, 5, 7.0);
    EXPECT_EQ(quelmar::nullity(M.view(), W.view(), 1, 2), 1);
    for (index_t i = 0; i < 4; ++i)
        for (index_t j = 0; j < 5; ++j)
            if (i >= 2 || j >= 3) {
                EXPECT_EQ(W(i, j), 0.0) << i << ", " << j;
            }
}

TEST(Nullity, ReadsStridedViews) {
    const Matrix<double> M = mat({{1, 2, 3}, {2, 4, 6}});
    Matrix<double> T(3, 2);
    for (index_t i = 0; i < 2; ++i)
        for (index_t j = 0; j < 3; ++j) T(j, i) = M(i, j);
    Matrix<double> W1(3, 5);
    Matrix<double> W2(3, 5);
    const index_t k1 = quelmar::nullity(T.view().transposed(), W1.view(), 2, 3);
    const index_t k2 = quelmar::nullity(M.view(), W2.view(), 2, 3);
    EXPECT_EQ(k1, 2);
    EXPECT_EQ(k2, 2);
    expect_same(W1, W2);
}

TEST(Nullity, BasisVectorsAreInTheNullSpace) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> entry(-2, 2);
    for (int trial = 0; trial < 50; ++trial) {
        const index_t m = 1 + trial % 4;
        const index_t n = 1 + (trial / 4) % 5;
        Matrix<double> M = random_matrix(m, n, gen, entry);
        Matrix<double> W(n, m + n);
        const index_t k = quelmar::nullity(M.view(), W.view(), m, n);
        for (index_t b = n - k; b < n; ++b)
            for (index_t i = 0; i < m; ++i) {
                double s = 0.0;
                for (index_t j = 0; j < n; ++j) s += M(i, j) * W(b, m + j);
                EXPECT_NEAR(s, 0.0, 1e-9);
            }
    }
}

// null_space() gives nullity()'s count and basis, from a transposed view too.
TEST(Nullity, NullSpaceGivesTheSameBasis) {
    std::mt19937 gen(8);
    std::uniform_int_distribution<int> coefficient(-2, 2);
    auto entry = [&](std::mt19937& g) { return static_cast<double>(coefficient(g)); };
    for (const auto& [m, n] : kShapes)
        for (const bool transposed : {false, true}) {
            Matrix<double> S = sparse_matrix(m, n, 0.3, gen, entry);
            for (index_t j = 0; j + 2 < n; j += 3)  // dependent columns
                for (index_t i = 0; i < m; ++i) S(i, j) = S(i, j + 1) - 2 * S(i, j + 2);
            const MatrixView<const double> M =
                transposed ? MatrixView<const double>(S.view()).transposed() : S.view();
            Matrix<double> W1(M.cols, M.rows + M.cols);
            Matrix<double> W2(M.cols + 2, M.rows + M.cols + 1, 5.0);
            const index_t k = quelmar::nullity(M, W1.view(), M.rows, M.cols);
            ASSERT_EQ(quelmar::null_space(M, W2.view(), M.rows, M.cols, {}, 2), k);
            for (index_t i = M.cols - k; i < M.cols; ++i)
                for (index_t j = 0; j < M.rows + M.cols; ++j)
                    ASSERT_EQ(std::memcmp(&W1(i, j), &W2(i, j), sizeof(double)), 0) << i << ", " << j;
        }
}

TEST(Nullity, SmallWorkMatrixThrows) {
    const Matrix<double> M = mat({{1, 1}});
    Matrix<double> W(2, 2);
    EXPECT_THROW(quelmar::nullity(M.view(), W.view(), 1, 2), std::invalid_argument);
}

// ---------------------------------------------------------------- det

double det_of(Matrix<double> M) { return quelmar::det(M.view(), M.rows()); }

TEST(Det, EmptyMatrixIsZero) {
    Matrix<double> M(0, 0);
    EXPECT_EQ(quelmar::det(M.view(), 0), 0.0);
}

TEST(Det, OneByOne) {
    EXPECT_EQ(det_of(mat({{-2.5}})), -2.5);
    EXPECT_TRUE(std::isnan(det_of(mat({{0.0}}))));
}

TEST(Det, SwapHasDeterminantMinusOne) { EXPECT_EQ(det_of(mat({{0, 1}, {1, 0}})), -1.0); }

TEST(Det, ExactlySingularIsNaN) {
    EXPECT_TRUE(std::isnan(det_of(mat({{1, 2}, {2, 4}}))));
}

TEST(Det, ThreeByThree) {
    EXPECT_DOUBLE_EQ(det_of(mat({{2, -1, 0}, {1, 3, 2}, {0, 1, 4}})), 24.0);
}

TEST(Det, FortranOrderGivesTheSameDeterminant) {
    // T holds the transpose, so its transposed view is M in column-major order.
    Matrix<double> M = mat({{2, 1, 0}, {5, 3, 1}, {0, 7, 4}});
    Matrix<double> T = mat({{2, 5, 0}, {1, 3, 7}, {0, 1, 4}});
    EXPECT_NEAR(quelmar::det(T.view().transposed(), 3), -10.0, 1e-12);
    EXPECT_NEAR(det_of(M), -10.0, 1e-12);
}

TEST(Det, NonContiguousInputIsCopied) {
    // Leading 2 x 2 block of a 2 x 3 row-major matrix: rows are 3 apart.
    Matrix<double> M = mat({{0, 1, 5}, {1, 0, 5}});
    EXPECT_EQ(quelmar::det(M.view(), 2), -1.0);
    expect_same(M, mat({{0, 1, 5}, {1, 0, 5}}));

    Matrix<double> N = mat({{3, 1}, {1, 2}});
    MatrixView<double> flipped = N.view();
    flipped.data = &N(1, 0);
    flipped.stride0 = -flipped.stride0;
    EXPECT_DOUBLE_EQ(quelmar::det(flipped, 2), -5.0);
}

TEST(Det, RequiresAnInstalledFactorisation) {
    Matrix<double> M = mat({{1}});
    quelmar::set_dgetrf(nullptr);
    EXPECT_THROW(quelmar::det(M.view(), 1), std::logic_error);
    quelmar::set_dgetrf(&dgetrf_);
}

TEST(Det, OrderMustFitLapackInt) {
    const index_t big = index_t{INT_MAX} + 1;
    const MatrixView<double> huge{nullptr, big, big, big * 8, 8};
    EXPECT_THROW(quelmar::det(huge, big), std::overflow_error);
}

// ---------------------------------------------------------------- adjugate

Matrix<double> adjugate_of(Matrix<double> A) {
    const index_t n = A.rows();
    std::vector<double> minors(static_cast<std::size_t>(n * n * (n - 1) * (n - 1)));
    quelmar::adjugate(A.view(), n, minors.data());
    return A;
}

TEST(Adjugate, EmptyMatrixIsLeftAlone) {
    Matrix<double> A(0, 0);
    quelmar::adjugate(A.view(), 0, nullptr);
    EXPECT_EQ(A.rows(), 0);
}

TEST(Adjugate, OneByOneIsOne) { expect_same(adjugate_of(mat({{-4.0}})), mat({{1.0}})); }

TEST(Adjugate, TwoByTwo) {
    expect_same(adjugate_of(mat({{1, 2}, {3, 4}})), mat({{4, -2}, {-3, 1}}));
}

TEST(Adjugate, SingularMinorsGiveNaN) {
    expect_same(adjugate_of(mat({{1, 0}, {0, 1}})), mat({{1, nan}, {nan, 1}}));
}

TEST(Adjugate, TimesMatrixIsDeterminantTimesIdentity) {
    std::mt19937 gen(3);
    std::normal_distribution<double> entry(0.0, 1.0);
    const index_t n = 4;
    Matrix<double> A = random_matrix(n, n, gen, entry);
    const double d = det_of(A);
    const Matrix<double> adj = adjugate_of(A);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (index_t k = 0; k < n; ++k) s += A(i, k) * adj(k, j);
            EXPECT_NEAR(s, i == j ? d : 0.0, 1e-10 * (1 + std::abs(d)));
        }
}

TEST(Adjugate, PollMayStopTheComputation) {
    Matrix<double> A = mat({{1, 2, 0}, {0, 1, 3}, {4, 0, 1}});
    std::vector<double> minors(9 * 4);
    int calls = 0;
    const quelmar::Poll poll{[](void* ctx) {
                                 if (++*static_cast<int*>(ctx) == 2)
                                     throw std::runtime_error("interrupted");
                             },
                             &calls};
    EXPECT_THROW(quelmar::adjugate(A.view(), 3, minors.data(), poll), std::runtime_error);
}

// ---------------------------------------------------------------- construct_A

TEST(ConstructA, OneSpeciesTwoReactions) {
    const Matrix<double> stoi = mat({{-1, 1}});
    const Matrix<double> reg = mat({{inf, 0}});
    expect_same(quelmar::construct_A(stoi.view(), reg.view()), mat({{inf, 1}, {0, 1}}));
}

TEST(ConstructA, TwoSpeciesOneReaction) {
    const Matrix<double> stoi = mat({{-1}, {1}});
    const Matrix<double> reg = mat({{inf}, {0}});
    expect_same(quelmar::construct_A(stoi.view(), reg.view()), mat({{inf, 0}, {1, 1}}));
}

TEST(ConstructA, AbsurdExtentsAreRefusedBeforeAllocating) {
    // Views with a zero extent and a huge other one hold no data at all; the
    // work matrices they imply (n x (m + n)) would overflow the size type.
    const double none = 0.0;
    for (const auto& [m, n] : {std::pair<index_t, index_t>{0, index_t{1} << 32},
                               {index_t{1} << 32, 0}, {0, index_t{1} << 40}}) {
        const MatrixView<const double> stoi{&none, m, n, 0, 8};
        EXPECT_THROW(quelmar::construct_A(stoi, stoi), std::bad_alloc);
    }
    EXPECT_THROW((Matrix<double>(index_t{1} << 31, index_t{1} << 31)), std::bad_alloc);
    EXPECT_THROW((Matrix<double>(-1, 2)), std::invalid_argument);
}

TEST(ConstructA, NoReactionsGivesTheIdentity) {
    const Matrix<double> stoi(3, 0);
    const Matrix<double> reg(3, 0);
    expect_same(quelmar::construct_A(stoi.view(), reg.view()),
                mat({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
}

TEST(ConstructA, FullColumnRankHasNoCycleColumns) {
    const Matrix<double> stoi = mat({{-1, 0}, {1, -1}, {0, 1}});
    const Matrix<double> reg = mat({{inf, 0}, {0, inf}, {0, 0}});
    const Matrix<double> A = quelmar::construct_A(stoi.view(), reg.view());
    EXPECT_EQ(A.rows(), 3);
    expect_same(A, mat({{inf, 0, 0}, {0, inf, 0}, {1, 1, 1}}));
}

TEST(ConstructA, FullRowRankHasOnlyReactionRows) {
    const Matrix<double> stoi = mat({{1, -1, 0}, {0, 1, -1}});
    const Matrix<double> reg = mat({{0, inf, 0}, {0, 0, inf}});
    const Matrix<double> A = quelmar::construct_A(stoi.view(), reg.view());
    EXPECT_EQ(A.rows(), 3);
    expect_same(A, mat({{0, 0, 1}, {inf, 0, 1}, {0, inf, 1}}));
}

TEST(ConstructA, RegulationIsCopiedVerbatimAndOnlyWithinTheNetwork) {
    const Matrix<double> stoi = mat({{-1, 1}});
    const Matrix<double> reg = mat({{nan, -inf, 99}, {99, 99, 99}});
    expect_same(quelmar::construct_A(stoi.view(), reg.view()), mat({{nan, 1}, {-inf, 1}}));
}

TEST(ConstructA, SmallerRegulationThrows) {
    const Matrix<double> stoi = mat({{-1, 1}, {1, -1}});
    const Matrix<double> reg = mat({{inf, 0}});
    EXPECT_THROW(quelmar::construct_A(stoi.view(), reg.view()), std::invalid_argument);
}

TEST(ConstructA, RankDisagreementAtTheToleranceThrows) {
    // Borderline entries: the reductions of the matrix and of its transpose
    // find ranks 1 and 2.
    const Matrix<double> stoi = mat({{1.5e-8, -1.0}, {0.0, 2e-8}});
    const Matrix<double> reg(2, 2);
    EXPECT_THROW(quelmar::construct_A(stoi.view(), reg.view()), std::domain_error);
}

}  // namespace
