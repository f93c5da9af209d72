// Arithmetic modulo a prime for the exact sensitivity pattern: the prime
// pool, the field of residues held in doubles, exact dyadic (and small
// fractional) values of doubles mapped into the field, and sparse matrices of
// residues.
//
// Residues mod p (p < 2^25) are held in doubles as integers of absolute value
// at most p/2 + 4 ("centred"); reduce() brings any integer-valued double below
// 2^53 - 2^48 back into that range.  A residue is zero mod p if and only if the
// double is 0.0, since p > p/2 + 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "view.hpp"

namespace quelmar::modp {

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

using std::int64_t;
using std::size_t;
using std::uint64_t;

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
constexpr index_t kUnblockedOrder = 160;  // up to this order, Gauss-Jordan pivot by pivot
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


// Deterministic Miller-Rabin, valid for n < 4759123141.
bool is_prime(uint64_t n);

// Distinct primes drawn uniformly from the pool, from a fixed seed.
class PrimeSource {
public:
    int64_t next();

private:
    SplitMix64 rng_{0x5EC0FFEE2024ULL};
    Vec<int64_t> drawn_;
};

// --------------------------------------------------------------- prime field

struct Field {
    int64_t p = 0;
    double pd = 0.0;
    double pinv = 0.0;
    int pow2_lo = 0;           // the exponents of the table: pow2_lo, ..., 0, ...
    Vec<double> pow2;  // pow2[e - pow2_lo] = 2^e mod p
    double two26 = 0.0;        // 2^26 mod p

    // The powers of two 2^lo, ..., 2^hi are tabulated (the exponents of the
    // values that will be mapped into the field; every double by default).
    explicit Field(int64_t prime, int lo = -kPow2Offset, int hi = kPow2Offset)
        : p(prime), pd(static_cast<double>(prime)), pinv(1.0 / static_cast<double>(prime)) {
        lo = lo < 0 ? lo : 0;
        hi = hi > 0 ? hi : 0;
        two26 = centre(int64_t{1} << 26);
        pow2_lo = lo;
        pow2.resize(hi - lo + 1);
        pow2[-lo] = 1.0;
        const double inv2 = centre((p + 1) / 2);
        for (int e = 1; e <= hi; ++e) pow2[e - lo] = reduce(2.0 * pow2[e - 1 - lo]);
        for (int e = -1; e >= lo; --e) pow2[e - lo] = reduce(inv2 * pow2[e + 1 - lo]);
    }

    double reduce(double x) const {
        const double q = (x * pinv + kMagic) - kMagic;
        return x - q * pd;
    }
    double mul(double a, double b) const { return reduce(a * b); }
    // v mod p for |v| < 2^53, without an integer division.
    double residue(int64_t v) const {
        const int64_t high = v >> 26;  // v = high * 2^26 + low, 0 <= low < 2^26
        const int64_t low = v - high * (int64_t{1} << 26);
        return reduce(reduce(static_cast<double>(high)) * two26 + static_cast<double>(low));
    }
    double centre(int64_t v) const {
        if (v >= p || v <= -p) v %= p;
        if (v < 0) v += p;
        return static_cast<double>(v > p / 2 ? v - p : v);
    }
    int64_t canon(double x) const {
        int64_t v = static_cast<int64_t>(x);
        if (v >= p || v <= -p) v %= p;
        if (v < 0) v += p;
        return v;
    }
    double inverse(double x) const {  // x != 0 mod p; p < 2^25, so 32-bit words do
        auto a = static_cast<int32_t>(canon(x)), b = static_cast<int32_t>(p);
        int32_t u = 1, v = 0;
        while (b != 0) {
            const int32_t q = a / b;
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


/// The exact value of x (num * 2^e2, den = 1).
Exact exact_of(double x);

/// x mod p (2^v.e2 must be in the table of F).
double to_field(const Field& F, const Exact& v);

// Binary digits after the point (the power of two in the denominator).
int frac_bits(const Exact& v);

// The closest fraction a/b with b <= kMaxDenominator if it lies within the
// relative tolerance and differs from x; otherwise false.
bool snap(double x, Exact& out);

// ------------------------------------------------------------ sparse storage

struct SparseExact {  // compressed rows
    Vec<index_t> ptr, idx;
    Vec<Exact> val;
};

struct SparseMod {  // compressed rows (or columns) of residues
    Vec<index_t> ptr, idx;
    Vec<double> val;
    index_t begin(index_t i) const { return ptr[i]; }
    index_t end(index_t i) const { return ptr[i + 1]; }
};


SparseMod reduce_sparse(const Field& F, const SparseExact& A, index_t rows);
SparseMod transpose(const SparseMod& A, index_t rows, index_t cols);

}  // namespace quelmar::modp
