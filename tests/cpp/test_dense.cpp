// Dense matrix kernels and the A-matrix.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
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

using quelmar::testing::inf;
using quelmar::testing::mat;
using quelmar::testing::nan;

// Element-wise equality in which NaN equals NaN.
void expect_same(const Matrix<double>& actual, const Matrix<double>& expected) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    for (index_t i = 0; i < expected.rows(); ++i)
        for (index_t j = 0; j < expected.cols(); ++j) {
            if (std::isnan(expected(i, j)))
                EXPECT_TRUE(std::isnan(actual(i, j))) << "at (" << i << ", " << j << ")";
            else
                EXPECT_EQ(actual(i, j), expected(i, j)) << "at (" << i << ", " << j << ")";
        }
}

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

TEST(Rref, TwoThreadsGiveTheSameBits) {
    // a sparse integer pattern, as stoichiometry is, large enough to be
    // shared, with rows that become dense as the elimination goes on
    std::mt19937 rng(3);
    const index_t rows = 300, cols = 900;
    Matrix<double> one(rows, cols, 0.0);
    for (index_t i = 0; i < rows; ++i)
        for (int t = 0; t < 4; ++t)
            one(i, static_cast<index_t>(rng() % cols)) = static_cast<double>(rng() % 7) - 3.0;
    for (index_t i = 0; i < rows; i += 50) one(i, 1) = inf;  // rows a non-finite pivot reaches
    Matrix<double> two = one;
    quelmar::rref(one.view(), rows, cols, {}, 1);
    quelmar::rref(two.view(), rows, cols, {}, 2);
    for (index_t i = 0; i < rows; ++i)
        for (index_t j = 0; j < cols; ++j) {
            const double a = one(i, j), b = two(i, j);
            ASSERT_TRUE(std::memcmp(&a, &b, sizeof a) == 0) << "at (" << i << ", " << j << ")";
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
        Matrix<double> M(m, n);
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) M(i, j) = entry(gen);
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
    Matrix<double> A(n, n);
    for (index_t i = 0; i < n; ++i)
        for (index_t j = 0; j < n; ++j) A(i, j) = entry(gen);
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
