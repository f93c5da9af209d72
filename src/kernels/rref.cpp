// Reduced row echelon form: rref() and rref_panels() of dense.hpp.
//
// The arithmetic is fixed, so that results are reproducible bit for bit: for
// every pivot, the pivot row divided by its pivot element element by element,
// then row_k = row_k - f * row_r for every other row k, in pivot order.  Every
// element thus receives a fixed sequence of operations with fixed operands;
// any schedule that keeps that sequence gives the same bits.  Small matrices
// are reduced pivot after pivot over whole rows.  Large ones are reduced in
// panels of columns (a delayed update): the pivots of a panel are found on the
// panel's columns alone, and their updates are then applied to the other
// columns row by row, so that each row is read once per panel instead of once
// per pivot.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include "checks.hpp"
#include "dense.hpp"

namespace quelmar {

namespace {

bool is_zero(double x) { return std::abs(x) < TOL; }

// Blocks with fewer elements (2 MB of doubles) are reduced pivot after pivot:
// they stay in the caches, where the panels' bookkeeping costs more than it
// saves.
constexpr index_t kPanelsFrom = index_t{1} << 18;
// Columns per panel: on a genome-scale [S^T | I] (2583 x 4388), 128 columns
// took half the time of 32.
constexpr index_t kPanelWidth = 128;

// The elimination pivot after pivot, with the entries reached through
// at(i, j): a view with any strides, or a contiguous row-major block.
template <class At>
void rref_with(At at, index_t nrows, index_t ncols, const Poll& poll, index_t settled) {
    Vec<index_t> support;
    index_t r = 0;
    index_t dead = 0;  // rows 0 .. dead - 1: pivots in the first settled columns
    for (index_t j = 0; j < ncols && r < nrows; ++j) {
        poll();
        index_t p = r;
        double best = std::abs(at(r, j));
        for (index_t i = r + 1; i < nrows; ++i) {
            const double a = std::abs(at(i, j));
            if (a > best) {
                best = a;
                p = i;
            }
        }
        if (is_zero(at(p, j))) continue;
        if (p != r) {
            for (index_t c = 0; c < ncols; ++c) std::swap(at(p, c), at(r, c));
        }
        const double v = at(r, j);
        // Stoichiometric matrices are sparse: skipping a term f * 0 with f and
        // the pivot row finite changes at most the sign of a zero, never a
        // value, so eliminate only across the pivot row's non-zero columns
        // (when they are fewer than a quarter of the columns) and skip rows
        // whose factor is zero.  For the same reason a zero of the pivot row
        // is left as it is instead of divided by a finite pivot.
        support.clear();
        bool finite = true;
        const bool finite_pivot = std::isfinite(v);
        for (index_t c = 0; c < ncols; ++c) {
            double& y = at(r, c);
            if (finite_pivot && y == 0.0) continue;
            const double x = y / v;
            y = x;
            if (x != 0.0) support.push_back(c);
            finite = finite && std::isfinite(x);
        }
        const bool sparse = finite && 4 * static_cast<index_t>(support.size()) < ncols;
        for (index_t k = dead; k < nrows; ++k) {
            if (k == r) continue;
            const double f = at(k, j);
            if (finite && f == 0.0) continue;
            if (sparse && std::isfinite(f)) {
                for (const index_t c : support) at(k, c) = at(k, c) - f * at(r, c);
            } else {
                for (index_t c = 0; c < ncols; ++c) at(k, c) = at(k, c) - f * at(r, c);
            }
        }
        if (j < settled) dead = r + 1;
        ++r;
    }
}

// The same elimination in panels of columns, on a contiguous row-major block
// (row i at base + i * ld).
//
// For a panel, factor() copies the panel's columns of every row into a small
// row-major buffer and runs the panel's pivots there: the pivot search, the
// swap, the factor f of every row (read from the pivot column before the
// row's update, as always) and the update of the panel's columns.  A pivot
// row is brought up to date on the other columns just before it is divided
// (catch_up()).  update() then applies the panel's pivots, in order, to the
// other columns of every row, with the factors recorded.  A pivot row is not
// changed on the other columns between its division and update(), so update()
// reads the pivot rows in place (the sparse updates read a copy of the values
// on the support): first every other row (rows independent of each other, so
// shared out between threads), then the pivot rows in pivot order (each only
// reads later pivot rows, not yet updated).  Each element gets the
// operations, the operands and the order of rref_with(): the same bits.
class Panels {
public:
    Panels(double* base, index_t ld, index_t nrows, index_t ncols, index_t width,
           int threads, const Poll& poll, index_t settled)
        : base_(base), ld_(ld), nrows_(nrows), ncols_(ncols), width_(width),
          threads_(threads), poll_(poll), settled_(settled), F_(nrows * width),
          done_(nrows, 0) {}

