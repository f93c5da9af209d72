// The Hasse diagram (transitive reduction of strict inclusion) of a family of
// sets, with memory that follows the number of its edges rather than the
// number of inclusions.
#pragma once

#include <cstdint>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

/// The sets are the rows of a boolean matrix (one column per element).  For
/// each set c, its direct supersets (the sets strictly containing c with no
/// set strictly between) are the minimal sets among its strict supersets:
/// taken by increasing size, a strict superset is direct unless one of the
/// direct supersets already found lies strictly inside it.  Strict
/// supersets of c are found among the sets holding c's rarest element and a
/// few others spread over c (bit sets over the sets, by element), and among
/// the large sets, which are few; only the edges are kept.  Equal sets are not strictly inside each other.
class HasseFamily {
public:
    /// `threads` threads relate the sets to the large ones.
    explicit HasseFamily(MatrixView<const std::uint8_t> member, const Poll& poll = {},
                         int threads = 1);

    /// The same from the sets as bits: row i of `packed` holds set i, element
    /// x at bit x % 8 (the lowest first) of byte x / 8, bits from `elements`
    /// on ignored; an eighth of the memory of the boolean matrix.
    HasseFamily(MatrixView<const std::uint8_t> packed, index_t elements,
                const Poll& poll = {}, int threads = 1);

    index_t sets() const { return k_; }

    /// Appends the edges (child c, parent) for the children c in
    /// [begin, end), c ascending and each c's parents by increasing size,
    /// then index.  `threads` threads share the children (the caller's
    /// included).
    void edges(index_t begin, index_t end, int threads, std::vector<index_t>& child,
               std::vector<index_t>& parent, const Poll& poll = {}) const;

private:
    using Word = std::uint64_t;
    struct Scratch;

    void build(const Poll& poll, int threads);  // the rest, from bits_
    void index_row(index_t i);                  // size_ and word_idx_ of set i
    bool subset(index_t a, index_t b) const;    // set a inside set b
    void parents_of(index_t c, Scratch& s, std::vector<index_t>& out) const;
    const Word* bits(index_t i) const { return bits_.data() + i * w_; }
    template <class F>
    void each_element(index_t i, F&& f) const;  // f(x) for each element x of set i

    index_t k_ = 0, e_ = 0, w_ = 0;
    std::vector<Word> bits_;              // k_ x w_ words
    std::vector<index_t> size_;
    std::vector<index_t> rank_;           // position in the order by (size, index)
    std::vector<index_t> order_;          // the set at each rank
    std::vector<index_t> word_ptr_;       // the non-zero words of each set
    std::vector<std::int32_t> word_idx_;
    std::vector<index_t> holders_;        // sparse sets holding each element
    index_t kw_ = 0;                      // words of a bit set over the ranks
    std::vector<Word> by_element_;        // e_ x kw_: ranks of the sparse sets holding it
    std::vector<index_t> dense_;          // sets of more than half the elements, by rank
    std::vector<index_t> dense_pos_;      // position in dense_, or -1
    index_t dw_ = 0;                      // words of a bit set over dense_
    std::vector<Word> below_;             // below_[i]: dense sets strictly inside dense_[i]
    std::vector<Word> dense_above_;       // per sparse set: the dense sets holding it
};

/// The sets that the union of their children does not cover (the
/// irreducible ones), ascending: row i of `rows` is set i as bytes (bits or
/// booleans, compared byte for byte), and (child[e], parent[e]) for e below
/// `edges` are the edges of the family's Hasse diagram, in any order.
/// std::out_of_range for an edge naming no row.
std::vector<index_t> uncovered_sets(MatrixView<const std::uint8_t> rows, const index_t* child,
                                    const index_t* parent, index_t edges,
                                    const Poll& poll = {});

}  // namespace quelmar
