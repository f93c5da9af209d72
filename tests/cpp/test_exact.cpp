// Exact sensitivity pattern: crafted cases, a comparison with cofactors in
// exact rational arithmetic on a few hundred random small networks, and a
// comparison with a dense adjugate modulo 61-bit primes on larger ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "exact.hpp"
#include "amatrix.hpp"
#include "dense.hpp"
#include "modelim.hpp"
#include "modfield.hpp"
#include "parallel.hpp"
#include "reference.hpp"
#include "test_util.hpp"

namespace {

using quelmar::index_t;
using quelmar::Matrix;
using quelmar::MatrixView;

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

using quelmar::testing::inf;
using quelmar::testing::mat;

// ------------------------------------------------ exact rational reference

struct Overflow {};

i128 ck_mul(i128 a, i128 b) {
    i128 r;
    if (__builtin_mul_overflow(a, b, &r)) throw Overflow{};
    return r;
}
i128 ck_add(i128 a, i128 b) {
    i128 r;
    if (__builtin_add_overflow(a, b, &r)) throw Overflow{};
    return r;
}
i128 gcd(i128 a, i128 b) {
    if (a < 0) a = -a;
    if (b < 0) b = -b;
    while (b != 0) {
        const i128 t = a % b;
        a = b;
        b = t;
    }
    return a;
}

struct Frac {
    i128 n = 0, d = 1;
    Frac() = default;
    Frac(i128 num, i128 den = 1) : n(num), d(den) {  // NOLINT: implicit from integers
        if (d < 0) {
            n = -n;
            d = -d;
        }
        const i128 g = gcd(n, d);
        if (g > 1) {
            n /= g;
            d /= g;
        }
    }
    bool zero() const { return n == 0; }
};
Frac operator*(const Frac& a, const Frac& b) {
    const i128 g1 = gcd(a.n, b.d), g2 = gcd(b.n, a.d);
    if (a.n == 0 || b.n == 0) return Frac(0);
    return Frac(ck_mul(a.n / g1, b.n / g2), ck_mul(a.d / g2, b.d / g1));
}
Frac operator+(const Frac& a, const Frac& b) {
    const i128 g = gcd(a.d, b.d);
    return Frac(ck_add(ck_mul(a.n, b.d / g), ck_mul(b.n, a.d / g)), ck_mul(a.d / g, b.d));
}
Frac operator-(const Frac& a) { return Frac(-a.n, a.d); }
Frac operator-(const Frac& a, const Frac& b) { return a + (-b); }
Frac operator/(const Frac& a, const Frac& b) { return a * Frac(b.d, b.n); }

using QMat = std::vector<std::vector<Frac>>;

QMat qzeros(index_t r, index_t c) {
    return QMat(static_cast<size_t>(r), std::vector<Frac>(static_cast<size_t>(c)));
}

// Basis of {x : A x = 0} for A (rows x cols), from the reduced row echelon form.
std::vector<std::vector<Frac>> kernel_basis(QMat A, index_t rows, index_t cols) {
    std::vector<index_t> pivots;
    index_t rk = 0;
    for (index_t c = 0; c < cols && rk < rows; ++c) {
        index_t p = rk;
        while (p < rows && A[p][c].zero()) ++p;
        if (p == rows) continue;
        std::swap(A[p], A[rk]);
        const Frac inv = Frac(1) / A[rk][c];
        for (auto& x : A[rk]) x = x * inv;
        for (index_t i = 0; i < rows; ++i) {
            if (i == rk || A[i][c].zero()) continue;
            const Frac f = A[i][c];
            for (index_t k = 0; k < cols; ++k) A[i][k] = A[i][k] - f * A[rk][k];
        }
        pivots.push_back(c);
        ++rk;
    }
    std::vector<std::vector<Frac>> basis;
    std::vector<char> is_pivot(static_cast<size_t>(cols), 0);
    for (const index_t c : pivots) is_pivot[c] = 1;
    for (index_t f = 0; f < cols; ++f) {
        if (is_pivot[f]) continue;
        std::vector<Frac> v(static_cast<size_t>(cols));
        v[f] = Frac(1);
        for (index_t k = 0; k < rk; ++k) v[pivots[k]] = -A[k][f];
        basis.push_back(v);
    }
    return basis;
}

// Determinant of an integer matrix by fraction-free (Bareiss) elimination.
i128 bareiss_det(std::vector<std::vector<i128>> M) {
    const auto n = static_cast<index_t>(M.size());
    if (n == 0) return 1;
    i128 sign = 1, prev = 1;
    for (index_t k = 0; k < n - 1; ++k) {
        if (M[k][k] == 0) {
            index_t p = k + 1;
            while (p < n && M[p][k] == 0) ++p;
            if (p == n) return 0;
            std::swap(M[p], M[k]);
            sign = -sign;
        }
        for (index_t i = k + 1; i < n; ++i)
            for (index_t j = k + 1; j < n; ++j)
                M[i][j] = ck_add(ck_mul(M[i][j], M[k][k]), -ck_mul(M[i][k], M[k][j])) / prev;
        prev = M[k][k];
    }
    return sign * M[n - 1][n - 1];
}

struct Reference {
    index_t K = 0, Lc = 0;
    std::vector<std::uint8_t> pattern;  // m x n
};

// Pattern of adj(A)[0:m, 0:n] for the A-matrix of (S, top) in exact arithmetic.
Reference reference(const QMat& S, const QMat& top, index_t m, index_t n) {
    QMat St = qzeros(n, m);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) St[j][i] = S[i][j];
    const auto C = kernel_basis(S, m, n);   // cycles, vectors of length n
    const auto D = kernel_basis(St, n, m);  // conservation laws, length m
    Reference ref;
    ref.K = static_cast<index_t>(C.size());
    ref.Lc = static_cast<index_t>(D.size());
    const index_t L = m + ref.K;
    EXPECT_EQ(L, n + ref.Lc);
    QMat A = qzeros(L, L);
    for (index_t j = 0; j < n; ++j) {
        for (index_t i = 0; i < m; ++i) A[j][i] = top[j][i];
        for (index_t k = 0; k < ref.K; ++k) A[j][m + k] = C[k][j];
    }
    for (index_t l = 0; l < ref.Lc; ++l)
        for (index_t i = 0; i < m; ++i) A[n + l][i] = D[l][i];
    // Row scaling to integers changes adj(A) by a column scaling only.
    std::vector<std::vector<i128>> Z(static_cast<size_t>(L),
                                     std::vector<i128>(static_cast<size_t>(L)));
    for (index_t i = 0; i < L; ++i) {
        i128 l = 1;
        for (index_t j = 0; j < L; ++j) l = ck_mul(l / gcd(l, A[i][j].d), A[i][j].d);
        for (index_t j = 0; j < L; ++j) Z[i][j] = ck_mul(A[i][j].n, l / A[i][j].d);
    }
    ref.pattern.assign(static_cast<size_t>(m * n), 0);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) {
            if (L == 1) {
                ref.pattern[i * n + j] = 1;
                continue;
            }
            std::vector<std::vector<i128>> minor;
            for (index_t a = 0; a < L; ++a) {
                if (a == j) continue;
                std::vector<i128> row;
                for (index_t b = 0; b < L; ++b)
                    if (b != i) row.push_back(Z[a][b]);
                minor.push_back(row);
            }
            ref.pattern[i * n + j] = bareiss_det(minor) != 0;
        }
    return ref;
}