    void run() {
        index_t r = 0;
        for (index_t j0 = 0; j0 < ncols_ && r < nrows_; j0 += width_) {
            j0_ = j0;
            w_ = std::min(width_, ncols_ - j0);
            load();
            r = factor(r);
            update();
            store();
        }
    }

private:
    struct Step {
        index_t r;       // pivot row
        bool finite;     // every value of the divided pivot row finite
        bool sparse;     // eliminated across the support only
        index_t begin;   // the support outside the panel: out_idx_/out_val_
        index_t end;     //   [begin, end)
    };

    double* row(index_t k) const { return base_ + k * ld_; }
    double* prow(index_t k) { return P_.data() + k * w_; }

    void load() {
        P_.resize(nrows_ * w_);
        for (index_t k = 0; k < nrows_; ++k)
            std::copy(row(k) + j0_, row(k) + j0_ + w_, prow(k));
    }

    void store() {
        for (index_t k = 0; k < nrows_; ++k)
            std::copy(prow(k), prow(k) + w_, row(k) + j0_);
    }

    // Runs the panel's pivots from row r on; returns the next pivot row.
    index_t factor(index_t r) {
        steps_.clear();
        out_idx_.clear();
        out_val_.clear();
        std::fill(done_.begin(), done_.end(), index_t{0});
        dead_before_ = dead_;
        for (index_t jj = 0; jj < w_ && r < nrows_; ++jj) {
            poll_();
            const auto t = static_cast<index_t>(steps_.size());
            index_t p = r;
            double best = std::abs(prow(r)[jj]);
            for (index_t i = r + 1; i < nrows_; ++i) {
                const double a = std::abs(prow(i)[jj]);
                if (a > best) {
                    best = a;
                    p = i;
                }
            }
            if (is_zero(prow(p)[jj])) continue;
            catch_up(p, t);
            if (p != r) swap_rows(p, r, t);

            double* const pr = prow(r);
            double* const ar = row(r);
            const double v = pr[jj];
            const bool finite_pivot = std::isfinite(v);
            bool finite = true;
            const auto begin = static_cast<index_t>(out_idx_.size());
            in_idx_.clear();
            auto divide = [&](double& y) {
                if (finite_pivot && y == 0.0) return false;
                const double x = y / v;
                y = x;
                finite = finite && std::isfinite(x);
                return x != 0.0;
            };
            for (index_t c = 0; c < ncols_; ++c) {
                if (c == j0_) {
                    for (index_t cc = 0; cc < w_; ++cc)
                        if (divide(pr[cc])) in_idx_.push_back(cc);
                    c += w_ - 1;
                    continue;
                }
                if (divide(ar[c])) {
                    out_idx_.push_back(c);
                    out_val_.push_back(ar[c]);
                }
            }
            const auto end = static_cast<index_t>(out_idx_.size());
            const index_t support = end - begin + static_cast<index_t>(in_idx_.size());
            const bool sparse = finite && 4 * support < ncols_;
            steps_.push_back({r, finite, sparse, begin, end});
            done_[r] = t + 1;

            for (index_t k = dead_; k < nrows_; ++k) {
                if (k == r) continue;
                double* const a = prow(k);
                const double f = a[jj];
                F_[k * width_ + t] = f;
                if (finite && f == 0.0) continue;
                if (sparse && std::isfinite(f)) {
                    for (const index_t cc : in_idx_) a[cc] = a[cc] - f * pr[cc];
                } else {
                    for (index_t cc = 0; cc < w_; ++cc) a[cc] = a[cc] - f * pr[cc];
                }
            }
            if (j0_ + jj < settled_) dead_ = r + 1;
            ++r;
        }
        return r;
    }

