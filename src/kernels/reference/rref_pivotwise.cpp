// The elimination of rref() pivot after pivot over whole rows, as it was
// written before the panels: the reference the panels must match to the bit.
#include <cmath>
#include <utility>

#include "dense.hpp"
#include "reference.hpp"

namespace quelmar::reference {

void rref_pivotwise(MatrixView<double> M, index_t nrows, index_t ncols) {
    auto at = [&M](index_t i, index_t j) -> double& { return M(i, j); };
    Vec<index_t> support;
    index_t r = 0;
    for (index_t j = 0; j < ncols && r < nrows; ++j) {
        index_t p = r;
        double best = std::abs(at(r, j));
        for (index_t i = r + 1; i < nrows; ++i) {
            const double a = std::abs(at(i, j));
            if (a > best) {
                best = a;
                p = i;
            }
        }
        if (std::abs(at(p, j)) < TOL) continue;
        if (p != r) {
            for (index_t c = 0; c < ncols; ++c) std::swap(at(p, c), at(r, c));
        }
        const double v = at(r, j);
        support.clear();
        bool finite = true;
        const bool finite_pivot = std::isfinite(v);
        for (index_t c = 0; c < ncols; ++c) {
            double& y = at(r, c);
            if (finite_pivot && y == 0.0) continue;
            const double x = y / v;
            y = x;
            if (x != 0.0) support.push_back(c);
            finite = finite && std::isfinite(x);
        }
        const bool sparse = finite && 4 * static_cast<index_t>(support.size()) < ncols;
        for (index_t k = 0; k < nrows; ++k) {
            if (k == r) continue;
            const double f = at(k, j);
            if (finite && f == 0.0) continue;
            if (sparse && std::isfinite(f)) {
                for (const index_t c : support) at(k, c) = at(k, c) - f * at(r, c);
            } else {
                for (index_t c = 0; c < ncols; ++c) at(k, c) = at(k, c) - f * at(r, c);
            }
        }
        ++r;
    }
}

}  // namespace quelmar::reference