// ------------------------------------------------------------- helpers

double to_double(const Frac& x) { return static_cast<double>(x.n) / static_cast<double>(x.d); }

Matrix<double> to_matrix(const QMat& A, index_t r, index_t c, double scale = 1.0) {
    Matrix<double> M(r, c);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < c; ++j) M(i, j) = to_double(A[i][j]) * scale;
    return M;
}

QMat qmat(std::initializer_list<std::initializer_list<long long>> rows) {
    QMat A;
    for (const auto& row : rows) {
        std::vector<Frac> r;
        for (const long long x : row) r.emplace_back(x);
        A.push_back(r);
    }
    return A;
}

struct Result {
    bool ok = false;
    Matrix<std::uint8_t> out;
};

Result run(const Matrix<double>& S, const Matrix<double>& top, index_t K, index_t Lc,
           std::uint8_t fill = 0) {
    Result res;
    res.out = Matrix<std::uint8_t>(S.rows(), S.cols(), fill);
    res.ok = quelmar::exact_sensitivity_pattern(S.view(), top.view(), K, Lc, res.out.view());
    return res;
}

void expect_pattern(const Matrix<std::uint8_t>& out, const std::vector<std::uint8_t>& expected,
                    index_t m, index_t n) {
    ASSERT_EQ(out.rows(), m);
    ASSERT_EQ(out.cols(), n);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            EXPECT_EQ(out(i, j), expected[i * n + j]) << "at (" << i << ", " << j << ")";
}

std::vector<std::uint8_t> flat(std::initializer_list<int> v) {
    return std::vector<std::uint8_t>(v.begin(), v.end());
}

// The exact pattern of the m x n network S with rates top equals that of the
// rational reference, which is returned.
Reference expect_reference_pattern(const QMat& S, const QMat& top, index_t m, index_t n) {
    const Reference ref = reference(S, top, m, n);
    const Result res = run(to_matrix(S, m, n), to_matrix(top, n, m), ref.K, ref.Lc);
    EXPECT_TRUE(res.ok);
    if (res.ok) expect_pattern(res.out, ref.pattern, m, n);
    return ref;
}

// ------------------------------------------------------------ crafted cases

TEST(ExactPattern, OneSpeciesTwoReactions) {
    // A = [[2, 1], [0, 1]]: adj = [[1, -1], [0, 2]], block [1, -1].
    const Result res = run(mat({{-1, 1}}), mat({{2}, {0}}), 1, 0);
    ASSERT_TRUE(res.ok);
    expect_pattern(res.out, flat({1, 1}), 1, 2);
}

TEST(ExactPattern, TwoSpeciesOneReactionWithConservation) {
    // A = [[2, 0], [1, 1]]: adj = [[1, 0], [-1, 2]], block [[1], [-1]].
    const Result res = run(mat({{-1}, {1}}), mat({{2, 0}}), 0, 1);
    ASSERT_TRUE(res.ok);
    expect_pattern(res.out, flat({1, 1}), 2, 1);
}

TEST(ExactPattern, OneByOne) {
    Matrix<double> S(1, 1, 3.0), top(1, 1, 0.0);
    Result res = run(S, top, 0, 0);  // adj of a 1 x 1 matrix is [[1]], even of [[0]]
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.out(0, 0), 1);
    top(0, 0) = -0.75;
    res = run(S, top, 0, 0);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.out(0, 0), 1);
}

TEST(ExactPattern, EmptyNetworks) {
    Matrix<double> S(0, 0), top(0, 0);
    Matrix<std::uint8_t> out(0, 0);
    EXPECT_TRUE(quelmar::exact_sensitivity_pattern(S.view(), top.view(), 0, 0, out.view()));
    // No species, two reactions: two cycles, nothing to report.
    Matrix<double> S2(0, 2), top2(2, 0);
    Matrix<std::uint8_t> out2(0, 2);
    EXPECT_TRUE(quelmar::exact_sensitivity_pattern(S2.view(), top2.view(), 2, 0, out2.view()));
    // Two species, no reactions: A is the identity of order 2, the block is empty.
    Matrix<double> S3(2, 0), top3(0, 2);
    Matrix<std::uint8_t> out3(2, 0);
    EXPECT_TRUE(quelmar::exact_sensitivity_pattern(S3.view(), top3.view(), 0, 2, out3.view()));
}

TEST(ExactPattern, ZeroStoichiometryGivesZeroBlock) {
    Matrix<double> S(2, 3, 0.0), top(3, 2, 1.5);
    const Result res = run(S, top, 3, 2, 0);
    ASSERT_TRUE(res.ok);
    expect_pattern(res.out, std::vector<std::uint8_t>(6, 0), 2, 3);
}

TEST(ExactPattern, RankDeficientByOne) {
    // Inflow -> X0 -> X1 -> outflow, only the middle rate depends on X0:
    // A = [[0, 0, 1], [1, 0, 1], [0, 0, 1]] has rank 2, adj = c e_1 (e_0 - e_2)^T.
    const QMat S = qmat({{1, -1, 0}, {0, 1, -1}});
    const QMat top = qmat({{0, 0}, {1, 0}, {0, 0}});
    const Reference ref = expect_reference_pattern(S, top, 2, 3);
    EXPECT_EQ(ref.K, 1);
    EXPECT_EQ(ref.Lc, 0);
    EXPECT_EQ(ref.pattern, flat({0, 0, 0, 1, 0, 1}));
}

TEST(ExactPattern, ConservedCycle) {
    // X0 -> X1 -> X2 -> X0 with one cycle and one conservation law.
    const QMat S = qmat({{-1, 0, 1}, {1, -1, 0}, {0, 1, -1}});
    const QMat top = qmat({{1, 0, 0}, {0, 0, 0}, {0, 0, 2}});
    const Reference ref = expect_reference_pattern(S, top, 3, 3);
    EXPECT_EQ(ref.K, 1);
    EXPECT_EQ(ref.Lc, 1);
}

TEST(ExactPattern, RankDeficientByTwo) {
    // Two species without regulation in an open chain without conservation laws:
    // two zero columns, every cofactor vanishes.
    const QMat S = qmat({{1, -1, 0, 0}, {0, 1, -1, 0}, {0, 0, 1, -1}});
    const QMat top = qmat({{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0}});
    const Reference ref = expect_reference_pattern(S, top, 3, 4);
    EXPECT_EQ(ref.K, 1);
    EXPECT_EQ(ref.Lc, 0);
    EXPECT_EQ(ref.pattern, std::vector<std::uint8_t>(12, 0));
}

