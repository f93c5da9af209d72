// Conserved-quantity classes, output-complete closure, emergent cycles,
// chi-index and the search for isolated buffering structures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "invariants.hpp"
#include "amatrix.hpp"
#include "dense.hpp"
#include "closures.hpp"
#include "complement.hpp"
#include "reference.hpp"
#include "search.hpp"
#include "test_util.hpp"

extern "C" void dgesdd_(char* jobz, int* m, int* n, double* a, int* lda, double* s, double* u,
                        int* ldu, double* vt, int* ldvt, double* work, int* lwork, int* iwork,
                        int* info);
extern "C" void dgeqp3_(int* m, int* n, double* a, int* lda, int* jpvt, double* tau,
                        double* work, int* lwork, int* info);
extern "C" void dorgqr_(int* m, int* n, int* k, double* a, int* lda, double* tau, double* work,
                        int* lwork, int* info);
extern "C" void dtrtri_(char* uplo, char* diag, int* n, double* a, int* lda, int* info);

namespace {

const quelmar::QrRoutines kSystemQr{&dgeqp3_, &dorgqr_, &dtrtri_};

using quelmar::index_t;
using quelmar::Matrix;
using quelmar::MatrixView;
using quelmar::Selection;
using quelmar::VectorView;
using Bytes = Matrix<std::uint8_t>;

using quelmar::testing::expect_same;
using quelmar::testing::nan;
using quelmar::testing::random_matrix;

using quelmar::testing::mat;

Bytes bmat(std::initializer_list<std::initializer_list<std::uint8_t>> rows) {
    return mat<std::uint8_t>(rows);
}
Bytes identity(index_t m) {
    Bytes I(m, m);
    for (index_t i = 0; i < m; ++i) I(i, i) = 1;
    return I;
}

VectorView<const std::uint8_t> view(const Selection& s) {
    return {s.data(), static_cast<index_t>(s.size()), 1};
}
VectorView<std::uint8_t> view(Selection& s) {
    return {s.data(), static_cast<index_t>(s.size()), 1};
}

Bytes classes(const Matrix<double>& DT) {
    Bytes out(DT.cols(), DT.cols(), 7);
    quelmar::cq_classifier(DT.view(), out.view());
    return out;
}

// The conserved-quantity block of the A-matrix of stoi.
Matrix<double> conserved_block(const Matrix<double>& stoi) {
    const Matrix<double> reg(stoi.rows(), stoi.cols());
    const Matrix<double> A = quelmar::construct_A(stoi.view(), reg.view());
    const index_t m = stoi.rows();
    const index_t n = stoi.cols();
    Matrix<double> DT(A.rows() - n, m);
    for (index_t l = 0; l < DT.rows(); ++l)
        for (index_t i = 0; i < m; ++i) DT(l, i) = A(n + l, i);
    return DT;
}

// ------------------------------------------------------ reference algorithms

// Direct sharing, then one in-place transitive pass per conserved quantity,
// then the diagonal.
Bytes naive_classes(const Matrix<double>& DT) {
    const index_t L = DT.rows();
    const index_t m = DT.cols();
    Bytes out(m, m);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < m; ++j)
            for (index_t l = 0; l < L; ++l)
                if (!(std::abs(DT(l, i)) < quelmar::TOL) && !(std::abs(DT(l, j)) < quelmar::TOL))
                    out(i, j) = 1;
    for (index_t pass = 0; pass < L; ++pass)
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < m; ++j)
                for (index_t k = 0; k < m; ++k)
                    if (out(i, k) != 0 && out(k, j) != 0) out(i, j) = 1;
    for (index_t i = 0; i < m; ++i) out(i, i) = 1;
    return out;
}

