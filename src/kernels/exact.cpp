// Exact sensitivity pattern by modular arithmetic; see exact.hpp for the
// mathematics and the failure bound.
//
// Residues mod p (p < 2^25) are held in doubles as integers of absolute value
// at most p/2 + 4 ("centred"); reduce() brings any integer-valued double below
// 2^53 - 2^48 back into that range.  A residue is zero mod p if and only if the
// double is 0.0, since p > p/2 + 4.
#include "exact.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define QUELMAR_EXACT_X86 1
#endif

namespace quelmar {

namespace {

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

using std::int64_t;
using std::size_t;
using std::uint64_t;

inline size_t sz(index_t n) { return static_cast<size_t>(n); }

// ------------------------------------------------------------------ constants

// Prime pool: [kPrimeLo, kPrimeHi] holds exactly kPoolSize primes.
constexpr int64_t kPrimeLo = int64_t{1} << 24;
constexpr int64_t kPrimeHi = (int64_t{1} << 25) - (int64_t{1} << 20);
constexpr double kPoolSize = 925220.0;
constexpr double kLog2PrimeLo = 24.0;
constexpr int kMinPrimes = 2;
constexpr int kMaxPrimes = 32;
constexpr int kMaxSkipped = 16;  // primes with a low rank of S before giving up
constexpr double kTargetFailure = 1e-9;

// Products of centred residues are below (2^24 - 2^19 + 4)^2 < 2^48 - 2^43, so
// 32 of them plus a residue stay below 2^53 - 2^48.
constexpr index_t kChunk = 32;
constexpr index_t kPanel = 64;    // Gauss-Jordan block width (a multiple of kChunk)
constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to integer
constexpr int kPow2Offset = 1100;             // exponents of doubles lie in [-1074, 1023]

// Fraction rule for inexact stoichiometric coefficients.
constexpr int64_t kMaxDenominator = 1000;
constexpr double kSnapRelTol = 1e-9;
constexpr double kSnapMin = 1e-4;
constexpr double kSnapMax = 2147483648.0;

// ------------------------------------------------------------ random numbers

struct SplitMix64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // In [0, bound); each value has probability within bound / 2^64 of 1 / bound.
    uint64_t below(uint64_t bound) {
        return static_cast<uint64_t>((static_cast<u128>(next()) * bound) >> 64);
    }
};

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

// Distinct primes drawn uniformly from the pool, from a fixed seed.
class PrimeSource {
public:
    int64_t next() {
        for (;;) {
            const auto span = static_cast<uint64_t>(kPrimeHi - kPrimeLo + 1);
            const int64_t c = kPrimeLo + static_cast<int64_t>(rng_.below(span));
            if (!is_prime(static_cast<uint64_t>(c))) continue;
            if (std::find(drawn_.begin(), drawn_.end(), c) != drawn_.end()) continue;
            drawn_.push_back(c);
            return c;
        }
    }

private:
    SplitMix64 rng_{0x5EC0FFEE2024ULL};
    std::vector<int64_t> drawn_;
};

// --------------------------------------------------------------- prime field

struct Field {
    int64_t p = 0;
    double pd = 0.0;
    double pinv = 0.0;
    std::vector<double> pow2;  // pow2[e + kPow2Offset] = 2^e mod p

    explicit Field(int64_t prime)
        : p(prime),
          pd(static_cast<double>(prime)),
          pinv(1.0 / static_cast<double>(prime)),
          pow2(sz(2 * kPow2Offset + 1)) {
        pow2[sz(kPow2Offset)] = 1.0;
        const double inv2 = centre((p + 1) / 2);
        for (int e = 1; e <= kPow2Offset; ++e) {
            pow2[sz(kPow2Offset + e)] = reduce(2.0 * pow2[sz(kPow2Offset + e - 1)]);
            pow2[sz(kPow2Offset - e)] = reduce(inv2 * pow2[sz(kPow2Offset - e + 1)]);
        }
    }