    // Applies the steps done_[k] .. upto - 1 to the columns of row k outside
    // the panel.
    void catch_up(index_t k, index_t upto) {
        double* const a = row(k);
        const double* const fk = F_.data() + k * width_;
        const index_t right = j0_ + w_;
        for (index_t t = done_[k]; t < upto; ++t) {
            const Step& s = steps_[t];
            const double f = fk[t];
            if (s.finite && f == 0.0) continue;
            if (s.sparse && std::isfinite(f)) {
                const index_t* const idx = out_idx_.data();
                const double* const val = out_val_.data();
                for (index_t e = s.begin; e < s.end; ++e) a[idx[e]] = a[idx[e]] - f * val[e];
            } else {
                const double* const p = row(s.r);
                for (index_t c = 0; c < j0_; ++c) a[c] = a[c] - f * p[c];
                for (index_t c = right; c < ncols_; ++c) a[c] = a[c] - f * p[c];
            }
        }
        done_[k] = upto;
    }

    void swap_rows(index_t p, index_t r, index_t t) {
        double* const a = row(p);
        double* const b = row(r);
        for (index_t c = 0; c < j0_; ++c) std::swap(a[c], b[c]);
        for (index_t c = j0_ + w_; c < ncols_; ++c) std::swap(a[c], b[c]);
        std::swap_ranges(prow(p), prow(p) + w_, prow(r));
        std::swap_ranges(F_.data() + p * width_, F_.data() + p * width_ + t,
                         F_.data() + r * width_);
        std::swap(done_[p], done_[r]);
    }

    void update() {
        const auto T = static_cast<index_t>(steps_.size());
        if (T == 0) return;
        const index_t first = steps_[0].r;
        // The rows that are not pivot rows of the panel and not settled
        // before it: q -> row.
        const index_t from = dead_before_;
        const index_t others = nrows_ - T - from;
        auto other = [&](index_t q) { return from + q < first ? from + q : from + q + T; };
        constexpr index_t kChunk = 64;
        const index_t chunks = (others + kChunk - 1) / kChunk;
        auto chunk = [&](index_t c) {
            const index_t hi = std::min(others, (c + 1) * kChunk);
            for (index_t q = c * kChunk; q < hi; ++q) catch_up(other(q), T);
        };
        if (threads_ > 1 && chunks > 1) {
            std::atomic<index_t> next{0};
            std::atomic<bool> stop{false};
            std::exception_ptr failed;
            auto work = [&](bool caller) {
                for (index_t c = next++; c < chunks && !stop.load(); c = next++) {
                    if (caller) poll_();
                    chunk(c);
                }
            };
            std::thread helper;
            try {
                helper = std::thread([&] {
                    try {
                        work(false);
                    } catch (...) {
                        failed = std::current_exception();
                        stop.store(true);
                    }
                });
            } catch (...) {
                // No thread to be had: the caller updates every row.
            }
            try {
                work(true);
            } catch (...) {
                stop.store(true);
                if (helper.joinable()) helper.join();
                throw;
            }
            if (helper.joinable()) helper.join();
            if (failed) std::rethrow_exception(failed);
        } else {
            for (index_t c = 0; c < chunks; ++c) {
                poll_();
                chunk(c);
            }
        }
        for (index_t k = std::max(first, dead_); k < first + T; ++k) catch_up(k, T);
    }

