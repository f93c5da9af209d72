// The failure bound of the exact sensitivity pattern (exact.hpp): a bound on
// the bits of the determinants a missed non-zero would have to be divisible
// by, and the number of primes it asks for.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "exact_prime.hpp"

namespace quelmar::exact_detail {

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
        if (lcm_exp[sz(q)] != 0) log2_lodd += lcm_exp[sz(q)] * std::log2(static_cast<double>(q));

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

}  // namespace quelmar::exact_detail
