// Dense linear algebra: nullity with a null-space basis, LU determinant and
// adjugate by cofactors (rref() is in rref.cpp).
#include "dense.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "lapack.hpp"

namespace quelmar {

using checks::shape_str;

namespace {

bool is_zero(double x) { return std::abs(x) < TOL; }

// Leading n x n block of M stored contiguously, in C or in Fortran order.
bool leading_block_contiguous(const MatrixView<double>& M, index_t n) {
    if (n <= 1) return true;
    const auto item = static_cast<index_t>(sizeof(double));
    const bool c_order = M.stride1 == item && M.stride0 == n * item;
    const bool f_order = M.stride0 == item && M.stride1 == n * item;
    return c_order || f_order;
}

}  // namespace

void copy_transposed(MatrixView<const double> src, MatrixView<double> dst) {
    if (dst.rows != src.cols || dst.cols != src.rows)
        throw std::invalid_argument("copy_transposed: " + shape_str(src.rows, src.cols) +
                                    " into " + shape_str(dst.rows, dst.cols));
    constexpr index_t kTile = 32;
    for (index_t i0 = 0; i0 < src.rows; i0 += kTile) {
        const index_t i1 = std::min(src.rows, i0 + kTile);
        for (index_t j0 = 0; j0 < src.cols; j0 += kTile) {
            const index_t j1 = std::min(src.cols, j0 + kTile);
            for (index_t i = i0; i < i1; ++i)
                for (index_t j = j0; j < j1; ++j) dst(j, i) = src(i, j);
        }
    }
}

namespace {

index_t reduce_for_nullity(MatrixView<const double> M, MatrixView<double> work, index_t m,
                           index_t n, const Poll& poll, int threads, index_t settled) {
    if (m < 0 || n < 0 || m > M.rows || n > M.cols)
        throw std::invalid_argument("nullity: block " + shape_str(m, n) +
                                    " exceeds the matrix " + shape_str(M.rows, M.cols));
    if (work.rows < n || work.cols < m + n)
        throw std::invalid_argument("nullity: work matrix " +
                                    shape_str(work.rows, work.cols) +
                                    " is smaller than " + shape_str(n, m + n));
    for (index_t i = 0; i < work.rows; ++i)
        for (index_t j = 0; j < work.cols; ++j) work(i, j) = 0.0;
    copy_transposed(M.block(0, 0, m, n), work.block(0, 0, n, m));
    for (index_t i = 0; i < n; ++i) work(i, m + i) = 1.0;
    rref_settled(work, n, m + n, settled, poll, threads);
    // A row with a pivot among the first m columns keeps it (1, or NaN for a
    // pivot that is not finite: never zero), settled or not.
    for (index_t i = 0; i < n; ++i) {
        const index_t row = n - 1 - i;
        for (index_t j = 0; j < m; ++j)
            if (!is_zero(work(row, j))) return i;
    }
    return n;
}

}  // namespace

index_t nullity(MatrixView<const double> M, MatrixView<double> work, index_t m, index_t n,
                const Poll& poll, int threads) {
    return reduce_for_nullity(M, work, m, n, poll, threads, 0);
}

index_t null_space(MatrixView<const double> M, MatrixView<double> work, index_t m, index_t n,
                   const Poll& poll, int threads) {
    return reduce_for_nullity(M, work, m, n, poll, threads, m);
}

double det(MatrixView<double> M, index_t n) {
    if (n <= 0) return 0.0;
    if (n > M.rows || n > M.cols)
        throw std::invalid_argument("det: order " + std::to_string(n) +
                                    " exceeds the matrix " + shape_str(M.rows, M.cols));
    if (n > INT_MAX) throw std::overflow_error("det: order does not fit LAPACK's int");
    dgetrf_fn* dgetrf = get_dgetrf();
    if (dgetrf == nullptr) throw std::logic_error("det: no dgetrf has been installed");

    Vec<double> copy;
    MatrixView<double> lu = M;
    if (!leading_block_contiguous(M, n)) {
        const auto un = n;
        copy.resize(un * un);
        const auto item = static_cast<index_t>(sizeof(double));
        lu = {copy.data(), n, n, n * item, item};
        for (index_t i = 0; i < n; ++i)
            for (index_t j = 0; j < n; ++j) lu(i, j) = M(i, j);
    }

    int order = static_cast<int>(n);
    int lda = order;
    int info = 0;
    int small_ipiv[64];
    Vec<int> large_ipiv;
    int* ipiv = small_ipiv;
    if (n > 64) {
        large_ipiv.resize(n);
        ipiv = large_ipiv.data();
    }
    dgetrf(&order, &order, lu.data, &lda, ipiv, &info);
    if (info != 0) return std::nan("");
    double d = 1.0;
    for (index_t i = 0; i < n; ++i) {
        d *= lu(i, i);
        if (ipiv[i] != i + 1) d = -d;
    }
    return d;
}

void adjugate(MatrixView<double> A, index_t n, double* minors, const Poll& poll) {
    if (n <= 0) return;
    if (n > A.rows || n > A.cols)
        throw std::invalid_argument("adjugate: order " + std::to_string(n) +
                                    " exceeds the matrix " + shape_str(A.rows, A.cols));
    if (n == 1) {
        // The empty minor has determinant 1.
        A(0, 0) = 1.0;
        return;
    }
    const index_t k = n - 1;
    const auto item = static_cast<index_t>(sizeof(double));
    auto slot = [&](index_t r, index_t s) -> MatrixView<double> {
        return {minors + (r * n + s) * k * k, k, k, k * item, item};
    };
    for (index_t r = 0; r < n; ++r) {
        poll();
        for (index_t s = 0; s < n; ++s) {
            const MatrixView<double> minor = slot(r, s);
            for (index_t i = 0; i < k; ++i) {
                const index_t src_i = i < r ? i : i + 1;
                for (index_t j = 0; j < k; ++j) minor(i, j) = A(src_i, j < s ? j : j + 1);
            }
        }
    }
    for (index_t r = 0; r < n; ++r) {
        poll();
        for (index_t s = 0; s < n; ++s) {
            double d = det(slot(r, s), k);
            if ((r + s) % 2 != 0) d = -d;
            A(s, r) = d;
        }
    }
}

}  // namespace quelmar
