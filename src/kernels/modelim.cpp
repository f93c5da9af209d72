// Dense modular elimination: blocked and unblocked Gauss-Jordan, LU
// factorisation and triangular solves, the null vectors of corank one.
#include "modelim.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "vector_clones.hpp"

namespace quelmar::modp {

namespace {

void sub_scaled(index_t n, double f, const double* x, double* y) { add_scaled(n, -f, x, y); }

void reduce_all(const Field& F, double* A, index_t r, index_t ld) {
    for (index_t i = 0; i < r; ++i) reduce_n(F, r, A + i * ld);
}

// y = y - f * a - g * b over n entries, unreduced (two products per entry).
QUELMAR_VECTOR_CLONES
void sub_scaled2(index_t n, double f, const double* a, double g, const double* b, double* y) {
    for (index_t k = 0; k < n; ++k) y[k] -= f * a[k] + g * b[k];
}

// The pieces of the step that takes two pivots at once, shared by the
// Gauss-Jordan and the LU elimination (which differ in the rows and columns
// they update).

// Column k + 1 as the elimination of column k leaves it, reduced, in
// next[from .. r) (c: the pivot row's entry in column k + 1, before
// scaling); returns the first row from k + 1 on where it is non-zero (the
// second pivot row), or -1.
inline index_t second_pivot(const Field& F, const double* A, index_t ld, index_t r, index_t k,
                            index_t from, double c, double* next) {
    const double pd = F.pd, pinv = F.pinv;
    for (index_t i = from; i < r; ++i) {
        const double y = A[i * ld + k + 1] - A[i * ld + k] * c;
        next[i] = y - ((y * pinv + kMagic) - kMagic) * pd;
    }
    index_t q2 = k + 1;
    while (q2 < r && next[q2] == 0.0) ++q2;
    return q2 == r ? -1 : q2;
}

// Brings the second pivot row q2 to position k2: the rows of A (r columns),
// their entries of perm and of next.
inline void take_second_pivot_row(double* A, index_t ld, index_t r, index_t q2, index_t k2,
                                  Vec<index_t>& perm, Vec<double>& next) {
    if (q2 == k2) return;
    std::swap_ranges(A + q2 * ld, A + q2 * ld + r, A + k2 * ld);
    std::swap(perm[q2], perm[k2]);
    std::swap(next[q2], next[k2]);
}

// y -= f * a + g * b over n entries, in one pass when both multipliers are
// non-zero and skipping a zero one.
inline void sub_two(index_t n, double f, const double* a, double g, const double* b, double* y) {
    if (f != 0.0 && g != 0.0) {
        sub_scaled2(n, f, a, g, b, y);
    } else if (f != 0.0) {
        sub_scaled(n, f, a, y);
    } else if (g != 0.0) {
        sub_scaled(n, g, b, y);
    }
}

// The same elimination pivot by pivot, in place, for orders where the panels
// of the blocked one would be mostly scalar work.  Two consecutive pivots are
// applied to the other rows in one pass whenever the second column has one.
// Entries are reduced when used as pivots or multipliers, and all of them
// before kChunk - 1 products can have piled up on one.
QUELMAR_VECTOR_CLONES
int gj_unblocked(const Field& F, double* A, index_t r, index_t ld, Vec<index_t>& perm,
                 Vec<index_t>& qperm, const Poll& poll) {
    const double pd = F.pd, pinv = F.pinv;
    const auto red = [pd, pinv](double x) { return x - ((x * pinv + kMagic) - kMagic) * pd; };
    index_t k = 0, end = r;  // pivots done; columns at positions >= end are deferred
    index_t pending = 0;     // products added to an entry since all were reduced
    Vec<double> next(r);  // column k + 1 after the pivot of column k
    while (k < end) {
        if ((k & 15) == 0 || (k & 15) == 1) poll();
        if (pending > kChunk - 3) {
            reduce_all(F, A, r, ld);
            pending = 0;
        }
        for (index_t i = 0; i < r; ++i) A[i * ld + k] = red(A[i * ld + k]);
        index_t q = k;
        while (q < r && A[q * ld + k] == 0.0) ++q;
        if (q == r) q = -1;
        if (q < 0) {  // no pivot in this column: move it to the end
            if (r - end + 1 >= 2) return 2;
            const index_t e = --end;
            for (index_t i = 0; i < r; ++i) std::swap(A[i * ld + k], A[i * ld + e]);
            std::swap(qperm[k], qperm[e]);
            continue;
        }
        if (q != k) {
            std::swap_ranges(A + q * ld, A + q * ld + r, A + k * ld);
            std::swap(perm[q], perm[k]);
        }
        double* prow = A + k * ld;
        const double inv = F.inverse(prow[k]);
        for (index_t j = 0; j < r; ++j) prow[j] = red(red(prow[j]) * inv);
        prow[k] = inv;

        // The pivot of column k + 1, as the elimination of column k leaves it.
        const index_t q2 =
            k + 1 < end ? second_pivot(F, A, ld, r, k, 0, prow[k + 1], next.data()) : -1;
        if (q2 < 0) {  // one pivot: row i -= A[i, k] * prow, with A[i, k] first set to 0
            for (index_t i = 0; i < r; ++i) {
                if (i == k) continue;
                double* row = A + i * ld;
                const double f = row[k];
                row[k] = 0.0;
                if (f != 0.0) sub_scaled(r, f, prow, row);  // row[k] becomes -f * inv
            }
            ++k;
            ++pending;
            continue;
        }
        // Two pivots.  The second pivot row is row k + 1 after the first
        // pivot, normalised; the other rows take both in one pass, and the
        // first pivot row takes the second afterwards.
        const index_t k2 = k + 1;
        take_second_pivot_row(A, ld, r, q2, k2, perm, next);
        double* p2 = A + k2 * ld;
        const double f2 = p2[k];
        p2[k] = 0.0;
        sub_scaled(r, f2, prow, p2);
        const double inv2 = F.inverse(next[k2]);
        for (index_t j = 0; j < r; ++j) p2[j] = red(red(p2[j]) * inv2);
        p2[k2] = inv2;
        const double c = prow[k2];
        prow[k2] = 0.0;
        for (index_t i = 0; i < r; ++i) {
            if (i == k || i == k2) continue;
            double* row = A + i * ld;
            const double f = row[k], g = next[i];
            row[k] = row[k2] = 0.0;
            sub_two(r, f, prow, g, p2, row);
        }
        if (c != 0.0) {
            sub_scaled(r, c, p2, prow);
            reduce_n(F, r, prow);
        }
        k += 2;
        pending += 2;
    }
    reduce_all(F, A, r, ld);
    return static_cast<int>(r - end);
}

}  // namespace

int gj_eliminate(const Field& F, double* A, index_t r, index_t ld, Vec<index_t>& perm,
                 Vec<index_t>& qperm, GjWork& w, const Poll& poll, Team* team) {
    perm.resize(r);
    qperm.resize(r);
    for (index_t k = 0; k < r; ++k) perm[k] = qperm[k] = k;
    if (r <= kUnblockedOrder) return gj_unblocked(F, A, r, ld, perm, qperm, poll);
    const index_t nb = kPanel;
    w.panel.resize(r * nb);
    w.ainv.resize(nb * nb);
    w.T.resize(nb * ld);
    w.lneg.resize(r * nb);
    index_t k = 0, end = r;  // pivots done; columns at positions >= end are deferred
    while (k < end) {
        poll();
        index_t bw = std::min(nb, end - k);
        const index_t h = r - k;
        // LU with row interchanges of the panel (multipliers kept below the
        // diagonal) to choose the pivot rows; a column without a pivot is
        // swapped with the last active column.
        double* P = w.panel.data();
        share_out(team, h * bw >= kThreadedCopy, h, 8, [&](index_t i0, index_t i1, bool) {
            for (index_t i = i0; i < i1; ++i)
                for (index_t c = 0; c < bw; ++c) P[i * nb + c] = A[(k + i) * ld + k + c];
        });
        index_t c = 0;
        while (c < bw) {
            index_t q = c;
            while (q < h && P[q * nb + c] == 0.0) ++q;
            if (q < h) {
                if (q != c) {
                    std::swap_ranges(P + q * nb, P + q * nb + nb, P + c * nb);
                    std::swap_ranges(A + (k + q) * ld, A + (k + q) * ld + r, A + (k + c) * ld);
                    std::swap(perm[k + q], perm[k + c]);
                }
                const double inv = F.inverse(P[c * nb + c]);
                for (index_t i = c + 1; i < h; ++i) {
                    double* row = P + i * nb;
                    if (row[c] == 0.0) continue;
                    const double f = F.mul(row[c], inv);
                    row[c] = f;
                    axpy(F, bw - c - 1, -f, P + c * nb + c + 1, row + c + 1);
                }
                ++c;
                continue;
            }
            if (r - end + 1 >= 2) return 2;
            const index_t e = --end;
            for (index_t i = 0; i < r; ++i) std::swap(A[i * ld + k + c], A[i * ld + e]);
            std::swap(qperm[k + c], qperm[e]);
            if (e < k + bw) {  // the last active column is in the panel already
                if (e != k + c)
                    for (index_t i = 0; i < h; ++i) std::swap(P[i * nb + c], P[i * nb + e - k]);
                --bw;
            } else {  // bring it in and apply the panel's eliminations so far
                for (index_t i = 0; i < h; ++i) P[i * nb + c] = A[(k + i) * ld + k + c];
                for (index_t c2 = 0; c2 < c; ++c2) {
                    const double u = P[c2 * nb + c];
                    if (u == 0.0) continue;
                    for (index_t i = c2 + 1; i < h; ++i)
                        P[i * nb + c] = F.reduce(P[i * nb + c] - P[i * nb + c2] * u);
                }
            }
        }
        const index_t b = c;
        if (b == 0) break;
        // Inverse of the pivot block (its leading minors are non-zero).
        double* X = w.ainv.data();
        for (index_t i = 0; i < b; ++i)
            for (index_t j = 0; j < b; ++j) X[i * nb + j] = A[(k + i) * ld + k + j];
        for (index_t j = 0; j < b; ++j) {
            double* prow = X + j * nb;
            if (prow[j] == 0.0) throw std::logic_error("gj_eliminate: singular pivot block");
            const double inv = F.inverse(prow[j]);
            prow[j] = 1.0;
            for (index_t t = 0; t < b; ++t) prow[t] = F.mul(prow[t], inv);
            for (index_t i = 0; i < b; ++i) {
                if (i == j) continue;
                double* row = X + i * nb;
                const double f = -row[j];
                row[j] = 0.0;
                if (f != 0.0) axpy(F, b, f, prow, row);
            }
        }
        // T = X * A[K, :], with X itself in the pivot columns.
        double* T = w.T.data();
        std::fill(T, T + b * ld, 0.0);
        gemm(F, b, r, b, X, nb, A + k * ld, ld, T, ld, w.pack, team);
        for (index_t i = 0; i < b; ++i)
            for (index_t j = 0; j < b; ++j) T[i * ld + k + j] = X[i * nb + j];
        // Other rows: A[i, :] -= A[i, K] * T, where A[i, K] is first set to 0.
        double* Lm = w.lneg.data();
        share_out(team, r * b >= kThreadedCopy, r, 8, [&](index_t i0, index_t i1, bool) {
            for (index_t i = i0; i < i1; ++i) {
                if (i >= k && i < k + b) continue;
                for (index_t j = 0; j < b; ++j) {
                    Lm[i * nb + j] = -A[i * ld + k + j];
                    A[i * ld + k + j] = 0.0;
                }
            }
        });
        gemm(F, k, r, b, Lm, nb, T, ld, A, ld, w.pack, team);
        gemm(F, r - k - b, r, b, Lm + (k + b) * nb, nb, T, ld, A + (k + b) * ld, ld, w.pack,
             team);
        for (index_t i = 0; i < b; ++i) std::copy(T + i * ld, T + i * ld + r, A + (k + i) * ld);
        k += b;
    }
    return static_cast<int>(r - end);
}

QUELMAR_VECTOR_CLONES
bool lu_factor(const Field& F, double* A, index_t r, index_t ld, Vec<index_t>& perm,
               Vec<double>& invdiag, const Poll& poll) {
    perm.resize(r);
    invdiag.resize(r);
    for (index_t k = 0; k < r; ++k) perm[k] = k;
    index_t pending = 0;  // products added to a trailing entry since all were reduced
    Vec<double> next(r);  // column k + 1 below row k after the pivot of column k
    index_t k = 0;
    while (k < r) {
        if ((k & 31) <= 1) poll();
        if (pending > kChunk - 3) {
            for (index_t i = k; i < r; ++i) reduce_n(F, r - k, A + i * ld + k);
            pending = 0;
        }
        const double pd = F.pd, pinv = F.pinv;
        for (index_t i = k; i < r; ++i) {  // reduce column k (then find the pivot)
            double& x = A[i * ld + k];
            x -= ((x * pinv + kMagic) - kMagic) * pd;
        }
        index_t q = k;
        while (q < r && A[q * ld + k] == 0.0) ++q;
        if (q == r) return false;
        if (q != k) {
            std::swap_ranges(A + q * ld, A + q * ld + r, A + k * ld);
            std::swap(perm[q], perm[k]);
        }
        double* prow = A + k * ld;
        reduce_n(F, r - k, prow + k);
        const double inv = F.inverse(prow[k]);
        invdiag[k] = inv;
        for (index_t i = k + 1; i < r; ++i) {  // the multipliers of column k
            double& x = A[i * ld + k];
            const double y = x * inv;
            x = y - ((y * pinv + kMagic) - kMagic) * pd;
        }
        // The pivot of column k + 1 once column k is eliminated.
        const index_t q2 =
            k + 1 < r ? second_pivot(F, A, ld, r, k, k + 1, prow[k + 1], next.data()) : -1;
        if (q2 < 0) {  // one pivot (column k + 1, if any, is left to the next step)
            for (index_t i = k + 1; i < r; ++i) {
                double* row = A + i * ld;
                if (row[k] != 0.0) sub_scaled(r - k - 1, row[k], prow + k + 1, row + k + 1);
            }
            ++k;
            ++pending;
            continue;
        }
        // Two pivots: row k + 1 after the first is the second pivot row; the
        // rows below take both in one pass.
        const index_t k2 = k + 1;
        take_second_pivot_row(A, ld, r, q2, k2, perm, next);
        double* urow = A + k2 * ld;
        if (urow[k] != 0.0) sub_scaled(r - k2, urow[k], prow + k2, urow + k2);
        reduce_n(F, r - k2, urow + k2);
        const double inv2 = F.inverse(urow[k2]);
        invdiag[k2] = inv2;
        for (index_t i = k2 + 1; i < r; ++i) {
            double* row = A + i * ld;
            const double f = row[k];
            const double g = next[i] == 0.0 ? 0.0 : F.mul(next[i], inv2);
            row[k2] = g;
            sub_two(r - k2 - 1, f, prow + k2 + 1, g, urow + k2 + 1, row + k2 + 1);
        }
        k += 2;
        pending += 2;
    }
    return true;
}

namespace {

QUELMAR_VECTOR_CLONES
void solve_columns(const Field& F, const double* A, index_t r, index_t ld,
                   const Vec<index_t>& perm, const Vec<double>& invdiag, double* B,
                   index_t nb, index_t ldb) {
    // Eight right-hand sides at a time, each row of the result summed in
    // registers.
    constexpr index_t W = 8;
    const double pd = F.pd, pinv = F.pinv;
    Vec<double> Y(r * W);
    for (index_t c0 = 0; c0 < nb; c0 += W) {
        const index_t w = std::min(W, nb - c0);
        for (index_t k = 0; k < r; ++k) {
            const double* src = B + perm[k] * ldb + c0;
            double* dst = Y.data() + k * W;
            for (index_t c = 0; c < W; ++c) dst[c] = c < w ? src[c] : 0.0;
        }
        for (index_t pass = 0; pass < 2; ++pass) {  // L Y = P B, then U X = Y
            for (index_t t = 0; t < r; ++t) {
                const index_t i = pass == 0 ? t : r - 1 - t;
                const index_t k0 = pass == 0 ? 0 : i + 1, k1 = pass == 0 ? i : r;
                const double* a = A + i * ld;
                double acc[W];
                for (index_t c = 0; c < W; ++c) acc[c] = Y[i * W + c];
                index_t count = 0;
                for (index_t k = k0; k < k1; ++k) {
                    const double f = a[k];
                    if (f == 0.0) continue;
                    const double* x = Y.data() + k * W;
                    for (index_t c = 0; c < W; ++c) acc[c] -= f * x[c];
                    if (++count == kChunk - 1) {
                        for (index_t c = 0; c < W; ++c)
                            acc[c] -= ((acc[c] * pinv + kMagic) - kMagic) * pd;
                        count = 0;
                    }
                }
                for (index_t c = 0; c < W; ++c) acc[c] -= ((acc[c] * pinv + kMagic) - kMagic) * pd;
                if (pass == 1) {
                    const double d = invdiag[i];
                    for (index_t c = 0; c < W; ++c) {
                        acc[c] *= d;
                        acc[c] -= ((acc[c] * pinv + kMagic) - kMagic) * pd;
                    }
                }
                for (index_t c = 0; c < W; ++c) Y[i * W + c] = acc[c];
            }
        }
        for (index_t k = 0; k < r; ++k)
            for (index_t c = 0; c < w; ++c) B[k * ldb + c0 + c] = Y[k * W + c];
    }
}

}  // namespace

void lu_solve(const Field& F, const double* A, index_t r, index_t ld,
              const Vec<index_t>& perm, const Vec<double>& invdiag, double* B,
              index_t nb, index_t ldb, Team* team) {
    // Whole groups of eight right-hand sides to each piece.
    share_out(team, r * r * nb >= kThreadedWork, nb, 8, [&](index_t c0, index_t c1, bool) {
        solve_columns(F, A, r, ld, perm, invdiag, B + c0, c1 - c0, ldb);
    });
}

void corank_one_vectors(const double* G, index_t r, index_t ld,
                        const Vec<index_t>& perm, const Vec<index_t>& qperm,
                        Vec<double>& u, Vec<double>& v) {
    u.assign(r, 0.0);
    v.assign(r, 0.0);
    for (index_t k = 0; k + 1 < r; ++k) {
        u[qperm[k]] = -G[k * ld + r - 1];
        v[perm[k]] = G[(r - 1) * ld + k];
    }
    u[qperm[r - 1]] = 1.0;
    v[perm[r - 1]] = 1.0;
}

}  // namespace quelmar::modp
