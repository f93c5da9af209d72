// Helpers shared by the kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <type_traits>

#include "view.hpp"

namespace quelmar::testing {

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline const double nan = std::numeric_limits<double>::quiet_NaN();

/// A row-major matrix from nested lists (of doubles unless T is given);
/// cols fixes the width where there are no rows to tell it.
template <class T = double>
Matrix<T> mat(std::initializer_list<std::initializer_list<std::type_identity_t<T>>> rows,
              index_t cols = -1) {
    const auto r = static_cast<index_t>(rows.size());
    const index_t c = cols >= 0 ? cols : r == 0 ? 0 : static_cast<index_t>(rows.begin()->size());
    Matrix<T> M(r, c);
    index_t i = 0;
    for (const auto& row : rows) {
        index_t j = 0;
        for (const T x : row) M(i, j++) = x;
        ++i;
    }
    return M;
}

/// An m x n matrix of draws entry(gen), row by row.
template <class Gen, class Dist>
Matrix<double> random_matrix(index_t m, index_t n, Gen& gen, Dist& entry) {
    Matrix<double> M(m, n);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) M(i, j) = entry(gen);
    return M;
}

/// Element-wise equality in which NaN equals NaN.
template <class T>
void expect_same(const Matrix<T>& actual, const Matrix<T>& expected) {
    ASSERT_EQ(actual.rows(), expected.rows());
    ASSERT_EQ(actual.cols(), expected.cols());
    for (index_t i = 0; i < expected.rows(); ++i)
        for (index_t j = 0; j < expected.cols(); ++j) {
            if constexpr (std::is_floating_point_v<T>) {
                if (std::isnan(expected(i, j))) {
                    EXPECT_TRUE(std::isnan(actual(i, j))) << "at (" << i << ", " << j << ")";
                    continue;
                }
            }
            EXPECT_EQ(actual(i, j), expected(i, j)) << "at (" << i << ", " << j << ")";
        }
}

}  // namespace quelmar::testing
