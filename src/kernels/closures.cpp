// Shared parts of the searches: argument checks, the distinct closed seed
// selections, and the final order.
#include "closures.hpp"

#include <stdexcept>
#include <string>

#include "checks.hpp"

namespace quelmar::search_detail {

namespace {

// 128-bit fingerprint of a closed selection: the sums (mod 2^64) of two
// pseudo-random values of its entries.  Two selections that differ share one
// with probability about 2^-128 per pair (about 1e-26 for the millions of
// distinct closures of a genome-scale network); being a sum, the fingerprint
// of a union is that of one part plus the values of the entries that the
// other part adds, so a seed costs as many steps as its smaller closure has
// entries outside the larger one.
struct Fingerprint {
    std::uint64_t a, b;
    bool operator==(const Fingerprint& o) const { return a == o.a && b == o.b; }
    void add(const Fingerprint& o) {
        a += o.a;
        b += o.b;
    }
};

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

Fingerprint entry_value(index_t e) {
    const auto x = static_cast<std::uint64_t>(e);
    return {mix(x * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL),
            mix(x * 0xd1b54a32d192ed03ULL + 0xa0761d6478bd642fULL)};
}

// Open-addressing set of fingerprints (16 bytes per slot, at most half full).
class FingerprintSet {
public:
    FingerprintSet() : slots_(1024, Fingerprint{0, 0}) {}
    // True when f was not in the set (it is then added).
    bool insert(Fingerprint f) {
        if (f.a == 0 && f.b == 0) {  // the empty-slot marker has a flag of its own
            const bool fresh = !has_zero_;
            has_zero_ = true;
            return fresh;
        }
        if (2 * (count_ + 1) > slots_.size()) grow();
        if (!place(f)) return false;
        ++count_;
        return true;
    }

private:
    bool place(Fingerprint f) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = f.a & mask;; i = (i + 1) & mask) {
            Fingerprint& s = slots_[i];
            if (s.a == 0 && s.b == 0) {
                s = f;
                return true;
            }
            if (s == f) return false;
        }
    }
    void grow() {
        Vec<Fingerprint> old(2 * slots_.size(), Fingerprint{0, 0});
        old.swap(slots_);
        for (const Fingerprint& f : old)
            if (f.a != 0 || f.b != 0) place(f);
    }
    Vec<Fingerprint> slots_;
    std::size_t count_ = 0;
    bool has_zero_ = false;
};

index_t count_selected(const Selection& s, index_t from, index_t to) {
    index_t c = 0;
    for (index_t e = from; e < to; ++e) c += s[e] != 0 ? 1 : 0;
    return c;
}

}  // namespace

void check_search_args(MatrixView<const double> stoi, MatrixView<const double> DT,
                       MatrixView<const std::uint8_t> oc, MatrixView<const std::uint8_t> lo,
                       MatrixView<const std::uint8_t> cq) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    if (DT.cols != m)
        throw std::invalid_argument("the conserved-quantity matrix has " +
                                    std::to_string(DT.cols) + " columns but the network has " +
                                    std::to_string(m) + " species");
    checks::require_at_least("the output-completeness matrix", oc.rows, oc.cols, m, n);
    checks::require_at_least("the sensitivity matrix", lo.rows, lo.cols, m, n);
    checks::require_at_least("the class matrix", cq.rows, cq.cols, m, m);
}

void candidate_bits(const EntryClosures& closures, Candidate c, EntryClosures::Word* bits) {
    const index_t words = closures.words();
    const EntryClosures::Word* a = closures.closure(c.cN);
    for (index_t k = 0; k < words; ++k) bits[k] = a[k];
    if (c.cM >= 0) {
        const EntryClosures::Word* b = closures.closure(c.cM);
        for (index_t k = 0; k < words; ++k) bits[k] |= b[k];
    }
}