TEST(ExactPattern, OpenChainWithBranch) {
    const QMat S =
        qmat({{1, -1, 0, 0, 0}, {0, 1, -1, 0, 0}, {0, 0, 1, -1, 1}, {0, 0, 0, 1, -1}});
    const QMat top = qmat({{0, 0, 0, 0}, {3, 0, 0, 0}, {0, 7, 0, 0}, {0, 0, 5, 0}, {0, 0, 0, 11}});
    expect_reference_pattern(S, top, 4, 5);
}

TEST(ExactPattern, OrsIntoOutput) {
    // A zero top block: A = [[0, 0], [1, 1]] has adj [[1, 0], [-1, 0]].
    const Matrix<double> S = mat({{-1}, {1}}), top(1, 2, 0.0);
    Matrix<std::uint8_t> out(2, 1, 0);
    ASSERT_TRUE(quelmar::exact_sensitivity_pattern(S.view(), top.view(), 0, 1, out.view()));
    EXPECT_EQ(out(0, 0), 1);
    EXPECT_EQ(out(1, 0), 1);
    // Two independent inflows with A = I: the off-diagonal entries are zero,
    // and a bit already set stays set.
    const Matrix<double> S2 = mat({{1, 0}, {0, 1}}), top2 = mat({{1, 0}, {0, 1}});
    Matrix<std::uint8_t> out2(2, 2, 0);
    out2(0, 1) = 1;
    ASSERT_TRUE(quelmar::exact_sensitivity_pattern(S2.view(), top2.view(), 0, 0, out2.view()));
    EXPECT_EQ(out2(0, 0), 1);
    EXPECT_EQ(out2(0, 1), 1);
    EXPECT_EQ(out2(1, 0), 0);
    EXPECT_EQ(out2(1, 1), 1);
}

TEST(ExactPattern, StridedViews) {
    // stoi given as the transpose of a stored matrix, out written through a
    // transposed view.
    const QMat S = qmat({{-1, 0, 1, 1}, {1, -1, 0, 0}, {0, 1, -1, -1}});
    const QMat top = qmat({{2, 0, 0}, {0, 3, 0}, {0, 0, 5}, {0, 0, 7}});
    const Reference ref = reference(S, top, 3, 4);
    Matrix<double> St(4, 3), topT(3, 4);
    for (index_t i = 0; i < 3; ++i)
        for (index_t j = 0; j < 4; ++j) {
            St(j, i) = to_double(S[i][j]);
            topT(i, j) = to_double(top[j][i]);
        }
    Matrix<std::uint8_t> outT(4, 3, 0);
    ASSERT_TRUE(quelmar::exact_sensitivity_pattern(St.view().transposed(),
                                                   topT.view().transposed(), ref.K, ref.Lc,
                                                   outT.view().transposed()));
    for (index_t i = 0; i < 3; ++i)
        for (index_t j = 0; j < 4; ++j) EXPECT_EQ(outT(j, i), ref.pattern[i * 4 + j]);
}

TEST(ExactPattern, UndecidableInputsLeaveOutputUntouched) {
    Matrix<double> S = mat({{-1, 1}}), top = mat({{inf}, {0}});
    Result res = run(S, top, 1, 0, 7);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.out(0, 0), 7);
    EXPECT_EQ(res.out(0, 1), 7);
    top(0, 0) = std::nan("");
    EXPECT_FALSE(run(S, top, 1, 0).ok);
    top(0, 0) = 1.0;
    S(0, 1) = inf;
    EXPECT_FALSE(run(S, top, 1, 0).ok);
    S(0, 1) = 1.0;
    EXPECT_FALSE(run(S, top, 1, 1).ok);  // m + K != n + Lc
    res = run(S, top, 2, 1, 7);          // consistent counts, but rank S is 1, not 0
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.out(0, 0), 7);
    Matrix<double> Z(1, 2, 0.0);
    EXPECT_FALSE(run(Z, top, 1, 0).ok);  // rank 0, not 1
    EXPECT_TRUE(run(S, top, 1, 0).ok);
}

TEST(ExactPattern, ThrowsOnBadShapes) {
    Matrix<double> S(1, 2, 1.0), top(2, 1, 0.0), small(1, 1, 0.0);
    Matrix<std::uint8_t> out(1, 2, 0), tiny(1, 1, 0);
    EXPECT_THROW(quelmar::exact_sensitivity_pattern(S.view(), top.view(), -1, -2, out.view()),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::exact_sensitivity_pattern(S.view(), small.view(), 1, 0, out.view()),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::exact_sensitivity_pattern(S.view(), top.view(), 1, 0, tiny.view()),
                 std::invalid_argument);
}

TEST(ExactPattern, PollExceptionPropagates) {
    const Matrix<double> S = mat({{-1, 1}}), top(2, 1, 1.0);
    Matrix<std::uint8_t> out(1, 2, 0);
    struct Stop {};
    quelmar::Poll poll{[](void*) { throw Stop{}; }, nullptr};
    EXPECT_THROW(
        quelmar::exact_sensitivity_pattern(S.view(), top.view(), 1, 0, out.view(), poll), Stop);
    EXPECT_EQ(out(0, 0), 0);
    EXPECT_EQ(out(0, 1), 0);
}

