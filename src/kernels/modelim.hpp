// Dense linear algebra modulo a prime on matrices of centred residues:
// multiply-accumulate and a blocked Gauss-Jordan elimination that yields the
// inverse, or the two null vectors of a matrix of corank one.
#pragma once

#include <vector>

#include "modfield.hpp"
#include "parallel.hpp"
#include "poll.hpp"

namespace quelmar::modp {

// Threads.  The products below and the eliminations built on them take a
// team of threads (parallel.hpp; none: the calling thread alone); a product
// of at least kThreadedWork multiply-adds (about a millisecond on one core,
// where handing pieces to a waiting thread costs microseconds) has its
// columns shared out among them, a smaller one runs on the calling thread.
// Every entry of a result is computed by the same operations whatever the
// number of threads, so results agree bit for bit.  poll() is only called on
// the calling thread.
constexpr index_t kThreadedWork = index_t{1} << 22;
// The same for the copies of a column panel across the rows of a large
// matrix in gj_eliminate (each row of the panel a few cache lines apart).
constexpr index_t kThreadedCopy = index_t{1} << 16;

// C = reduce(C + A * B): A is mr x kd (row stride lda), B kd x nc (ldb),
// C mr x nc (ldc); entries of A, B, C are centred residues.  pack is the
// calling thread's workspace; other threads have their own.
void gemm(const Field& F, index_t mr, index_t nc, index_t kd, const double* A, index_t lda,
          const double* B, index_t ldb, double* C, index_t ldc, Vec<double>& pack,
          Team* team = nullptr);

// y = reduce(y + f * x) over n entries.
void axpy(const Field& F, index_t n, double f, const double* x, double* y);

// y = y + f * x over n entries, without reduction: with centred residues,
// up to kChunk - 1 such products may pile up on a reduced entry.
void add_scaled(index_t n, double f, const double* x, double* y);

// y = reduce(y) over n entries (integer-valued doubles below 2^53 - 2^48).
void reduce_n(const Field& F, index_t n, double* y);

struct GjWork {
    Vec<double> panel, ainv, T, lneg, pack;
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
// Returns d.  Cost O(r^3), almost all of it in gemm() (on the team).
int gj_eliminate(const Field& F, double* A, index_t r, index_t ld, Vec<index_t>& perm,
                 Vec<index_t>& qperm, GjWork& w, const Poll& poll, Team* team = nullptr);

// LU factorisation with row interchanges of the r x r matrix in A (row
// stride ld), in place: afterwards (P M)[a, :] = M[perm[a], :] = L U with the
// multipliers of L below the diagonal (unit diagonal implied), U on and above
// it, and invdiag[k] = 1 / U[k, k].  Returns false, with A undefined, when a
// column has no pivot (M is singular).  Cost r^3 / 3 multiply-adds.
bool lu_factor(const Field& F, double* A, index_t r, index_t ld, Vec<index_t>& perm,
               Vec<double>& invdiag, const Poll& poll);

// B = M^-1 B from the factors of lu_factor, for the r x nb matrix B of
// centred residues (row stride ldb >= nb); the columns are shared out among
// the team from kThreadedWork multiply-adds on.
void lu_solve(const Field& F, const double* A, index_t r, index_t ld,
              const Vec<index_t>& perm, const Vec<double>& invdiag, double* B,
              index_t nb, index_t ldb, Team* team = nullptr);

// After gj_eliminate returned 1 on M (r >= 1): u and v (r entries each, 0 or
// more non-zero) with M u = 0 and v^T M = 0, so that adj(M) = c u v^T.
void corank_one_vectors(const double* G, index_t r, index_t ld,
                        const Vec<index_t>& perm, const Vec<index_t>& qperm,
                        Vec<double>& u, Vec<double>& v);

}  // namespace quelmar::modp
