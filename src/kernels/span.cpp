// Ranks by orthogonal projection with margins (see span.hpp).
#include "span.hpp"

#include <algorithm>
#include <cmath>

namespace quelmar::search_detail {

namespace {


// Margins: a residual r of a column of norm v is non-zero when
// |r| >= kRelNonzero v and |r| >= kAbsNonzero (far above the tolerance 1e-8
// of the elimination), zero when |r| <= kRelZero v (rounding noise) or
// |r| <= kAbsZero (far below the tolerance: the rounding noise that the
// conserved-quantity basis carries, for example).
constexpr double kRelNonzero = 1e-5;
constexpr double kAbsNonzero = 1e-6;
constexpr double kRelZero = 1e-10;
constexpr double kAbsZero = 1e-11;

double dot(const double* a, const double* b, index_t len) {
    double s = 0.0;
    for (index_t i = 0; i < len; ++i) s += a[i] * b[i];
    return s;
}

// Removes from x (len entries) its components along the k orthonormal vectors
// of B (stride ld, the first `used` entries of each), twice.
void project_out(const double* B, index_t k, index_t ld, index_t used, double* x) {
    for (int pass = 0; pass < 2; ++pass)
        for (index_t b = 0; b < k; ++b) {
            const double* q = B + b * ld;
            const double f = dot(q, x, used);
            if (f == 0.0) continue;
            for (index_t i = 0; i < used; ++i) x[i] -= f * q[i];
        }
}

// Pivoted Gram-Schmidt on the nc residual columns V (len entries each, their
// original norms in norm): appends the accepted unit vectors to basis (len
// entries each) and returns their number, or -1 when a decision is unclear.
index_t orthogonalise(Vec<double>& V, const Vec<double>& norm, index_t nc,
                      index_t len, Vec<double>& basis) {
    Vec<char> open(nc, 1);
    index_t added = 0;
    for (;;) {
        index_t best = -1;
        double best_ratio = -1.0, best_len = 0.0;
        for (index_t c = 0; c < nc; ++c) {
            if (open[c] == 0) continue;
            const double* x = V.data() + c * len;
            const double r = std::sqrt(dot(x, x, len));
            if (r <= kAbsZero || r <= kRelZero * norm[c]) {
                open[c] = 0;  // zero: adds nothing
                continue;
            }
            const double ratio = r / norm[c];
            if (ratio > best_ratio) {
                best_ratio = ratio;
                best = c;
                best_len = r;
            }
        }
        if (best < 0) return added;
        if (best_ratio < kRelNonzero || best_len < kAbsNonzero) return -1;
        open[best] = 0;
        const index_t at = basis.ssize();
        basis.resize(at + len);
        double* q = basis.data() + at;
        const double* x = V.data() + best * len;
        for (index_t i = 0; i < len; ++i) q[i] = x[i] / best_len;
        ++added;
        for (index_t c = 0; c < nc; ++c) {
            if (open[c] == 0) continue;
            project_out(q, 1, len, len, V.data() + c * len);
        }
    }
}

/// The columns `cols` of A as a dense column-major block V of `len` rows
/// (row i of A at position pos[i]), with the Euclidean norm of each column.
void gather(const Columns& A, const Vec<index_t>& cols, const Vec<index_t>& pos,
            index_t len, Vec<double>& V, Vec<double>& norm) {
    const auto nc = static_cast<index_t>(cols.size());
    V.assign(nc * len, 0.0);
    norm.assign(nc, 0.0);
    for (index_t c = 0; c < nc; ++c) {
        const index_t j = cols[c];
        for (index_t e = A.begin(j); e < A.end(j); ++e) {
            V[(c * len + pos[A.row[e]])] = A.val[e];
            norm[c] += A.val[e] * A.val[e];
        }
        norm[c] = std::sqrt(norm[c]);
    }
}

}  // namespace

Columns::Columns(MatrixView<const double> A) : ptr(A.cols + 1, 0) {
    for (index_t j = 0; j < A.cols; ++j) {
        for (index_t i = 0; i < A.rows; ++i) {
            const double x = A(i, j);
            if (x == 0.0) continue;
            row.push_back(i);
            val.push_back(x);
        }
        ptr[j + 1] = static_cast<index_t>(row.size());
    }
}

void Span::factor(const Columns& A, const Vec<index_t>& cols, Vec<index_t>& pos) {
    rows_.clear();
    for (const index_t j : cols)
        for (index_t e = A.begin(j); e < A.end(j); ++e) {
            const index_t i = A.row[e];
            if (pos[i] != -1) continue;
            pos[i] = 0;
            rows_.push_back(i);
        }
    std::sort(rows_.begin(), rows_.end());
    const auto len = static_cast<index_t>(rows_.size());
    for (index_t t = 0; t < len; ++t) pos[rows_[t]] = t;
    const auto nc = static_cast<index_t>(cols.size());
    Vec<double> V, norm;
    gather(A, cols, pos, len, V, norm);
    for (const index_t i : rows_) pos[i] = -1;
    Q_.clear();
    rank_ = orthogonalise(V, norm, nc, len, Q_);
    if (rank_ < 0) {
        Q_.clear();
        return;
    }
    Qt_.assign(len * rank_, 0.0);
    for (index_t b = 0; b < rank_; ++b)
        for (index_t t = 0; t < len; ++t) Qt_[t * rank_ + b] = Q_[b * len + t];
}

index_t Span::added_rank(const Columns& A, const Vec<index_t>& cols,
                         Vec<index_t>& pos) const {
    if (rank_ < 0) return -1;
    const auto nb = static_cast<index_t>(rows_.size());
    for (index_t t = 0; t < nb; ++t) pos[rows_[t]] = t;
    if (cols.size() == 1 && clearly_outside(A, cols[0], pos)) {
        for (const index_t i : rows_) pos[i] = -1;
        return 1;
    }
    // Rows outside the span's rows follow them.
    Vec<index_t> extra;
    for (const index_t j : cols)
        for (index_t e = A.begin(j); e < A.end(j); ++e) {
            const index_t i = A.row[e];
            if (pos[i] != -1) continue;
            pos[i] = nb + static_cast<index_t>(extra.size());
            extra.push_back(i);
        }
    const index_t len = nb + static_cast<index_t>(extra.size());
    const auto nc = static_cast<index_t>(cols.size());
    Vec<double> V, norm;
    gather(A, cols, pos, len, V, norm);
    for (const index_t i : rows_) pos[i] = -1;
    for (const index_t i : extra) pos[i] = -1;
    for (index_t c = 0; c < nc; ++c) project_out(Q_.data(), rank_, nb, nb, V.data() + c * len);
    Vec<double> basis;
    return orthogonalise(V, norm, nc, len, basis);
}

bool Span::clearly_outside(const Columns& A, index_t j, const Vec<index_t>& pos) const {
    // |s - Q Q^T s|^2 = |s|^2 - |Q^T s|^2, from the column's few entries; the
    // difference carries a rounding error of a few 1e-16 |s|^2, far below
    // the margin asked for (16 times the non-zero threshold squared).
    Vec<double>& P = scratch_;
    P.assign(rank_, 0.0);
    double s2 = 0.0;
    for (index_t e = A.begin(j); e < A.end(j); ++e) {
        const double v = A.val[e];
        s2 += v * v;
        const index_t t = pos[A.row[e]];
        if (t < 0) continue;
        const double* q = Qt_.data() + t * rank_;
        for (index_t b = 0; b < rank_; ++b) P[b] += v * q[b];
    }
    double p2 = 0.0;
    for (const double x : P) p2 += x * x;
    const double r2 = s2 - p2;
    const double need = std::max(kRelNonzero * kRelNonzero * s2, kAbsNonzero * kAbsNonzero);
    return r2 >= 16.0 * need;
}

}  // namespace quelmar::search_detail