// Passes of three sweeps until a pass adds nothing.
void naive_closure(Selection& w, const Bytes& oc, const Bytes& lo, const Bytes& cq, index_t m,
                   index_t n) {
    for (bool changed = true; changed;) {
        changed = false;
        auto set = [&](index_t e) {
            if (w[static_cast<std::size_t>(e)] == 0) changed = true;
            w[static_cast<std::size_t>(e)] = 1;
        };
        for (index_t i = 0; i < m; ++i)
            if (w[static_cast<std::size_t>(i)] != 0)
                for (index_t j = 0; j < n; ++j)
                    if (oc(i, j) != 0) set(m + j);
        for (index_t j = 0; j < n; ++j)
            if (w[static_cast<std::size_t>(m + j)] != 0)
                for (index_t i = 0; i < m; ++i)
                    if (lo(i, j) != 0) set(i);
        for (index_t i = 0; i < m; ++i)
            if (w[static_cast<std::size_t>(i)] != 0)
                for (index_t k = 0; k < m; ++k)
                    if (cq(i, k) != 0) set(k);
    }
}

index_t count(const Selection& s, index_t from, index_t to) {
    index_t c = 0;
    for (index_t e = from; e < to; ++e) c += s[static_cast<std::size_t>(e)] != 0;
    return c;
}

// Every seed evaluated, then first occurrences, then the exchange ordering.
std::vector<Selection> naive_search(const Matrix<double>& stoi, const Matrix<double>& DT,
                                    const Bytes& oc, const Bytes& lo, const Bytes& cq) {
    const index_t m = stoi.rows();
    const index_t n = stoi.cols();
    std::vector<Selection> accepted;
    for (index_t M = -1; M < m; ++M)
        for (index_t N = 0; N < n; ++N) {
            Selection s(static_cast<std::size_t>(m + n));
            if (M >= 0) s[static_cast<std::size_t>(M)] = 1;
            s[static_cast<std::size_t>(m + N)] = 1;
            naive_closure(s, oc, lo, cq, m, n);
            if (quelmar::chiindex(stoi.view(), DT.view(), view(s)) == 0 &&
                quelmar::no_emergent_cycles(stoi.view(), view(s)))
                accepted.push_back(s);
        }
    if (accepted.empty()) accepted.emplace_back(static_cast<std::size_t>(m + n), 1);
    std::vector<Selection> unique;
    for (const Selection& s : accepted) {
        bool dup = false;
        for (const Selection& u : unique) dup = dup || u == s;
        if (!dup) unique.push_back(s);
    }
    const auto L = unique.size();
    for (std::size_t i = 0; i + 1 < L; ++i)
        for (std::size_t j = i + 1; j < L; ++j) {
            const index_t ms = count(unique[i], 0, m);
            const index_t ns = count(unique[j], 0, m);
            if (ms > ns || (ms == ns && count(unique[i], m, m + n) > count(unique[j], m, m + n)))
                std::swap(unique[i], unique[j]);
        }
    return unique;
}

// ---------------------------------------------------------------- classes

TEST(CqClassifier, NoConservedQuantitiesGivesTheIdentity) {
    expect_same(classes(Matrix<double>(0, 3)), identity(3));
}

TEST(CqClassifier, OneQuantityOverTwoSpecies) {
    expect_same(classes(mat({{1, 1}})), bmat({{1, 1}, {1, 1}}));
}

TEST(CqClassifier, ChainsLinkSpeciesWithoutACommonQuantity) {
    expect_same(classes(mat({{1, 1, 0}, {0, 1, 1}})), bmat({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}));
}

TEST(CqClassifier, LongChainInReverseOrder) {
    expect_same(classes(mat({{0, 0, 1, 1}, {0, 1, 1, 0}, {1, 1, 0, 0}})),
                bmat({{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}}));
}

TEST(CqClassifier, SeparateClasses) {
    expect_same(classes(mat({{1, 0, 0}, {0, 1, 1}})), bmat({{1, 0, 0}, {0, 1, 1}, {0, 1, 1}}));
}

TEST(CqClassifier, ToleranceIsStrictAndNaNIsPresent) {
    expect_same(classes(mat({{1, 5e-9}})), identity(2));
    expect_same(classes(mat({{1, 1e-8}})), bmat({{1, 1}, {1, 1}}));
    expect_same(classes(mat({{nan, -1}})), bmat({{1, 1}, {1, 1}}));
}

