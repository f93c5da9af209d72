// Exact non-zero pattern of the species-by-reaction block of the adjugate of an
// A-matrix, computed in modular arithmetic instead of floating point.
//
// Mathematics.  Let S be the m x n stoichiometry matrix of rank r, R the n x m
// block A[0:n, 0:m] (regulation with drawn values), C an n x K basis of ker S,
// D an Lc x m basis of ker S^T, and A = [[R, C], [D, 0]] of order m + K = n + Lc.
// Pick r rows I and r columns J of S with S[I, J] non-singular and set
//     M = S[I, :] * R * S[:, J]                          (r x r).
// Then, over any field in which S has rank r,
//     adj(A)[0:m, 0:n] = c * S[:, J] * adj(M) * S[I, :]   with a constant c != 0
// (for det M != 0 this is A^-1[0:m, 0:n] = S[:, J] M^-1 S[I, :]: the response x
// to a rate perturbation f satisfies x in range S and S (f - R x) = 0; det A and
// det M are proportional by the Laplace and Cauchy-Binet expansions, and the
// identity extends to singular M as a polynomial identity in R).  The constant
// absorbs every choice of bases and of I, J, so the pattern depends on none of
// them.  adj(M) is det(M) M^-1 when M is invertible, (rank one) u v^T with
// M u = 0 and v^T M = 0 when rank M = r - 1, and 0 otherwise.
//
// Arithmetic.  Every double is a dyadic rational mant * 2^e, exactly mapped to
// F_p for an odd prime p.  Per prime: the rank of S mod p and I, J come from a
// sparse elimination (singleton rows and columns first, then a dense core),
// done once per stoichiometry matrix for all draws (ExactSensitivity); M is
// formed from the sparse factors (the products of W = top S[:, J] are listed
// once per draw); then a Gauss-Jordan elimination of M in doubles holding
// centred residues (products exact below 2^53, reduced before 32 of them pile
// up), pivot by pivot two at a time up to order 160 and blocked beyond, which
// moves columns without a pivot to the end, yields M^-1, or u and v when
// rank M = r - 1, or shows rank M <= r - 2.  An entry found non-zero stays
// so: once the open entries (still zero) lie in at most a quarter of the
// reactions, as usually after the first prime, a prime only computes those
// columns, M^-1 S[I, j] by an LU factorisation of M and triangular solves
// (the elimination above when M is singular mod p).  The loops over residues
// are compiled for AVX-512, AVX2 and the baseline, chosen at load time.
// Cost O(r^3) per prime, with r = rank S <= min(m, n) <= m + K; memory
// O(r^2 + m n) (the pattern itself takes m n bytes).  From r = 256 on, when
// more than one thread is allowed, a team of helper threads (parallel.hpp)
// shares out the elimination's products, its panel copies, and the products
// with S and the open columns once they are large; every entry is computed
// by the same operations on whichever thread, so the pattern is the same.
//
// Correctness.  When rank S mod p = r = rank S over Q, the F_p result is the
// reduction mod p of the rational one up to a non-zero factor, so an entry that
// is non-zero mod p is non-zero in exact arithmetic: the pattern never contains
// a false non-zero.  A true non-zero can vanish mod p.  The primes are drawn
// from the pool P of the 925220 primes in [2^24, 2^25 - 2^20] by a generator
// with a fixed seed (so results are reproducible).  For a true non-zero at
// (i, j) to be missed by a prime p, p must divide Y_ij * Delta, where Y_ij is
// the determinant of the bordered matrix [[M, S[I, j]], [S[i, J], 0]] and Delta
// that of S[I, J] (for fixed rational choices of I, J), both made integral by
// powers of two and the odd denominators of the coefficients.  Hadamard's
// inequality bounds log2 |Y_ij * Delta| by a number `bits` computed from the
// data, so at most w = bits / 24 pool primes divide it, and if the primes were
// drawn uniformly at random, the probability that any non-zero of the m x n
// block is missed by all t primes is at most
//     m * n * (w / (|P| - w - 48))^t.
// t is the smallest count (at least 2) that makes this <= 1e-9, or 32 if none
// up to 32 does.
// Measured: e_coli_core (r = 67) bits ~ 1.0e4, t = 4; iJO1366 (r = 1766)
// bits ~ 1.9e5, t = 8.  Primes with rank S mod p < r divide Delta; they are
// skipped and replaced (at most 16 times, then the call returns false).  A
// rank of S over Q above n - K is noticed unless every prime used divides all
// (r + 1)-minors of S; when noticed, the call returns false.
//
// Inexact coefficients.  If no prime reproduces rank r = n - K = m - Lc (the
// counts a tolerance-based reduction found) from the exact doubles, every
// stoichiometric coefficient x with 1e-4 <= |x| < 2^31 is replaced by the
// closest fraction a/b with b <= 1000 whenever |x - a/b| <= 1e-9 |x| (so that
// 0.3333333333333333 is read as 1/3), and the ranks are tested again.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

/// ORs into out (m x n, 1 = non-zero) the exact non-zero pattern of the
/// species-by-reaction block adj(A)[0:m, 0:n] of the A-matrix whose top-left
/// block A[0:n, 0:m] is top and whose cycle and conservation blocks are any
/// bases of ker stoi and ker stoi^T, as if computed in rational arithmetic
/// (see the header comment for the failure bound).
///
/// stoi: m x n (species x reactions); top: at least n x m, its leading n x m
/// block (reactions x species) is read; out: at least m x n, its leading block
/// is updated.  Any strides.  K, Lc: the numbers of cycles and of conserved
/// quantities.  Returns false and leaves out untouched when the result cannot
/// be decided exactly: m + K != n + Lc, an entry of stoi or of top not finite,
/// or the exact rank of stoi (after the fraction rule of the header) is not
/// n - K.  For m == 0 or n == 0 it returns true without touching out.
/// Throws std::invalid_argument if a count is negative or top or out is too
/// small; poll() is called between primes and elimination panels and may throw
/// (on the calling thread only).  The large products run on up to `threads`
/// threads (modelim.hpp); the result does not depend on their number.
/// Cost O(r^3 t) time with r = n - K, O(r^2 + m n) memory.
bool exact_sensitivity_pattern(MatrixView<const double> stoi, MatrixView<const double> top,
                               index_t K, index_t Lc, MatrixView<std::uint8_t> out,
                               const Poll& poll = {}, int threads = 1);

/// The same computation split in two, for several draws of top over one
/// stoichiometry matrix: the constructor does the work that depends on stoi
/// alone (its exact values, its rank and pivots modulo each prime, the
/// fraction rule), pattern() the work of one draw.  pattern() returns what
/// exact_sensitivity_pattern(stoi, top, K, Lc, out) returns and leaves out
/// the same; the constructor throws std::invalid_argument if a count is
/// negative, pattern() if top or out is too small.  poll() may throw in both.
class ExactSensitivity {
public:
    ExactSensitivity(MatrixView<const double> stoi, index_t K, index_t Lc,
                     const Poll& poll = {});
    ~ExactSensitivity();
    ExactSensitivity(ExactSensitivity&&) noexcept;
    ExactSensitivity& operator=(ExactSensitivity&&) noexcept;

    bool pattern(MatrixView<const double> top, MatrixView<std::uint8_t> out,
                 const Poll& poll = {}, int threads = 1);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quelmar
