// Structural invariants of reaction networks: conserved-quantity classes, the
// output-complete closure, the emergent-cycle test and the chi-index.
#include "invariants.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "checks.hpp"
#include "dense.hpp"

namespace quelmar {

using checks::require_at_least;
using checks::require_selection_size;

namespace {

class DisjointSets {
public:
    explicit DisjointSets(index_t count) : parent_(count) {
        std::iota(parent_.begin(), parent_.end(), index_t{0});
    }
    index_t find(index_t x) {
        while (at(x) != x) {
            at(x) = at(at(x));  // path halving
            x = at(x);
        }
        return x;
    }
    void unite(index_t a, index_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (a > b) std::swap(a, b);
        at(b) = a;
    }

private:
    index_t& at(index_t x) { return parent_[x]; }
    Vec<index_t> parent_;
};

// Worklist closure: `selected` holds one flag per species and reaction; it is
// grown in place and the indices of the entries it adds are appended to
// `added`.  `pending` is scratch.  Each selected entry is expanded once.
void close_selection(Vec<std::uint8_t>& selected, Vec<index_t>& added,
                     Vec<index_t>& pending, MatrixView<const std::uint8_t> oc,
                     MatrixView<const std::uint8_t> lo, MatrixView<const std::uint8_t> cq,
                     index_t m, index_t n) {
    auto sel = [&](index_t e) -> std::uint8_t& { return selected[e]; };
    pending.clear();
    for (index_t e = 0; e < m + n; ++e)
        if (sel(e) != 0) pending.push_back(e);
    auto add = [&](index_t e) {
        if (sel(e) != 0) return;
        sel(e) = 1;
        added.push_back(e);
        pending.push_back(e);
    };
    while (!pending.empty()) {
        const index_t e = pending.back();
        pending.pop_back();
        if (e < m) {
            for (index_t j = 0; j < n; ++j)
                if (oc(e, j) != 0) add(m + j);
            for (index_t k = 0; k < m; ++k)
                if (cq(e, k) != 0) add(k);
        } else {
            const index_t j = e - m;
            for (index_t i = 0; i < m; ++i)
                if (lo(i, j) != 0) add(i);
        }
    }
}

}  // namespace

void cq_classifier(MatrixView<const double> DT, MatrixView<std::uint8_t> out) {
    const index_t L = DT.rows;
    const index_t m = DT.cols;
    require_at_least("the class matrix", out.rows, out.cols, m, m);

    DisjointSets sets(m);
    for (index_t l = 0; l < L; ++l) {
        index_t first = -1;
        for (index_t i = 0; i < m; ++i) {
            if (std::abs(DT(l, i)) < TOL) continue;
            if (first < 0)
                first = i;
            else
                sets.unite(first, i);
        }
    }
    Vec<index_t> root(m);
    for (index_t i = 0; i < m; ++i) root[i] = sets.find(i);
    for (index_t i = 0; i < m; ++i) {
        const index_t ri = root[i];
        for (index_t j = 0; j < m; ++j)
            out(i, j) = root[j] == ri ? 1 : 0;
    }
}

void oc_closure(VectorView<std::uint8_t> XandR, MatrixView<const std::uint8_t> oc,
                MatrixView<const std::uint8_t> lo, MatrixView<const std::uint8_t> cq,
                index_t m, index_t n) {
    if (m < 0 || n < 0)
        throw std::invalid_argument("negative numbers of species or reactions");
    if (XandR.size < m + n)
        throw std::invalid_argument("the selection has " + std::to_string(XandR.size) +
                                    " entries but at least " + std::to_string(m + n) +
                                    " are needed");
    require_at_least("the output-completeness matrix", oc.rows, oc.cols, m, n);
    require_at_least("the sensitivity matrix", lo.rows, lo.cols, m, n);
    require_at_least("the class matrix", cq.rows, cq.cols, m, m);

    Vec<std::uint8_t> selected(m + n);
    for (index_t e = 0; e < m + n; ++e)
        selected[e] = XandR(e) != 0 ? 1 : 0;
    Vec<index_t> added;
    Vec<index_t> pending;
    close_selection(selected, added, pending, oc, lo, cq, m, n);
    for (const index_t e : added) XandR(e) = 1;
}

index_t chiindex(MatrixView<const double> stoi, MatrixView<const double> DT,
                 VectorView<const std::uint8_t> XandR, const Poll& poll) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    const index_t L = DT.rows;
    require_selection_size(XandR, m, n);
    if (DT.cols != m)
        throw std::invalid_argument("the conserved-quantity matrix has " +
                                    std::to_string(DT.cols) + " columns but the network has " +
                                    std::to_string(m) + " species");

    Vec<index_t> species;
    Vec<index_t> reactions;
    for (index_t i = 0; i < m; ++i)
        if (XandR(i) != 0) species.push_back(i);
    for (index_t j = 0; j < n; ++j)
        if (XandR(m + j) != 0) reactions.push_back(j);
    const auto p = static_cast<index_t>(species.size());
    const auto q = static_cast<index_t>(reactions.size());

    Matrix<double> S_R(m, q);
    for (index_t i = 0; i < m; ++i)
        for (index_t c = 0; c < q; ++c) S_R(i, c) = stoi(i, reactions[c]);
    Matrix<double> W1(q, m + q);
    const index_t k1 = nullity(S_R.view(), W1.view(), m, q, poll);

    Matrix<double> D_X(L, p);
    for (index_t l = 0; l < L; ++l)
        for (index_t c = 0; c < p; ++c) D_X(l, c) = DT(l, species[c]);
    Matrix<double> W2(p, L + p);
    const index_t k2 = nullity(D_X.view(), W2.view(), L, p, poll);

    return q - k1 - k2;
}

bool no_emergent_cycles(MatrixView<const double> stoi, VectorView<const std::uint8_t> XandR,
                        const Poll& poll) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    require_selection_size(XandR, m, n);

    Vec<index_t> inside;
    Vec<index_t> outside;
    Vec<index_t> reactions;
    for (index_t i = 0; i < m; ++i) (XandR(i) != 0 ? inside : outside).push_back(i);
    for (index_t j = 0; j < n; ++j)
        if (XandR(m + j) != 0) reactions.push_back(j);
    const auto p = static_cast<index_t>(inside.size());
    const auto q = static_cast<index_t>(reactions.size());
    auto at = [](const Vec<index_t>& v, index_t i) { return v[i]; };

    Matrix<double> S_XR(p, q);
    for (index_t i = 0; i < p; ++i)
        for (index_t c = 0; c < q; ++c) S_XR(i, c) = stoi(at(inside, i), at(reactions, c));
    Matrix<double> W(q, p + q);
    const index_t k = nullity(S_XR.view(), W.view(), p, q, poll);

    // E = stoi[outside, reactions] . Z^T with Z = W[q-k:, p:], scanned row by row.
    for (index_t i = 0; i < m - p; ++i) {
        const index_t species = at(outside, i);
        for (index_t l = 0; l < k; ++l) {
            double e = 0.0;
            for (index_t c = 0; c < q; ++c)
                e += stoi(species, at(reactions, c)) * W(q - k + l, p + c);
            if (std::abs(e) >= TOL) return false;
        }
    }
    return true;
}

}  // namespace quelmar