TEST(CqClassifier, SpeciesOutsideEveryQuantityIsItsOwnClass) {
    expect_same(classes(mat({{0, 1, 1}})), bmat({{1, 0, 0}, {0, 1, 1}, {0, 1, 1}}));
}

TEST(CqClassifier, NoSpecies) {
    Bytes out(0, 0);
    quelmar::cq_classifier(Matrix<double>(2, 0).view(), out.view());
}

TEST(CqClassifier, SmallOutputThrows) {
    Bytes out(1, 2);
    EXPECT_THROW(quelmar::cq_classifier(mat({{1, 1}}).view(), out.view()),
                 std::invalid_argument);
}

TEST(CqClassifier, MatchesTheTransitivePassesOnRandomQuantities) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double values[] = {1.0, -2.0, 5e-9, 1e-8, nan};
    for (int trial = 0; trial < 200; ++trial) {
        const index_t L = trial % 6;
        const index_t m = 1 + (trial / 6) % 9;
        const double density = 0.05 + 0.3 * u(gen);
        Matrix<double> DT(L, m);
        for (index_t l = 0; l < L; ++l)
            for (index_t i = 0; i < m; ++i)
                if (u(gen) < density) DT(l, i) = values[gen() % 5];
        expect_same(classes(DT), naive_classes(DT));
    }
}

// ---------------------------------------------------------------- closure

TEST(OcClosure, EmptySeedStaysEmpty) {
    Selection s(4);
    const Bytes all = bmat({{1, 1}, {1, 1}});
    quelmar::oc_closure(view(s), all.view(), all.view(), all.view(), 2, 2);
    EXPECT_EQ(s, Selection(4));
}

TEST(OcClosure, GrowsThroughRatesAndResponses) {
    const Bytes oc = bmat({{1, 0}, {0, 1}});
    const Bytes lo = bmat({{0, 0}, {1, 0}});
    Selection s = {1, 0, 0, 0};
    quelmar::oc_closure(view(s), oc.view(), lo.view(), identity(2).view(), 2, 2);
    EXPECT_EQ(s, (Selection{1, 1, 1, 1}));
}

TEST(OcClosure, BringsInTheWholeClass) {
    const Bytes oc = bmat({{0}, {0}, {1}});
    const Bytes lo = bmat({{0}, {0}, {0}});
    const Bytes cq = bmat({{1, 0, 0}, {0, 1, 1}, {0, 1, 1}});
    Selection s = {0, 1, 0, 0};
    quelmar::oc_closure(view(s), oc.view(), lo.view(), cq.view(), 3, 1);
    EXPECT_EQ(s, (Selection{0, 1, 1, 1}));
}

TEST(OcClosure, ClosedSeedIsLeftAsItWas) {
    const Bytes oc = bmat({{1, 0}, {0, 0}});
    const Bytes lo = bmat({{1, 0}, {0, 1}});
    Selection s = {5, 0, 9, 0};  // non-zero bytes other than 1 are kept
    quelmar::oc_closure(view(s), oc.view(), lo.view(), identity(2).view(), 2, 2);
    EXPECT_EQ(s, (Selection{5, 0, 9, 0}));
}

TEST(OcClosure, EntriesBeyondTheNetworkAreUntouched) {
    const Bytes oc = bmat({{1}});
    const Bytes lo = bmat({{0}});
    Selection s = {1, 0, 0, 3};
    quelmar::oc_closure(view(s), oc.view(), lo.view(), identity(1).view(), 1, 1);
    EXPECT_EQ(s, (Selection{1, 1, 0, 3}));
}

TEST(OcClosure, StridedSelection) {
    const Bytes oc = bmat({{1, 0}, {0, 1}});
    const Bytes lo = bmat({{0, 0}, {1, 0}});
    Selection storage = {1, 7, 0, 7, 0, 7, 0, 7};
    const VectorView<std::uint8_t> every_other{storage.data(), 4, 2};
    quelmar::oc_closure(every_other, oc.view(), lo.view(), identity(2).view(), 2, 2);
    EXPECT_EQ(storage, (Selection{1, 7, 1, 7, 1, 7, 1, 7}));
}

