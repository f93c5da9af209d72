#include "hasse.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>

namespace quelmar {

namespace {

std::size_t u(index_t i) { return static_cast<std::size_t>(i); }

// Most dense sets whose strict inclusions among themselves are kept as a bit
// matrix (2 MB at this count).
constexpr index_t kMostDenseRelated = 4096;

}  // namespace

struct HasseFamily::Scratch {
    std::vector<index_t> above;         // strict supersets of the child, by rank
    std::vector<index_t> elements;      // the child's elements
    std::vector<index_t> maybe;         // sets that may hold it
    std::vector<index_t> word_at;       // sparse sets that may hold it: bits over the
    std::vector<Word> word_val;         // ranks, the non-zero words only
    std::vector<index_t> chosen;        // its direct supersets found so far
    std::vector<Word> chosen_dense;     // the dense ones among them, as bits over dense_
};

template <class F>
void HasseFamily::each_element(index_t i, F&& f) const {
    const Word* b = bits(i);
    for (index_t t = word_ptr_[u(i)]; t < word_ptr_[u(i + 1)]; ++t) {
        const index_t wi = word_idx_[u(t)];
        for (Word word = b[wi]; word != 0; word &= word - 1) f(wi * 64 + __builtin_ctzll(word));
    }
}

HasseFamily::HasseFamily(MatrixView<const std::uint8_t> member, const Poll& poll,
                         int threads)
    : k_(member.rows), e_(member.cols), w_((member.cols + 63) / 64) {
    if (k_ >= std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument("too many sets for the hierarchy");
    bits_.assign(u(k_ * w_), 0);
    size_.assign(u(k_), 0);
    word_ptr_.assign(u(k_ + 1), 0);
    for (index_t i = 0; i < k_; ++i) {
        Word* b = bits_.data() + i * w_;
        for (index_t x = 0; x < e_; ++x)
            if (member(i, x) != 0) b[x / 64] |= Word{1} << (x % 64);
        index_row(i);
        if ((i & 1023) == 0) poll();
    }
    build(poll, threads);
}

HasseFamily::HasseFamily(MatrixView<const std::uint8_t> packed, index_t elements,
                         const Poll& poll, int threads)
    : k_(packed.rows), e_(elements), w_((elements + 63) / 64) {
    if (elements < 0 || packed.cols < (elements + 7) / 8)
        throw std::invalid_argument("the rows of bits are too short for the elements");
    if (k_ >= std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument("too many sets for the hierarchy");
    bits_.assign(u(k_ * w_), 0);
    size_.assign(u(k_), 0);
    word_ptr_.assign(u(k_ + 1), 0);
    const index_t bytes = (elements + 7) / 8;
    for (index_t i = 0; i < k_; ++i) {
        Word* b = bits_.data() + i * w_;
        for (index_t y = 0; y < bytes; ++y)
            b[y / 8] |= static_cast<Word>(packed(i, y)) << (8 * (y % 8));
        if (e_ % 64 != 0) b[w_ - 1] &= (Word{1} << (e_ % 64)) - 1;
        index_row(i);
        if ((i & 1023) == 0) poll();
    }
    build(poll, threads);
}

void HasseFamily::index_row(index_t i) {
    const Word* b = bits_.data() + i * w_;
    index_t size = 0;
    for (index_t t = 0; t < w_; ++t)
        if (b[t] != 0) {
            word_idx_.push_back(static_cast<std::int32_t>(t));
            size += __builtin_popcountll(b[t]);
        }
    size_[u(i)] = size;
    word_ptr_[u(i + 1)] = static_cast<index_t>(word_idx_.size());
}

void HasseFamily::build(const Poll& poll, int threads) {
    order_.resize(u(k_));
    std::vector<index_t>& order = order_;
    std::iota(order.begin(), order.end(), index_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](index_t a, index_t b) { return size_[u(a)] < size_[u(b)]; });
    rank_.assign(u(k_), 0);
    for (index_t r = 0; r < k_; ++r) rank_[u(order[u(r)])] = r;

    // Sparse sets by element, as bits over the ranks; dense sets apart.
    dense_pos_.assign(u(k_), -1);
    holders_.assign(u(e_), 0);
    kw_ = (k_ + 63) / 64;
    by_element_.assign(u(e_ * kw_), 0);
    for (index_t r = 0; r < k_; ++r) {
        const index_t i = order[u(r)];
        if (2 * size_[u(i)] > e_) {
            dense_pos_[u(i)] = static_cast<index_t>(dense_.size());
            dense_.push_back(i);
            continue;
        }
        each_element(i, [&](index_t x) {
            ++holders_[u(x)];
            by_element_[u(x * kw_ + r / 64)] |= Word{1} << (r % 64);
        });
    }
    const auto kd = static_cast<index_t>(dense_.size());
    if (kd > 0 && kd <= kMostDenseRelated) {
        dw_ = (kd + 63) / 64;
        below_.assign(u(kd * dw_), 0);
        for (index_t a = 0; a < kd; ++a) {
            poll();
            for (index_t b = 0; b < a; ++b)  // by rank: only earlier ones can be smaller
                if (size_[u(dense_[u(b)])] < size_[u(dense_[u(a)])] &&
                    subset(dense_[u(b)], dense_[u(a)]))
                    below_[u(a * dw_ + b / 64)] |= Word{1} << (b % 64);
        }
        // the dense sets holding each sparse one, on `threads` threads: those
        // that miss none of its elements (missed[x]: the dense sets without x)
        std::vector<Word> missed(u(e_ * dw_), 0);
        for (index_t p = 0; p < kd; ++p) {
            const Word* b = bits(dense_[u(p)]);
            for (index_t t = 0; t < w_; ++t) {
                Word out = ~b[t];
                if (t == w_ - 1 && e_ % 64 != 0) out &= (Word{1} << (e_ % 64)) - 1;
                while (out != 0) {
                    const index_t x = t * 64 + __builtin_ctzll(out);
                    out &= out - 1;
                    missed[u(x * dw_ + p / 64)] |= Word{1} << (p % 64);
                }
            }
        }
        dense_above_.assign(u(k_ * dw_), 0);
        std::atomic<index_t> next{0};
        auto relate = [&] {
            std::vector<Word> any(u(dw_));
            for (;;) {
                const index_t from = next.fetch_add(256);
                if (from >= k_) return;
                for (index_t i = from; i < std::min(k_, from + 256); ++i) {
                    if (dense_pos_[u(i)] >= 0) continue;
                    std::fill(any.begin(), any.end(), Word{0});
                    each_element(i, [&](index_t x) {
                        const Word* m = missed.data() + x * dw_;
                        for (index_t q = 0; q < dw_; ++q) any[u(q)] |= m[q];
                    });
                    Word* row = dense_above_.data() + i * dw_;
                    for (index_t q = 0; q < dw_; ++q) row[q] = ~any[u(q)];
                    if (kd % 64 != 0) row[dw_ - 1] &= (Word{1} << (kd % 64)) - 1;
                }
            }
        };
        std::vector<std::thread> pool;
        try {
            for (int t = 1; t < threads; ++t) pool.emplace_back(relate);
        } catch (...) {
            // fewer threads: the ones started and this one do it
        }
        relate();
        for (std::thread& t : pool) t.join();
        poll();
    }
}

bool HasseFamily::subset(index_t a, index_t b) const {
    const Word* A = bits(a);
    const Word* B = bits(b);
    for (index_t t = word_ptr_[u(a)]; t < word_ptr_[u(a + 1)]; ++t) {
        const index_t wi = word_idx_[u(t)];
        if ((A[wi] & ~B[wi]) != 0) return false;
    }
    return true;
}

void HasseFamily::parents_of(index_t c, Scratch& s, std::vector<index_t>& out) const {
    s.above.clear();
    const index_t sc = size_[u(c)];
    const index_t dc = dense_pos_[u(c)];
    if (sc == 0) {
        for (index_t i = 0; i < k_; ++i)
            if (size_[u(i)] > 0) s.above.push_back(i);
        std::sort(s.above.begin(), s.above.end(),
                  [&](index_t a, index_t b) { return rank_[u(a)] < rank_[u(b)]; });
    } else if (dc < 0) {
        // The sparse sets (of larger size) holding c's rarest element and a
        // few others spread over c, by intersecting their lists; then the
        // dense sets.
        s.elements.clear();
        index_t best = -1;
        index_t fewest = std::numeric_limits<index_t>::max();
        each_element(c, [&](index_t x) {
            s.elements.push_back(x);
            const index_t count = holders_[u(x)];
            if (count < fewest) {
                fewest = count;
                best = x;
            }
        });
        // the bits of the ranks above c's
        const index_t from = rank_[u(c)] + 1;
        s.word_at.clear();
        s.word_val.clear();
        const Word* rare = by_element_.data() + best * kw_;
        for (index_t w = from / 64; w < kw_; ++w) {
            Word v = rare[w];
            if (w == from / 64) v &= ~Word{0} << (from % 64);
            if (v != 0) {
                s.word_at.push_back(w);
                s.word_val.push_back(v);
            }
        }
        constexpr index_t kProbes = 8;
        const auto ne = static_cast<index_t>(s.elements.size());
        for (index_t probe = 1; probe <= kProbes && !s.word_at.empty(); ++probe) {
            const index_t x = s.elements[u(probe * ne / (kProbes + 1))];
            const Word* other = by_element_.data() + x * kw_;
            std::size_t kept = 0;
            for (std::size_t t = 0; t < s.word_at.size(); ++t) {
                const Word v = s.word_val[t] & other[s.word_at[t]];
                if (v == 0) continue;
                s.word_at[kept] = s.word_at[t];
                s.word_val[kept++] = v;
            }
            s.word_at.resize(kept);
            s.word_val.resize(kept);
        }
        s.maybe.clear();
        for (std::size_t t = 0; t < s.word_at.size(); ++t) {
            Word v = s.word_val[t];
            while (v != 0) {
                const index_t r = s.word_at[t] * 64 + __builtin_ctzll(v);
                v &= v - 1;
                s.maybe.push_back(order_[u(r)]);
            }
        }
        // The tests read scattered sets: fetch a few ahead.
        const index_t lead = word_idx_[u(word_ptr_[u(c)])];
        const auto nm = s.maybe.size();
        for (std::size_t t = 0; t < nm; ++t) {
            if (t + 8 < nm) __builtin_prefetch(bits(s.maybe[t + 8]) + lead);
            const index_t d = s.maybe[t];
            if (size_[u(d)] > sc && subset(c, d)) s.above.push_back(d);
        }
        if (dw_ > 0) {
            const Word* row = dense_above_.data() + c * dw_;
            for (index_t t = 0; t < dw_; ++t) {
                Word v = row[t];
                while (v != 0) {
                    s.above.push_back(dense_[u(t * 64 + __builtin_ctzll(v))]);
                    v &= v - 1;
                }
            }
        } else {
            for (const index_t d : dense_)
                if (subset(c, d)) s.above.push_back(d);
        }
    } else {
        const auto kd = static_cast<index_t>(dense_.size());
        for (index_t p = dc + 1; p < kd; ++p) {
            const index_t d = dense_[u(p)];
            if (size_[u(d)] <= sc) continue;
            const bool inside = dw_ > 0 ? ((below_[u(p * dw_ + dc / 64)] >> (dc % 64)) & 1U) != 0
                                        : subset(c, d);
            if (inside) s.above.push_back(d);
        }
    }

    // The minimal ones: d is direct unless a direct superset found before
    // (smaller) lies strictly inside it.
    s.chosen.clear();
    if (dw_ > 0) s.chosen_dense.assign(u(dw_), 0);
    index_t sparse_chosen = 0;
    const std::size_t na = s.above.size();
    for (std::size_t a = 0; a < na; ++a) {
        const index_t d = s.above[a];
        if (a + 8 < na && sparse_chosen > 0) {
            const index_t ahead = s.above[a + 8];
            const index_t p0 = s.chosen[0];
            __builtin_prefetch(bits(ahead) + word_idx_[u(word_ptr_[u(p0)])]);
        }
        const index_t pd = dense_pos_[u(d)];
        bool direct = true;
        if (pd >= 0 && dw_ > 0) {
            for (index_t t = 0; t < sparse_chosen && direct; ++t) {
                const index_t p = s.chosen[u(t)];
                direct = ((dense_above_[u(p * dw_ + pd / 64)] >> (pd % 64)) & 1U) == 0;
            }
        } else {
            for (index_t t = 0; t < sparse_chosen && direct; ++t) {
                const index_t p = s.chosen[u(t)];
                if (size_[u(p)] < size_[u(d)] && subset(p, d)) direct = false;
            }
        }
        if (direct && pd >= 0 && static_cast<index_t>(s.chosen.size()) > sparse_chosen) {
            if (dw_ > 0) {
                const Word* row = below_.data() + pd * dw_;
                for (index_t t = 0; t < dw_ && direct; ++t)
                    if ((row[t] & s.chosen_dense[u(t)]) != 0) direct = false;
            } else {
                for (std::size_t t = u(sparse_chosen); t < s.chosen.size() && direct; ++t) {
                    const index_t p = s.chosen[t];
                    if (size_[u(p)] < size_[u(d)] && subset(p, d)) direct = false;
                }
            }
        }
        if (!direct) continue;
        s.chosen.push_back(d);
        if (pd < 0)
            ++sparse_chosen;
        else if (dw_ > 0)
            s.chosen_dense[u(pd / 64)] |= Word{1} << (pd % 64);
    }
    out.assign(s.chosen.begin(), s.chosen.end());
}

void HasseFamily::edges(index_t begin, index_t end, int threads, std::vector<index_t>& child,
                        std::vector<index_t>& parent, const Poll& poll) const {
    begin = std::max<index_t>(begin, 0);
    end = std::min(end, k_);
    if (begin >= end) return;
    std::vector<std::vector<index_t>> found(u(end - begin));
    constexpr index_t kChunk = 64;
    std::atomic<index_t> next{begin};
    std::atomic<bool> stop{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&](bool caller) {
        try {
            Scratch s;
            for (;;) {
                if (stop.load(std::memory_order_relaxed)) return;
                if (caller) poll();
                const index_t from = next.fetch_add(kChunk);
                if (from >= end) return;
                const index_t to = std::min(end, from + kChunk);
                for (index_t c = from; c < to; ++c) parents_of(c, s, found[u(c - begin)]);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            stop.store(true);
        }
    };
    const index_t most = (end - begin + kChunk - 1) / kChunk;
    const int helpers = static_cast<int>(std::max<index_t>(
        0, std::min<index_t>(static_cast<index_t>(threads) - 1, most - 1)));
    std::vector<std::thread> pool;
    try {
        for (int t = 0; t < helpers; ++t) pool.emplace_back(work, false);
    } catch (...) {
        // fewer threads: the ones started and the caller do it
    }
    work(true);
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
    for (index_t c = begin; c < end; ++c) {
        const std::vector<index_t>& ps = found[u(c - begin)];
        for (const index_t p : ps) {
            child.push_back(c);
            parent.push_back(p);
        }
    }
}

std::vector<index_t> uncovered_sets(MatrixView<const std::uint8_t> rows, const index_t* child,
                                    const index_t* parent, index_t edges, const Poll& poll) {
    const index_t k = rows.rows;
    const index_t width = rows.cols;
    // the children of each parent together (a counting sort of the edges)
    std::vector<index_t> start(u(k) + 1, 0);
    for (index_t e = 0; e < edges; ++e) {
        if (child[e] < 0 || child[e] >= k || parent[e] < 0 || parent[e] >= k)
            throw std::out_of_range("an edge of the hierarchy names a set outside the " +
                                    std::to_string(k) + " given");
        ++start[u(parent[e]) + 1];
    }
    for (index_t i = 0; i < k; ++i) start[u(i) + 1] += start[u(i)];
    std::vector<index_t> kids(u(edges));
    {
        std::vector<index_t> next(start.begin(), start.end() - 1);
        for (index_t e = 0; e < edges; ++e) kids[u(next[u(parent[e])]++)] = child[e];
    }
    std::vector<index_t> out;
    if (width == 0) return out;  // every set empty, and covered
    // a row's bytes in place when they are contiguous, else copied
    std::vector<std::uint8_t> copy(rows.stride1 == 1 ? 0 : u(width));
    auto row = [&](index_t r) -> const std::uint8_t* {
        if (rows.stride1 == 1) return &rows(r, 0);
        for (index_t b = 0; b < width; ++b) copy[u(b)] = rows(r, b);
        return copy.data();
    };
    std::vector<std::uint8_t> covered(u(width));
    for (index_t i = 0; i < k; ++i) {
        if ((i & 4095) == 0) poll();
        std::fill(covered.begin(), covered.end(), std::uint8_t{0});
        for (index_t e = start[u(i)]; e < start[u(i) + 1]; ++e) {
            const std::uint8_t* c = row(kids[u(e)]);
            for (index_t b = 0; b < width; ++b)
                covered[u(b)] = static_cast<std::uint8_t>(covered[u(b)] | c[b]);
        }
        if (!std::equal(covered.begin(), covered.end(), row(i))) out.push_back(i);
    }
    return out;
}

}  // namespace quelmar

