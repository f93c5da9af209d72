// Patterns of adj(M) and of M^-1 modulo a prime from the whole-matrix
// eliminations of modelim.hpp, for the tests of those eliminations.
#include <cstdint>
#include <vector>

#include "modelim.hpp"
#include "reference.hpp"

namespace quelmar::reference {

using namespace modp;

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
        std::vector<double> u, v;
        corank_one_vectors(A.data(), r, ld, perm, qperm, u, v);
        for (index_t x = 0; x < r; ++x)
            for (index_t y = 0; y < r; ++y)
                pat[sz(x * r + y)] = u[sz(x)] != 0.0 && v[sz(y)] != 0.0;
    }
    return pat;
}

std::vector<std::uint8_t> inverse_pattern_by_lu(const std::vector<double>& M, index_t r,
                                                std::int64_t p) {
    const Field F(p);
    const index_t ld = r + 3;  // rows not aligned on purpose
    std::vector<double> A(sz(r * ld), 0.0);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < r; ++j) A[sz(i * ld + j)] = F.reduce(M[sz(i * r + j)]);
    std::vector<index_t> perm;
    std::vector<double> invdiag;
    if (!lu_factor(F, A.data(), r, ld, perm, invdiag, Poll{})) return {};
    const index_t ldb = r + 1;
    std::vector<double> B(sz(r * ldb), 0.0);
    for (index_t i = 0; i < r; ++i) B[sz(i * ldb + i)] = 1.0;
    lu_solve(F, A.data(), r, ld, perm, invdiag, B.data(), r, ldb);
    std::vector<std::uint8_t> pat(sz(r * r), 0);
    for (index_t x = 0; x < r; ++x)
        for (index_t y = 0; y < r; ++y) pat[sz(x * r + y)] = B[sz(x * ldb + y)] != 0.0;
    return pat;
}

}  // namespace quelmar::reference