TEST(OcClosure, SmallExtentsThrow) {
    const Bytes two = bmat({{1, 1}, {1, 1}});
    const Bytes one = bmat({{1}});
    Selection s(4);
    Selection shorter(3);
    EXPECT_THROW(quelmar::oc_closure(view(shorter), two.view(), two.view(), two.view(), 2, 2),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::oc_closure(view(s), one.view(), two.view(), two.view(), 2, 2),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::oc_closure(view(s), two.view(), one.view(), two.view(), 2, 2),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::oc_closure(view(s), two.view(), two.view(), one.view(), 2, 2),
                 std::invalid_argument);
}

TEST(OcClosure, MatchesRepeatedSweepsOnRandomRelations) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        const index_t m = 1 + trial % 7;
        const index_t n = 1 + (trial / 7) % 6;
        const double density = 0.05 + 0.25 * u(gen);
        Bytes oc(m, n);
        Bytes lo(m, n);
        Bytes cq(m, m);
        for (index_t i = 0; i < m; ++i) {
            for (index_t j = 0; j < n; ++j) {
                oc(i, j) = u(gen) < density;
                lo(i, j) = u(gen) < density;
            }
            for (index_t k = 0; k < m; ++k) cq(i, k) = u(gen) < density;
        }
        Selection seed(static_cast<std::size_t>(m + n));
        for (auto& b : seed) b = u(gen) < 0.15;
        Selection fast = seed;
        Selection slow = seed;
        quelmar::oc_closure(view(fast), oc.view(), lo.view(), cq.view(), m, n);
        naive_closure(slow, oc, lo, cq, m, n);
        EXPECT_EQ(fast, slow) << "trial " << trial;
    }
}

// ---------------------------------------------------------------- emergent cycles

TEST(NoEmergentCycles, CycleThatChangesAnOutsideSpecies) {
    const Matrix<double> stoi = mat({{-1, 1}, {1, 0}});
    EXPECT_FALSE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 1, 1})));
}

TEST(NoEmergentCycles, CycleOfTheWholeNetwork) {
    const Matrix<double> stoi = mat({{-1, 1}, {1, -1}});
    EXPECT_TRUE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 1, 1})));
}

TEST(NoEmergentCycles, NothingToTestIsTrue) {
    const Matrix<double> stoi = mat({{-1, 1}, {1, 0}});
    EXPECT_TRUE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 0, 0})));  // q = 0
    EXPECT_TRUE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 1, 0})));  // k = 0
    EXPECT_TRUE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 1, 1, 1})));  // p = m
}

TEST(NoEmergentCycles, NoSelectedSpecies) {
    const Matrix<double> stoi = mat({{0, 1}, {0, 0}});
    EXPECT_TRUE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{0, 0, 1, 0})));
    EXPECT_FALSE(quelmar::no_emergent_cycles(stoi.view(), view(Selection{0, 0, 0, 1})));
}

TEST(NoEmergentCycles, ToleranceOfTheOutsideChange) {
    const Selection s = {1, 0, 1, 1};
    EXPECT_TRUE(quelmar::no_emergent_cycles(mat({{-1, 1}, {5e-9, 0}}).view(), view(s)));
    EXPECT_FALSE(quelmar::no_emergent_cycles(mat({{-1, 1}, {1e-8, 0}}).view(), view(s)));
    EXPECT_TRUE(quelmar::no_emergent_cycles(mat({{-1, 1}, {nan, 0}}).view(), view(s)));
}

TEST(NoEmergentCycles, SelectionMustCoverTheNetworkExactly) {
    const Matrix<double> stoi = mat({{-1, 1}, {1, 0}});
    EXPECT_THROW(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 1})),
                 std::invalid_argument);
    EXPECT_THROW(quelmar::no_emergent_cycles(stoi.view(), view(Selection{1, 0, 1, 1, 0})),
                 std::invalid_argument);
}

