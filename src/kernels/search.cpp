// The search for isolated buffering structures over the closures of seeds.
#include "search.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "invariants.hpp"

namespace quelmar {

using checks::require_at_least;

namespace {

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
    index_t component(index_t e) const { return component_[u(e)]; }
    const Word* closure(index_t c) const { return closures_.data() + u(c * words_); }

private:
    static std::size_t u(index_t i) { return static_cast<std::size_t>(i); }

    void build_graph(MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                     MatrixView<const std::uint8_t> cq, index_t m, index_t n) {
        start_.assign(u(count_ + 1), 0);
        for (int fill = 0; fill < 2; ++fill) {
            std::vector<index_t> next(start_.begin(), start_.end() - 1);
            auto edge = [&](index_t from, index_t to) {
                if (fill == 0)
                    ++start_[u(from + 1)];
                else
                    target_[u(next[u(from)]++)] = to;
            };
            for (index_t i = 0; i < m; ++i) {
                for (index_t j = 0; j < n; ++j)
                    if (oc(i, j) != 0) edge(i, m + j);
                for (index_t k = 0; k < m; ++k)
                    if (k != i && cq(i, k) != 0) edge(i, k);
            }
            for (index_t j = 0; j < n; ++j)
                for (index_t i = 0; i < m; ++i)
                    if (lo(i, j) != 0) edge(m + j, i);
            if (fill == 0) {
                for (index_t e = 0; e < count_; ++e) start_[u(e + 1)] += start_[u(e)];
                target_.resize(u(start_[u(count_)]));
            }
        }
    }

    void find_components(const Poll& poll) {
        std::vector<index_t> order(u(count_), -1);  // discovery index
        std::vector<index_t> low(u(count_), 0);
        std::vector<std::uint8_t> on_stack(u(count_), 0);
        std::vector<index_t> stack;
        std::vector<std::pair<index_t, index_t>> calls;  // entry, next edge
        std::vector<index_t> merged;                      // last component merged into
        component_.assign(u(count_), -1);
        index_t counter = 0;
        auto visit = [&](index_t v) {
            order[u(v)] = low[u(v)] = counter++;
            stack.push_back(v);
            on_stack[u(v)] = 1;
            calls.emplace_back(v, start_[u(v)]);
        };
        for (index_t root = 0; root < count_; ++root) {
            if (order[u(root)] >= 0) continue;
            visit(root);
            while (!calls.empty()) {
                const index_t v = calls.back().first;
                const index_t edge = calls.back().second;
                if (edge < start_[u(v + 1)]) {
                    ++calls.back().second;
                    const index_t w = target_[u(edge)];
                    if (order[u(w)] < 0)
                        visit(w);
                    else if (on_stack[u(w)] != 0)
                        low[u(v)] = std::min(low[u(v)], order[u(w)]);
                    continue;
                }
                calls.pop_back();
                if (!calls.empty()) {
                    const index_t parent = calls.back().first;
                    low[u(parent)] = std::min(low[u(parent)], low[u(v)]);
                }
                if (low[u(v)] != order[u(v)]) continue;

                poll();
                const index_t c = components_++;
                closures_.resize(u(components_ * words_), 0);
                merged.push_back(-1);
                const auto first = (std::find(stack.rbegin(), stack.rend(), v) + 1).base();
                for (auto it = first; it != stack.end(); ++it) {
                    component_[u(*it)] = c;
                    on_stack[u(*it)] = 0;
                }
                Word* bits = closures_.data() + u(c * words_);
                for (auto it = first; it != stack.end(); ++it) {
                    bits[u(*it / bits_per_word)] |= Word{1} << (*it % bits_per_word);
                    for (index_t e = start_[u(*it)]; e < start_[u(*it + 1)]; ++e) {
                        const index_t d = component_[u(target_[u(e)])];
                        if (d == c || merged[u(d)] == c) continue;
                        merged[u(d)] = c;
                        const Word* other = closures_.data() + u(d * words_);
                        for (index_t k = 0; k < words_; ++k) bits[u(k)] |= other[u(k)];
                    }
                }
                stack.erase(first, stack.end());
            }
        }
    }

