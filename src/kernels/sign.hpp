// The objective of the determinant-sign test: arctan(det(A(z))) where the free
// entries of A (+inf, -inf, NaN) take values from z.
#pragma once

#include <vector>

#include "view.hpp"

namespace quelmar {

class SignObjective {
public:
    /// A is copied; it must be square (throws std::invalid_argument otherwise).
    explicit SignObjective(MatrixView<const double> A);

    /// Number of free entries k.
    index_t nvars() const { return static_cast<index_t>(positions_.size()); }
    index_t order() const { return n_; }

    /// arctan(det(A(z))): the k values of z fill the free positions in
    /// row-major order; +inf positions take z*z, -inf positions -(z*z), NaN
    /// positions z.  The determinant is det() of a fresh row-major copy, so an
    /// exactly singular A(z) gives NaN.  z has k entries, or one entry that
    /// fills every position.  Uses caller-free scratch held by the object.
    double operator()(const double* z, index_t count);

private:
    index_t n_ = 0;
    Vec<double> base_;      // row-major copy of A
    Vec<index_t> positions_;  // flat row-major offsets of free entries
    Vec<signed char> kind_;   // +1: +inf, -1: -inf, 0: NaN
    Vec<double> scratch_;
};

}  // namespace quelmar