TEST(ExactPattern, ThirdsAreReadAsFractions) {
    // Row 2 is (row 0 + row 1) / 3.  In doubles the rows are independent (the
    // exact rank is 3); the tolerance-based reduction finds rank 2.
    QMat S = qmat({{1, 2, 0, -1}, {0, 1, 1, 0}, {0, 0, 0, 0}});
    for (index_t j = 0; j < 4; ++j) S[2][j] = (S[0][j] + S[1][j]) * Frac(1, 3);
    const QMat top = qmat({{1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {4, 0, 5}});
    const Reference ref = reference(S, top, 3, 4);
    ASSERT_EQ(ref.K, 2);
    ASSERT_EQ(ref.Lc, 1);
    const Matrix<double> Sd = to_matrix(S, 3, 4);
    Matrix<double> reg(3, 4, 0.0);
    for (index_t i = 0; i < 3; ++i)
        for (index_t j = 0; j < 4; ++j) reg(i, j) = to_double(top[j][i]);
    const Matrix<double> A = quelmar::construct_A(Sd.view(), reg.view());
    ASSERT_EQ(A.rows(), 3 + ref.K);
    const Result res = run(Sd, to_matrix(top, 4, 3), ref.K, ref.Lc);
    ASSERT_TRUE(res.ok);
    expect_pattern(res.out, ref.pattern, 3, 4);
}

TEST(ExactPattern, InexactCoefficientsFarFromFractionsAreRejected) {
    // 0.1234567 is no fraction with a small denominator; the exact rank is 2.
    const Matrix<double> S = mat({{1, 1}, {0.1234567, 0.1234567 + 1e-12}}), top(2, 2, 1.0);
    EXPECT_FALSE(run(S, top, 1, 1).ok);
    EXPECT_TRUE(run(S, top, 0, 0).ok);
}

TEST(ExactPattern, CountsFromConstructA) {
    // K and L from the A-matrix that the tolerance-based reduction builds.
    const QMat S =
        qmat({{-1, 0, 1, 0}, {1, -1, 0, 0}, {0, 1, -1, 1}, {0, 0, 0, -1}, {1, 0, 0, 0}});
    Matrix<double> Sd = to_matrix(S, 5, 4);
    Matrix<double> reg(5, 4, 0.0);
    for (index_t i = 0; i < 5; ++i)
        for (index_t j = 0; j < 4; ++j)
            if (Sd(i, j) < 0) reg(i, j) = inf;
    Matrix<double> A = quelmar::construct_A(Sd.view(), reg.view());
    const index_t L = A.rows();
    QMat top = qzeros(4, 5);
    double draw = 1.25;
    for (index_t j = 0; j < 4; ++j)
        for (index_t i = 0; i < 5; ++i)
            if (std::isinf(A(j, i))) {
                A(j, i) = draw;
                top[j][i] = Frac(static_cast<i128>(draw * 4), 4);
                draw += 0.5;
            }
    const Reference ref = reference(S, top, 5, 4);
    ASSERT_EQ(L - 5, ref.K);
    ASSERT_EQ(L - 4, ref.Lc);
    Matrix<std::uint8_t> out(5, 4, 0);
    const MatrixView<const double> Av = A.view();
    const MatrixView<const double> topv{Av.data, 4, 5, Av.stride0, Av.stride1};
    ASSERT_TRUE(quelmar::exact_sensitivity_pattern(Sd.view(), topv, L - 5, L - 4, out.view()));
    expect_pattern(out, ref.pattern, 5, 4);
}

// ------------------------------------------- random small networks, exact

struct SmallNet {
    index_t m = 0, n = 0;
    QMat S, top;
};

SmallNet random_small(std::mt19937_64& rng, int style) {
    std::uniform_int_distribution<int> dm(1, 5), dn(1, 6), coef(-2, 2), val(-3, 3), pct(0, 99);
    SmallNet net;
    for (;;) {
        net.m = dm(rng);
        net.n = dn(rng);
        net.S = qzeros(net.m, net.n);
        for (index_t i = 0; i < net.m; ++i)
            for (index_t j = 0; j < net.n; ++j)
                if (pct(rng) < 45) net.S[i][j] = Frac(coef(rng));
        if (style == 3 && net.n >= 2) {  // a duplicated reaction: a cycle
            for (index_t i = 0; i < net.m; ++i) net.S[i][net.n - 1] = net.S[i][0];
        }
        // m + K <= 8 keeps the cofactors within 128 bits.
        const index_t K = static_cast<index_t>(kernel_basis(net.S, net.m, net.n).size());
        if (net.m + K <= 8) break;
    }
    net.top = qzeros(net.n, net.m);
    for (index_t j = 0; j < net.n; ++j)
        for (index_t i = 0; i < net.m; ++i) {
            bool on;
            switch (style) {
                case 0: on = net.S[i][j].n < 0; break;      // reactants regulate
                case 1: on = pct(rng) < 40; break;          // arbitrary regulation
                default: on = !net.S[i][j].zero() && pct(rng) < 70; break;
            }
            if (!on) continue;
            int v = val(rng);
            if (style == 2) v = v == 0 ? 1 : v;
            net.top[j][i] = style == 1 ? Frac(v, 4) : Frac(v == 0 ? 2 : v);
        }
    if (style == 2 && net.m >= 2) {  // a species without regulation
        std::uniform_int_distribution<index_t> pick(0, net.m - 1);
        const index_t i = pick(rng);
        for (index_t j = 0; j < net.n; ++j) net.top[j][i] = Frac(0);
    }
    return net;
}

TEST(ExactPattern, MatchesRationalCofactorsOnRandomNetworks) {
    std::mt19937_64 rng(20240611);
    int checked = 0, skipped = 0, singular = 0, with_zeros = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const SmallNet net = random_small(rng, trial % 4);
        Reference ref;
        try {
            ref = reference(net.S, net.top, net.m, net.n);
        } catch (const Overflow&) {
            ++skipped;
            continue;
        }
        const index_t L = net.m + ref.K;
        // Scaling stoi and top by powers of two changes no pattern.
        const double s_scale = (trial % 3 == 0) ? 0.5 : (trial % 3 == 1 ? -4.0 : 1.0);
        const double t_scale = (trial % 5 == 0) ? 0.125 : 1.0;
        const Result res = run(to_matrix(net.S, net.m, net.n, s_scale),
                               to_matrix(net.top, net.n, net.m, t_scale), ref.K, ref.Lc);
        ASSERT_TRUE(res.ok) << "trial " << trial;
        bool all_zero = true, some_zero = false;
        for (index_t i = 0; i < net.m; ++i)
            for (index_t j = 0; j < net.n; ++j) {
                ASSERT_EQ(res.out(i, j), ref.pattern[i * net.n + j])
                    << "trial " << trial << " at (" << i << ", " << j << "), order " << L;
                if (ref.pattern[i * net.n + j]) all_zero = false; else some_zero = true;
            }
        if (all_zero) ++singular;
        if (some_zero) ++with_zeros;
        ++checked;
    }
    EXPECT_GE(checked, 550);
    EXPECT_LE(skipped, 50);
    EXPECT_GT(singular, 10);    // rank <= L - 2 cases occur
    EXPECT_GT(with_zeros, 100); // and exact zeros inside non-zero blocks
}

// -------------------------------- larger networks against a dense adjugate

// Arithmetic modulo a prime below 2^62.
struct BigField {
    std::uint64_t q;
    std::uint64_t mul(std::uint64_t a, std::uint64_t b) const {
        return static_cast<std::uint64_t>(static_cast<u128>(a) * b % q);
    }
    std::uint64_t add(std::uint64_t a, std::uint64_t b) const {
        const std::uint64_t s = a + b;
        return s >= q ? s - q : s;
    }
    std::uint64_t sub(std::uint64_t a, std::uint64_t b) const {
        return a >= b ? a - b : a + q - b;
    }
    std::uint64_t pow(std::uint64_t a, std::uint64_t e) const {
        std::uint64_t r = 1;
        while (e) {
            if (e & 1) r = mul(r, a);
            a = mul(a, a);
            e >>= 1;
        }
        return r;
    }
    std::uint64_t inv(std::uint64_t a) const { return pow(a, q - 2); }
    std::uint64_t of(double x) const {
        if (x == 0.0) return 0;
        int e = 0;
        const double f = std::frexp(std::abs(x), &e);
        auto mant = static_cast<std::uint64_t>(std::ldexp(f, 53));
        std::uint64_t v = mant % q;
        const int e2 = e - 53;
        v = e2 >= 0 ? mul(v, pow(2, static_cast<std::uint64_t>(e2)))
                    : mul(v, pow(inv(2), static_cast<std::uint64_t>(-e2)));
        return x < 0 ? sub(0, v) : v;
    }
};

using UMat = std::vector<std::vector<std::uint64_t>>;

