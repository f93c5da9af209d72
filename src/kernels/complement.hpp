// Verdicts of selections that hold almost the whole network, from one
// factorisation of the whole network.
//
// In networks whose sensitivity matrix is dense most closures are nearly the
// whole network, and the elimination of such a candidate costs as much as one
// of the whole network.  With singular value decompositions of the
// stoichiometry matrix S (m x n, rank r) and of the conserved-quantity block
// DT (l x m, rank rD), the three ranks of a candidate follow from its
// complement: the species Y and the reactions C it leaves out.
//
//  * rank S[:, R] = r - |C| + rank N[C, :], N an orthonormal basis of ker S
//    (a vector of ker S[:, R] is a vector of ker S that vanishes on C);
//  * rank DT[:, X] = rD - |Y| + rank ND[Y, :], ND a basis of ker DT;
//  * the candidate has no emergent cycle exactly when every vector of
//    ker S[X, :] that is not in ker S needs a reaction of C, that is when
//    rank [N, E][C, :] - rank N[C, :] = dim E, where E spans the vectors of
//    ker S[X, :] orthogonal to ker S.  Such a vector v has S v = z, with z
//    zero on X and orthogonal to the left null space of S; E is spanned by
//    V_r Sigma_r^-1 U_r^T z for z in the null space of LN[Y, :]^T, LN an
//    orthonormal basis of ker S^T.
//
// The stoichiometry matrix is factorised by a pivoted QR factorisation of
// S^T = Q R P^T when the routines are given, its rank being the one the
// conserved quantities imply (m - l) with a clear gap on the diagonal of R:
// the first r columns of Q then span the rows of S as those of V_r do, the
// others its null space, and R_11^-1 P^T z gives the coefficients on them of
// the same preimage (the one in the row space); the rows of DT, made
// orthonormal, span the left null space.  Otherwise, and where that gap is
// missing, by its singular value decomposition.
//
// Every rank of a small set of restricted orthonormal vectors is found by
// pivoted Gram-Schmidt, with margins: a value counts as non-zero only far above
// rounding noise and the elimination's tolerance, and as zero only at rounding
// noise; anything in between leaves the verdict undecided, and the caller then
// decides by the exact elimination.
#pragma once

#include <cstdint>
#include <vector>

#include "lapack.hpp"
#include "view.hpp"

namespace quelmar::search_detail {

class WholeFactors {
public:
    /// Factorises stoi (m x n) and DT (l x m, any l), stoi by qr when it is
    /// complete and shows the rank clearly, else by svd.  usable() is false
    /// when either rank is unclear or LAPACK reports a failure.
    WholeFactors(MatrixView<const double> stoi, MatrixView<const double> DT, dgesdd_fn* svd,
                 const QrRoutines& qr = {});

    bool usable() const { return usable_; }

    /// Verdict of the selection holding every species but Y and every
    /// reaction but C (both ascending): 1 accepted (chi-index 0 and no
    /// emergent cycle), 0 rejected, -1 undecided.  Safe to call from several
    /// threads at once (scratch is the caller's).
    int verdict(const Vec<index_t>& Y, const Vec<index_t>& C,
                Vec<double>& scratch) const;

private:
    // Rank of the count vectors of len entries each in V (destroyed), or -1
    // if a residual lies between the margins.  With basis, an orthonormal
    // basis of their span (rank vectors of len entries) is returned too.
    static index_t rank(index_t count, index_t len, Vec<double>& V,
                        Vec<double>* basis);

    // The factorisations of stoi: true when they set r_, Vt_, Ur_ and LN_.
    bool by_qr(MatrixView<const double> stoi, MatrixView<const double> DT, const QrRoutines& qr);
    bool by_svd(MatrixView<const double> stoi, dgesdd_fn* svd);

    index_t m_, n_, l_;
    index_t r_ = 0, rD_ = 0;
    Vec<double> LN_;   // (m - r) x m, row-major: orthonormal, the left null space of S
    // m x r, row-major, by species: U_r (preimage coefficients U_r^T z, then
    // divided by s_), or the rows of R_11^-1 at the pivoted species (R_11^-1 P^T z)
    Vec<double> Ur_;
    Vec<double> s_;    // singular values of S (empty after the QR factorisation)
    // n x n, column-major: the rows are V^T, or Q^T (the first r span the rows
    // of S, the others its null space)
    Vec<double> Vt_;
    Vec<double> VtD_;  // m x m, column-major: right singular vectors of DT (rows)
    Vec<double> DTn_;  // l x m, row-major: the rows of DT scaled to unit length
    bool usable_ = false;
};

}  // namespace quelmar::search_detail