    double reduce(double x) const {
        const double q = (x * pinv + kMagic) - kMagic;
        return x - q * pd;
    }
    double mul(double a, double b) const { return reduce(a * b); }
    double centre(int64_t v) const {
        v %= p;
        if (v < 0) v += p;
        return static_cast<double>(v > p / 2 ? v - p : v);
    }
    int64_t canon(double x) const {
        int64_t v = static_cast<int64_t>(x) % p;
        if (v < 0) v += p;
        return v;
    }
    double inverse(double x) const {  // x != 0 mod p
        int64_t a = canon(x), b = p, u = 1, v = 0;
        while (b != 0) {
            const int64_t q = a / b;
            a -= q * b;
            std::swap(a, b);
            u -= q * v;
            std::swap(u, v);
        }
        return centre(u);
    }
};

// ------------------------------------------------------------- exact numbers

// num * 2^e2 / den with num odd (or zero) and den odd and positive.
struct Exact {
    int64_t num = 0;
    int e2 = 0;
    int64_t den = 1;
    double value = 0.0;
};

Exact exact_of(double x) {
    Exact v;
    v.value = x;
    if (x == 0.0) return v;
    int e = 0;
    const double f = std::frexp(x, &e);
    v.num = static_cast<int64_t>(std::ldexp(f, 53));
    v.e2 = e - 53;
    while (v.num % 2 == 0) {
        v.num /= 2;
        ++v.e2;
    }
    return v;
}

double to_field(const Field& F, const Exact& v) {
    double r = F.mul(F.centre(v.num), F.pow2[sz(v.e2 + kPow2Offset)]);
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

// ------------------------------------------------------------ sparse storage

struct SparseExact {  // compressed rows
    std::vector<index_t> ptr, idx;
    std::vector<Exact> val;
};

struct SparseMod {  // compressed rows (or columns) of residues
    std::vector<index_t> ptr, idx;
    std::vector<double> val;
    index_t begin(index_t i) const { return ptr[sz(i)]; }
    index_t end(index_t i) const { return ptr[sz(i + 1)]; }
};

SparseMod reduce_sparse(const Field& F, const SparseExact& A, index_t rows) {
    SparseMod B;
    B.ptr.assign(sz(rows + 1), 0);
    B.idx.reserve(A.idx.size());
    B.val.reserve(A.idx.size());
    for (index_t i = 0; i < rows; ++i) {
        for (index_t e = A.ptr[sz(i)]; e < A.ptr[sz(i + 1)]; ++e) {
            const double v = to_field(F, A.val[sz(e)]);
            if (v == 0.0) continue;
            B.idx.push_back(A.idx[sz(e)]);
            B.val.push_back(v);
        }
        B.ptr[sz(i + 1)] = static_cast<index_t>(B.idx.size());
    }
    return B;
}

SparseMod transpose(const SparseMod& A, index_t rows, index_t cols) {
    SparseMod T;
    T.ptr.assign(sz(cols + 1), 0);
    for (const index_t j : A.idx) ++T.ptr[sz(j + 1)];
    for (index_t j = 0; j < cols; ++j) T.ptr[sz(j + 1)] += T.ptr[sz(j)];
    T.idx.resize(A.idx.size());
    T.val.resize(A.idx.size());
    std::vector<index_t> fill(T.ptr.begin(), T.ptr.end() - 1);
    for (index_t i = 0; i < rows; ++i)
        for (index_t e = A.begin(i); e < A.end(i); ++e) {
            const index_t j = A.idx[sz(e)];
            const index_t at = fill[sz(j)]++;
            T.idx[sz(at)] = i;
            T.val[sz(at)] = A.val[sz(e)];
        }
    return T;
}

// ----------------------------------------------------- rank and pivots of S

// Rank of S mod p with r rows I and r columns J such that S[I, J] is
// non-singular.  Singleton columns and rows are peeled first (each such pivot
// leaves the rest unchanged), then the remaining core is eliminated densely.
index_t rank_and_pivots(const Field& F, const SparseMod& Srow, const SparseMod& Scol,
                        index_t m, index_t n, std::vector<index_t>& I,
                        std::vector<index_t>& J, const Poll& poll) {
    I.clear();
    J.clear();
    std::vector<index_t> rc(sz(m)), cc(sz(n));
    std::vector<char> row_alive(sz(m), 1), col_alive(sz(n), 1);
    std::vector<index_t> stack;  // >= 0: column j; < 0: row -1-i
    for (index_t i = 0; i < m; ++i) {
        rc[sz(i)] = Srow.end(i) - Srow.begin(i);
        if (rc[sz(i)] == 1) stack.push_back(-1 - i);
    }
    for (index_t j = 0; j < n; ++j) {
        cc[sz(j)] = Scol.end(j) - Scol.begin(j);
        if (cc[sz(j)] == 1) stack.push_back(j);
    }
    auto pivot = [&](index_t i, index_t j) {
        row_alive[sz(i)] = 0;
        col_alive[sz(j)] = 0;
        I.push_back(i);
        J.push_back(j);
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t c = Srow.idx[sz(e)];
            if (col_alive[sz(c)] && --cc[sz(c)] == 1) stack.push_back(c);
        }
        for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
            const index_t q = Scol.idx[sz(e)];
            if (row_alive[sz(q)] && --rc[sz(q)] == 1) stack.push_back(-1 - q);
        }
    };
    while (!stack.empty()) {
        const index_t top = stack.back();
        stack.pop_back();
        if (top >= 0) {
            const index_t j = top;
            if (!col_alive[sz(j)] || cc[sz(j)] != 1) continue;
            for (index_t e = Scol.begin(j); e < Scol.end(j); ++e)
                if (row_alive[sz(Scol.idx[sz(e)])]) {
                    pivot(Scol.idx[sz(e)], j);
                    break;
                }
        } else {
            const index_t i = -1 - top;
            if (!row_alive[sz(i)] || rc[sz(i)] != 1) continue;
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e)
                if (col_alive[sz(Srow.idx[sz(e)])]) {
                    pivot(i, Srow.idx[sz(e)]);
                    break;
                }
        }
    }

    std::vector<index_t> core_rows, core_cols, col_at(sz(n), -1);
    for (index_t i = 0; i < m; ++i)
        if (row_alive[sz(i)] && rc[sz(i)] > 0) core_rows.push_back(i);
    for (index_t j = 0; j < n; ++j)
        if (col_alive[sz(j)] && cc[sz(j)] > 0) {
            col_at[sz(j)] = static_cast<index_t>(core_cols.size());
            core_cols.push_back(j);
        }
    const auto R = static_cast<index_t>(core_rows.size());
    const auto C = static_cast<index_t>(core_cols.size());
    if (R == 0 || C == 0) return static_cast<index_t>(I.size());
    std::vector<double> D(sz(R * C), 0.0);
    for (index_t q = 0; q < R; ++q) {
        const index_t i = core_rows[sz(q)];
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t c = col_at[sz(Srow.idx[sz(e)])];
            if (c >= 0) D[sz(q * C + c)] = Srow.val[sz(e)];
        }
    }
    index_t rank = 0;
    for (index_t c = 0; c < C && rank < R; ++c) {
        if ((c & 31) == 0) poll();
        index_t q = rank;
        while (q < R && D[sz(q * C + c)] == 0.0) ++q;
        if (q == R) continue;
        if (q != rank) {
            std::swap_ranges(D.begin() + q * C, D.begin() + (q + 1) * C, D.begin() + rank * C);
            std::swap(core_rows[sz(q)], core_rows[sz(rank)]);
        }
        const double* prow = &D[sz(rank * C)];
        const double pinv = F.inverse(prow[c]);
        for (index_t q2 = rank + 1; q2 < R; ++q2) {
            double* row = &D[sz(q2 * C)];
            if (row[c] == 0.0) continue;
            const double f = F.mul(row[c], pinv);
            for (index_t k = c; k < C; ++k) row[k] = F.reduce(row[k] - f * prow[k]);
        }
        I.push_back(core_rows[sz(rank)]);
        J.push_back(core_cols[sz(c)]);
        ++rank;
    }
    return static_cast<index_t>(I.size());
}

