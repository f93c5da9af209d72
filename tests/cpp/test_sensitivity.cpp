// The trials of the sensitivity pattern: where the drawn values go, the
// structural test, the exact path against the cofactor method, and the bound
// on the cofactor workspace.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "amatrix.hpp"
#include "sensitivity.hpp"
#include "test_util.hpp"

namespace {

using quelmar::index_t;
using quelmar::Matrix;
using quelmar::SensitivityTrials;
using quelmar::testing::inf;
using quelmar::testing::mat;

using Pattern = Matrix<std::uint8_t>;

// One trial with the given values into a fresh m x n pattern.
Pattern one_trial(SensitivityTrials& t, const std::vector<double>& values, index_t m,
                  index_t n) {
    EXPECT_EQ(t.free_count(), static_cast<index_t>(values.size()));
    std::copy(values.begin(), values.end(), t.free_values().begin());
    Pattern out(m, n, 0);
    t.trial(out.view());
    return out;
}

std::vector<std::uint8_t> entries(const Pattern& p) {
    return {p.data(), p.data() + p.rows() * p.cols()};
}

TEST(SensitivityTrials, FreeValuesGoToTheFreeEntriesInRowMajorOrder) {
    // adj([[1, a], [7, b]])[0, :] = [b, -a]
    const Matrix<double> A = mat({{1, inf}, {7, inf}});
    SensitivityTrials t(A.view(), 1, 2);
    t.test_structure();
    ASSERT_FALSE(t.adjugate_vanishes());
    EXPECT_EQ(entries(one_trial(t, {0.0, 5.0}, 1, 2)), (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(entries(one_trial(t, {5.0, 0.0}, 1, 2)), (std::vector<std::uint8_t>{0, 1}));
}

TEST(SensitivityTrials, StructuralTestLooksAtTheSpeciesByReactionBlockOnly) {
    // adj([[0, a], [0, 0]]) = [[0, -a], [0, 0]]: matching of size L - 1 whose
    // Over row is row 1 and Under column is column 0.
    const Matrix<double> A = mat({{0, inf}, {0, 0}});
    SensitivityTrials one_reaction(A.view(), 1, 1);
    one_reaction.test_structure();
    EXPECT_TRUE(one_reaction.adjugate_vanishes());

    SensitivityTrials two_reactions(A.view(), 1, 2);
    two_reactions.test_structure();
    ASSERT_FALSE(two_reactions.adjugate_vanishes());
    EXPECT_EQ(entries(one_trial(two_reactions, {3.0}, 1, 2)),
              (std::vector<std::uint8_t>{0, 1}));
}

TEST(SensitivityTrials, StructuralRankTwoBelowTheOrderVanishes) {
    const Matrix<double> A = mat({{inf, 1, 0}, {0, 0, 0}, {0, 0, 0}});
    SensitivityTrials t(A.view(), 2, 2);
    t.test_structure();
    EXPECT_TRUE(t.adjugate_vanishes());
    // A trial then changes nothing.
    EXPECT_EQ(entries(one_trial(t, {4.0}, 2, 2)), std::vector<std::uint8_t>(4, 0));
}

TEST(SensitivityTrials, ExactPathAgreesWithCofactorsOnRandomNetworks) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> coef(-2, 2), size(1, 4);
    std::normal_distribution<double> draw(0.0, 10.0);
    int compared = 0;
    for (int net = 0; net < 200; ++net) {
        const index_t m = size(gen), n = size(gen);
        Matrix<double> stoi(m, n), reginfo(m, n);
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) {
                stoi(i, j) = coef(gen);
                reginfo(i, j) = stoi(i, j) < 0 ? inf : 0.0;
            }
        Matrix<double> A;
        try {
            A = quelmar::construct_A(stoi.view(), reginfo.view());
        } catch (const std::domain_error&) {
            continue;
        }
        SensitivityTrials exact(A.view(), m, n), cofactors(A.view(), m, n);
        exact.use_stoichiometry(stoi.view());
        exact.test_structure();
        cofactors.test_structure();
        ASSERT_EQ(exact.adjugate_vanishes(), cofactors.adjugate_vanishes());
        if (exact.adjugate_vanishes()) continue;
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<double> values(static_cast<std::size_t>(exact.free_count()));
            for (double& v : values) v = draw(gen);
            ASSERT_EQ(entries(one_trial(exact, values, m, n)),
                      entries(one_trial(cofactors, values, m, n)))
                << "network " << net << ", trial " << trial;
            ++compared;
        }
    }
    EXPECT_GT(compared, 100);
}

TEST(SensitivityTrials, CofactorTrialsStartFromTheFixedEntriesAgain) {
    // The cofactor method overwrites its matrix with the adjugate: the next
    // trial must see the fixed entries of A again.
    const Matrix<double> A = mat({{inf, 2, 0}, {0, inf, 3}, {1, 0, inf}});
    const std::vector<double> first{1.0, -2.0, 0.5}, second{0.0, 4.0, 1.5};
    SensitivityTrials used(A.view(), 2, 2), fresh(A.view(), 2, 2);
    used.test_structure();
    fresh.test_structure();
    (void)one_trial(used, first, 2, 2);
    EXPECT_EQ(entries(one_trial(used, second, 2, 2)), entries(one_trial(fresh, second, 2, 2)));
}

TEST(SensitivityTrials, TrialsOrIntoTheirOutput) {
    const Matrix<double> A = mat({{1, inf}, {7, inf}});
    SensitivityTrials t(A.view(), 1, 2);
    t.test_structure();
    Pattern out(1, 2, 0);
    for (const auto& values : {std::vector<double>{0.0, 5.0}, std::vector<double>{5.0, 0.0}}) {
        std::copy(values.begin(), values.end(), t.free_values().begin());
        t.trial(out.view());
    }
    EXPECT_EQ(entries(out), (std::vector<std::uint8_t>{1, 1}));
}

TEST(SensitivityTrials, CofactorWorkspaceIsBounded) {
    // Without a stoichiometry matrix the cofactor method decides: L^4 doubles
    // for L = 150 are 3.7 GiB, over the bound, refused before any allocation.
    const index_t L = 150;
    Matrix<double> A(L, L, 0.0);
    for (index_t i = 0; i < L; ++i) {
        A(i, i) = 1.0;
        if (i + 1 < L) A(i, i + 1) = inf;
    }
    SensitivityTrials t(A.view(), 1, 1);
    t.test_structure();
    ASSERT_FALSE(t.adjugate_vanishes());
    std::fill(t.free_values().begin(), t.free_values().end(), 1.0);
    Pattern out(1, 1, 0);
    try {
        t.trial(out.view());
        FAIL() << "the trial did not refuse the workspace";
    } catch (const quelmar::MemoryLimitExceeded& e) {
        EXPECT_EQ(std::string(e.what()),
                  "the sensitivity matrix could not be decided exactly, and the cofactor method "
                  "would need 3.7 GiB for an A-matrix of order 150 (at most 2 GiB are used)");
    }
}

TEST(SensitivityTrials, RejectsShapes) {
    const Matrix<double> wide(2, 3);
    EXPECT_THROW(SensitivityTrials(wide.view(), 1, 1), std::invalid_argument);
    const Matrix<double> A = mat({{1, inf}, {7, inf}});
    EXPECT_THROW(SensitivityTrials(A.view(), 3, 1), std::invalid_argument);
    SensitivityTrials t(A.view(), 1, 2);
    Pattern small(1, 1, 0);
    EXPECT_THROW(t.trial(small.view()), std::invalid_argument);
}

}  // namespace
