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
    Vec<double> A(r * ld, 0.0);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < r; ++j) A[i * ld + j] = F.reduce(M.data()[i * r + j]);
    Vec<std::uint8_t> pat(r * r, 0);
    if (r == 1) {
        pat[0] = 1;
        return pat;
    }
    GjWork work;
    Vec<index_t> perm, qperm;
    const int deferred = gj_eliminate(F, A.data(), r, ld, perm, qperm, work, Poll{});
    if (deferred == 0) {  // no column was moved: M^-1[x, y] = G[x, pinv[y]]
        Vec<index_t> pinv(r);
        for (index_t k = 0; k < r; ++k) pinv[perm[k]] = k;
        for (index_t x = 0; x < r; ++x)
            for (index_t y = 0; y < r; ++y)
                pat[x * r + y] = A[x * ld + pinv[y]] != 0.0;
    } else if (deferred == 1) {
        Vec<double> u, v;
        corank_one_vectors(A.data(), r, ld, perm, qperm, u, v);
        for (index_t x = 0; x < r; ++x)
            for (index_t y = 0; y < r; ++y)
                pat[x * r + y] = u[x] != 0.0 && v[y] != 0.0;
    }
    return pat;
}

std::vector<std::uint8_t> inverse_pattern_by_lu(const std::vector<double>& M, index_t r,
                                                std::int64_t p) {
    const Field F(p);
    const index_t ld = r + 3;  // rows not aligned on purpose
    Vec<double> A(r * ld, 0.0);
    for (index_t i = 0; i < r; ++i)
        for (index_t j = 0; j < r; ++j) A[i * ld + j] = F.reduce(M.data()[i * r + j]);
    Vec<index_t> perm;
    Vec<double> invdiag;
    if (!lu_factor(F, A.data(), r, ld, perm, invdiag, Poll{})) return {};
    const index_t ldb = r + 1;
    Vec<double> B(r * ldb, 0.0);
    for (index_t i = 0; i < r; ++i) B[i * ldb + i] = 1.0;
    lu_solve(F, A.data(), r, ld, perm, invdiag, B.data(), r, ldb);
    Vec<std::uint8_t> pat(r * r, 0);
    for (index_t x = 0; x < r; ++x)
        for (index_t y = 0; y < r; ++y) pat[x * r + y] = B[x * ldb + y] != 0.0;
    return pat;
}

}  // namespace quelmar::reference
