// Shared parts of the searches for isolated buffering structures: the
// closures of single entries, the enumeration of the distinct closed seed
// selections in seed order, and the final ordering of the accepted ones.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

using Selection = Vec<std::uint8_t>;

namespace search_detail {

// Closures of single entries for the search.  Every closure rule has a single
// premise, so the union of closed selections is closed, and the closure of a
// seed is the union of the closures of its entries.  The entries form a graph
// (species -> reactions by oc, reactions -> species by lo, species -> species
// by cq); the closure of an entry is what it reaches.  Entries of one strongly
// connected component share their closure, and Tarjan's algorithm completes
// every component after all components it reaches, so each closure is the
// component itself plus the closures of its direct successors, as a bitset.
class EntryClosures {
public:
    using Word = std::uint64_t;
    static constexpr index_t bits_per_word = 64;

    EntryClosures(MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                  MatrixView<const std::uint8_t> cq, index_t m, index_t n, const Poll& poll)
        : count_(m + n), words_((m + n + bits_per_word - 1) / bits_per_word) {
        build_graph(oc, lo, cq, m, n);
        find_components(poll);
    }

    index_t words() const { return words_; }
    index_t components() const { return components_; }
    index_t component(index_t e) const { return component_[e]; }
    const Word* closure(index_t c) const { return closures_.data() + c * words_; }

private:
    void build_graph(MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                     MatrixView<const std::uint8_t> cq, index_t m, index_t n) {
        start_.assign(count_ + 1, 0);
        for (int fill = 0; fill < 2; ++fill) {
            Vec<index_t> next(start_.begin(), start_.end() - 1);
            auto edge = [&](index_t from, index_t to) {
                if (fill == 0)
                    ++start_[from + 1];
                else
                    target_[(next[from]++)] = to;
            };
            for (index_t i = 0; i < m; ++i) {
                for (index_t j = 0; j < n; ++j)
                    if (oc(i, j) != 0) edge(i, m + j);
                for (index_t k = 0; k < m; ++k)
                    if (k != i && cq(i, k) != 0) edge(i, k);
            }
            // row by row: each reaction's species still come in ascending order
            for (index_t i = 0; i < m; ++i)
                for (index_t j = 0; j < n; ++j)
                    if (lo(i, j) != 0) edge(m + j, i);
            if (fill == 0) {
                for (index_t e = 0; e < count_; ++e) start_[e + 1] += start_[e];
                target_.resize(start_[count_]);
            }
        }
    }

    void find_components(const Poll& poll) {
        Vec<index_t> order(count_, -1);  // discovery index
        Vec<index_t> low(count_, 0);
        Vec<std::uint8_t> on_stack(count_, 0);
        Vec<index_t> stack;
        Vec<std::pair<index_t, index_t>> calls;  // entry, next edge
        Vec<index_t> merged;                      // last component merged into
        component_.assign(count_, -1);
        closures_.reserve(static_cast<std::size_t>(std::min(count_ * words_, index_t{1} << 20)));
        index_t counter = 0;
        auto visit = [&](index_t v) {
            order[v] = low[v] = counter++;
            stack.push_back(v);
            on_stack[v] = 1;
            calls.emplace_back(v, start_[v]);
        };
        for (index_t root = 0; root < count_; ++root) {
            if (order[root] >= 0) continue;
            visit(root);
            while (!calls.empty()) {
                const index_t v = calls.back().first;
                const index_t edge = calls.back().second;
                if (edge < start_[v + 1]) {
                    ++calls.back().second;
                    const index_t w = target_[edge];
                    if (order[w] < 0)
                        visit(w);
                    else if (on_stack[w] != 0)
                        low[v] = std::min(low[v], order[w]);
                    continue;
                }
                calls.pop_back();
                if (!calls.empty()) {
                    const index_t parent = calls.back().first;
                    low[parent] = std::min(low[parent], low[v]);
                }
                if (low[v] != order[v]) continue;

                poll();
                const index_t c = components_++;
                closures_.resize(components_ * words_, 0);
                merged.push_back(-1);
                const auto first = (std::find(stack.rbegin(), stack.rend(), v) + 1).base();
                for (auto it = first; it != stack.end(); ++it) {
                    component_[*it] = c;
                    on_stack[*it] = 0;
                }
                Word* bits = closures_.data() + c * words_;
                for (auto it = first; it != stack.end(); ++it) {
                    bits[*it / bits_per_word] |= Word{1} << (*it % bits_per_word);
                    for (index_t e = start_[*it]; e < start_[*it + 1]; ++e) {
                        const index_t d = component_[target_[e]];
                        if (d == c || merged[d] == c) continue;
                        merged[d] = c;
                        const Word* other = closures_.data() + d * words_;
                        for (index_t k = 0; k < words_; ++k) bits[k] |= other[k];
                    }
                }
                stack.erase(first, stack.end());
            }
        }
    }

    index_t count_;
    index_t words_;
    index_t components_ = 0;
    Vec<index_t> start_;   // adjacency in compressed rows
    Vec<index_t> target_;
    Vec<index_t> component_;
    Vec<Word> closures_;   // one bitset of words_ words per component
};

/// Throws std::invalid_argument unless DT has m columns, oc and lo at least
/// m x n and cq at least m x m (m, n from stoi).
void check_search_args(MatrixView<const double> stoi, MatrixView<const double> DT,
                       MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                       MatrixView<const std::uint8_t> cq);

/// A distinct closed seed selection: the union of the closures of the
/// components cM (-1: none) and cN.
struct Candidate {
    std::int32_t cM, cN;
};

/// The distinct closed selections of the (m + 1) n seeds {species M (none
/// for M = -1), reaction N}, M ascending from -1, N ascending inside, in the
/// order of their first sighting.  A seed's closure depends only on the
/// components of its two entries; selections are told apart by a 128-bit
/// fingerprint of their bit sets (a collision between two of the millions of
/// distinct closures of a genome-scale network has probability about 1e-26).
Vec<Candidate> distinct_candidates(const EntryClosures& closures, index_t m, index_t n,
                                           const Poll& poll);

/// The bit set of a candidate (closures.words() words).
void candidate_bits(const EntryClosures& closures, Candidate c,
                    EntryClosures::Word* bits);

/// Finishes a search: an empty list becomes the whole network, and the list
/// is ordered by the exchange procedure (for i < j, positions i and j are
/// exchanged when their species counts, then their reaction counts, are in
/// decreasing order).
void order_found(std::vector<Selection>& found, index_t m, index_t n);

/// The exchange procedure of order_found() on keys (species count * (n + 1)
/// + reaction count): item[k] is the original position of the element that
/// ends at position k.
Vec<std::size_t> exchange_order(Vec<std::int64_t> key);

}  // namespace search_detail
}  // namespace quelmar