// ---------------------------------------------------------------- chi-index

index_t chi(const Matrix<double>& stoi, const Matrix<double>& DT, const Selection& s) {
    return quelmar::chiindex(stoi.view(), DT.view(), view(s));
}

TEST(ChiIndex, OneSpeciesTwoReactions) {
    const Matrix<double> stoi = mat({{-1, 1}});
    const Matrix<double> DT(0, 1);
    EXPECT_EQ(chi(stoi, DT, {0, 0, 0}), 0);
    EXPECT_EQ(chi(stoi, DT, {1, 1, 0}), 0);
    EXPECT_EQ(chi(stoi, DT, {0, 0, 1}), 1);
    EXPECT_EQ(chi(stoi, DT, {1, 0, 0}), -1);
}

TEST(ChiIndex, TwoSpeciesOneReaction) {
    const Matrix<double> stoi = mat({{-1}, {1}});
    const Matrix<double> DT = mat({{1, 1}});
    EXPECT_EQ(chi(stoi, DT, {0, 1, 0}), 0);
    EXPECT_EQ(chi(stoi, DT, {1, 0, 1}), 1);
    EXPECT_EQ(chi(stoi, DT, {1, 1, 1}), 0);
}

TEST(ChiIndex, SpeciesWithoutReactionsOrQuantities) {
    const Matrix<double> stoi = mat({{1, 0}, {0, 1}, {0, 0}}, 2);
    const Matrix<double> DT = mat({{0, 0, 1}});
    EXPECT_EQ(chi(stoi, DT, {1, 1, 0, 0, 0}), -2);
    EXPECT_EQ(chi(stoi, DT, {1, 1, 1, 0, 0}), -2);
}

TEST(ChiIndex, WholeNetworkIsZero) {
    std::mt19937 gen(2);
    std::uniform_int_distribution<int> entry(-1, 1);
    for (int trial = 0; trial < 40; ++trial) {
        const index_t m = 1 + trial % 5;
        const index_t n = 1 + (trial / 5) % 5;
        const Matrix<double> stoi = random_matrix(m, n, gen, entry);
        const Matrix<double> DT = conserved_block(stoi);
        EXPECT_EQ(chi(stoi, DT, Selection(static_cast<std::size_t>(m + n), 1)), 0);
    }
}

TEST(ChiIndex, ShapesAreChecked) {
    const Matrix<double> stoi = mat({{-1, 1}});
    EXPECT_THROW(chi(stoi, Matrix<double>(0, 1), {1, 1}), std::invalid_argument);
    EXPECT_THROW(chi(stoi, Matrix<double>(0, 1), {1, 1, 1, 1}), std::invalid_argument);
    EXPECT_THROW(chi(stoi, Matrix<double>(1, 2), {1, 1, 1}), std::invalid_argument);
}

// ---------------------------------------------------------------- search

// Three blocks without shared species: X0 -> X1 (X0 + X1 conserved), X2 -> X3
// (X2 + X3 conserved) and 0 -> X4.  Reaction seeds close to their own block;
// species seeds join blocks.
struct Blocks {
    Matrix<double> stoi = mat({{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, 1}});
    Matrix<double> DT = mat({{1, 1, 0, 0, 0}, {0, 0, 1, 1, 0}});
    Bytes oc = bmat({{1, 0, 0}, {0, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 0, 0}});
    Bytes lo = bmat({{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 1, 0}, {0, 0, 1}});
    Bytes cq = classes(DT);
};

