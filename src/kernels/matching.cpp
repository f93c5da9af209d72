#include "matching.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "dense.hpp"

namespace quelmar {

namespace {

constexpr index_t kUnmatched = -1;
constexpr index_t kFar = std::numeric_limits<index_t>::max();


/// Transpose of the pattern (compressed-column form of the same matrix).
Pattern transpose(const Pattern& p) {
    Pattern t;
    t.rows = p.cols;
    t.cols = p.rows;
    t.indptr.assign(p.cols + 1, 0);
    for (const index_t j : p.indices) ++t.indptr[j + 1];
    for (index_t j = 0; j < p.cols; ++j) t.indptr[j + 1] += t.indptr[j];
    t.indices.resize(p.indices.size());
    Vec<index_t> next(t.indptr.begin(), t.indptr.end() - 1);
    for (index_t i = 0; i < p.rows; ++i)
        for (index_t k = p.indptr[i]; k < p.indptr[i + 1]; ++k)
            t.indices[next[p.indices[k]]++] = i;
    return t;
}

}  // namespace

Pattern pattern_of(MatrixView<const double> a) {
    if (a.rows < 0 || a.cols < 0) throw std::invalid_argument("negative matrix extent");
    Pattern p;
    p.rows = a.rows;
    p.cols = a.cols;
    p.indptr.reserve(a.rows + 1);
    for (index_t i = 0; i < a.rows; ++i) {
        for (index_t j = 0; j < a.cols; ++j)
            if (!(std::abs(a(i, j)) < TOL)) p.indices.push_back(j);
        p.indptr.push_back(static_cast<index_t>(p.indices.size()));
    }
    return p;
}

Pattern pattern_from_csr(index_t rows, index_t cols, Vec<index_t> indptr,
                         Vec<index_t> indices) {
    if (rows < 0 || cols < 0) throw std::invalid_argument("negative matrix extent");
    if (indptr.ssize() != rows + 1)
        throw std::invalid_argument("indptr must have one entry more than the rows");
    if (indptr.front() != 0 || indptr.back() != indices.ssize())
        throw std::invalid_argument("indptr must start at 0 and end at the number of indices");
    for (std::size_t i = 0; i + 1 < indptr.size(); ++i)
        if (indptr[i] > indptr[i + 1]) throw std::invalid_argument("indptr must not decrease");
    for (const index_t j : indices)
        if (j < 0 || j >= cols) throw std::invalid_argument("column index out of range");
    Pattern p;
    p.rows = rows;
    p.cols = cols;
    p.indptr = std::move(indptr);
    p.indices = std::move(indices);
    return p;
}

Matching maximum_matching(const Pattern& p, const Poll& poll) {
    const index_t nr = p.rows;
    Matching m;
    m.row_mate.assign(nr, kUnmatched);
    m.col_mate.assign(p.cols, kUnmatched);
    const auto first = [&](index_t i) { return p.indptr[i]; };
    const auto last = [&](index_t i) { return p.indptr[i + 1]; };

    // A greedy start leaves little for the phases to do.
    for (index_t i = 0; i < nr; ++i) {
        for (index_t k = first(i); k < last(i); ++k) {
            const index_t j = p.indices[k];
            if (m.col_mate[j] == kUnmatched) {
                m.row_mate[i] = j;
                m.col_mate[j] = i;
                ++m.size;
                break;
            }
        }
    }

    Vec<index_t> dist(nr);
    Vec<index_t> queue;
    queue.reserve(nr);
    Vec<index_t> next_edge(nr);
    Vec<index_t> path_rows;
    Vec<index_t> path_cols;

    for (;;) {
        poll();
        // Layers by breadth-first search from the unmatched rows.
        queue.clear();
        for (index_t i = 0; i < nr; ++i) {
            if (m.row_mate[i] == kUnmatched) {
                dist[i] = 0;
                queue.push_back(i);
            } else {
                dist[i] = kFar;
            }
        }
        index_t shortest = kFar;  // layer of the rows next to a free column
        for (std::size_t q = 0; q < queue.size(); ++q) {
            const index_t u = queue[q];
            if (dist[u] >= shortest) break;
            for (index_t k = first(u); k < last(u); ++k) {
                const index_t w = m.col_mate[p.indices[k]];
                if (w == kUnmatched) {
                    shortest = dist[u];
                } else if (dist[w] == kFar) {
                    dist[w] = dist[u] + 1;
                    queue.push_back(w);
                }
            }
        }
        if (shortest == kFar) break;

        // Augmenting paths along the layers, by an explicit-stack depth-first
        // search; each edge is tried at most once per phase.
        for (index_t i = 0; i < nr; ++i) next_edge[i] = first(i);
        bool grew = false;
        for (index_t s = 0; s < nr; ++s) {
            if (m.row_mate[s] != kUnmatched || dist[s] != 0) continue;
            path_rows.assign(1, s);
            path_cols.clear();
            while (!path_rows.empty()) {
                const index_t u = path_rows.back();
                if (next_edge[u] == last(u) || dist[u] > shortest) {
                    dist[u] = kFar;  // dead end for the rest of the phase
                    path_rows.pop_back();
                    if (!path_cols.empty()) path_cols.pop_back();
                    continue;
                }
                const index_t v = p.indices[next_edge[u]++];
                const index_t w = m.col_mate[v];
                if (w == kUnmatched) {
                    path_cols.push_back(v);
                    for (std::size_t t = 0; t < path_rows.size(); ++t) {
                        m.row_mate[path_rows[t]] = path_cols[t];
                        m.col_mate[path_cols[t]] = path_rows[t];
                    }
                    ++m.size;
                    grew = true;
                    break;
                }
                if (dist[w] != kFar && dist[w] == dist[u] + 1) {
                    path_cols.push_back(v);
                    path_rows.push_back(w);
                }
            }
        }
        if (!grew) break;
    }
    return m;
}

index_t structural_rank(const Pattern& p, const Poll& poll) {
    return maximum_matching(p, poll).size;
}

Decomposition coarse_decomposition(const Pattern& p, const Poll& poll) {
    Decomposition d;
    d.matching = maximum_matching(p, poll);
    const Matching& m = d.matching;
    d.row_block.assign(p.rows, Block::Square);
    d.col_block.assign(p.cols, Block::Square);
    Vec<index_t> queue;

    // Over: rows reachable from unmatched rows (row -> column by an edge,
    // column -> row by the matching).  A maximum matching leaves every column
    // met this way matched.
    for (index_t i = 0; i < p.rows; ++i) {
        if (m.row_mate[i] == kUnmatched) {
            d.row_block[i] = Block::Over;
            queue.push_back(i);
        }
    }
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const index_t u = queue[q];
        for (index_t k = p.indptr[u]; k < p.indptr[u + 1]; ++k) {
            const index_t v = p.indices[k];
            if (d.col_block[v] == Block::Over) continue;
            d.col_block[v] = Block::Over;
            const index_t w = m.col_mate[v];
            if (w != kUnmatched && d.row_block[w] != Block::Over) {
                d.row_block[w] = Block::Over;
                queue.push_back(w);
            }
        }
    }
    poll();

    // Under: the same from the unmatched columns, over the transpose.
    const Pattern t = transpose(p);
    queue.clear();
    for (index_t j = 0; j < p.cols; ++j) {
        if (m.col_mate[j] == kUnmatched) {
            d.col_block[j] = Block::Under;
            queue.push_back(j);
        }
    }
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const index_t v = queue[q];
        for (index_t k = t.indptr[v]; k < t.indptr[v + 1]; ++k) {
            const index_t u = t.indices[k];
            if (d.row_block[u] == Block::Under) continue;
            d.row_block[u] = Block::Under;
            const index_t w = m.row_mate[u];
            if (w != kUnmatched && d.col_block[w] != Block::Under) {
                d.col_block[w] = Block::Under;
                queue.push_back(w);
            }
        }
    }
    return d;
}

}  // namespace quelmar
