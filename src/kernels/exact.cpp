// Exact sensitivity pattern by modular arithmetic; see exact.hpp for the
// mathematics and the failure bound.  The field and the primes are in
// modfield.*, the dense elimination in modelim.*, the work of one prime in
// exact_prime.cpp and the number of primes in exact_bound.cpp; this file
// holds the work on the stoichiometry matrix alone and runs the primes.
#include "exact.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "exact_prime.hpp"
#include "modelim.hpp"

namespace quelmar {

using namespace modp;
using namespace exact_detail;

namespace {

// Rank of S over Q compared with r, from a few primes (a prime can only lower
// the rank).
RankStatus probe_rank(const Problem& pb, PrimeTable& primes, const Poll& poll) {
    bool exact = false;
    for (std::size_t k = 0; k < 3; ++k) {
        const RankStatus st = primes.get(k, pb, poll).st;
        if (st == RankStatus::high) return st;
        if (st == RankStatus::exact) exact = true;
        if (exact && k >= 1) break;
    }
    return exact ? RankStatus::exact : RankStatus::low;
}

SparseExact exact_rows(MatrixView<const double> M, index_t rows, index_t cols) {
    SparseExact A;
    A.ptr.assign(rows + 1, 0);
    for (index_t i = 0; i < rows; ++i) {
        for (index_t j = 0; j < cols; ++j) {
            const double x = M(i, j);
            if (x == 0.0) continue;
            A.idx.push_back(j);
            A.val.push_back(exact_of(x));
        }
        A.ptr[i + 1] = static_cast<index_t>(A.idx.size());
    }
    return A;
}

}  // namespace

struct ExactSensitivity::State {
    enum class Status { undecidable, zero, primes } status = Status::undecidable;
    index_t m = 0, n = 0;
    Problem pb;
    PrimeTable primes;
};

ExactSensitivity::ExactSensitivity(MatrixView<const double> stoi, index_t K, index_t Lc,
                                   const Poll& poll)
    : state_(std::make_unique<State>()) {
    using Status = State::Status;
    State& st = *state_;
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    st.m = m;
    st.n = n;
    if (K < 0 || Lc < 0)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: negative cycle or conservation count");
    if (m + K != n + Lc || n - K < 0) return;
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            if (!std::isfinite(stoi(i, j))) return;
    st.status = Status::zero;
    if (m == 0 || n == 0) return;

    Problem& pb = st.pb;
    pb.m = m;
    pb.n = n;
    pb.r = n - K;
    pb.S = exact_rows(stoi, m, n);
    Problem::exponents(pb.S, pb.s_lo, pb.s_hi);
    st.status = Status::undecidable;
    if (probe_rank(pb, st.primes, poll) != RankStatus::exact) {
        bool changed = false;
        for (Exact& v : pb.S.val) {
            Exact s;
            if (snap(v.value, s)) {
                v = s;
                changed = true;
            }
        }
        if (!changed) return;
        Problem::exponents(pb.S, pb.s_lo, pb.s_hi);
        st.primes.clear();
        if (probe_rank(pb, st.primes, poll) != RankStatus::exact) return;
    }
    // adj(A)[0:m, 0:n] = 0 when S = 0
    st.status = pb.r == 0 ? Status::zero : Status::primes;
}

ExactSensitivity::~ExactSensitivity() = default;
ExactSensitivity::ExactSensitivity(ExactSensitivity&&) noexcept = default;
ExactSensitivity& ExactSensitivity::operator=(ExactSensitivity&&) noexcept = default;

bool ExactSensitivity::pattern(MatrixView<const double> top, MatrixView<std::uint8_t> out,
                               const Poll& poll, int threads) {
    using Status = State::Status;
    State& st = *state_;
    const index_t m = st.m, n = st.n;
    if (top.rows < n || top.cols < m)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: top block smaller than reactions x species");
    if (out.rows < m || out.cols < n)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: output smaller than species x reactions");
    if (st.status == Status::undecidable) return false;
    for (index_t j = 0; j < n; ++j)
        for (index_t i = 0; i < m; ++i)
            if (!std::isfinite(top(j, i))) return false;
    if (st.status == Status::zero) return true;

    Problem& pb = st.pb;
    pb.top = exact_rows(top, n, m);
    Problem::exponents(pb.top, pb.t_lo, pb.t_hi);
    const int t = primes_needed(pb);
    // Helper threads only where the elimination's products are shared out.
    std::optional<Team> team;
    if (threads > 1 && pb.r * pb.r * kPanel >= kThreadedWork) team.emplace(threads);
    Vec<std::uint8_t> pat(m * n, 0);
    WPlan plan;
    int used = 0, skipped = 0;
    for (std::size_t k = 0; used < t; ++k) {
        poll();
        const RankStatus rs = one_prime(st.primes.get(k, pb, poll), pb, plan, pat, poll,
                                       team ? &*team : nullptr);
        if (rs == RankStatus::high) return false;
        if (rs == RankStatus::low) {
            if (++skipped > kMaxSkipped) return false;
            continue;
        }
        ++used;
    }
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j)
            if (pat[i * n + j]) out(i, j) = 1;
    return true;
}

bool exact_sensitivity_pattern(MatrixView<const double> stoi, MatrixView<const double> top,
                               index_t K, index_t Lc, MatrixView<std::uint8_t> out,
                               const Poll& poll, int threads) {
    if (K < 0 || Lc < 0)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: negative cycle or conservation count");
    if (top.rows < stoi.cols || top.cols < stoi.rows)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: top block smaller than reactions x species");
    if (out.rows < stoi.rows || out.cols < stoi.cols)
        throw std::invalid_argument(
            "exact_sensitivity_pattern: output smaller than species x reactions");
    ExactSensitivity exact(stoi, K, Lc, poll);
    return exact.pattern(top, out, poll, threads);
}

}  // namespace quelmar