// Reduced row echelon form in place; returns the pivot columns.
std::vector<index_t> rref_mod(const BigField& F, UMat& A, index_t rows, index_t cols) {
    std::vector<index_t> piv;
    index_t rk = 0;
    for (index_t c = 0; c < cols && rk < rows; ++c) {
        index_t p = rk;
        while (p < rows && A[p][c] == 0) ++p;
        if (p == rows) continue;
        std::swap(A[p], A[rk]);
        const std::uint64_t iv = F.inv(A[rk][c]);
        for (auto& x : A[rk]) x = F.mul(x, iv);
        for (index_t i = 0; i < rows; ++i) {
            if (i == rk || A[i][c] == 0) continue;
            const std::uint64_t f = A[i][c];
            for (index_t k = c; k < static_cast<index_t>(A[i].size()); ++k)
                A[i][k] = F.sub(A[i][k], F.mul(f, A[rk][k]));
        }
        piv.push_back(c);
        ++rk;
    }
    return piv;
}

UMat kernel_mod(const BigField& F, UMat A, index_t rows, index_t cols) {
    const auto piv = rref_mod(F, A, rows, cols);
    std::vector<char> is_p(static_cast<size_t>(cols), 0);
    for (const index_t c : piv) is_p[c] = 1;
    UMat basis;
    for (index_t f = 0; f < cols; ++f) {
        if (is_p[f]) continue;
        std::vector<std::uint64_t> v(static_cast<size_t>(cols), 0);
        v[f] = 1;
        for (index_t k = 0; k < static_cast<index_t>(piv.size()); ++k)
            v[piv[k]] = F.sub(0, A[k][f]);
        basis.push_back(v);
    }
    return basis;
}

// Pattern of adj(M) mod q for a square M of order r: the inverse when M is
// invertible, the product of null vectors when its rank is r - 1.  rank, if
// given, receives the rank of M.
std::vector<std::uint8_t> dense_adjugate_pattern(const BigField& F, const UMat& M, index_t r,
                                                 index_t* rank_out = nullptr) {
    std::vector<std::uint8_t> pat(static_cast<size_t>(r * r), 0);
    if (r == 1) {
        pat[0] = 1;
        if (rank_out) *rank_out = M[0][0] != 0;
        return pat;
    }
    UMat B(static_cast<size_t>(r), std::vector<std::uint64_t>(static_cast<size_t>(2 * r), 0));
    for (index_t i = 0; i < r; ++i) {
        for (index_t j = 0; j < r; ++j) B[i][j] = M[i][j];
        B[i][r + i] = 1;
    }
    const auto rank = static_cast<index_t>(rref_mod(F, B, r, r).size());
    if (rank_out) *rank_out = rank;
    if (rank == r) {
        for (index_t i = 0; i < r; ++i)
            for (index_t j = 0; j < r; ++j) pat[i * r + j] = B[i][r + j] != 0;
    } else if (rank == r - 1) {
        UMat Mt(static_cast<size_t>(r), std::vector<std::uint64_t>(static_cast<size_t>(r)));
        for (index_t i = 0; i < r; ++i)
            for (index_t j = 0; j < r; ++j) Mt[j][i] = M[i][j];
        const UMat u = kernel_mod(F, M, r, r), v = kernel_mod(F, Mt, r, r);
        for (index_t i = 0; i < r; ++i)
            for (index_t j = 0; j < r; ++j) pat[i * r + j] = u[0][i] != 0 && v[0][j] != 0;
    }
    return pat;
}

// Pattern of adj(A)[0:m, 0:n] mod q from the dense A-matrix.
std::vector<std::uint8_t> dense_pattern(const BigField& F, const Matrix<double>& S,
                                        const Matrix<double>& top, index_t& K, index_t& Lc,
                                        index_t& rank_A) {
    const index_t m = S.rows(), n = S.cols();
    UMat Sm(static_cast<size_t>(m), std::vector<std::uint64_t>(static_cast<size_t>(n)));
    UMat St(static_cast<size_t>(n), std::vector<std::uint64_t>(static_cast<size_t>(m)));
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) St[j][i] = Sm[i][j] = F.of(S(i, j));
    const UMat C = kernel_mod(F, Sm, m, n), D = kernel_mod(F, St, n, m);
    K = static_cast<index_t>(C.size());
    Lc = static_cast<index_t>(D.size());
    const index_t L = m + K;
    UMat A(static_cast<size_t>(L), std::vector<std::uint64_t>(static_cast<size_t>(L), 0));
    for (index_t j = 0; j < n; ++j) {
        for (index_t i = 0; i < m; ++i) A[j][i] = F.of(top(j, i));
        for (index_t k = 0; k < K; ++k) A[j][m + k] = C[k][j];
    }
    for (index_t l = 0; l < Lc; ++l)
        for (index_t i = 0; i < m; ++i) A[n + l][i] = D[l][i];
    rank_A = 0;
    const std::vector<std::uint8_t> adj = dense_adjugate_pattern(F, A, L, &rank_A);
    std::vector<std::uint8_t> pat(static_cast<size_t>(m * n), 0);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) pat[i * n + j] = adj[i * L + j];
    return pat;
}

// ------------------------------ the elimination against a dense reference


