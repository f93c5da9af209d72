// Dense linear algebra: reduced row echelon form, nullity with a null-space
// basis, LU determinant and adjugate by cofactors.
//
// The arithmetic of rref() is done in a fixed order (the pivot row divided by
// its pivot element by element, then row_k - f * row_r for every other row over
// whole rows), so that results are reproducible bit for bit against any other
// implementation of the same elimination.
#include "dense.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <functional>
#include <optional>
#include <string>
#include <thread>
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

namespace {

// A second thread for the elimination of rref(): the rows below and above a
// pivot are independent, each computed exactly as on one thread, so the
// result is the same bit for bit.  The rows are taken in chunks by whichever
// thread comes first; a helper that has not joined a pivot by the time the
// caller ran out of rows is left out of it, so a helper kept waiting by a
// busy machine delays nothing.
class RowHelper {
public:
    explicit RowHelper(std::function<void(index_t, index_t)> rows) : rows_(std::move(rows)) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            // no second thread: the caller does all
        }
    }
    RowHelper(const RowHelper&) = delete;
    RowHelper& operator=(const RowHelper&) = delete;
    ~RowHelper() {
        if (!thread_.joinable()) return;
        stop_.store(true);
        gen_.fetch_add(1, std::memory_order_release);
        gen_.notify_one();
        thread_.join();
    }

    /// rows_(from, to) over [0, count) in chunks, on this thread and the helper.
    void share(index_t count) {
        count_ = count;
        next_.store(0, std::memory_order_relaxed);
        const std::uint64_t g = gen_.load(std::memory_order_relaxed) + 1;
        if (thread_.joinable()) {
            gen_.store(g, std::memory_order_release);
            gen_.notify_one();
        }
        work();
        std::uint64_t before = g - 1;
        if (!thread_.joinable() ||
            joined_.compare_exchange_strong(before, g, std::memory_order_acq_rel))
            return;  // the helper did not join this one
        while (done_.load(std::memory_order_acquire) != g) std::this_thread::yield();
    }

private:
    static constexpr index_t kChunk = 16;

    void work() {
        for (;;) {
            const index_t from = next_.fetch_add(kChunk, std::memory_order_relaxed);
            if (from >= count_) return;
            rows_(from, std::min(count_, from + kChunk));
        }
    }

    void run() {
        std::uint64_t seen = 0;
        for (;;) {
            gen_.wait(seen, std::memory_order_acquire);
            const std::uint64_t g = gen_.load(std::memory_order_acquire);
            seen = g;
            if (stop_.load()) return;
            std::uint64_t before = g - 1;
            if (!joined_.compare_exchange_strong(before, g, std::memory_order_acq_rel))
                continue;  // the caller finished this one alone
            work();
            done_.store(g, std::memory_order_release);
        }
    }

    std::function<void(index_t, index_t)> rows_;
    index_t count_ = 0;
    std::atomic<index_t> next_{0};
    std::atomic<std::uint64_t> gen_{0}, joined_{0}, done_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

void rref(MatrixView<double> M, index_t nrows, index_t ncols, const Poll& poll, int threads) {
    if (nrows < 0 || ncols < 0 || nrows > M.rows || ncols > M.cols)
        throw std::invalid_argument("rref: block " + shape_str(nrows, ncols) +
                                    " exceeds the matrix " + shape_str(M.rows, M.cols));
    const bool contiguous = M.stride1 == static_cast<index_t>(sizeof(double));
    Vec<index_t> support;
    index_t r = 0;
    index_t j = 0;
    bool finite = true, sparse = false;
    // Eliminates column j with pivot row r from the rows [from, to).
    auto eliminate = [&](index_t from, index_t to) {
        for (index_t k = from; k < to; ++k) {
            if (k == r) continue;
            const double f = M(k, j);
            if (finite && f == 0.0) continue;
            if (sparse && std::isfinite(f)) {
                for (const index_t c : support) M(k, c) = M(k, c) - f * M(r, c);
            } else if (contiguous) {
                double* row_k = &M(k, 0);
                const double* row_r = &M(r, 0);
                for (index_t c = 0; c < ncols; ++c) row_k[c] = row_k[c] - f * row_r[c];
            } else {
                for (index_t c = 0; c < ncols; ++c) M(k, c) = M(k, c) - f * M(r, c);
            }
        }
    };
    // A helper only where the elimination is long enough to share.
    std::optional<RowHelper> helper;
    if (threads > 1 && nrows >= 256 && nrows * ncols >= (index_t{1} << 18))
        helper.emplace(eliminate);
    for (; j < ncols && r < nrows; ++j) {
        poll();
        index_t p = r;
        double best = std::abs(M(r, j));
        for (index_t i = r + 1; i < nrows; ++i) {
            const double a = std::abs(M(i, j));
            if (a > best) {
                best = a;
                p = i;
            }
        }
        if (is_zero(M(p, j))) continue;
        if (p != r) {
            for (index_t c = 0; c < ncols; ++c) std::swap(M(p, c), M(r, c));
        }
        const double v = M(r, j);
        for (index_t c = 0; c < ncols; ++c) M(r, c) = M(r, c) / v;
        // Stoichiometric matrices are sparse: skipping a term f * 0 with f and
        // the pivot row finite changes at most the sign of a zero, never a
        // value, so eliminate only across the pivot row's non-zero columns and
        // skip rows whose factor is zero.
        support.clear();
        finite = true;
        for (index_t c = 0; c < ncols; ++c) {
            const double x = M(r, c);
            if (x != 0.0) support.push_back(c);
            finite = finite && std::isfinite(x);
        }
        sparse = finite && 4 * static_cast<index_t>(support.size()) < ncols;
        if (helper)
            helper->share(nrows);
        else
            eliminate(0, nrows);
        ++r;
    }
}

index_t nullity(MatrixView<const double> M, MatrixView<double> work, index_t m, index_t n,
                const Poll& poll, int threads) {
    if (m < 0 || n < 0 || m > M.rows || n > M.cols)
        throw std::invalid_argument("nullity: block " + shape_str(m, n) +
                                    " exceeds the matrix " + shape_str(M.rows, M.cols));
    if (work.rows < n || work.cols < m + n)
        throw std::invalid_argument("nullity: work matrix " +
                                    shape_str(work.rows, work.cols) +
                                    " is smaller than " + shape_str(n, m + n));
    for (index_t i = 0; i < work.rows; ++i)
        for (index_t j = 0; j < work.cols; ++j) work(i, j) = 0.0;
    for (index_t i = 0; i < n; ++i) {
        for (index_t j = 0; j < m; ++j) work(i, j) = M(j, i);
        work(i, m + i) = 1.0;
    }
    rref(work, n, m + n, poll, threads);
    for (index_t i = 0; i < n; ++i) {
        const index_t row = n - 1 - i;
        for (index_t j = 0; j < m; ++j)
            if (!is_zero(work(row, j))) return i;
    }
    return n;
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
