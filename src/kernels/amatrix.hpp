// The A-matrix of a reaction network: the linear map from species and cycle
// coordinates to reaction and conservation equations at steady state.
#pragma once

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

/// The A-matrix of a network with stoichiometry stoi (m x n) and regulation
/// reginfo (read within m rows and n columns): a zero-filled (m+K) x (m+K)
/// row-major matrix whose rows are the n reactions, then the L conserved
/// quantities, and whose columns are the m species, then the K cycles:
///   A[j, i] = reginfo[i, j], A[j, m+k] = c_k[j], A[n+l, i] = d_l[i],
/// with c_k and d_l the null-space bases of stoi and stoi^T left by null_space().
/// The reductions of genome-scale networks run on `threads` threads, at
/// most two (the same result to the bit); 0 means two where the machine has
/// two cores or more.  Throws
/// std::invalid_argument if reginfo is smaller than m x n, and
/// std::domain_error if the two reductions disagree on the rank of stoi.
Matrix<double> construct_A(MatrixView<const double> stoi, MatrixView<const double> reginfo,
                           const Poll& poll = {}, int threads = 0);

}  // namespace quelmar
