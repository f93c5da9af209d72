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
        for (std::size_t i = static_cast<std::size_t>(f.a) & mask;; i = (i + 1) & mask) {
            Fingerprint& s = slots_[i];
            if (s.a == 0 && s.b == 0) {
                s = f;
                return true;
            }
            if (s == f) return false;
        }
    }
    void grow() {
        std::vector<Fingerprint> old(2 * slots_.size(), Fingerprint{0, 0});
        old.swap(slots_);
        for (const Fingerprint& f : old)
            if (f.a != 0 || f.b != 0) place(f);
    }
    std::vector<Fingerprint> slots_;
    std::size_t count_ = 0;
    bool has_zero_ = false;
};

index_t count_selected(const Selection& s, index_t from, index_t to) {
    index_t c = 0;
    for (index_t e = from; e < to; ++e) c += s[static_cast<std::size_t>(e)] != 0 ? 1 : 0;
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

std::vector<Candidate> distinct_candidates(const EntryClosures& closures, index_t m, index_t n,
                                           const Poll& poll) {
    using Word = EntryClosures::Word;
    const index_t words = closures.words();
    const index_t ncomp = closures.components();
    std::vector<Fingerprint> value(static_cast<std::size_t>(m + n));
    for (index_t e = 0; e < m + n; ++e) value[static_cast<std::size_t>(e)] = entry_value(e);
    // Each closure as its fingerprint and its non-zero words.
    std::vector<Fingerprint> print(static_cast<std::size_t>(ncomp), Fingerprint{0, 0});
    std::vector<index_t> first(static_cast<std::size_t>(ncomp + 1), 0);
    std::vector<std::pair<index_t, Word>> nonzero;
    for (index_t c = 0; c < ncomp; ++c) {
        const Word* bits = closures.closure(c);
        for (index_t w = 0; w < words; ++w) {
            Word word = bits[w];
            if (word == 0) continue;
            nonzero.emplace_back(w, word);
            while (word != 0) {
                const index_t e = w * EntryClosures::bits_per_word + __builtin_ctzll(word);
                word &= word - 1;
                print[static_cast<std::size_t>(c)].add(value[static_cast<std::size_t>(e)]);
            }
        }
        first[static_cast<std::size_t>(c + 1)] = static_cast<index_t>(nonzero.size());
    }

    // Species of one component close to the same selections: a component
    // seen as the species of an earlier seed row adds nothing new.  Inside a
    // row, reactions of one component repeat the same pair.
    std::vector<std::uint8_t> row_done(static_cast<std::size_t>(ncomp), 0);
    std::vector<index_t> pair_row(static_cast<std::size_t>(ncomp), -2);
    FingerprintSet seen;
    std::vector<Candidate> out;
    for (index_t M = -1; M < m; ++M) {
        poll();
        const index_t cM = M >= 0 ? closures.component(M) : -1;
        if (cM >= 0) {
            if (row_done[static_cast<std::size_t>(cM)] != 0) continue;
            row_done[static_cast<std::size_t>(cM)] = 1;
        }
        const Word* base = cM >= 0 ? closures.closure(cM) : nullptr;
        const Fingerprint base_print =
            cM >= 0 ? print[static_cast<std::size_t>(cM)] : Fingerprint{0, 0};
        for (index_t N = 0; N < n; ++N) {
            const index_t cN = closures.component(m + N);
            index_t& last = pair_row[static_cast<std::size_t>(cN)];
            if (last == M) continue;
            last = M;
            Fingerprint f = base_print;
            for (index_t k = first[static_cast<std::size_t>(cN)];
                 k < first[static_cast<std::size_t>(cN + 1)]; ++k) {
                const auto [w, word0] = nonzero[static_cast<std::size_t>(k)];
                Word word = base != nullptr ? word0 & ~base[w] : word0;
                while (word != 0) {
                    const index_t e = w * EntryClosures::bits_per_word + __builtin_ctzll(word);
                    word &= word - 1;
                    f.add(value[static_cast<std::size_t>(e)]);
                }
            }
            if (!seen.insert(f)) continue;
            out.push_back({static_cast<std::int32_t>(cM), static_cast<std::int32_t>(cN)});
        }
    }
    return out;
}

void order_found(std::vector<Selection>& found, index_t m, index_t n) {
    if (found.empty()) found.emplace_back(static_cast<std::size_t>(m + n), std::uint8_t{1});
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
}

}  // namespace quelmar::search_detail