// --------------------------------------------------- multiply-accumulate mod p

// Packs columns [j0, j0 + w) of B (kd rows, stride ldb) into slivers of NR
// columns, kd x NR each, padded with zeros.
template <index_t NR>
void pack_slivers(const double* B, index_t ldb, index_t kd, index_t j0, index_t w,
                  double* dst) {
    for (index_t s = 0; s * NR < w; ++s, dst += kd * NR) {
        const index_t cols = std::min(NR, w - s * NR);
        for (index_t t = 0; t < kd; ++t) {
            const double* src = B + t * ldb + j0 + s * NR;
            for (index_t c = 0; c < NR; ++c) dst[t * NR + c] = c < cols ? src[c] : 0.0;
        }
    }
}

// C = reduce(C + A * B): A is mr x kd (row stride lda), B kd x nc (ldb),
// C mr x nc (ldc); entries of A, B, C are centred residues.  Portable version:
// register tiles of MR x NR over B packed in slivers.
void gemm_generic(const Field& F, index_t mr, index_t nc, index_t kd, const double* A,
                  index_t lda, const double* B, index_t ldb, double* C, index_t ldc,
                  std::vector<double>& pack) {
    constexpr index_t MR = 4, NR = 8, NC = 256;
    pack.resize(sz(kd * NC));
    for (index_t jc = 0; jc < nc; jc += NC) {
        const index_t w = std::min(NC, nc - jc);
        pack_slivers<NR>(B, ldb, kd, jc, w, pack.data());
        for (index_t i0 = 0; i0 < mr; i0 += MR) {
            const index_t rows = std::min(MR, mr - i0);
            const double* a[MR];
            for (index_t r = 0; r < MR; ++r) a[r] = A + (i0 + std::min(r, rows - 1)) * lda;
            for (index_t s = 0; s * NR < w; ++s) {
                const double* bp = pack.data() + s * kd * NR;
                const index_t cols = std::min(NR, w - s * NR);
                double* c0 = C + i0 * ldc + jc + s * NR;
                double acc[MR][NR] = {};
                for (index_t r = 0; r < rows; ++r)
                    for (index_t c = 0; c < cols; ++c) acc[r][c] = c0[r * ldc + c];
                for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                    const index_t t1 = std::min(kd, t0 + kChunk);
                    for (index_t t = t0; t < t1; ++t) {
                        const double* b = bp + t * NR;
                        for (index_t r = 0; r < MR; ++r) {
                            const double x = a[r][t];
                            for (index_t c = 0; c < NR; ++c) acc[r][c] += x * b[c];
                        }
                    }
                    for (index_t r = 0; r < MR; ++r)
                        for (index_t c = 0; c < NR; ++c) acc[r][c] = F.reduce(acc[r][c]);
                }
                for (index_t r = 0; r < rows; ++r)
                    for (index_t c = 0; c < cols; ++c) c0[r * ldc + c] = acc[r][c];
            }
        }
    }
}

#ifdef QUELMAR_EXACT_X86

