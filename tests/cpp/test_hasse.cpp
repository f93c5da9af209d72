// The Hasse diagram of a family of sets against the transitive reduction of
// the whole inclusion relation, on families that take every path: small and
// large sets, duplicates, the empty set, and more large sets than are
// related to each other as a bit matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hasse.hpp"

namespace {

using quelmar::HasseFamily;
using quelmar::index_t;
using quelmar::MatrixView;

using Edges = std::vector<std::pair<index_t, index_t>>;  // (child, parent)

// Rows of `rows` x `elements` booleans; small sets of up to `most_small`
// elements, large ones missing up to `most_missing`.
std::vector<std::uint8_t> family(index_t small, index_t large, index_t elements,
                                 index_t most_small, index_t most_missing, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> m;
    auto pick = [&](index_t count) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(elements), 0);
        for (index_t t = 0; t < count; ++t)
            row[static_cast<std::size_t>(rng() % static_cast<unsigned>(elements))] = 1;
        return row;
    };
    for (index_t k = 0; k < small; ++k) {
        const auto row = pick(static_cast<index_t>(rng() % static_cast<unsigned>(most_small + 1)));
        m.insert(m.end(), row.begin(), row.end());
    }
    for (index_t k = 0; k < large; ++k) {
        auto row = pick(static_cast<index_t>(rng() % static_cast<unsigned>(most_missing + 1)));
        for (auto& x : row) x = x != 0 ? 0 : 1;
        m.insert(m.end(), row.begin(), row.end());
    }
    return m;
}

Edges by_hasse(const std::vector<std::uint8_t>& m, index_t rows, index_t elements, int threads) {
    const auto item = static_cast<index_t>(sizeof(std::uint8_t));
    const MatrixView<const std::uint8_t> view{m.data(), rows, elements, elements * item, item};
    const HasseFamily f(view, {}, threads);
    std::vector<index_t> child, parent;
    f.edges(0, rows / 3, threads, child, parent);  // in two pieces, as the binding does
    f.edges(rows / 3, rows, threads, child, parent);
    Edges out;
    for (std::size_t t = 0; t < child.size(); ++t) out.emplace_back(child[t], parent[t]);
    std::sort(out.begin(), out.end());
    return out;
}

// below[i]: bits of the sets strictly inside set i; the direct ones are
// those not below another set below i.
Edges by_reduction(const std::vector<std::uint8_t>& m, index_t rows, index_t elements) {
    const auto n = static_cast<std::size_t>(rows);
    const std::size_t words = (n + 63) / 64;
    auto inside = [&](std::size_t a, std::size_t b) {  // a strictly inside b
        bool strict = false;
        for (std::size_t x = 0; x < static_cast<std::size_t>(elements); ++x) {
            const auto ax = m[a * static_cast<std::size_t>(elements) + x];
            const auto bx = m[b * static_cast<std::size_t>(elements) + x];
            if (ax != 0 && bx == 0) return false;
            if (ax == 0 && bx != 0) strict = true;
        }
        return strict;
    };
    std::vector<std::uint64_t> below(n * words, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (inside(j, i)) below[i * words + j / 64] |= std::uint64_t{1} << (j % 64);
    Edges out;
    std::vector<std::uint64_t> covered(words);
    for (std::size_t i = 0; i < n; ++i) {
        std::fill(covered.begin(), covered.end(), 0);
        for (std::size_t j = 0; j < n; ++j)
            if ((below[i * words + j / 64] >> (j % 64)) & 1U)
                for (std::size_t w = 0; w < words; ++w) covered[w] |= below[j * words + w];
        for (std::size_t j = 0; j < n; ++j)
            if (((below[i * words + j / 64] >> (j % 64)) & 1U) && !((covered[j / 64] >> (j % 64)) & 1U))
                out.emplace_back(static_cast<index_t>(j), static_cast<index_t>(i));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Hasse, SmallAndLargeSetsWithDuplicatesAndTheEmptySet) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        const index_t e = 12, small = 60, large = 40;
        const auto m = family(small, large, e, 4, 5, seed);
        EXPECT_EQ(by_hasse(m, small + large, e, 1 + static_cast<int>(seed % 2)),
                  by_reduction(m, small + large, e))
            << "seed " << seed;
    }
}