    index_t count_;
    index_t words_;
    index_t components_ = 0;
    std::vector<index_t> start_;   // adjacency in compressed rows
    std::vector<index_t> target_;
    std::vector<index_t> component_;
    std::vector<Word> closures_;   // one bitset of words_ words per component
};

index_t count_selected(const Selection& s, index_t from, index_t to) {
    index_t c = 0;
    for (index_t e = from; e < to; ++e) c += s[static_cast<std::size_t>(e)] != 0 ? 1 : 0;
    return c;
}


// 128-bit fingerprint of a closed selection's bit set.  Two selections that
// differ share one with probability about 2^-128 per pair (about 1e-26 for
// the millions of distinct closures of a genome-scale network), and the
// fingerprints take 16 bytes where the bit sets take (m + n) / 8.
struct Fingerprint {
    std::uint64_t a, b;
    bool operator==(const Fingerprint& o) const { return a == o.a && b == o.b; }
};

struct FingerprintHash {
    std::size_t operator()(const Fingerprint& f) const { return static_cast<std::size_t>(f.a); }
};

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

template <class Word>
Fingerprint fingerprint(const std::vector<Word>& bits) {
    std::uint64_t a = 0x9e3779b97f4a7c15ULL, b = 0xd1b54a32d192ed03ULL;
    for (const Word w : bits) {
        const auto v = static_cast<std::uint64_t>(w);
        a = mix(a ^ v) + 0x632be59bd9b4e019ULL;
        b = mix(b + (v ^ 0xa0761d6478bd642fULL)) ^ (b >> 17);
    }
    return {a, b};
}

}  // namespace

std::vector<Selection> search_isoBSs(MatrixView<const double> stoi,
                                     MatrixView<const double> DT,
                                     MatrixView<const std::uint8_t> oc,
                                     MatrixView<const std::uint8_t> lo,
                                     MatrixView<const std::uint8_t> cq, const Poll& poll) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    if (DT.cols != m)
        throw std::invalid_argument("the conserved-quantity matrix has " +
                                    std::to_string(DT.cols) + " columns but the network has " +
                                    std::to_string(m) + " species");
    require_at_least("the output-completeness matrix", oc.rows, oc.cols, m, n);
    require_at_least("the sensitivity matrix", lo.rows, lo.cols, m, n);
    require_at_least("the class matrix", cq.rows, cq.cols, m, m);

    const auto size = static_cast<std::size_t>(m + n);
    const EntryClosures closures(oc, lo, cq, m, n, poll);
    const index_t words = closures.words();
    const auto ncomp = static_cast<std::uint64_t>(closures.components());

    // The closure of a seed depends only on the components of its two
    // entries, and a seed that closes to an already seen selection has the
    // same verdict and, if accepted, would be a duplicate: only first
    // sightings are evaluated, which keeps the order of first occurrences.
    std::unordered_set<std::uint64_t> seen_pairs;
    std::unordered_set<Fingerprint, FingerprintHash> seen;
    std::vector<EntryClosures::Word> bits(static_cast<std::size_t>(words));
    std::vector<Selection> found;
    Selection selected(size);
    for (index_t M = -1; M < m; ++M) {
        poll();
        const index_t cM = M >= 0 ? closures.component(M) : -1;
        for (index_t N = 0; N < n; ++N) {
            const index_t cN = closures.component(m + N);
            const std::uint64_t key =
                static_cast<std::uint64_t>(cM + 1) * ncomp + static_cast<std::uint64_t>(cN);
            if (!seen_pairs.insert(key).second) continue;
            const EntryClosures::Word* a = closures.closure(cN);
            for (index_t k = 0; k < words; ++k) bits[static_cast<std::size_t>(k)] = a[k];
            if (cM >= 0) {
                const EntryClosures::Word* b = closures.closure(cM);
                for (index_t k = 0; k < words; ++k) bits[static_cast<std::size_t>(k)] |= b[k];
            }
            if (!seen.insert(fingerprint(bits)).second) continue;
            poll();
            for (index_t e = 0; e < m + n; ++e)
                selected[static_cast<std::size_t>(e)] =
                    (bits[static_cast<std::size_t>(e / EntryClosures::bits_per_word)] >>
                     (e % EntryClosures::bits_per_word)) & 1U;
            const VectorView<const std::uint8_t> view{selected.data(), m + n, 1};
            if (chiindex(stoi, DT, view, poll) == 0 && no_emergent_cycles(stoi, view, poll))
                found.push_back(selected);
        }
    }
    if (found.empty()) found.emplace_back(size, std::uint8_t{1});

    const auto count = static_cast<index_t>(found.size());
    std::vector<std::pair<index_t, index_t>> counts;
    counts.reserve(found.size());
    for (const Selection& s : found)
        counts.emplace_back(count_selected(s, 0, m), count_selected(s, m, m + n));
    auto exchange = [&](index_t a, index_t b) {
        std::swap(found[static_cast<std::size_t>(a)], found[static_cast<std::size_t>(b)]);
        std::swap(counts[static_cast<std::size_t>(a)], counts[static_cast<std::size_t>(b)]);
    };
    for (index_t i = 0; i + 1 < count; ++i) {
        for (index_t j = i + 1; j < count; ++j) {
            const auto& [ms, mr] = counts[static_cast<std::size_t>(i)];
            const auto& [ns, nr] = counts[static_cast<std::size_t>(j)];
            if (ms > ns || (ms == ns && mr > nr)) exchange(i, j);
        }
    }
    return found;
}

}  // namespace quelmar