Vec<Candidate> distinct_candidates(const EntryClosures& closures, index_t m, index_t n,
                                           const Poll& poll) {
    using Word = EntryClosures::Word;
    const index_t words = closures.words();
    const index_t ncomp = closures.components();
    Vec<Fingerprint> value(m + n);
    for (index_t e = 0; e < m + n; ++e) value[e] = entry_value(e);
    // Each closure as its fingerprint and its non-zero words.
    Vec<Fingerprint> print(ncomp, Fingerprint{0, 0});
    Vec<index_t> first(ncomp + 1, 0);
    Vec<std::pair<index_t, Word>> nonzero;
    for (index_t c = 0; c < ncomp; ++c) {
        const Word* bits = closures.closure(c);
        for (index_t w = 0; w < words; ++w) {
            Word word = bits[w];
            if (word == 0) continue;
            nonzero.emplace_back(w, word);
            while (word != 0) {
                const index_t e = w * EntryClosures::bits_per_word + __builtin_ctzll(word);
                word &= word - 1;
                print[c].add(value[e]);
            }
        }
        first[c + 1] = static_cast<index_t>(nonzero.size());
    }

    // Species of one component close to the same selections: a component
    // seen as the species of an earlier seed row adds nothing new.  Inside a
    // row, reactions of one component repeat the same pair.
    Vec<std::uint8_t> row_done(ncomp, 0);
    Vec<index_t> pair_row(ncomp, -2);
    FingerprintSet seen;
    Vec<Candidate> out;
    for (index_t M = -1; M < m; ++M) {
        poll();
        const index_t cM = M >= 0 ? closures.component(M) : -1;
        if (cM >= 0) {
            if (row_done[cM] != 0) continue;
            row_done[cM] = 1;
        }
        const Word* base = cM >= 0 ? closures.closure(cM) : nullptr;
        const Fingerprint base_print =
            cM >= 0 ? print[cM] : Fingerprint{0, 0};
        for (index_t N = 0; N < n; ++N) {
            const index_t cN = closures.component(m + N);
            index_t& last = pair_row[cN];
            if (last == M) continue;
            last = M;
            Fingerprint f = base_print;
            for (index_t k = first[cN];
                 k < first[cN + 1]; ++k) {
                const auto [w, word0] = nonzero[k];
                Word word = base != nullptr ? word0 & ~base[w] : word0;
                while (word != 0) {
                    const index_t e = w * EntryClosures::bits_per_word + __builtin_ctzll(word);
                    word &= word - 1;
                    f.add(value[e]);
                }
            }
            if (!seen.insert(f)) continue;
            out.push_back({static_cast<std::int32_t>(cM), static_cast<std::int32_t>(cN)});
        }
    }
    return out;
}

namespace {

// Minimum of the keys over ranges of positions, for finding the first
// position after j whose key is below a value.
class MinTree {
public:
    explicit MinTree(const Vec<std::int64_t>& keys) {
        while (size_ < keys.size()) size_ *= 2;
        tree_.assign(2 * size_, kNone);
        std::copy(keys.begin(), keys.end(), tree_.begin() + static_cast<std::ptrdiff_t>(size_));
        for (std::size_t v = size_ - 1; v >= 1; --v)
            tree_[v] = std::min(tree_[2 * v], tree_[2 * v + 1]);
    }
    void set(std::size_t pos, std::int64_t key) {
        std::size_t v = pos + size_;
        tree_[v] = key;
        for (v /= 2; v >= 1; v /= 2) tree_[v] = std::min(tree_[2 * v], tree_[2 * v + 1]);
    }
    /// The first position after `after` whose key is below `below`, or -1.
    std::ptrdiff_t first_below(std::size_t after, std::int64_t below) const {
        return find(1, 0, size_, after + 1, below);
    }

private:
    static constexpr std::int64_t kNone = INT64_MAX;
    std::ptrdiff_t find(std::size_t v, std::size_t lo, std::size_t hi, std::size_t from,
                        std::int64_t below) const {
        if (hi <= from || tree_[v] >= below) return -1;
        if (hi - lo == 1) return static_cast<std::ptrdiff_t>(lo);
        const std::size_t mid = (lo + hi) / 2;
        const std::ptrdiff_t left = find(2 * v, lo, mid, from, below);
        return left >= 0 ? left : find(2 * v + 1, mid, hi, from, below);
    }
    std::size_t size_ = 1;
    Vec<std::int64_t> tree_;
};

}  // namespace

Vec<std::size_t> exchange_order(Vec<std::int64_t> key) {
    // The exchange procedure (for i < j, ascending, exchange positions i and j
    // when i's key exceeds j's) moves, for each i, the element at i along
    // the positions j where a key below the one then at i appears: a rotation
    // along that chain, whose links the tree finds without visiting the
    // positions in between.
    const std::size_t count = key.size();
    Vec<std::size_t> item(count);
    for (std::size_t k = 0; k < count; ++k) item[k] = k;
    if (count == 0) return item;
    MinTree tree(key);
    for (std::size_t i = 0; i + 1 < count; ++i) {
        std::int64_t cur = key[i];
        std::size_t cur_item = item[i];
        for (std::ptrdiff_t j = tree.first_below(i, cur); j >= 0;
             j = tree.first_below(static_cast<std::size_t>(j), cur)) {
            const auto p = static_cast<std::size_t>(j);
            std::swap(cur, key[p]);
            std::swap(cur_item, item[p]);
            tree.set(p, key[p]);
        }
        key[i] = cur;
        item[i] = cur_item;
        tree.set(i, cur);
    }
    return item;
}

void order_found(std::vector<Selection>& found, index_t m, index_t n) {
    if (found.empty()) found.emplace_back(m + n, std::uint8_t{1});
    const std::size_t count = found.size();
    Vec<std::int64_t> key(count);
    for (std::size_t k = 0; k < count; ++k)
        key[k] = static_cast<std::int64_t>(count_selected(found[k], 0, m)) * (n + 1) +
                 count_selected(found[k], m, m + n);
    const Vec<std::size_t> item = exchange_order(std::move(key));
    std::vector<Selection> ordered(count);
    for (std::size_t k = 0; k < count; ++k) ordered[k] = std::move(found[item[k]]);
    found = std::move(ordered);
}

}  // namespace quelmar::search_detail