TEST(Hasse, MoreLargeSetsThanTheBitMatrixHolds) {
    const index_t e = 40, small = 300, large = 4300;
    const auto m = family(small, large, e, 5, 12, 7);
    EXPECT_EQ(by_hasse(m, small + large, e, 2), by_reduction(m, small + large, e));
}

// The same family given as bits (element x at bit x % 8 of byte x / 8, rows
// padded with stray bits past the elements).
Edges by_packed(const std::vector<std::uint8_t>& m, index_t rows, index_t elements) {
    const index_t bytes = (elements + 7) / 8 + 1;
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(rows * bytes), 0);
    for (index_t i = 0; i < rows; ++i) {
        for (index_t x = 0; x < elements; ++x)
            if (m[static_cast<std::size_t>(i * elements + x)] != 0)
                packed[static_cast<std::size_t>(i * bytes + x / 8)] |=
                    static_cast<std::uint8_t>(1U << (x % 8));
        packed[static_cast<std::size_t>(i * bytes + bytes - 1)] = 0xFF;
        if (elements % 8 != 0)
            packed[static_cast<std::size_t>(i * bytes + elements / 8)] |=
                static_cast<std::uint8_t>(0xFF << (elements % 8));
    }
    const MatrixView<const std::uint8_t> view{packed.data(), rows, bytes, bytes, 1};
    const HasseFamily f(view, elements, {}, 2);
    std::vector<index_t> child, parent;
    f.edges(0, rows, 2, child, parent);
    Edges out;
    for (std::size_t t = 0; t < child.size(); ++t) out.emplace_back(child[t], parent[t]);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Hasse, SetsGivenAsBits) {
    for (const index_t e : {12, 64, 70}) {
        const index_t small = 60, large = 40;
        const auto m = family(small, large, e, 4, 5, static_cast<unsigned>(e));
        EXPECT_EQ(by_packed(m, small + large, e), by_reduction(m, small + large, e))
            << e << " elements";
    }
}

TEST(Hasse, NoSetsOrNoElements) {
    EXPECT_TRUE(by_hasse({}, 0, 5, 1).empty());
    const std::vector<std::uint8_t> none(3, 0);  // three empty sets: all equal
    EXPECT_TRUE(by_hasse(none, 3, 0, 1).empty());
}

// The sets not covered by their children, against the union of everything
// strictly inside each set, with the edges given in reverse order.
TEST(Hasse, UncoveredSetsAreTheIrreducibleOnes) {
    for (unsigned seed = 0; seed < 10; ++seed) {
        const index_t e = 12, rows = 80;
        const auto m = family(50, 30, e, 4, 5, seed);
        Edges edges = by_reduction(m, rows, e);
        std::reverse(edges.begin(), edges.end());
        std::vector<index_t> child, parent;
        for (const auto& [c, p] : edges) {
            child.push_back(c);
            parent.push_back(p);
        }
        const MatrixView<const std::uint8_t> view{m.data(), rows, e, e, 1};
        const std::vector<index_t> got = quelmar::uncovered_sets(
            view, child.data(), parent.data(), static_cast<index_t>(child.size()));
        std::vector<index_t> want;
        for (index_t i = 0; i < rows; ++i) {
            std::vector<std::uint8_t> inside(static_cast<std::size_t>(e), 0);
            for (const auto& [c, p] : edges)
                if (p == i)
                    for (index_t x = 0; x < e; ++x)
                        inside[static_cast<std::size_t>(x)] |= m[static_cast<std::size_t>(c * e + x)];
            if (!std::equal(inside.begin(), inside.end(), m.begin() + i * e)) want.push_back(i);
        }
        EXPECT_EQ(got, want) << "seed " << seed;
        child.push_back(rows);  // an edge outside the family
        parent.push_back(0);
        EXPECT_THROW(quelmar::uncovered_sets(view, child.data(), parent.data(),
                                             static_cast<index_t>(child.size())),
                     std::out_of_range);
    }
}

}  // namespace

