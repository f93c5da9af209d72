// Arithmetic modulo a prime: primality, the prime pool, exact values of
// doubles and the fraction rule, sparse residue matrices.
#include "modfield.hpp"

#include <algorithm>
#include <cmath>

namespace quelmar::modp {

namespace {

uint64_t pow_mod(uint64_t a, uint64_t e, uint64_t mod) {
    uint64_t r = 1;
    a %= mod;
    while (e > 0) {
        if (e & 1) r = r * a % mod;
        a = a * a % mod;
        e >>= 1;
    }
    return r;
}

// Deterministic Miller-Rabin, valid for n < 4759123141.

}  // namespace

bool is_prime(uint64_t n) {
    if (n < 2) return false;
    for (const uint64_t q : {2ULL, 3ULL, 5ULL, 7ULL, 11ULL, 13ULL})
        if (n % q == 0) return n == q;
    uint64_t d = n - 1;
    int s = 0;
    while ((d & 1) == 0) {
        d >>= 1;
        ++s;
    }
    for (const uint64_t a : {2ULL, 7ULL, 61ULL}) {
        uint64_t x = pow_mod(a, d, n);
        if (x == 1 || x == n - 1) continue;
        bool composite = true;
        for (int i = 1; i < s; ++i) {
            x = x * x % n;
            if (x == n - 1) {
                composite = false;
                break;
            }
        }
        if (composite) return false;
    }
    return true;
}

int64_t PrimeSource::next() {
    for (;;) {
        const auto span = static_cast<uint64_t>(kPrimeHi - kPrimeLo + 1);
        const int64_t c = kPrimeLo + static_cast<int64_t>(rng_.below(span));
        if (!is_prime(static_cast<uint64_t>(c))) continue;
        if (std::find(drawn_.begin(), drawn_.end(), c) != drawn_.end()) continue;
        drawn_.push_back(c);
        return c;
    }
}

Exact exact_of(double x) {
    Exact v;
    v.value = x;
    if (x == 0.0) return v;
    int e = 0;
    const double f = std::frexp(x, &e);
    v.num = static_cast<int64_t>(std::ldexp(f, 53));
    const int tz = __builtin_ctzll(static_cast<uint64_t>(v.num));  // num != 0
    v.num /= int64_t{1} << tz;
    v.e2 = e - 53 + tz;
    return v;
}

double to_field(const Field& F, const Exact& v) {
    double r = F.mul(F.residue(v.num), F.pow2[v.e2 - F.pow2_lo]);
    if (v.den != 1) r = F.mul(r, F.inverse(F.centre(v.den)));
    return r;
}

// Binary digits after the point (the power of two in the denominator).
int frac_bits(const Exact& v) { return v.num == 0 ? 0 : std::max(0, -v.e2); }

// The closest fraction a/b with b <= kMaxDenominator if it lies within the
// relative tolerance and differs from x; otherwise false.
bool snap(double x, Exact& out) {
    const double ax = std::abs(x);
    if (!(ax >= kSnapMin && ax < kSnapMax)) return false;
    const Exact ex = exact_of(ax);
    if (ex.e2 >= 0) return false;  // an integer
    const int shift = -ex.e2;
    if (shift < 10) return false;  // denominator already <= 512
    const i128 n0 = ex.num;
    const i128 d0 = static_cast<i128>(1) << shift;
    i128 p0 = 0, q0 = 1, p1 = 1, q1 = 0, n = n0, d = d0;
    for (;;) {
        const i128 a = n / d;
        const i128 q2 = q0 + a * q1;
        if (q2 > kMaxDenominator) break;
        const i128 p2 = p0 + a * p1;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const i128 rem = n - a * d;
        n = d;
        d = rem;
        if (d == 0) break;
    }
    auto dist = [&](i128 pp, i128 qq) {  // |pp/qq - n0/d0| * d0 * qq
        const i128 diff = pp * d0 - n0 * qq;
        return diff < 0 ? -diff : diff;
    };
    i128 a = p1, b = q1;
    if (q1 > 0 && q1 <= kMaxDenominator && d != 0) {
        const i128 k = (kMaxDenominator - q0) / q1;
        const i128 pb = p0 + k * p1, qb = q0 + k * q1;
        // Compare dist(pb, qb) / qb with dist(p1, q1) / q1.
        if (dist(pb, qb) * q1 < dist(p1, q1) * qb) {
            a = pb;
            b = qb;
        }
    }
    if (b <= 0 || a <= 0) return false;
    const i128 err = dist(a, b);  // |a/b - x| * d0 * b
    if (err == 0) return false;
    const double rel =
        static_cast<double>(err) / (static_cast<double>(n0) * static_cast<double>(b));
    if (!(rel <= kSnapRelTol)) return false;
    int64_t num = static_cast<int64_t>(a);
    int64_t den = static_cast<int64_t>(b);
    int e2 = 0;
    while (den % 2 == 0) {
        den /= 2;
        --e2;
    }
    while (num % 2 == 0) {
        num /= 2;
        ++e2;
    }
    out.num = x < 0 ? -num : num;
    out.e2 = e2;
    out.den = den;
    out.value = x < 0 ? -static_cast<double>(a) / static_cast<double>(b)
                      : static_cast<double>(a) / static_cast<double>(b);
    return true;
}


SparseMod reduce_sparse(const Field& F, const SparseExact& A, index_t rows) {
    SparseMod B;
    B.ptr.assign(rows + 1, 0);
    B.idx.reserve(A.idx.size());
    B.val.reserve(A.idx.size());
    for (index_t i = 0; i < rows; ++i) {
        for (index_t e = A.ptr[i]; e < A.ptr[i + 1]; ++e) {
            const double v = to_field(F, A.val[e]);
            if (v == 0.0) continue;
            B.idx.push_back(A.idx[e]);
            B.val.push_back(v);
        }
        B.ptr[i + 1] = static_cast<index_t>(B.idx.size());
    }
    return B;
}

SparseMod transpose(const SparseMod& A, index_t rows, index_t cols) {
    SparseMod T;
    T.ptr.assign(cols + 1, 0);
    for (const index_t j : A.idx) ++T.ptr[j + 1];
    for (index_t j = 0; j < cols; ++j) T.ptr[j + 1] += T.ptr[j];
    T.idx.resize(A.idx.size());
    T.val.resize(A.idx.size());
    Vec<index_t> fill(T.ptr.begin(), T.ptr.end() - 1);
    for (index_t i = 0; i < rows; ++i)
        for (index_t e = A.begin(i); e < A.end(i); ++e) {
            const index_t j = A.idx[e];
            const index_t at = fill[j]++;
            T.idx[at] = i;
            T.val[at] = A.val[e];
        }
    return T;
}

}  // namespace quelmar::modp
