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
    double operator()(const double* z, index_t count) {
        return value(z, count, scratch_.data());
    }

    /// The same with the caller's scratch of order() * order() entries: safe
    /// to call from several threads at once, each with its own scratch.
    double value(const double* z, index_t count, double* scratch) const;

    /// The forward differences of f = sign * operator() at z (k values), the
    /// gradient an optimiser given no gradient takes: for each i, the step
    /// h = 2^-26 (or 2^-26 * sign(z_i) * max(1, |z_i|) where z_i + 2^-26
    /// rounds back to z_i), g_i = (f(z + h e_i) - f0) / ((z_i + h) - z_i).
    /// f0 is f(z) as the caller has it; sign is +1 or -1 (an exact negation).
    void differences(const double* z, double f0, double sign, double* g) {
        point_.assign(z, z + nvars());
        differences(z, f0, sign, g, 0, nvars(), scratch_.data(), point_.data());
    }

    /// Entries begin .. end - 1 of that gradient, with the caller's scratch
    /// (order() * order() entries) and point (a copy of z, k entries, equal
    /// to z again on return): safe to call from several threads at once,
    /// each with its own scratch and point.
    void differences(const double* z, double f0, double sign, double* g, index_t begin,
                     index_t end, double* scratch, double* point) const;

private:
    index_t n_ = 0;
    Vec<double> base_;      // row-major copy of A
    Vec<index_t> positions_;  // flat row-major offsets of free entries
    Vec<signed char> kind_;   // +1: +inf, -1: -inf, 0: NaN
    Vec<double> scratch_;
    Vec<double> point_;  // z with one entry moved (differences)
};

}  // namespace quelmar
