// Helpers shared by the kernel tests.
#pragma once

#include <initializer_list>
#include <limits>

#include "view.hpp"

namespace quelmar::testing {

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline const double nan = std::numeric_limits<double>::quiet_NaN();

/// A row-major matrix from nested lists.
inline Matrix<double> mat(std::initializer_list<std::initializer_list<double>> rows) {
    const auto r = static_cast<index_t>(rows.size());
    const auto c = r == 0 ? index_t{0} : static_cast<index_t>(rows.begin()->size());
    Matrix<double> M(r, c);
    index_t i = 0;
    for (const auto& row : rows) {
        index_t j = 0;
        for (const double x : row) M(i, j++) = x;
        ++i;
    }
    return M;
}

}  // namespace quelmar::testing
