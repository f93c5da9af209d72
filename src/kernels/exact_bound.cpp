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
    Vec<int> lcm_exp(kMaxDenominator + 1, 0);
    for (const Exact& v : pb.S.val) {
        int64_t d = v.den;  // odd, <= kMaxDenominator
        for (int64_t q = 3; d > 1; q += 2) {
            if (q * q > d) q = d;
            int e = 0;
            while (d % q == 0) {
                d /= q;
                ++e;
            }
            if (e > 0) lcm_exp[q] = std::max(lcm_exp[q], e);
        }
    }
    double log2_lodd = 0.0;
    for (index_t q = 3; q <= kMaxDenominator; ++q)
        if (lcm_exp[q] != 0) log2_lodd += lcm_exp[q] * std::log2(static_cast<double>(q));

    Vec<int> T(m, 0);
    Vec<double> norm(m, 0.0), maxabs(m, 0.0);
    double frob2 = 0.0;
    for (index_t i = 0; i < m; ++i)
        for (index_t e = pb.S.ptr[i]; e < pb.S.ptr[i + 1]; ++e) {
            const Exact& v = pb.S.val[e];
            T[i] = std::max(T[i], frac_bits(v));
            norm[i] += v.value * v.value;
            maxabs[i] = std::max(maxabs[i], std::abs(v.value));
        }
    for (index_t i = 0; i < m; ++i) {
        frob2 += norm[i];
        norm[i] = std::sqrt(norm[i]);
    }
    const double frob = std::sqrt(frob2);
    Vec<int> rho(n, 0);  // max over the row of top of frac bits + T
    for (index_t j = 0; j < n; ++j)
        for (index_t e = pb.top.ptr[j]; e < pb.top.ptr[j + 1]; ++e)
            rho[j] = std::max(rho[j], frac_bits(pb.top.val[e]) +
                                                  T[pb.top.idx[e]]);

    const double slack = 1.0 + 1e-6;
    Vec<double> row_bits(m), det_bits(m);
    Vec<double> acc(m, 0.0);
    Vec<index_t> touched;
    Vec<char> seen(m, 0);
    double border = 0.0;
    for (index_t s = 0; s < m; ++s) {
        int e_s = T[s];
        touched.clear();
        for (index_t e = pb.S.ptr[s]; e < pb.S.ptr[s + 1]; ++e) {
            const index_t j = pb.S.idx[e];
            const Exact& v = pb.S.val[e];
            e_s = std::max(e_s, frac_bits(v) + rho[j]);
            for (index_t f = pb.top.ptr[j]; f < pb.top.ptr[j + 1]; ++f) {
                const index_t k = pb.top.idx[f];
                if (!seen[k]) {
                    seen[k] = 1;
                    touched.push_back(k);
                }
                acc[k] += v.value * pb.top.val[f].value;
            }
        }
        double sr2 = 0.0;
        for (const index_t k : touched) {
            sr2 += acc[k] * acc[k];
            acc[k] = 0.0;
            seen[k] = 0;
        }
        const double row_norm = (std::sqrt(sr2) * frob + maxabs[s]) * slack;
        row_bits[s] = std::max(0.0, e_s + 2.0 * log2_lodd + std::log2(row_norm));
        det_bits[s] =
            std::max(0.0, T[s] + log2_lodd + std::log2(norm[s] * slack));
        border = std::max(border, det_bits[s]);
    }
    auto sum_largest = [r](Vec<double>& v) {
        std::sort(v.begin(), v.end(), std::greater<>());
        double s = 0.0;
        for (index_t k = 0; k < r && k < static_cast<index_t>(v.size()); ++k) s += v[k];
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