    double* base_;
    index_t ld_;
    index_t nrows_;
    index_t ncols_;
    index_t width_;
    int threads_;
    const Poll& poll_;
    index_t settled_;       // rows with a pivot in columns 0 .. settled_ - 1
    index_t dead_ = 0;      //   are rows 0 .. dead_ - 1 and change no more
    index_t dead_before_ = 0;  // dead_ when the panel began
    index_t j0_ = 0;  // the panel: columns j0_ .. j0_ + w_ - 1
    index_t w_ = 0;
    Vec<double> P_;         // the panel's columns, nrows_ x w_ row-major
    Vec<double> F_;         // factors: F_[k * width_ + t], row k at step t
    Vec<index_t> done_;     // steps applied to row k outside the panel
    Vec<Step> steps_;
    Vec<index_t> in_idx_;   // the current pivot row's support in the panel
    Vec<index_t> out_idx_;  // the supports outside the panel, and the values
    Vec<double> out_val_;
};

void check_block(const MatrixView<double>& M, index_t nrows, index_t ncols) {
    if (nrows < 0 || ncols < 0 || nrows > M.rows || ncols > M.cols)
        throw std::invalid_argument("rref: block " + checks::shape_str(nrows, ncols) +
                                    " exceeds the matrix " +
                                    checks::shape_str(M.rows, M.cols));
}

bool row_major(const MatrixView<double>& M) {
    const auto item = static_cast<index_t>(sizeof(double));
    return M.stride1 == item && M.stride0 % item == 0;
}

// Panels on the block of M, copied into a contiguous matrix and back if M is
// not row-major.
void by_panels(MatrixView<double> M, index_t nrows, index_t ncols, index_t width, int threads,
               const Poll& poll, index_t settled) {
    if (nrows == 0 || ncols == 0) return;
    width = std::min(width, ncols);
    if (row_major(M)) {
        Panels(M.data, M.stride0 / static_cast<index_t>(sizeof(double)), nrows, ncols, width,
               threads, poll, settled)
            .run();
        return;
    }
    Matrix<double> copy(nrows, ncols);
    for (index_t i = 0; i < nrows; ++i)
        for (index_t j = 0; j < ncols; ++j) copy(i, j) = M(i, j);
    Panels(copy.view().data, ncols, nrows, ncols, width, threads, poll, settled).run();
    for (index_t i = 0; i < nrows; ++i)
        for (index_t j = 0; j < ncols; ++j) M(i, j) = copy(i, j);
}

}  // namespace

void rref(MatrixView<double> M, index_t nrows, index_t ncols, const Poll& poll, int threads) {
    rref_settled(M, nrows, ncols, 0, poll, threads);
}

void rref_settled(MatrixView<double> M, index_t nrows, index_t ncols, index_t settled,
                  const Poll& poll, int threads) {
    check_block(M, nrows, ncols);
    if (nrows * ncols >= kPanelsFrom) {
        by_panels(M, nrows, ncols, kPanelWidth, threads, poll, settled);
    } else if (row_major(M)) {
        double* const base = M.data;
        const index_t ld = M.stride0 / static_cast<index_t>(sizeof(double));
        rref_with([base, ld](index_t i, index_t j) -> double& { return base[i * ld + j]; },
                  nrows, ncols, poll, settled);
    } else {
        rref_with([&M](index_t i, index_t j) -> double& { return M(i, j); }, nrows, ncols,
                  poll, settled);
    }
}

void rref_panels(MatrixView<double> M, index_t nrows, index_t ncols, index_t width,
                 const Poll& poll, int threads, index_t settled) {
    check_block(M, nrows, ncols);
    if (width < 1) throw std::invalid_argument("rref_panels: the panel width must be positive");
    by_panels(M, nrows, ncols, width, threads, poll, settled);
}

}  // namespace quelmar