TEST(SearchIsoBSs, ExchangeOrderingIsNotStable) {
    const Blocks b;
    const auto found =
        quelmar::search_isoBSs(b.stoi.view(), b.DT.view(), b.oc.view(), b.lo.view(), b.cq.view());
    // Accepted in the order B1, B2, A, B1+B2, B1+A, B2+A; the exchange ordering
    // moves A to the front and thereby B2 ahead of B1.
    const std::vector<Selection> expected = {
        {0, 0, 0, 0, 1, 0, 0, 1},  // A
        {0, 0, 1, 1, 0, 0, 1, 0},  // B2
        {1, 1, 0, 0, 0, 1, 0, 0},  // B1
        {1, 1, 0, 0, 1, 1, 0, 1},  // B1 + A
        {0, 0, 1, 1, 1, 0, 1, 1},  // B2 + A
        {1, 1, 1, 1, 0, 1, 1, 0},  // B1 + B2
    };
    EXPECT_EQ(found, expected);
}

TEST(SearchIsoBSs, OrderingFollowsTheExchangeProcedure) {
    // Long lists with many equal counts, against the procedure pair by pair.
    std::mt19937 gen(5);
    const index_t m = 3, n = 4;
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<Selection> found(static_cast<std::size_t>(gen() % 400));
        for (std::size_t k = 0; k < found.size(); ++k) {
            found[k].resize(static_cast<std::size_t>(m + n));
            for (auto& e : found[k]) e = static_cast<std::uint8_t>(gen() % 3 == 0);
            found[k][static_cast<std::size_t>(m)] = static_cast<std::uint8_t>(k % 256 == 0);
            found[k].push_back(static_cast<std::uint8_t>(k % 2));  // tells equal ones apart
            found[k].push_back(static_cast<std::uint8_t>(k / 2 % 2));
        }
        std::vector<Selection> expected = found;
        auto counts = [&](const Selection& s) {
            index_t a = 0, b = 0;
            for (index_t e = 0; e < m + n; ++e) (e < m ? a : b) += s[static_cast<std::size_t>(e)];
            return std::make_pair(a, b);
        };
        for (std::size_t i = 0; i + 1 < expected.size(); ++i)
            for (std::size_t j = i + 1; j < expected.size(); ++j)
                if (counts(expected[i]) > counts(expected[j])) std::swap(expected[i], expected[j]);
        quelmar::search_detail::order_found(found, m, n);
        EXPECT_EQ(found, expected) << "trial " << trial;
    }
}

TEST(SearchIsoBSs, NothingAcceptedGivesTheWholeNetwork) {
    // 0 -> X0 + X1 with X0 - X1 conserved: every closure has chi-index 1.
    const Matrix<double> stoi = mat({{1}, {1}});
    const Matrix<double> DT = mat({{1, -1}});
    const Bytes none(2, 1);
    const auto found =
        quelmar::search_isoBSs(stoi.view(), DT.view(), none.view(), none.view(), identity(2).view());
    EXPECT_EQ(found, (std::vector<Selection>{{1, 1, 1}}));
}

TEST(SearchIsoBSs, NoReactionsGivesTheWholeNetwork) {
    const Matrix<double> stoi(2, 0);
    const Matrix<double> DT = mat({{1, 0}, {0, 1}});
    const Bytes none(2, 0);
    const auto found =
        quelmar::search_isoBSs(stoi.view(), DT.view(), none.view(), none.view(), identity(2).view());
    EXPECT_EQ(found, (std::vector<Selection>{{1, 1}}));
}

// Options of a search on `threads` threads; 0 stands for one thread, and -t
// for t threads, with the candidates that leave out few entries judged from a
// factorisation of the whole network (made on a thread of its own while the
// others evaluate the rest, when there are several): its singular value
// decomposition for 0, its pivoted QR factorisation for -t.
quelmar::SearchOptions options_for(int threads) {
    quelmar::SearchOptions options;
    options.threads = std::max(std::abs(threads), 1);
    if (threads <= 0) {
        options.dgesdd = &dgesdd_;
        options.whole_from = 0;
    }
    if (threads < 0) options.qr = kSystemQr;
    return options;
}