TEST(ExactPattern, EliminationMatchesDenseAdjugateModP) {
    // Dense and sparse matrices, with dependent columns or rows planted at
    // random positions (so that columns are moved to the end mid-panel), and
    // zero lines; orders around the block width, and on both sides of the
    // order up to which the elimination goes pivot by pivot.
    const std::int64_t p = 16777259;  // a prime in [2^24, 2^25 - 2^20]
    const BigField F{static_cast<std::uint64_t>(p)};
    std::mt19937_64 rng(77);
    std::uniform_int_distribution<std::int64_t> val(-(p / 2), p / 2);
    std::uniform_int_distribution<int> pct(0, 99);
    int kinds[3] = {0, 0, 0}, solved = 0;
    UMat B;
    static_assert(quelmar::modp::kUnblockedOrder == 160);
    for (int trial = 0; trial < 192; ++trial) {
        const index_t sizes[] = {1, 2, 3, 7, 63, 64, 65, 100, 129, 150, 160, 161};
        const index_t r = sizes[trial % 12];
        const int density = trial % 3 == 0 ? 4 : (trial % 3 == 1 ? 30 : 100);
        std::vector<std::int64_t> M(static_cast<size_t>(r * r), 0);
        for (auto& x : M)
            if (pct(rng) < density) x = val(rng);
        for (index_t i = 0; i < r && density < 100; ++i)  // keep most lines non-zero
            M[i * r + static_cast<index_t>(rng() % static_cast<std::uint64_t>(r))] = 1 + i;
        const int deps = trial % 4 == 3 ? 2 : (trial % 4 == 0 ? 0 : 1);
        for (int d = 0; d < deps && r > 2; ++d) {
            const auto target = static_cast<index_t>(rng() % static_cast<std::uint64_t>(r));
            const bool rows = pct(rng) < 40;
            const bool zero = pct(rng) < 20;
            for (index_t k = 0; k < r; ++k) {
                std::int64_t& x = rows ? M[target * r + k] : M[k * r + target];
                x = 0;
            }
            if (zero) continue;
            for (int t = 0; t < 3; ++t) {
                // Often include the last column, which the elimination swaps
                // with a dependent one.
                const auto any = static_cast<index_t>(rng() % static_cast<std::uint64_t>(r));
                const index_t src = t == 0 && trial % 2 == 0 ? r - 1 : any;
                if (src == target) continue;
                const std::int64_t f = val(rng) % 1000;
                for (index_t k = 0; k < r; ++k) {
                    std::int64_t& x = rows ? M[target * r + k] : M[k * r + target];
                    const std::int64_t y = rows ? M[src * r + k] : M[k * r + src];
                    const i128 sum = static_cast<i128>(x) + static_cast<i128>(f) * y;
                    x = static_cast<std::int64_t>(sum % p);
                }
            }
        }
        std::vector<double> Md(M.size());
        UMat Mu(static_cast<size_t>(r), std::vector<std::uint64_t>(static_cast<size_t>(r)));
        for (index_t i = 0; i < r; ++i)
            for (index_t j = 0; j < r; ++j) {
                const std::int64_t x = M[i * r + j];
                Md[i * r + j] = static_cast<double>(x);
                Mu[i][j] = static_cast<std::uint64_t>(x < 0 ? x + p : x);
            }
        const auto expected = dense_adjugate_pattern(F, Mu, r);
        const auto actual = quelmar::reference::adjugate_pattern_mod(Md, r, p);
        ASSERT_EQ(actual, expected) << "trial " << trial << ", order " << r;
        // The factorisation and the solves: the inverse, or singular.
        const auto by_lu = quelmar::reference::inverse_pattern_by_lu(Md, r, p);
        B = Mu;  // rank of M
        for (auto& row : B) row.resize(static_cast<size_t>(r));
        const bool invertible = static_cast<index_t>(rref_mod(F, B, r, r).size()) == r;
        if (invertible) {
            ASSERT_EQ(by_lu, expected) << "trial " << trial << ", order " << r;
            ++solved;
        } else {
            ASSERT_TRUE(by_lu.empty()) << "trial " << trial << ", order " << r;
        }
        std::size_t nz = 0;
        for (const auto x : expected) nz += x;
        ++kinds[nz == 0 ? 2 : (nz == expected.size() ? 0 : 1)];
    }
    EXPECT_GT(kinds[0], 10);  // dense inverses
    EXPECT_GT(kinds[1], 10);  // patterns with zeros (sparse inverses, rank one)
    EXPECT_GT(kinds[2], 10);  // rank <= r - 2
    EXPECT_GT(solved, 60);
}

struct BigNet {
    Matrix<double> S, top;
};

// A sparse network: every species is consumed by some reaction (while there
// are reactions for it), reactions convert one or two species into others with
// coefficients in {1, 2}, some are inflows or outflows, a few carry a
// coefficient 1/4.  Rates depend on the reactants and on some products with
// drawn values; `unregulated` species then lose all their regulation.
BigNet random_big(std::mt19937_64& rng, index_t m, index_t n, int unregulated) {
    std::uniform_int_distribution<index_t> sp(0, m - 1);
    std::uniform_int_distribution<int> pct(0, 99), co(1, 2);
    std::normal_distribution<double> normal(0.0, 10.0);
    std::vector<index_t> order(static_cast<size_t>(m));
    for (index_t i = 0; i < m; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    BigNet net{Matrix<double>(m, n, 0.0), Matrix<double>(n, m, 0.0)};
    for (index_t j = 0; j < n; ++j) {
        const int kind = pct(rng);
        const int reactants = j < m ? 1 + (kind < 30) : (kind < 8 ? 0 : (kind < 60 ? 1 : 2));
        const int products = kind >= 8 && kind < 18 ? 0 : (pct(rng) < 60 ? 1 : 2);
        for (int k = 0; k < reactants; ++k)
            net.S(k == 0 && j < m ? order[j] : sp(rng), j) -= co(rng);
        for (int k = 0; k < products; ++k) net.S(sp(rng), j) += co(rng);
        if (pct(rng) < 3) net.S(sp(rng), j) += 0.25 * co(rng);
    }
    for (index_t j = 0; j < n; ++j)
        for (index_t i = 0; i < m; ++i)
            if (net.S(i, j) < 0 || (net.S(i, j) > 0 && pct(rng) < 25))
                net.top(j, i) = normal(rng);
    for (int u = 0; u < unregulated; ++u) {
        const index_t i = sp(rng);
        for (index_t j = 0; j < n; ++j) net.top(j, i) = 0.0;
    }
    return net;
}

struct Tally {
    int full = 0, corank1 = 0, lower = 0, cells = 0, nonzero = 0, max_rank = 0;
};

void check_against_dense(const BigNet& net, std::uint64_t seed, Tally& tally) {
    const index_t m = net.S.rows(), n = net.S.cols();
    index_t K = 0, Lc = 0, K2 = 0, Lc2 = 0, rank = 0, rank2 = 0;
    const BigField F1{(std::uint64_t{1} << 61) - 1}, F2{(std::uint64_t{1} << 62) - 57};
    std::vector<std::uint8_t> ref = dense_pattern(F1, net.S, net.top, K, Lc, rank);
    const std::vector<std::uint8_t> ref2 = dense_pattern(F2, net.S, net.top, K2, Lc2, rank2);
    ASSERT_EQ(K, K2);
    ASSERT_EQ(Lc, Lc2);
    const index_t L = m + K;
    rank = std::max(rank, rank2);
    if (rank == L) ++tally.full; else if (rank == L - 1) ++tally.corank1; else ++tally.lower;
    tally.max_rank = std::max(tally.max_rank, static_cast<int>(n - K));
    for (std::size_t k = 0; k < ref.size(); ++k) {
        ref[k] = ref[k] | ref2[k];
        tally.nonzero += ref[k];
    }
    tally.cells += static_cast<int>(ref.size());
    const Result res = run(net.S, net.top, K, Lc);
    ASSERT_TRUE(res.ok) << "seed " << seed;
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            ASSERT_EQ(res.out(i, j), ref[i * n + j])
                << "seed " << seed << " at (" << i << ", " << j << ")";
}

void check_against_dense(std::uint64_t seed, index_t m, index_t n, int unregulated,
                         Tally& tally) {
    std::mt19937_64 rng(seed);
    check_against_dense(random_big(rng, m, n, unregulated), seed, tally);
}

TEST(ExactPattern, MatchesDenseModularAdjugateOnLargerNetworks) {
    // Ranks above the Gauss-Jordan block width, so several panels are used.
    Tally tally;
    check_against_dense(1, 150, 170, 0, tally);
    check_against_dense(2, 200, 180, 0, tally);
    check_against_dense(3, 90, 260, 0, tally);
    check_against_dense(4, 170, 140, 0, tally);
    check_against_dense(5, 260, 300, 0, tally);
    EXPECT_GE(tally.full, 3);
    EXPECT_GT(tally.max_rank, 3 * 64);
    EXPECT_GT(tally.nonzero, tally.cells / 10);
    EXPECT_LT(tally.nonzero, tally.cells);
}

TEST(ExactPattern, MatchesDenseModularAdjugateWhenSingular) {
    Tally tally;
    for (std::uint64_t seed = 11; seed < 17; ++seed)
        check_against_dense(seed, 120, 140, 1, tally);
    for (std::uint64_t seed = 21; seed < 24; ++seed)
        check_against_dense(seed, 110, 130, 2, tally);
    EXPECT_GE(tally.corank1, 2);
    EXPECT_GE(tally.lower, 1);
}

TEST(ExactPattern, MatchesDenseModularAdjugateWithEarlyDependentColumn) {
    // The last two reactions are inflows of species 0 and 1, and the rates
    // depend on species 1 not at all (even seeds) or exactly twice as much as
    // on species 0 (odd seeds): the columns of A for species 0 and 1 are
    // dependent, and so are two columns of the reduced matrix that the
    // elimination meets early and moves to the end.
    Tally tally;
    for (std::uint64_t seed = 31; seed < 43; ++seed) {
        std::mt19937_64 rng(seed);
        BigNet net = random_big(rng, 130, 150, 0);
        const index_t n = net.S.cols();
        for (index_t i = 0; i < net.S.rows(); ++i) net.S(i, n - 1) = net.S(i, n - 2) = 0.0;
        net.S(0, n - 1) = 1.0;
        net.S(1, n - 2) = 2.0;
        for (index_t j = 0; j < n; ++j)
            net.top(j, 1) = seed % 2 == 0 ? 0.0 : 2.0 * net.top(j, 0);
        check_against_dense(net, seed, tally);
    }
    EXPECT_GE(tally.corank1, 6);
}

TEST(ExactPattern, OneStoichiometryManyDraws) {
    // The work on the stoichiometry matrix is shared by the draws: each draw
    // gives what the one-shot function gives, whatever came before it
    // (networks with thirds, which need the fraction rule, and undecidable
    // ones among them).
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal(0.0, 10.0);
    int decided = 0, undecided = 0;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        std::mt19937_64 r(seed);
        BigNet net = random_big(r, 40 + static_cast<index_t>(seed), 50, seed % 3 == 0 ? 1 : 0);
        const index_t m = net.S.rows(), n = net.S.cols();
        if (seed % 4 == 1)
            for (index_t j = 0; j < n; ++j) net.S(m - 1, j) = (net.S(0, j) + net.S(1, j)) / 3.0;
        if (seed % 4 == 2) {  // dependent rows to within 1e-12, not exactly: undecidable
            for (index_t j = 0; j < n; ++j) net.S(m - 1, j) = 0.1234567 * net.S(0, j);
            for (index_t j = 0; j < n; ++j)
                if (net.S(0, j) != 0.0) {
                    net.S(m - 1, j) += 1e-12;
                    break;
                }
        }
        const Matrix<double> A = quelmar::construct_A(net.S.view(), net.top.view().transposed());
        const index_t K = A.rows() - m, Lc = A.rows() - n;
        quelmar::ExactSensitivity exact(net.S.view(), K, Lc);
        for (int draw = 0; draw < 3; ++draw) {
            for (index_t j = 0; j < n; ++j)
                for (index_t i = 0; i < m; ++i)
                    if (net.top(j, i) != 0.0) net.top(j, i) = normal(rng);
            const Result once = run(net.S, net.top, K, Lc, 2);
            Matrix<std::uint8_t> out(m, n, 2);
            ASSERT_EQ(exact.pattern(net.top.view(), out.view()), once.ok) << seed;
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j)
                    ASSERT_EQ(out(i, j), once.out(i, j)) << seed << " at " << i << ", " << j;
            ++(once.ok ? decided : undecided);
        }
    }
    EXPECT_GE(decided, 20);
    EXPECT_GE(undecided, 3);
}

