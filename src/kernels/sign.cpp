// The objective of the determinant-sign test.
#include "sign.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "dense.hpp"

namespace quelmar {

SignObjective::SignObjective(MatrixView<const double> A) : n_(A.rows) {
    if (A.rows != A.cols)
        throw std::invalid_argument("the matrix must be square, but it has shape (" +
                                    std::to_string(A.rows) + ", " + std::to_string(A.cols) +
                                    ")");
    base_.reserve(n_ * n_);
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (index_t i = 0; i < n_; ++i) {
        for (index_t j = 0; j < n_; ++j) {
            const double a = A(i, j);
            base_.push_back(a);
            if (std::abs(a) < inf) continue;
            positions_.push_back(i * n_ + j);
            kind_.push_back(std::isnan(a) ? 0 : (a > 0 ? 1 : -1));
        }
    }
    scratch_.resize(n_ * n_);
}

double SignObjective::value(const double* z, index_t count, double* scratch) const {
    const index_t k = nvars();
    if (count != k && count != 1)
        throw std::invalid_argument("the objective takes " + std::to_string(k) +
                                    " variable values (or one for all), got " +
                                    std::to_string(count));
    std::copy(base_.begin(), base_.end(), scratch);
    for (index_t v = 0; v < k; ++v) {
        const double x = count == 1 ? z[0] : z[v];
        double& entry = scratch[positions_[v]];
        if (kind_[v] > 0)
            entry = x * x;
        else if (kind_[v] < 0)
            entry = -(x * x);
        else
            entry = x;
    }
    const auto item = static_cast<index_t>(sizeof(double));
    const MatrixView<double> M{scratch, n_, n_, n_ * item, item};
    return std::atan(det(M, n_));
}

void SignObjective::differences(const double* z, double f0, double sign, double* g,
                                index_t begin, index_t end, double* scratch,
                                double* point) const {
    const index_t k = nvars();
    constexpr double step = 0x1p-26;  // the square root of the double epsilon
    for (index_t i = begin; i < end; ++i) {
        const double x = z[i];
        double h = step;
        // A step lost against a large |z_i| becomes relative to it (the
        // comparison is false for infinite and NaN z_i).
        if ((x + h) - x == 0.0) {
            const double size = std::abs(x);
            h = (step * (x >= 0 ? 1.0 : -1.0)) * (size > 1.0 ? size : 1.0);
        }
        point[i] = x + h;
        const double v = value(point, k, scratch);
        point[i] = x;
        const double f = sign < 0 ? -v : v;
        g[i] = (f - f0) / ((x + h) - x);
    }
}

}  // namespace quelmar