TEST(SearchIsoBSs, MatchesEvaluatingEverySeed) {
    std::mt19937 gen(13);
    std::uniform_int_distribution<int> entry(-1, 1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int several = 0, scaled_cases = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const index_t m = 1 + trial % 7;
        const index_t n = 1 + (trial / 7) % 6;
        const double density = 0.05 + 0.5 * u(gen);
        const Matrix<double> stoi = random_matrix(m, n, gen, entry);
        const Matrix<double> DT = conserved_block(stoi);
        Bytes oc(m, n);
        Bytes lo(m, n);
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) {
                oc(i, j) = stoi(i, j) < 0 || u(gen) < density / 4;
                lo(i, j) = u(gen) < density;
            }
        const Bytes cq = classes(DT);
        const auto fast =
            quelmar::search_isoBSs(stoi.view(), DT.view(), oc.view(), lo.view(), cq.view());
        EXPECT_EQ(fast, naive_search(stoi, DT, oc, lo, cq)) << "trial " << trial;
        several += fast.size() > 2 ? 1 : 0;
        // Evaluated locally on any number of threads, or on the whole network
        // seed by seed: the same list, also for coefficients of any scale
        // (some near the zero tolerance) and for values that are not finite.
        Matrix<double> scaled = stoi;
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j)
                scaled(i, j) *= trial % 3 == 0 ? std::pow(10.0, -9.0 + 12.0 * u(gen))
                                               : 1.0 + std::floor(8.0 * u(gen)) / 3.0;
        if (trial % 17 == 5) scaled(0, 0) = trial % 2 == 0 ? nan : HUGE_VAL;
        Matrix<double> sDT;
        try {
            sDT = conserved_block(scaled);
        } catch (const std::domain_error&) {  // numerically rank-deficient at 1e-8
            continue;
        }
        ++scaled_cases;
        for (const int threads : {0, -3, 1, 3}) {
            const quelmar::SearchOptions options = options_for(threads);
            EXPECT_EQ(quelmar::search_isoBSs(scaled.view(), sDT.view(), oc.view(), lo.view(),
                                             cq.view(), options),
                      quelmar::reference::search_isoBSs_seedwise(scaled.view(), sDT.view(), oc.view(),
                                                      lo.view(), cq.view()))
                << "trial " << trial << ", " << threads << " threads";
        }
    }
    EXPECT_GT(several, 20);  // the comparison is not vacuous
    EXPECT_GT(scaled_cases, 150);
}

TEST(SearchIsoBSs, LargeClosuresAndThreadsMatchEvaluatingEverySeed) {
    // Hub species whose rates drive most reactions give closures with many
    // reactions, which are judged against the factorised span of the larger
    // closure; the candidates are shared out between threads.
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 4; ++trial) {
        const index_t m = 60, n = 90;
        Matrix<double> stoi(m, n);
        for (index_t j = 0; j < n; ++j) {
            const int k = 1 + static_cast<int>(3 * u(gen));
            for (int e = 0; e < k; ++e)
                stoi(static_cast<index_t>(m * u(gen)), j) = e == 0 ? -1.0 : 1.0 + (trial == 3 && e == 2);
        }
        Matrix<double> DT;
        try {
            DT = conserved_block(stoi);
        } catch (const std::domain_error&) {
            continue;
        }
        Bytes oc(m, n), lo(m, n);
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j) {
                oc(i, j) = stoi(i, j) < 0 || (i < 3 && u(gen) < 0.7);
                lo(i, j) = u(gen) < 0.01 + 0.02 * trial;
            }
        const Bytes cq = classes(DT);
        const auto expected =
            quelmar::reference::search_isoBSs_seedwise(stoi.view(), DT.view(), oc.view(), lo.view(), cq.view());
        for (const int threads : {0, -2, 1, 2}) {
            const quelmar::SearchOptions options = options_for(threads);
            EXPECT_EQ(quelmar::search_isoBSs(stoi.view(), DT.view(), oc.view(), lo.view(),
                                             cq.view(), options),
                      expected)
                << "trial " << trial << ", " << threads << " threads";
        }
    }
}

