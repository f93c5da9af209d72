// Verdicts of nearly whole selections from one factorisation (complement.hpp).
#include "complement.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "dense.hpp"

namespace quelmar::search_detail {

namespace {


// Margins for the residual lengths of restricted orthonormal vectors (at most
// 1): non-zero from kNonzero on, zero up to kZero, undecided in between.
constexpr double kNonzero = 1e-5;
constexpr double kZero = 1e-10;

int to_int(index_t v) {
    if (v > std::numeric_limits<int>::max()) throw std::length_error("matrix too large for LAPACK");
    return static_cast<int>(v);
}

// dgesdd of the rows x cols column-major A (destroyed): singular values s,
// U (rows x rows) and Vt (cols x cols).  False if LAPACK reports a failure.
bool svd(dgesdd_fn* fn, index_t rows, index_t cols, Vec<double>& A,
         Vec<double>& s, Vec<double>& U, Vec<double>& Vt) {
    char jobz = 'A';
    int m = to_int(rows), n = to_int(cols), lda = std::max(1, m);
    int ldu = std::max(1, m), ldvt = std::max(1, n);
    s.assign(std::min(rows, cols), 0.0);
    U.assign(rows * rows, 0.0);
    Vt.assign(cols * cols, 0.0);
    Vec<int> iwork(8 * std::max<index_t>(1, std::min(rows, cols)));
    int lwork = -1, info = 0;
    double query = 0.0;
    fn(&jobz, &m, &n, A.data(), &lda, s.data(), U.data(), &ldu, Vt.data(), &ldvt, &query,
       &lwork, iwork.data(), &info);
    if (info != 0) return false;
    lwork = std::max(1, static_cast<int>(query));
    Vec<double> work(lwork);
    fn(&jobz, &m, &n, A.data(), &lda, s.data(), U.data(), &ldu, Vt.data(), &ldvt, work.data(),
       &lwork, iwork.data(), &info);
    return info == 0;
}

// The rank of a whole matrix from its singular values: a clear gap is asked
// for between the values kept (far above the elimination's tolerance 1e-8)
// and those dropped (rounding noise); -1 without one.
index_t whole_rank(const Vec<double>& s) {
    const double top = s.empty() ? 0.0 : s.front();
    const double hi = std::max(1e-6, 1e-9 * top);
    const double lo = 1e-11 * std::max(1.0, top);
    index_t r = 0;
    for (const double x : s) {
        if (!std::isfinite(x)) return -1;
        if (x >= hi)
            ++r;
        else if (x > lo)
            return -1;
    }
    return r;
}

// The loops over lanes below are compiled for AVX-512 and AVX2 as well as
// the baseline, and the processor picks one at load time: each lane's
// operations (IEEE additions, subtractions and multiplications, never fused)
// give the same results in each.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QUELMAR_LANE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define QUELMAR_LANE_CLONES
#endif

// Four lanes of doubles: element-wise IEEE operations (GCC and Clang vector
// extensions), compiled as two SSE2 operations or one AVX operation.
using Lanes = double __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 4;

// Lanes lane .. lane + 4 N - 1 of X (entry i of lane j at X[i * ld + j], len
// entries): two passes of x - (q . x) q each, and then the squared length of
// each in sq.  Every inner product is a running sum over i in order from 0.0,
// every update x[i] - f * q[i]: the arithmetic of one vector at a time, with
// the running sums of 4 N vectors held side by side.
template <std::size_t N>
QUELMAR_LANE_CLONES void project_lanes(const double* q, double* X, index_t ld, index_t len,
                                       index_t lane, double* sq) {
    Lanes f[N], g[N], s[N], x;
    for (std::size_t t = 0; t < N; ++t) f[t] = g[t] = s[t] = Lanes{};
    for (index_t i = 0; i < len; ++i) {
        const double qs = q[i];
        const Lanes qi = {qs, qs, qs, qs};
        const double* row = X + i * ld + lane;
        for (std::size_t t = 0; t < N; ++t) {
            std::memcpy(&x, row + kLanes * t, sizeof x);
            f[t] = f[t] + qi * x;
        }
    }
    for (index_t i = 0; i < len; ++i) {
        const double qs = q[i];
        const Lanes qi = {qs, qs, qs, qs};
        double* row = X + i * ld + lane;
        for (std::size_t t = 0; t < N; ++t) {
            std::memcpy(&x, row + kLanes * t, sizeof x);
            x = x - f[t] * qi;
            std::memcpy(row + kLanes * t, &x, sizeof x);
            g[t] = g[t] + qi * x;
        }
    }
    for (index_t i = 0; i < len; ++i) {
        const double qs = q[i];
        const Lanes qi = {qs, qs, qs, qs};
        double* row = X + i * ld + lane;
        for (std::size_t t = 0; t < N; ++t) {
            std::memcpy(&x, row + kLanes * t, sizeof x);
            x = x - g[t] * qi;
            std::memcpy(row + kLanes * t, &x, sizeof x);
            s[t] = s[t] + x * x;
        }
    }
    std::memcpy(sq + lane, s, sizeof s);
}

// The squared lengths of lanes lane .. lane + 4 N - 1 of X, as running sums.
template <std::size_t N>
QUELMAR_LANE_CLONES void square_lanes(const double* X, index_t ld, index_t len, index_t lane,
                                      double* sq) {
    Lanes s[N], x;
    for (std::size_t t = 0; t < N; ++t) s[t] = Lanes{};
    for (index_t i = 0; i < len; ++i) {
        const double* row = X + i * ld + lane;
        for (std::size_t t = 0; t < N; ++t) {
            std::memcpy(&x, row + kLanes * t, sizeof x);
            s[t] = s[t] + x * x;
        }
    }
    std::memcpy(sq + lane, s, sizeof s);
}

// dots[col + t] = v . (column col + t of Zt) for t < 4 N (Zt: len rows of ld
// entries), each a running sum over the rows in order from 0.0.
template <std::size_t N>
QUELMAR_LANE_CLONES void dot_columns(const double* v, const double* Zt, index_t ld,
                                     index_t len, index_t col, double* dots) {
    Lanes d[N], z;
    for (std::size_t t = 0; t < N; ++t) d[t] = Lanes{};
    for (index_t k = 0; k < len; ++k) {
        const double vs = v[k];
        const Lanes vk = {vs, vs, vs, vs};
        const double* row = Zt + k * ld + col;
        for (std::size_t t = 0; t < N; ++t) {
            std::memcpy(&z, row + kLanes * t, sizeof z);
            d[t] = d[t] + vk * z;
        }
    }
    std::memcpy(dots + col, d, sizeof d);
}

// count rounded up to whole groups of lanes.
index_t padded(index_t count) {
    const auto group = static_cast<index_t>(kLanes);
    return (count + group - 1) / group * group;
}

// block.template operator()<N>(j) over groups of 4 N of the positions
// 0 .. padded(count) - 1 (N = 2, then 1 for a last group of 4).
template <class Block>
void by_lanes(index_t count, Block block) {
    constexpr auto wide = static_cast<index_t>(2 * kLanes);
    const index_t end = padded(count);
    index_t j = 0;
    for (; j + wide <= end; j += wide) block.template operator()<2>(j);
    if (j < end) block.template operator()<1>(j);
}

}  // namespace

WholeFactors::WholeFactors(MatrixView<const double> stoi, MatrixView<const double> DT,
                           dgesdd_fn* fn, const QrRoutines& qr)
    : m_(stoi.rows), n_(stoi.cols), l_(DT.rows) {
    if (fn == nullptr || DT.cols != m_) return;
    if (!(qr.complete() && m_ > 0 && n_ > 0 && by_qr(stoi, DT, qr)) && !by_svd(stoi, fn)) return;

    Vec<double> D(l_ * m_), sD, UD;
    for (index_t j = 0; j < m_; ++j)
        for (index_t i = 0; i < l_; ++i) D[i + j * l_] = DT(i, j);
    if (l_ > 0 && m_ > 0) {
        if (!svd(fn, l_, m_, D, sD, UD, VtD_)) return;
    } else {
        VtD_.assign(m_ * m_, 0.0);
        for (index_t j = 0; j < m_; ++j) VtD_[j + j * m_] = 1.0;
    }
    rD_ = whole_rank(sD);
    if (rD_ < 0) return;
    DTn_.assign(l_ * m_, 0.0);
    for (index_t q = 0; q < l_; ++q) {
        double* row = DTn_.data() + q * m_;
        for (index_t j = 0; j < m_; ++j) row[j] = DT(q, j);
        const double norm = std::sqrt(std::inner_product(row, row + m_, row, 0.0));
        if (!std::isfinite(norm)) return;
        if (norm > 0.0)
            for (index_t j = 0; j < m_; ++j) row[j] /= norm;
    }
    usable_ = true;
}

bool WholeFactors::by_svd(MatrixView<const double> stoi, dgesdd_fn* fn) {
    Vec<double> A(m_ * n_), U;
    for (index_t j = 0; j < n_; ++j)
        for (index_t i = 0; i < m_; ++i) A[i + j * m_] = stoi(i, j);
    if (m_ > 0 && n_ > 0) {
        if (!svd(fn, m_, n_, A, s_, U, Vt_)) return false;
    } else {
        s_.clear();
        U.assign(m_ * m_, 0.0);
        Vt_.assign(n_ * n_, 0.0);
        for (index_t i = 0; i < m_; ++i) U[i + i * m_] = 1.0;
        for (index_t j = 0; j < n_; ++j) Vt_[j + j * n_] = 1.0;
    }
    r_ = whole_rank(s_);
    if (r_ < 0) return false;
    Ur_.assign(m_ * r_, 0.0);
    for (index_t k = 0; k < r_; ++k)
        for (index_t i = 0; i < m_; ++i) Ur_[i * r_ + k] = U[i + k * m_];
    for (const double u : Ur_)
        if (!std::isfinite(u)) return false;
    // the left singular vectors past r, one after the other
    LN_.assign(U.begin() + r_ * m_, U.end());
    return true;
}

bool WholeFactors::by_qr(MatrixView<const double> stoi, MatrixView<const double> DT,
                         const QrRoutines& qr) {
    // S^T (n x m, column-major) = Q R P^T
    const index_t kq = std::min(m_, n_);
    const index_t r = m_ - l_;  // the rank the conserved quantities imply
    if (r < 0 || r > kq) return false;
    int n = to_int(n_), m = to_int(m_), k = to_int(kq), lda = std::max(1, n), info = 0;
    Vec<double> A(n_ * m_);
    for (index_t i = 0; i < m_; ++i)
        for (index_t j = 0; j < n_; ++j) A[j + i * n_] = stoi(i, j);
    Vec<int> jpvt(m_, 0);
    Vec<double> tau(std::max<index_t>(1, kq));
    int lwork = -1;
    double query = 0.0;
    qr.dgeqp3(&n, &m, A.data(), &lda, jpvt.data(), tau.data(), &query, &lwork, &info);
    if (info != 0) return false;
    lwork = std::max(1, static_cast<int>(query));
    Vec<double> work(lwork);
    qr.dgeqp3(&n, &m, A.data(), &lda, jpvt.data(), tau.data(), work.data(), &lwork, &info);
    if (info != 0) return false;
    // The diagonal of R falls off (column pivoting): the first r entries far
    // above the elimination's tolerance, the rest rounding noise, as for
    // the singular values.
    const double top = kq > 0 ? std::abs(A[0]) : 0.0;
    const double hi = std::max(1e-6, 1e-9 * top);
    const double lo = 1e-11 * std::max(1.0, top);
    for (index_t t = 0; t < kq; ++t) {
        const double d = std::abs(A[t + t * n_]);
        if (!std::isfinite(d) || (t < r ? d < hi : d > lo)) return false;
    }

    // The coefficients of the preimages: row i of R_11^-1 at species jpvt[i].
    if (r > 0) {
        char upper = 'U', nonunit = 'N';
        int order = to_int(r);
        Vec<double> T(r * r, 0.0);
        for (index_t j = 0; j < r; ++j)
            for (index_t i = 0; i <= j; ++i) T[i + j * r] = A[i + j * n_];
        int ldt = order;
        qr.dtrtri(&upper, &nonunit, &order, T.data(), &ldt, &info);
        if (info != 0) return false;
        Ur_.assign(m_ * r, 0.0);
        for (index_t i = 0; i < r; ++i) {
            const index_t species = jpvt[i] - 1;
            if (species < 0 || species >= m_) return false;
            for (index_t c = i; c < r; ++c) Ur_[species * r + c] = T[i + c * r];
        }
        for (const double g : Ur_)
            if (!std::isfinite(g)) return false;
    } else {
        Ur_.clear();
    }

    // Q (n x n) from the reflectors; Vt_ holds it transposed, as V^T.
    Vec<double> Q(n_ * n_, 0.0);
    std::copy(A.begin(), A.begin() + n_ * kq, Q.begin());
    lwork = -1;
    qr.dorgqr(&n, &n, &k, Q.data(), &lda, tau.data(), &query, &lwork, &info);
    if (info != 0) return false;
    lwork = std::max(1, static_cast<int>(query));
    work.assign(lwork, 0.0);
    qr.dorgqr(&n, &n, &k, Q.data(), &lda, tau.data(), work.data(), &lwork, &info);
    if (info != 0) return false;
    Vt_.assign(n_ * n_, 0.0);
    const auto item = static_cast<index_t>(sizeof(double));
    copy_transposed({Q.data(), n_, n_, n_ * item, item}, {Vt_.data(), n_, n_, n_ * item, item});
    for (const double q : Vt_)
        if (!std::isfinite(q)) return false;

    // The left null space: the conserved quantities, made orthonormal.
    Vec<double> V(l_ * m_);
    for (index_t q = 0; q < l_; ++q)
        for (index_t j = 0; j < m_; ++j) V[q * m_ + j] = DT(q, j);
    if (rank(l_, m_, V, &LN_) != l_) return false;
    // ... which they must be: each orthogonal to every column of S
    Vec<double> e(n_);
    for (index_t q = 0; q < l_; ++q) {
        const double* v = LN_.data() + q * m_;
        std::fill(e.begin(), e.end(), 0.0);
        for (index_t i = 0; i < m_; ++i)
            for (index_t j = 0; j < n_; ++j) e[j] += v[i] * stoi(i, j);
        for (const double x : e)
            if (!(std::abs(x) <= lo)) return false;
    }
    s_.clear();
    r_ = r;
    return true;
}

index_t WholeFactors::rank(index_t count, index_t len, Vec<double>& V,
                           Vec<double>* basis) {
    // Pivoted Gram-Schmidt: the vector with the largest residual joins the
    // basis while that residual is clearly non-zero; the rank is decided when
    // every residual left is rounding noise.
    //
    // Each vector's arithmetic is that of a plain loop over its entries in
    // order (every inner product a running sum from 0.0, every update
    // x[i] - f * q[i]), but the open vectors are stored side by side, entry i
    // of the vector in lane j at X[i * ld + j], so that the running sums of
    // all of them advance together instead of one after the other.  A closed
    // vector's lane is given to the last open one; ties between residuals are
    // broken by the vectors' original order.
    if (basis != nullptr) basis->clear();
    // Rows of ld entries: whole groups of lanes, the lanes past the open ones
    // worked on along with them but never read.
    const index_t ld = padded(count);
    Vec<double> X(ld * len, 0.0);
    for (index_t c = 0; c < count; ++c)
        for (index_t i = 0; i < len; ++i) X[i * ld + c] = V[c * len + i];
    Vec<index_t> orig(count);
    std::iota(orig.begin(), orig.end(), index_t{0});
    Vec<double> sq(ld, 0.0), q(len);
    index_t open = count;
    by_lanes(open, [&]<std::size_t N>(index_t lane) {
        square_lanes<N>(X.data(), ld, len, lane, sq.data());
    });
    // Lane `from` (the last open one) takes the place of lane `to`.
    auto move_lane = [&](index_t from, index_t to) {
        if (from == to) return;
        for (index_t i = 0; i < len; ++i) X[i * ld + to] = X[i * ld + from];
        orig[to] = orig[from];
        sq[to] = sq[from];
    };
    index_t k = 0;
    for (;;) {
        for (index_t j = 0; j < open; ++j)
            if (!std::isfinite(std::sqrt(sq[j]))) return -1;
        index_t best = -1;
        double best_norm = 0.0;
        for (index_t j = 0; j < open;) {
            const double r = std::sqrt(sq[j]);
            if (r <= kZero) {  // zero: adds nothing
                move_lane(--open, j);
                continue;
            }
            if (r > best_norm || (r == best_norm && orig[j] < orig[best])) {
                best_norm = r;
                best = j;
            }
            ++j;
        }
        if (best < 0) return k;
        if (best_norm < kNonzero) return -1;
        ++k;
        for (index_t i = 0; i < len; ++i) q[i] = X[i * ld + best] / best_norm;
        if (basis != nullptr) basis->insert(basis->end(), q.begin(), q.end());
        move_lane(--open, best);
        if (open == 0) continue;
        // Two passes of x - (q . x) q for every open x; the second pass's
        // update also gives the squared length for the next round.
        by_lanes(open, [&]<std::size_t N>(index_t lane) {
            project_lanes<N>(q.data(), X.data(), ld, len, lane, sq.data());
        });
    }
}

int WholeFactors::verdict(const Vec<index_t>& Y, const Vec<index_t>& C,
                          Vec<double>& V) const {
    if (!usable_) return -1;
    const auto nY = static_cast<index_t>(Y.size());
    const auto nC = static_cast<index_t>(C.size());

    // rank S[:, R] from the null vectors of S restricted to C (one row of
    // width nN + extra per reaction of C).
    const index_t nN = n_ - r_;
    auto null_rows_on_C = [&](index_t extra) {
        const index_t width = nN + extra;
        V.assign(nC * width, 0.0);
        for (index_t c = 0; c < nC; ++c) {
            const double* v = Vt_.data() + C[c] * n_ + r_;
            std::copy(v, v + nN, V.data() + c * width);
        }
    };
    null_rows_on_C(0);
    const index_t kN = rank(nC, nN, V, nullptr);
    if (kN < 0) return -1;

    // rank DT[:, X]: from the rows of DT restricted to X when there are
    // fewer of them than Y has species (conserved quantities are usually
    // few), else from the null vectors of DT restricted to Y.
    const index_t nND = m_ - rD_;
    const index_t nX = m_ - nY;
    index_t rankDX = -1;
    if (static_cast<double>(l_) * static_cast<double>(l_) * static_cast<double>(nX) <
        static_cast<double>(nY) * static_cast<double>(nY) * static_cast<double>(nND)) {
        V.assign(l_ * nX, 0.0);
        for (index_t q = 0; q < l_; ++q) {
            const double* row = DTn_.data() + q * m_;
            double* out = V.data() + q * nX;
            index_t at = 0, y = 0;
            for (index_t j = 0; j < m_; ++j) {
                if (y < nY && Y[y] == j) {
                    ++y;
                    continue;
                }
                out[at++] = row[j];
            }
        }
        rankDX = rank(l_, nX, V, nullptr);
        if (rankDX < 0) return -1;
    } else {
        V.assign(nY * nND, 0.0);
        for (index_t y = 0; y < nY; ++y) {
            const double* v = VtD_.data() + Y[y] * m_ + rD_;
            std::copy(v, v + nND, V.data() + y * nND);
        }
        const index_t kD = rank(nY, nND, V, nullptr);
        if (kD < 0) return -1;
        rankDX = rD_ - nY + kD;
    }
    const index_t chi = (r_ - nC + kN) + rankDX - (m_ - nY);
    if (chi != 0) return 0;

    // The images z of the vectors of ker S[X, :] outside ker S: zero on X,
    // orthogonal to the left null vectors of S, i.e. to the columns of
    // LN[Y, :].
    const index_t nL = m_ - r_;
    V.assign(nL * nY, 0.0);
    for (index_t j = 0; j < nL; ++j)
        for (index_t y = 0; y < nY; ++y) V[j * nY + y] = LN_[j * m_ + Y[y]];
    Vec<double> Q, Z;
    const index_t kL = rank(nL, nY, V, &Q);
    if (kL < 0) return -1;
    const index_t dimZ = nY - kL;
    if (dimZ == 0) return 1;
    V.assign(nY * nY, 0.0);
    for (index_t y = 0; y < nY; ++y) {
        double* e = V.data() + y * nY;
        e[y] = 1.0;
        for (int pass = 0; pass < 2; ++pass)
            for (index_t b = 0; b < kL; ++b) {
                const double* q = Q.data() + b * nY;
                const double f = std::inner_product(q, q + nY, e, 0.0);
                for (index_t i = 0; i < nY; ++i) e[i] -= f * q[i];
            }
    }
    if (rank(nY, nY, V, &Z) != dimZ) return -1;

    // Their preimages in the row space of S, V_r a with a = Sigma_r^-1 U_r^T z,
    // made orthonormal (a in R^r).
    // (Rows of U_r from its row-major copy; four a at a time, each entry of
    // each a summed over y in order.)
    Vec<double> a(dimZ * r_, 0.0);
    // When Z is the identity (the left null vectors vanish on Y), each a is
    // a row of U_r: the sums below add that row to zeros, which turns -0.0
    // into 0.0 and changes nothing else.
    bool unit = dimZ == nY;
    for (index_t i = 0; unit && i < dimZ; ++i)
        for (index_t y = 0; y < nY; ++y)
            if (Z[i * nY + y] != (i == y ? 1.0 : 0.0)) {
                unit = false;
                break;
            }
    for (index_t i0 = 0; i0 < dimZ; i0 += 4) {
        const index_t block = std::min<index_t>(4, dimZ - i0);
        if (unit) {
            for (index_t i = i0; i < i0 + block; ++i) {
                const double* row = Ur_.data() + Y[i] * r_;
                double* ai = a.data() + i * r_;
                for (index_t k = 0; k < r_; ++k) ai[k] = 0.0 + row[k];
            }
        }
        for (index_t y = 0; !unit && y < nY; ++y) {
            const double* __restrict row = Ur_.data() + Y[y] * r_;
            if (block == 4) {
                double* __restrict a0 = a.data() + i0 * r_;
                double* __restrict a1 = a0 + r_;
                double* __restrict a2 = a1 + r_;
                double* __restrict a3 = a2 + r_;
                const double z0 = Z[i0 * nY + y], z1 = Z[(i0 + 1) * nY + y];
                const double z2 = Z[(i0 + 2) * nY + y], z3 = Z[(i0 + 3) * nY + y];
                for (index_t k = 0; k < r_; ++k) {
                    const double u = row[k];
                    a0[k] += u * z0;
                    a1[k] += u * z1;
                    a2[k] += u * z2;
                    a3[k] += u * z3;
                }
            } else {
                for (index_t i = i0; i < i0 + block; ++i) {
                    double* __restrict ai = a.data() + i * r_;
                    const double zi = Z[i * nY + y];
                    for (index_t k = 0; k < r_; ++k) ai[k] += row[k] * zi;
                }
            }
        }
        for (index_t i = i0; i < i0 + block; ++i) {
            double* ai = a.data() + i * r_;
            if (!s_.empty())  // U_r^T z, then Sigma_r^-1
                for (index_t k = 0; k < r_; ++k) ai[k] /= s_[k];
            // Only their span matters: unit length keeps the margins
            // meaningful whatever the scale of the coefficients.
            const double norm = std::sqrt(std::inner_product(ai, ai + r_, ai, 0.0));
            if (!(norm > 0.0) || !std::isfinite(norm)) return -1;
            for (index_t k = 0; k < r_; ++k) ai[k] /= norm;
        }
    }
    if (rank(dimZ, r_, a, &Z) != dimZ) return -1;  // Z: the a, orthonormal

    // rank [N, V_r a][C, :] - rank N[C, :] must be dimZ.
    null_rows_on_C(dimZ);
    const index_t width = nN + dimZ;
    // Each entry a running sum over k in order; the dimZ sums of a reaction
    // advance together (Z transposed: entry k of vector i at Zt[k * dimZ + i]).
    // The rows of Zt are padded to whole groups of lanes with zeros.
    const index_t ldZ = padded(dimZ);
    Vec<double> Zt(r_ * ldZ, 0.0), dots(ldZ);
    for (index_t i = 0; i < dimZ; ++i)
        for (index_t k = 0; k < r_; ++k) Zt[k * ldZ + i] = Z[i * r_ + k];
    for (index_t c = 0; c < nC; ++c) {
        const double* v = Vt_.data() + C[c] * n_;
        by_lanes(dimZ, [&]<std::size_t N>(index_t col) {
            dot_columns<N>(v, Zt.data(), ldZ, r_, col, dots.data());
        });
        std::copy(dots.begin(), dots.begin() + dimZ, V.begin() + c * width + nN);
    }
    const index_t kB = rank(nC, width, V, nullptr);
    if (kB < 0) return -1;
    return kB - kN == dimZ ? 1 : 0;
}

}  // namespace quelmar::search_detail