// The same with AVX2 and FMA (all products and sums are exact integers, so
// fused and separate operations agree): 6 x 8 register tiles over B packed in
// slivers of 8 columns.
__attribute__((target("avx2,fma"))) void gemm_avx2(const Field& F, index_t mr, index_t nc,
                                                   index_t kd, const double* A, index_t lda,
                                                   const double* B, index_t ldb, double* C,
                                                   index_t ldc, std::vector<double>& pack) {
    constexpr index_t MR = 6, NR = 8, NC = 256;
    const __m256d vp = _mm256_set1_pd(F.pd);
    const __m256d vpinv = _mm256_set1_pd(F.pinv);
    pack.resize(sz(kd * NC));
    for (index_t jc = 0; jc < nc; jc += NC) {
        const index_t w = std::min(NC, nc - jc);
        const index_t slivers = (w + NR - 1) / NR;
        pack_slivers<NR>(B, ldb, kd, jc, w, pack.data());
        for (index_t i0 = 0; i0 < mr; i0 += MR) {
            const index_t rows = std::min(MR, mr - i0);
            for (index_t s = 0; s < slivers; ++s) {
                const double* bp = pack.data() + s * kd * NR;
                const index_t j0 = jc + s * NR;
                const index_t cols = std::min(NR, nc - j0);
                double* c0 = C + i0 * ldc + j0;
                if (rows == MR && cols == NR) {
                    __m256d acc[MR][2];
                    for (index_t r = 0; r < MR; ++r) {
                        acc[r][0] = _mm256_loadu_pd(c0 + r * ldc);
                        acc[r][1] = _mm256_loadu_pd(c0 + r * ldc + 4);
                    }
                    const double* a0 = A + i0 * lda;
                    for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                        const index_t t1 = std::min(kd, t0 + kChunk);
                        for (index_t t = t0; t < t1; ++t) {
                            const __m256d b0 = _mm256_loadu_pd(bp + t * NR);
                            const __m256d b1 = _mm256_loadu_pd(bp + t * NR + 4);
                            for (index_t r = 0; r < MR; ++r) {
                                const __m256d a = _mm256_broadcast_sd(a0 + r * lda + t);
                                acc[r][0] = _mm256_fmadd_pd(a, b0, acc[r][0]);
                                acc[r][1] = _mm256_fmadd_pd(a, b1, acc[r][1]);
                            }
                        }
                        for (index_t r = 0; r < MR; ++r)
                            for (int h = 0; h < 2; ++h) {
                                const __m256d q = _mm256_round_pd(
                                    _mm256_mul_pd(acc[r][h], vpinv),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
                                acc[r][h] = _mm256_fnmadd_pd(q, vp, acc[r][h]);
                            }
                    }
                    for (index_t r = 0; r < MR; ++r) {
                        _mm256_storeu_pd(c0 + r * ldc, acc[r][0]);
                        _mm256_storeu_pd(c0 + r * ldc + 4, acc[r][1]);
                    }
                } else {
                    double acc[MR][NR] = {};
                    for (index_t r = 0; r < rows; ++r)
                        for (index_t c = 0; c < cols; ++c) acc[r][c] = c0[r * ldc + c];
                    for (index_t t0 = 0; t0 < kd; t0 += kChunk) {
                        const index_t t1 = std::min(kd, t0 + kChunk);
                        for (index_t t = t0; t < t1; ++t)
                            for (index_t r = 0; r < rows; ++r) {
                                const double a = A[(i0 + r) * lda + t];
                                for (index_t c = 0; c < NR; ++c)
                                    acc[r][c] += a * bp[t * NR + c];
                            }
                        for (index_t r = 0; r < rows; ++r)
                            for (index_t c = 0; c < NR; ++c) acc[r][c] = F.reduce(acc[r][c]);
                    }
                    for (index_t r = 0; r < rows; ++r)
                        for (index_t c = 0; c < cols; ++c) c0[r * ldc + c] = acc[r][c];
                }
            }
        }
    }
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has;
}

#endif

void gemm(const Field& F, index_t mr, index_t nc, index_t kd, const double* A, index_t lda,
          const double* B, index_t ldb, double* C, index_t ldc, std::vector<double>& pack) {
    if (mr <= 0 || nc <= 0 || kd <= 0) return;
#ifdef QUELMAR_EXACT_X86
    if (cpu_has_avx2()) {
        gemm_avx2(F, mr, nc, kd, A, lda, B, ldb, C, ldc, pack);
        return;
    }
#endif
    gemm_generic(F, mr, nc, kd, A, lda, B, ldb, C, ldc, pack);
}

// y = reduce(y + f * x) over n entries.
void axpy(const Field& F, index_t n, double f, const double* x, double* y) {
    for (index_t k = 0; k < n; ++k) y[k] = F.reduce(y[k] + f * x[k]);
}

// ------------------------------------------------- blocked Gauss-Jordan mod p

struct GjWork {
    std::vector<double> panel, ainv, T, lneg, pack;
};