TEST(ExactPattern, MatchesDenseModularAdjugateOnManyMediumNetworks) {
    Tally tally;
    for (std::uint64_t seed = 100; seed < 160; ++seed) {
        std::mt19937_64 r(seed);
        std::uniform_int_distribution<index_t> dm(3, 60), dn(3, 70);
        const index_t m = dm(r), n = dn(r);
        check_against_dense(seed, m, n, static_cast<int>(seed % 4 == 0), tally);
    }
    EXPECT_GE(tally.full, 20);
    EXPECT_GE(tally.corank1, 3);
}

// ------------------------------------------ the same results on threads

using quelmar::Vec;

// Centred residues mod p, about one in `zeros` of them 0.
Vec<double> residues(std::mt19937_64& rng, const quelmar::modp::Field& F, index_t count,
                     int zeros = 0) {
    std::uniform_int_distribution<std::int64_t> val(-(F.p / 2), F.p / 2);
    Vec<double> v(count);
    for (double& x : v)
        x = zeros > 0 && static_cast<int>(rng() % static_cast<std::uint64_t>(zeros)) == 0
                ? 0.0
                : static_cast<double>(val(rng));
    return v;
}

bool same_bits(const Vec<double>& a, const Vec<double>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(ModularThreads, ProductsAgreeBitForBit) {
    // Shapes below and above the size from which threads share a product,
    // with odd edges (rows not a multiple of the register tile, columns not a
    // multiple of 8, sums not a multiple of the reduction chunk) and strides
    // wider than the blocks.
    const quelmar::modp::Field F(16777259);
    std::mt19937_64 rng(11);
    struct Shape {
        index_t mr, nc, kd;
    };
    const Shape shapes[] = {{1, 1, 1},     {7, 9, 33},     {64, 300, 64},  {301, 517, 64},
                            {523, 611, 31}, {97, 1201, 77}, {1, 4099, 1031}, {2000, 9, 300},
                            {777, 16, 512}, {13, 2051, 200}};
    int threaded = 0;
    for (const Shape& s : shapes) {
        const index_t lda = s.kd + 3, ldb = s.nc + 5, ldc = s.nc + 7;
        const Vec<double> A = residues(rng, F, s.mr * lda, 5);
        const Vec<double> B = residues(rng, F, s.kd * ldb, 3);
        const Vec<double> C0 = residues(rng, F, s.mr * ldc);
        Vec<double> serial = C0, pack;
        quelmar::modp::gemm(F, s.mr, s.nc, s.kd, A.data(), lda, B.data(), ldb, serial.data(),
                            ldc, pack);
        threaded += s.mr * s.nc * s.kd >= quelmar::modp::kThreadedWork;
        for (const int threads : {2, 3, 8}) {
            quelmar::Team team(threads);
            Vec<double> C = C0;
            quelmar::modp::gemm(F, s.mr, s.nc, s.kd, A.data(), lda, B.data(), ldb, C.data(),
                                ldc, pack, &team);
            ASSERT_TRUE(same_bits(C, serial))
                << s.mr << " x " << s.nc << " x " << s.kd << " on " << threads << " threads";
        }
    }
    EXPECT_GE(threaded, 5);
}

TEST(ModularThreads, EliminationsAgreeBitForBit) {
    // Invertible matrices, and ones with one or two dependent columns (moved
    // to the end mid-panel), of orders on both sides of the one from which
    // the products of the elimination are shared out.
    const std::int64_t p = 16777259;
    const quelmar::modp::Field F(p);
    std::mt19937_64 rng(12);
    int kinds[3] = {0, 0, 0};
    for (const index_t r : {161, 203, 290, 333, 517}) {
        for (int deps = 0; deps < 3; ++deps) {
            const index_t ld = r + 3;
            Vec<double> M = residues(rng, F, r * ld, r % 2 == 0 ? 2 : 0);
            for (int d = 0; d < deps; ++d) {  // column c := column 0 + column 1 (mod p)
                const index_t c = r / 3 + 40 * d;
                for (index_t i = 0; i < r; ++i)
                    M[i * ld + c] = F.reduce(M[i * ld + 0] + M[i * ld + 1 + d]);
            }
            Vec<double> serial = M;
            Vec<index_t> perm, qperm, perm2, qperm2;
            quelmar::modp::GjWork w;
            const int d1 = quelmar::modp::gj_eliminate(F, serial.data(), r, ld, perm, qperm, w,
                                                       quelmar::Poll{});
            ASSERT_EQ(d1, std::min(deps, 2));
            ++kinds[d1];
            for (const int threads : {2, 3}) {
                quelmar::Team team(threads);
                Vec<double> T = M;
                quelmar::modp::GjWork w2;
                const int d2 = quelmar::modp::gj_eliminate(F, T.data(), r, ld, perm2, qperm2,
                                                           w2, quelmar::Poll{}, &team);
                ASSERT_EQ(d2, d1) << r;
                if (d1 == 2) continue;  // the matrix is undefined then
                ASSERT_EQ(perm2, perm) << r;
                ASSERT_EQ(qperm2, qperm) << r;
                ASSERT_TRUE(same_bits(T, serial)) << "order " << r << " on " << threads;
            }
            if (deps > 0) continue;
            // The factorisation, and solves with right-hand sides in numbers
            // that are not multiples of the groups of eight.
            Vec<double> LU = M;
            Vec<double> invdiag;
            ASSERT_TRUE(quelmar::modp::lu_factor(F, LU.data(), r, ld, perm, invdiag,
                                                 quelmar::Poll{}));
            for (const index_t nb : {index_t{1}, index_t{37}, r + 13}) {
                const index_t ldb = nb + 5;
                const Vec<double> B0 = residues(rng, F, r * ldb, 3);
                Vec<double> once = B0;
                quelmar::modp::lu_solve(F, LU.data(), r, ld, perm, invdiag, once.data(), nb, ldb);
                for (const int threads : {2, 3}) {
                    quelmar::Team team(threads);
                    Vec<double> B = B0;
                    quelmar::modp::lu_solve(F, LU.data(), r, ld, perm, invdiag, B.data(), nb,
                                            ldb, &team);
                    ASSERT_TRUE(same_bits(B, once)) << r << ", " << nb << " on " << threads;
                }
            }
        }
    }
    EXPECT_EQ(kinds[0], 5);
    EXPECT_EQ(kinds[1], 5);
}

TEST(ModularThreads, PatternsAgreeOnThreads) {
    // Networks whose reduced matrix is larger than the order from which the
    // elimination's products are shared out, one large enough for the
    // products with the stoichiometry matrix to be shared out too (r m above
    // a million), and a small one.
    for (const auto& [seed, m, n] : {std::tuple<std::uint64_t, index_t, index_t>{21, 400, 430},
                                     {22, 330, 300}, {24, 1100, 1150}, {23, 30, 40}}) {
        std::mt19937_64 rng(seed);
        const BigNet net = random_big(rng, m, n, 1);
        const Matrix<double> A = quelmar::construct_A(net.S.view(), net.top.view().transposed());
        const index_t K = A.rows() - m, Lc = A.rows() - n;
        const Result serial = run(net.S, net.top, K, Lc);
        ASSERT_TRUE(serial.ok) << seed;
        if (seed != 23) {
            EXPECT_GT(n - K, 256) << seed;
        }
        if (seed == 24) {
            EXPECT_GT((n - K) * m, index_t{1} << 20);
        }
        for (const int threads : {2, 4}) {
            if (seed == 24 && threads == 4) break;  // a second or so each
            Matrix<std::uint8_t> out(m, n, 0);
            ASSERT_TRUE(quelmar::exact_sensitivity_pattern(net.S.view(), net.top.view(), K, Lc,
                                                           out.view(), {}, threads));
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j)
                    ASSERT_EQ(out(i, j), serial.out(i, j)) << seed << " at " << i << ", " << j;
        }
        if (seed != 21) continue;
        // A poll that throws (an interrupt) at each of its first calls in
        // turn: the exception comes back through the team, which joins its
        // helpers, and out is left untouched.
        struct Stop {};
        struct Countdown {
            int left;
        };
        for (int after = 0; after < 60; after += 7) {
            Countdown c{after};
            const quelmar::Poll poll{[](void* ctx) {
                                         if (static_cast<Countdown*>(ctx)->left-- == 0)
                                             throw Stop{};
                                     },
                                     &c};
            Matrix<std::uint8_t> out(m, n, 0);
            EXPECT_THROW(quelmar::exact_sensitivity_pattern(net.S.view(), net.top.view(), K, Lc,
                                                            out.view(), poll, 2),
                         Stop)
                << after;
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j) ASSERT_EQ(out(i, j), 0);
        }
    }
}

