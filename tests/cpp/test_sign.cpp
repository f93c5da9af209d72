// The objective of the determinant-sign test.
#include <gtest/gtest.h>

#include <cmath>
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

}  // namespace
