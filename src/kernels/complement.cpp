// Verdicts of nearly whole selections from one factorisation (complement.hpp).
#include "complement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

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

}  // namespace

WholeFactors::WholeFactors(MatrixView<const double> stoi, MatrixView<const double> DT,
                           dgesdd_fn* fn)
    : m_(stoi.rows), n_(stoi.cols), l_(DT.rows) {
    if (fn == nullptr || DT.cols != m_) return;
    Vec<double> A(m_ * n_);
    for (index_t j = 0; j < n_; ++j)
        for (index_t i = 0; i < m_; ++i) A[i + j * m_] = stoi(i, j);
    if (m_ > 0 && n_ > 0) {
        if (!svd(fn, m_, n_, A, s_, U_, Vt_)) return;
    } else {
        U_.assign(m_ * m_, 0.0);
        Vt_.assign(n_ * n_, 0.0);
        for (index_t i = 0; i < m_; ++i) U_[i + i * m_] = 1.0;
        for (index_t j = 0; j < n_; ++j) Vt_[j + j * n_] = 1.0;
    }
    r_ = whole_rank(s_);
    if (r_ < 0) return;

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
    usable_ = true;
}

index_t WholeFactors::rank(index_t count, index_t len, Vec<double>& V,
                           Vec<double>* basis) {
    // Pivoted Gram-Schmidt: the vector with the largest residual joins the
    // basis while that residual is clearly non-zero; the rank is decided when
    // every residual left is rounding noise.
    Vec<char> open(count, 1);
    if (basis != nullptr) basis->clear();
    index_t k = 0;
    for (;;) {
        index_t best = -1;
        double best_norm = 0.0;
        for (index_t c = 0; c < count; ++c) {
            if (open[c] == 0) continue;
            const double* x = V.data() + c * len;
            const double r = std::sqrt(std::inner_product(x, x + len, x, 0.0));
            if (!std::isfinite(r)) return -1;
            if (r <= kZero) {
                open[c] = 0;
                continue;
            }
            if (r > best_norm) {
                best_norm = r;
                best = c;
            }
        }
        if (best < 0) return k;
        if (best_norm < kNonzero) return -1;
        open[best] = 0;
        ++k;
        double* q = V.data() + best * len;
        for (index_t i = 0; i < len; ++i) q[i] /= best_norm;
        if (basis != nullptr) basis->insert(basis->end(), q, q + len);
        for (index_t c = 0; c < count; ++c) {
            if (open[c] == 0) continue;
            double* x = V.data() + c * len;
            for (int pass = 0; pass < 2; ++pass) {
                const double f = std::inner_product(q, q + len, x, 0.0);
                for (index_t i = 0; i < len; ++i) x[i] -= f * q[i];
            }
        }
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

    // rank DT[:, X] from the null vectors of DT restricted to Y.
    const index_t nND = m_ - rD_;
    V.assign(nY * nND, 0.0);
    for (index_t y = 0; y < nY; ++y) {
        const double* v = VtD_.data() + Y[y] * m_ + rD_;
        std::copy(v, v + nND, V.data() + y * nND);
    }
    const index_t kD = rank(nY, nND, V, nullptr);
    if (kD < 0) return -1;
    const index_t chi = (r_ - nC + kN) + (rD_ - nY + kD) - (m_ - nY);
    if (chi != 0) return 0;

    // The images z of the vectors of ker S[X, :] outside ker S: zero on X,
    // orthogonal to the left null vectors of S, i.e. to the columns of
    // LN[Y, :].
    const index_t nL = m_ - r_;
    V.assign(nL * nY, 0.0);
    for (index_t j = 0; j < nL; ++j)
        for (index_t y = 0; y < nY; ++y) V[j * nY + y] = U_[(Y[y] + (r_ + j) * m_)];
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
    Vec<double> UY(nY * r_);  // U_r[Y, :], one row per species
    for (index_t k = 0; k < r_; ++k)
        for (index_t y = 0; y < nY; ++y) UY[y * r_ + k] = U_[(Y[y] + k * m_)];
    Vec<double> a(dimZ * r_, 0.0);
    for (index_t i = 0; i < dimZ; ++i) {
        double* ai = a.data() + i * r_;
        const double* zi = Z.data() + i * nY;
        for (index_t y = 0; y < nY; ++y) {
            const double* row = UY.data() + y * r_;
            for (index_t k = 0; k < r_; ++k) ai[k] += row[k] * zi[y];
        }
        for (index_t k = 0; k < r_; ++k) ai[k] /= s_[k];
        // Only their span matters: unit length keeps the margins meaningful
        // whatever the scale of the coefficients.
        const double norm = std::sqrt(std::inner_product(ai, ai + r_, ai, 0.0));
        if (!(norm > 0.0) || !std::isfinite(norm)) return -1;
        for (index_t k = 0; k < r_; ++k) ai[k] /= norm;
    }
    if (rank(dimZ, r_, a, &Z) != dimZ) return -1;  // Z: the a, orthonormal

    // rank [N, V_r a][C, :] - rank N[C, :] must be dimZ.
    null_rows_on_C(dimZ);
    const index_t width = nN + dimZ;
    for (index_t c = 0; c < nC; ++c) {
        const double* v = Vt_.data() + C[c] * n_;
        for (index_t i = 0; i < dimZ; ++i) {
            const double* ai = Z.data() + i * r_;
            V[c * width + nN + i] = std::inner_product(v, v + r_, ai, 0.0);
        }
    }
    const index_t kB = rank(nC, width, V, nullptr);
    if (kB < 0) return -1;
    return kB - kN == dimZ ? 1 : 0;
}

}  // namespace quelmar::search_detail
