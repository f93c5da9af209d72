// The objective of the determinant-sign test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <vector>

#include "sign.hpp"
#include "test_util.hpp"

namespace {

using quelmar::index_t;
using quelmar::Matrix;
using quelmar::SignObjective;

using quelmar::testing::inf;
using quelmar::testing::mat;
using quelmar::testing::nan;

double eval(SignObjective& f, std::vector<double> z) {
    return f(z.data(), static_cast<index_t>(z.size()));
}

TEST(SignObjective, NonSquareThrows) {
    EXPECT_THROW(SignObjective(mat({{inf, 1}}).view()), std::invalid_argument);
}

TEST(SignObjective, FreeEntriesAndTheirKinds) {
    SignObjective pos(mat({{inf}}).view());
    SignObjective neg(mat({{-inf}}).view());
    SignObjective any(mat({{nan}}).view());
    EXPECT_EQ(pos.nvars(), 1);
    EXPECT_EQ(pos.order(), 1);
    EXPECT_DOUBLE_EQ(eval(pos, {-3}), std::atan(9.0));
    EXPECT_DOUBLE_EQ(eval(neg, {3}), std::atan(-9.0));
    EXPECT_DOUBLE_EQ(eval(any, {-2}), std::atan(-2.0));
}

TEST(SignObjective, ValuesFillFreePositionsInRowMajorOrder) {
    SignObjective f(mat({{inf, 1, 0}, {0, nan, 1}, {-inf, 0, 2}}).view());
    ASSERT_EQ(f.nvars(), 3);
    // A(z) = [[4, 1, 0], [0, 5, 1], [-1, 0, 2]]: det = 4*10 - 1*(0 + 1) = 39.
    EXPECT_NEAR(std::tan(eval(f, {2, 5, 1})), 39.0, 1e-9);
}

TEST(SignObjective, TwoPositiveVariables) {
    SignObjective f(mat({{inf, 1}, {1, inf}}).view());
    EXPECT_DOUBLE_EQ(eval(f, {2, 3}), std::atan(35.0));
    EXPECT_DOUBLE_EQ(eval(f, {2, 3}), std::atan(35.0));  // the matrix is not consumed
}

TEST(SignObjective, OneValueFillsEveryPosition) {
    SignObjective f(mat({{inf, 1}, {1, inf}}).view());
    EXPECT_DOUBLE_EQ(eval(f, {2}), std::atan(15.0));
}

TEST(SignObjective, WrongNumberOfValuesThrows) {
    SignObjective f(mat({{inf, 1}, {1, inf}}).view());
    EXPECT_THROW(eval(f, {1, 2, 3}), std::invalid_argument);
    EXPECT_THROW(eval(f, {}), std::invalid_argument);
}

TEST(SignObjective, ExactlySingularIsNaN) {
    SignObjective f(mat({{inf, 1}, {0, 0}}).view());
    EXPECT_TRUE(std::isnan(eval(f, {4})));
}

TEST(SignObjective, NoFreeEntries) {
    SignObjective f(mat({{2, 0}, {0, -3}}).view());
    EXPECT_EQ(f.nvars(), 0);
    EXPECT_DOUBLE_EQ(eval(f, {}), std::atan(-6.0));
}

TEST(SignObjective, EmptyMatrix) {
    SignObjective f(Matrix<double>(0, 0).view());
    EXPECT_EQ(eval(f, {}), 0.0);
}

TEST(SignObjective, DifferencesAreForwardStepsOfTheObjective) {
    SignObjective f(mat({{inf, 1, 0}, {0, nan, 1}, {-inf, 0, 2}}).view());
    // 3e8 + 2^-26 rounds back to 3e8: that step is 2^-26 * 3e8 instead.
    const std::vector<double> z = {0.5, -3e8, 2.0};
    const double f0 = -eval(f, z);
    std::vector<double> g(3);
    f.differences(z.data(), f0, -1.0, g.data());
    for (index_t i = 0; i < 3; ++i) {
        const double h = i == 1 ? -0x1p-26 * 3e8 : 0x1p-26;
        std::vector<double> moved = z;
        moved[i] = z[i] + h;
        EXPECT_EQ(g[i], (-eval(f, moved) - f0) / ((z[i] + h) - z[i])) << i;
    }
    // In pieces, each with its own scratch, the same bits.
    std::vector<double> pieces(3), scratch(9), point = z;
    f.differences(z.data(), f0, -1.0, pieces.data(), 2, 3, scratch.data(), point.data());
    f.differences(z.data(), f0, -1.0, pieces.data(), 0, 2, scratch.data(), point.data());
    EXPECT_EQ(point, z);
    EXPECT_EQ(std::memcmp(pieces.data(), g.data(), sizeof(double) * 3), 0);
}

}  // namespace