// Gauss-Jordan elimination of the r x r matrix M in A (row stride ld), in
// place, kPanel pivots at a time, with row interchanges (perm) and with every
// column that has no pivot left moved to the end (qperm).  With
// (P M Q)[a, b] = M[perm[a], qperm[b]] and d deferred columns, the result is
//   d = 0: Q = I and A = (P M)^-1;
//   d = 1: A is the elimination of the leading r - 1 pivots: with A11 the
//          leading block of P M Q, A[0:r-1, r-1] = A11^-1 A12 and
//          A[r-1, 0:r-1] = -A21 A11^-1 (and the Schur complement is 0);
//   d = 2: rank M <= r - 2; the elimination stops and A is undefined.
// Returns d.  Cost O(r^3), almost all of it in gemm().
int gj_eliminate(const Field& F, double* A, index_t r, index_t ld, std::vector<index_t>& perm,
                 std::vector<index_t>& qperm, GjWork& w, const Poll& poll) {
    perm.resize(sz(r));
    qperm.resize(sz(r));
    for (index_t k = 0; k < r; ++k) perm[sz(k)] = qperm[sz(k)] = k;
    const index_t nb = kPanel;
    w.panel.resize(sz(r * nb));
    w.ainv.resize(sz(nb * nb));
    w.T.resize(sz(nb * ld));
    w.lneg.resize(sz(r * nb));
    index_t k = 0, end = r;  // pivots done; columns at positions >= end are deferred
    while (k < end) {
        poll();
        index_t bw = std::min(nb, end - k);
        const index_t h = r - k;
        // LU with row interchanges of the panel (multipliers kept below the
        // diagonal) to choose the pivot rows; a column without a pivot is
        // swapped with the last active column.
        double* P = w.panel.data();
        for (index_t i = 0; i < h; ++i)
            for (index_t c = 0; c < bw; ++c) P[i * nb + c] = A[(k + i) * ld + k + c];
        index_t c = 0;
        while (c < bw) {
            index_t q = c;
            while (q < h && P[q * nb + c] == 0.0) ++q;
            if (q < h) {
                if (q != c) {
                    std::swap_ranges(P + q * nb, P + q * nb + nb, P + c * nb);
                    std::swap_ranges(A + (k + q) * ld, A + (k + q) * ld + r, A + (k + c) * ld);
                    std::swap(perm[sz(k + q)], perm[sz(k + c)]);
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
            std::swap(qperm[sz(k + c)], qperm[sz(e)]);
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
        gemm(F, b, r, b, X, nb, A + k * ld, ld, T, ld, w.pack);
        for (index_t i = 0; i < b; ++i)
            for (index_t j = 0; j < b; ++j) T[i * ld + k + j] = X[i * nb + j];
        // Other rows: A[i, :] -= A[i, K] * T, where A[i, K] is first set to 0.
        double* Lm = w.lneg.data();
        for (index_t i = 0; i < r; ++i) {
            if (i == k) i = k + b;
            if (i >= r) break;
            for (index_t j = 0; j < b; ++j) {
                Lm[i * nb + j] = -A[i * ld + k + j];
                A[i * ld + k + j] = 0.0;
            }
        }
        gemm(F, k, r, b, Lm, nb, T, ld, A, ld, w.pack);
        gemm(F, r - k - b, r, b, Lm + (k + b) * nb, nb, T, ld, A + (k + b) * ld, ld, w.pack);
        for (index_t i = 0; i < b; ++i) std::copy(T + i * ld, T + i * ld + r, A + (k + i) * ld);
        k += b;
    }
    return static_cast<int>(r - end);
}

// ------------------------------------------------------------ one prime

enum class RankStatus { low, exact, high };

struct Problem {
    index_t m = 0, n = 0, r = 0;
    SparseExact S;    // m rows (species), column index = reaction
    SparseExact top;  // n rows (reactions), column index = species
};

RankStatus rank_status(const Field& F, const Problem& pb, SparseMod& Srow, SparseMod& Scol,
                       std::vector<index_t>& I, std::vector<index_t>& J, const Poll& poll) {
    Srow = reduce_sparse(F, pb.S, pb.m);
    Scol = transpose(Srow, pb.m, pb.n);
    const index_t rank = rank_and_pivots(F, Srow, Scol, pb.m, pb.n, I, J, poll);
    if (rank > pb.r) return RankStatus::high;
    if (rank < pb.r) return RankStatus::low;
    return RankStatus::exact;
}

// ORs the pattern of S[:, J] adj(M) S[I, :] mod p into pat (m x n); returns the
// rank status of S mod p (the pattern is only computed when it is exact).
RankStatus one_prime(int64_t prime, const Problem& pb, std::vector<std::uint8_t>& pat,
                     const Poll& poll) {
    const Field F(prime);
    const index_t m = pb.m, n = pb.n, r = pb.r;
    SparseMod Srow, Scol;
    std::vector<index_t> I, J;
    const RankStatus st = rank_status(F, pb, Srow, Scol, I, J, poll);
    if (st != RankStatus::exact || r == 0) return st;
    poll();

    std::vector<index_t> rowpos(sz(m), -1), colpos(sz(n), -1);
    for (index_t a = 0; a < r; ++a) rowpos[sz(I[sz(a)])] = a;
    for (index_t b = 0; b < r; ++b) colpos[sz(J[sz(b)])] = b;

    // W = top * S[:, J] (n x r, sparse rows), then M = S[I, :] * W.
    const SparseMod Rrow = reduce_sparse(F, pb.top, n);
    SparseMod W;
    W.ptr.assign(sz(n + 1), 0);
    {
        std::vector<double> acc(sz(r), 0.0);
        std::vector<char> seen(sz(r), 0);
        std::vector<index_t> touched;
        for (index_t j = 0; j < n; ++j) {
            touched.clear();
            for (index_t e = Rrow.begin(j); e < Rrow.end(j); ++e) {
                const index_t i = Rrow.idx[sz(e)];
                const double rv = Rrow.val[sz(e)];
                for (index_t f = Srow.begin(i); f < Srow.end(i); ++f) {
                    const index_t b = colpos[sz(Srow.idx[sz(f)])];
                    if (b < 0) continue;
                    if (!seen[sz(b)]) {
                        seen[sz(b)] = 1;
                        touched.push_back(b);
                    }
                    acc[sz(b)] = F.reduce(acc[sz(b)] + rv * Srow.val[sz(f)]);
                }
            }
            for (const index_t b : touched) {
                if (acc[sz(b)] != 0.0) {
                    W.idx.push_back(b);
                    W.val.push_back(acc[sz(b)]);
                }
                acc[sz(b)] = 0.0;
                seen[sz(b)] = 0;
            }
            W.ptr[sz(j + 1)] = static_cast<index_t>(W.idx.size());
        }
    }
    const index_t ld = (r + 7) / 8 * 8;
    std::vector<double> M(sz(r * ld), 0.0);
    for (index_t a = 0; a < r; ++a) {
        double* row = M.data() + a * ld;
        const index_t i = I[sz(a)];
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t j = Srow.idx[sz(e)];
            const double s = Srow.val[sz(e)];
            for (index_t f = W.begin(j); f < W.end(j); ++f)
                row[W.idx[sz(f)]] = F.reduce(row[W.idx[sz(f)]] + s * W.val[sz(f)]);
        }
    }
    poll();

    GjWork work;
    std::vector<index_t> perm, qperm;
    const int deferred = gj_eliminate(F, M.data(), r, ld, perm, qperm, work, poll);
    const double* G = M.data();
    if (deferred == 0) {
        // No column was moved, M^-1 = G P and S[:, J] M^-1 S[I, :] = (S[:, J] G) (P S[I, :]).
        std::vector<index_t> pinv(sz(r));
        for (index_t k = 0; k < r; ++k) pinv[sz(perm[sz(k)])] = k;
        std::vector<double> X(sz(r), 0.0), Xt(sz(r * m), 0.0);  // X = S[:, J] G, transposed
        for (index_t i = 0; i < m; ++i) {
            std::fill(X.begin(), X.end(), 0.0);
            bool any = false;
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
                const index_t b = colpos[sz(Srow.idx[sz(e)])];
                if (b < 0) continue;
                axpy(F, r, Srow.val[sz(e)], G + b * ld, X.data());
                any = true;
            }
            if (!any) continue;
            for (index_t k = 0; k < r; ++k) Xt[sz(k * m + i)] = X[sz(k)];
        }
        std::vector<double> z(sz(m));
        for (index_t j = 0; j < n; ++j) {
            if ((j & 255) == 0) poll();
            std::fill(z.begin(), z.end(), 0.0);
            bool any = false;
            for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
                const index_t a = rowpos[sz(Scol.idx[sz(e)])];
                if (a < 0) continue;
                axpy(F, m, Scol.val[sz(e)], Xt.data() + pinv[sz(a)] * m, z.data());
                any = true;
            }
            if (!any) continue;
            for (index_t i = 0; i < m; ++i)
                if (z[sz(i)] != 0.0) pat[sz(i * n + j)] = 1;
        }
    } else if (deferred == 1) {
        // Rank r - 1: adj(M) = c u v^T with M u = 0 and v^T M = 0.
        std::vector<double> u(sz(r)), v(sz(r));
        for (index_t k = 0; k + 1 < r; ++k) {
            u[sz(qperm[sz(k)])] = -G[k * ld + r - 1];
            v[sz(perm[sz(k)])] = G[(r - 1) * ld + k];
        }
        u[sz(qperm[sz(r - 1)])] = 1.0;
        v[sz(perm[sz(r - 1)])] = 1.0;
        std::vector<char> xs(sz(m), 0), ys(sz(n), 0);
        for (index_t i = 0; i < m; ++i) {
            double s = 0.0;
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
                const index_t b = colpos[sz(Srow.idx[sz(e)])];
                if (b >= 0) s = F.reduce(s + Srow.val[sz(e)] * u[sz(b)]);
            }
            xs[sz(i)] = s != 0.0;
        }
        for (index_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
                const index_t a = rowpos[sz(Scol.idx[sz(e)])];
                if (a >= 0) s = F.reduce(s + Scol.val[sz(e)] * v[sz(a)]);
            }
            ys[sz(j)] = s != 0.0;
        }
        for (index_t i = 0; i < m; ++i)
            if (xs[sz(i)])
                for (index_t j = 0; j < n; ++j)
                    if (ys[sz(j)]) pat[sz(i * n + j)] = 1;
    }
    return st;  // deferred >= 2: rank M <= r - 2 and adj(M) = 0 mod p
}

