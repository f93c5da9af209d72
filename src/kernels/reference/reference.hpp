// Reference implementations, for the tests and the benchmarks only (the
// extension module does not link them): the seed-by-seed search that
// search_isoBSs() must reproduce, whole-matrix patterns of the modular
// eliminations, and rref() pivot after pivot.
#pragma once

#include <cstdint>
#include <vector>

#include "poll.hpp"
#include "search.hpp"
#include "view.hpp"

namespace quelmar::reference {

/// The same list, found by evaluating every distinct closed selection with
/// chiindex() and no_emergent_cycles() on the whole network, one after the
/// other (the reference for search_isoBSs, and its benchmark baseline).
std::vector<Selection> search_isoBSs_seedwise(MatrixView<const double> stoi,
                                              MatrixView<const double> DT,
                                              MatrixView<const std::uint8_t> oc,
                                              MatrixView<const std::uint8_t> lo,
                                              MatrixView<const std::uint8_t> cq,
                                              const Poll& poll = {});

/// For tests of the elimination: the pattern (row-major r x r, 1 = non-zero)
/// of adj(M) mod p for the row-major r x r matrix M of integers of absolute
/// value below 2^52, p a prime in [2^24, 2^25 - 2^20].
std::vector<std::uint8_t> adjugate_pattern_mod(const std::vector<double>& M, index_t r,
                                               std::int64_t p);

/// The same by LU factorisation and triangular solves with the identity as
/// right-hand side; empty when the factorisation finds M singular mod p.
std::vector<std::uint8_t> inverse_pattern_by_lu(const std::vector<double>& M, index_t r,
                                                std::int64_t p);

/// rref() of dense.hpp on the leading nrows x ncols block of M, pivot after
/// pivot over whole rows (no panels, no threads, no poll).
void rref_pivotwise(MatrixView<double> M, index_t nrows, index_t ncols);

}  // namespace quelmar::reference