// Any selection, judged from what it leaves out: where the factorisation
// decides, it agrees with the chi-index and the emergent-cycle test.
void expect_complement_verdicts(const quelmar::QrRoutines& qr) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int decided = 0, accepted = 0, emergent = 0, cases = 0;
    for (int trial = 0; trial < 150; ++trial) {
        const index_t m = 2 + trial % 7, n = 2 + (trial / 7) % 8;
        Matrix<double> stoi(m, n);
        for (index_t j = 0; j < n; ++j)
            for (index_t i = 0; i < m; ++i)
                if (u(gen) < 0.35) stoi(i, j) = std::floor(5 * u(gen)) - 2.0;
        Matrix<double> DT;
        try {
            DT = conserved_block(stoi);
        } catch (const std::domain_error&) {
            continue;
        }
        const quelmar::search_detail::WholeFactors whole(stoi.view(), DT.view(), &dgesdd_, qr);
        ASSERT_TRUE(whole.usable()) << "trial " << trial;
        quelmar::Vec<double> scratch;
        for (int pick = 0; pick < 40; ++pick) {
            std::vector<std::uint8_t> s(static_cast<std::size_t>(m + n));
            std::vector<index_t> Y, C;
            const double keep = 0.5 + 0.5 * u(gen);
            for (index_t e = 0; e < m + n; ++e) {
                s[static_cast<std::size_t>(e)] = u(gen) < keep;
                if (s[static_cast<std::size_t>(e)] == 0) (e < m ? Y : C).push_back(e < m ? e : e - m);
            }
            const quelmar::VectorView<const std::uint8_t> view{s.data(), m + n, 1};
            const bool zero = quelmar::chiindex(stoi.view(), DT.view(), view) == 0;
            const bool expected = zero && quelmar::no_emergent_cycles(stoi.view(), view);
            const int verdict = whole.verdict(Y, C, scratch);
            ++cases;
            if (verdict < 0) continue;
            ++decided;
            accepted += verdict;
            emergent += zero && !expected;
            EXPECT_EQ(verdict == 1, expected) << "trial " << trial << ", pick " << pick;
        }
    }
    EXPECT_GT(decided, cases * 9 / 10);
    EXPECT_GT(accepted, 100);
    EXPECT_GT(emergent, 20);
}

TEST(WholeFactors, VerdictFromTheSingularValueDecomposition) { expect_complement_verdicts({}); }

TEST(WholeFactors, VerdictFromThePivotedQrFactorisation) {
    expect_complement_verdicts(kSystemQr);
}

// The QR factorisation is only used where the conserved quantities given are
// the left null space of S; otherwise (here a DT of the wrong rows) the
// singular value decomposition decides, as the eliminations do.
TEST(WholeFactors, ConservedQuantitiesThatAreNotTheLeftNullSpace) {
    const Matrix<double> stoi = mat({{-1, 0}, {1, -1}, {0, 1}, {0, 0}});
    const Matrix<double> wrong = mat({{1, 1, 0, 0}, {0, 0, 0, 1}});
    const Matrix<double> right = mat({{1, 1, 1, 0}, {0, 0, 0, 1}});
    std::vector<index_t> Y{3}, C{};
    quelmar::Vec<double> scratch;
    for (const Matrix<double>* DT : {&wrong, &right}) {
        const quelmar::search_detail::WholeFactors svd(stoi.view(), DT->view(), &dgesdd_);
        const quelmar::search_detail::WholeFactors qr(stoi.view(), DT->view(), &dgesdd_,
                                                      kSystemQr);
        ASSERT_EQ(svd.usable(), qr.usable());
        if (svd.usable()) {
            EXPECT_EQ(svd.verdict(Y, C, scratch), qr.verdict(Y, C, scratch));
        }
    }
}

TEST(SearchIsoBSs, PollMayStopTheSearch) {
    const Blocks b;
    const quelmar::Poll poll{[](void*) { throw std::runtime_error("interrupted"); }, nullptr};
    EXPECT_THROW(quelmar::search_isoBSs(b.stoi.view(), b.DT.view(), b.oc.view(), b.lo.view(),
                                        b.cq.view(), poll),
                 std::runtime_error);
}

}  // namespace