// ------------------------------------------------------------ failure bound

// Upper bound on log2 |Y_ij * Delta| (see exact.hpp), valid for every (i, j).
double bound_bits(const Problem& pb) {
    const index_t m = pb.m, n = pb.n, r = pb.r;
    // lcm of the odd denominators, as prime exponents.
    std::vector<int> lcm_exp(sz(kMaxDenominator + 1), 0);
    for (const Exact& v : pb.S.val) {
        int64_t d = v.den;  // odd, <= kMaxDenominator
        for (int64_t q = 3; d > 1; q += 2) {
            if (q * q > d) q = d;
            int e = 0;
            while (d % q == 0) {
                d /= q;
                ++e;
            }
            if (e > 0) lcm_exp[sz(q)] = std::max(lcm_exp[sz(q)], e);
        }
    }
    double log2_lodd = 0.0;
    for (index_t q = 3; q <= kMaxDenominator; ++q)
        log2_lodd += lcm_exp[sz(q)] * std::log2(static_cast<double>(q));

    std::vector<int> T(sz(m), 0);
    std::vector<double> norm(sz(m), 0.0), maxabs(sz(m), 0.0);
    double frob2 = 0.0;
    for (index_t i = 0; i < m; ++i)
        for (index_t e = pb.S.ptr[sz(i)]; e < pb.S.ptr[sz(i + 1)]; ++e) {
            const Exact& v = pb.S.val[sz(e)];
            T[sz(i)] = std::max(T[sz(i)], frac_bits(v));
            norm[sz(i)] += v.value * v.value;
            maxabs[sz(i)] = std::max(maxabs[sz(i)], std::abs(v.value));
        }
    for (index_t i = 0; i < m; ++i) {
        frob2 += norm[sz(i)];
        norm[sz(i)] = std::sqrt(norm[sz(i)]);
    }
    const double frob = std::sqrt(frob2);
    std::vector<int> rho(sz(n), 0);  // max over the row of top of frac bits + T
    for (index_t j = 0; j < n; ++j)
        for (index_t e = pb.top.ptr[sz(j)]; e < pb.top.ptr[sz(j + 1)]; ++e)
            rho[sz(j)] = std::max(rho[sz(j)], frac_bits(pb.top.val[sz(e)]) +
                                                  T[sz(pb.top.idx[sz(e)])]);

    const double slack = 1.0 + 1e-6;
    std::vector<double> row_bits(sz(m)), det_bits(sz(m));
    std::vector<double> acc(sz(m), 0.0);
    std::vector<index_t> touched;
    std::vector<char> seen(sz(m), 0);
    double border = 0.0;
    for (index_t s = 0; s < m; ++s) {
        int e_s = T[sz(s)];
        touched.clear();
        for (index_t e = pb.S.ptr[sz(s)]; e < pb.S.ptr[sz(s + 1)]; ++e) {
            const index_t j = pb.S.idx[sz(e)];
            const Exact& v = pb.S.val[sz(e)];
            e_s = std::max(e_s, frac_bits(v) + rho[sz(j)]);
            for (index_t f = pb.top.ptr[sz(j)]; f < pb.top.ptr[sz(j + 1)]; ++f) {
                const index_t k = pb.top.idx[sz(f)];
                if (!seen[sz(k)]) {
                    seen[sz(k)] = 1;
                    touched.push_back(k);
                }
                acc[sz(k)] += v.value * pb.top.val[sz(f)].value;
            }
        }
        double sr2 = 0.0;
        for (const index_t k : touched) {
            sr2 += acc[sz(k)] * acc[sz(k)];
            acc[sz(k)] = 0.0;
            seen[sz(k)] = 0;
        }
        const double row_norm = (std::sqrt(sr2) * frob + maxabs[sz(s)]) * slack;
        row_bits[sz(s)] = std::max(0.0, e_s + 2.0 * log2_lodd + std::log2(row_norm));
        det_bits[sz(s)] =
            std::max(0.0, T[sz(s)] + log2_lodd + std::log2(norm[sz(s)] * slack));
        border = std::max(border, det_bits[sz(s)]);
    }
    auto sum_largest = [r](std::vector<double>& v) {
        std::sort(v.begin(), v.end(), std::greater<>());
        double s = 0.0;
        for (index_t k = 0; k < r && k < static_cast<index_t>(v.size()); ++k) s += v[sz(k)];
        return s;
    };
    const double bits = sum_largest(row_bits) + border + sum_largest(det_bits);
    return std::isfinite(bits) ? bits : std::numeric_limits<double>::infinity();
}