TEST(ModularThreads, SharedLoopsCoverEachIterationOnceAndReturnExceptions) {
    for (const int threads : {1, 2, 5}) {
        quelmar::Team team(threads);
        EXPECT_EQ(team.size(), threads);
        const auto caller = std::this_thread::get_id();
        for (const index_t count : {1, 7, 100, 1001, 1001}) {  // one loop after another
            std::vector<std::atomic<int>> done(static_cast<size_t>(count));
            std::atomic<int> wrong{0};
            team.share_out(count, 8, [&](index_t b, index_t e, bool mine) {
                wrong += b % 8 != 0 || (e % 8 != 0 && e != count) || b >= e;
                wrong += mine != (std::this_thread::get_id() == caller);
                for (index_t i = b; i < e; ++i) ++done[static_cast<size_t>(i)];
            });
            EXPECT_EQ(wrong.load(), 0);
            for (const auto& d : done) ASSERT_EQ(d.load(), 1) << threads << ", " << count;
        }
        // An exception from any piece comes back to the caller, after the
        // pieces taken are done; the calling thread's own wins.
        EXPECT_THROW(team.share_out(1000, 8,
                                    [&](index_t b, index_t e, bool) {
                                        if (b <= 496 && 496 < e)
                                            throw std::runtime_error("one piece");
                                    }),
                     std::runtime_error);
        try {
            team.share_out(1000, 8, [&](index_t, index_t, bool mine) {
                if (mine) throw std::invalid_argument("caller");
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                throw std::runtime_error("helper");
            });
            FAIL() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "caller");
        }
        // and the team still works
        std::atomic<index_t> sum{0};
        team.share_out(1000, 8, [&](index_t b, index_t e, bool) { sum += e - b; });
        EXPECT_EQ(sum.load(), 1000);
    }
}

}  // namespace