int primes_needed(const Problem& pb) {
    const double bits = bound_bits(pb);
    const double w = std::floor(bits / kLog2PrimeLo);
    const double q = w / (kPoolSize - w - kMaxPrimes - kMaxSkipped);
    if (!(q > 0.0 && q < 1.0)) return kMaxPrimes;
    const double cells = static_cast<double>(pb.m) * static_cast<double>(pb.n);
    const double t = std::ceil(std::log(kTargetFailure / cells) / std::log(q));
    if (!(t <= kMaxPrimes)) return kMaxPrimes;
    return std::max(kMinPrimes, static_cast<int>(t));
}

// Rank of S over Q compared with r, from a few primes (a prime can only lower
// the rank).
RankStatus probe_rank(const Problem& pb, const Poll& poll) {
    PrimeSource primes;
    bool exact = false;
    for (int k = 0; k < 3; ++k) {
        const Field F(primes.next());
        SparseMod Srow, Scol;
        std::vector<index_t> I, J;
        const RankStatus st = rank_status(F, pb, Srow, Scol, I, J, poll);
        if (st == RankStatus::high) return st;
        if (st == RankStatus::exact) exact = true;
        if (exact && k >= 1) break;
    }
    return exact ? RankStatus::exact : RankStatus::low;
}

SparseExact exact_rows(MatrixView<const double> M, index_t rows, index_t cols) {
    SparseExact A;
    A.ptr.assign(sz(rows + 1), 0);
    for (index_t i = 0; i < rows; ++i) {
        for (index_t j = 0; j < cols; ++j) {
            const double x = M(i, j);
            if (x == 0.0) continue;
            A.idx.push_back(j);
            A.val.push_back(exact_of(x));
        }
        A.ptr[sz(i + 1)] = static_cast<index_t>(A.idx.size());
    }
    return A;
}

}  // namespace

namespace detail {

std::vector<std::uint8_t> adjugate_pattern_mod(const std::vector<double>& M, index_t r,
                                               std::int64_t p) {
    const Field F(p);
    const index_t ld = (r + 7) / 8 * 8;
    std::vector<double> A(sz(r * ld), 0.0);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < r; ++j) A[sz(i * ld + j)] = F.reduce(M[sz(i * r + j)]);
    std::vector<std::uint8_t> pat(sz(r * r), 0);
    if (r == 1) {
        pat[0] = 1;
        return pat;
    }
    GjWork work;
    std::vector<index_t> perm, qperm;
    const int deferred = gj_eliminate(F, A.data(), r, ld, perm, qperm, work, Poll{});
    if (deferred == 0) {  // no column was moved: M^-1[x, y] = G[x, pinv[y]]
        std::vector<index_t> pinv(sz(r));
        for (index_t k = 0; k < r; ++k) pinv[sz(perm[sz(k)])] = k;
        for (index_t x = 0; x < r; ++x)
            for (index_t y = 0; y < r; ++y)
                pat[sz(x * r + y)] = A[sz(x * ld + pinv[sz(y)])] != 0.0;
    } else if (deferred == 1) {
        std::vector<double> u(sz(r)), v(sz(r));
        for (index_t k = 0; k + 1 < r; ++k) {
            u[sz(qperm[sz(k)])] = -A[sz(k * ld + r - 1)];
            v[sz(perm[sz(k)])] = A[sz((r - 1) * ld + k)];
        }
        u[sz(qperm[sz(r - 1)])] = 1.0;
        v[sz(perm[sz(r - 1)])] = 1.0;
        for (index_t x = 0; x < r; ++x)
            for (index_t y = 0; y < r; ++y)
                pat[sz(x * r + y)] = u[sz(x)] != 0.0 && v[sz(y)] != 0.0;
    }
    return pat;
}

}  // namespace detail

bool exact_sensitivity_pattern(MatrixView<const double> stoi, MatrixView<const double> top,
                               index_t K, index_t Lc, MatrixView<std::uint8_t> out,
                               const Poll& poll) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    if (K < 0 || Lc < 0)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: negative cycle or conservation count");
    if (top.rows < n || top.cols < m)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: top block smaller than reactions x species");
    if (out.rows < m || out.cols < n)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: output smaller than species x reactions");
    if (m + K != n + Lc || n - K < 0) return false;
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            if (!std::isfinite(stoi(i, j)) || !std::isfinite(top(j, i))) return false;
    if (m == 0 || n == 0) return true;

    Problem pb;
    pb.m = m;
    pb.n = n;
    pb.r = n - K;
    pb.S = exact_rows(stoi, m, n);
    pb.top = exact_rows(top, n, m);

    if (probe_rank(pb, poll) != RankStatus::exact) {
        bool changed = false;
        for (Exact& v : pb.S.val) {
            Exact s;
            if (snap(v.value, s)) {
                v = s;
                changed = true;
            }
        }
        if (!changed || probe_rank(pb, poll) != RankStatus::exact) return false;
    }
    if (pb.r == 0) return true;  // adj(A)[0:m, 0:n] = 0 when S = 0

    const int t = primes_needed(pb);
    std::vector<std::uint8_t> pat(sz(m * n), 0);
    PrimeSource primes;
    int used = 0, skipped = 0;
    while (used < t) {
        poll();
        const RankStatus st = one_prime(primes.next(), pb, pat, poll);
        if (st == RankStatus::high) return false;
        if (st == RankStatus::low) {
            if (++skipped > kMaxSkipped) return false;
            continue;
        }
        ++used;
    }
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            if (pat[sz(i * n + j)]) out(i, j) = 1;
    return true;
}

}  // namespace quelmar
