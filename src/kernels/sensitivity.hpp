// The sensitivity pattern of a network from random trials: in each trial the
// free entries of the A-matrix take drawn values, and species i responds to
// reaction j when the entry (i, j) of the adjugate of the drawn A-matrix is
// non-zero.  A trial ORs its pattern into the result.
//
// A trial is decided, in this order:
//   1. structurally: when no L - 1 rows and columns of A can be matched along
//      its entries that are not exactly zero (free entries count as
//      non-zero), every cofactor vanishes for all values of the free entries;
//      with a maximum matching of size L - 1, the cofactor of row j and column
//      i can only be non-zero when some maximum matching leaves row j and
//      column i uncovered (the rows of the Over block and the columns of the
//      Under block of the coarse decomposition, matching.hpp), so when no
//      reaction row or no species column is among them, the species-by-
//      reaction block vanishes.  Such trials only take their values.
//   2. exactly, by modular arithmetic (exact.hpp), when a stoichiometry
//      matrix was given and the pattern can be decided that way;
//   3. otherwise by cofactors in floating point (adjugate() of dense.hpp):
//      the entries with |adj| > TOL.  Its workspace (L^2 minors of order
//      L - 1, L^4 doubles) is allocated by the first trial that needs it, and
//      refused beyond kMaxCofactorBytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "exact.hpp"
#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

/// The largest workspace the cofactor method may ask for, in bytes.
inline constexpr double kMaxCofactorBytes = 2.0 * (1 << 30);

/// The trials of one A-matrix.  Not thread-safe; the views given to it must
/// outlive it.
class SensitivityTrials {
public:
    /// A: the L x L A-matrix (read here only; its infinite and NaN entries
    /// are the free ones, in row-major order); m species and n reactions,
    /// rows 0..n-1 of A being the reactions and columns 0..m-1 the species.
    /// Throws std::invalid_argument when A is not square or m or n exceeds
    /// its order.
    SensitivityTrials(MatrixView<const double> A, index_t m, index_t n);

    index_t order() const { return L_; }
    /// The number of free entries: the values a trial takes.
    index_t free_count() const { return static_cast<index_t>(free_positions_.size()); }

    /// Decides the structural test (1. above); call once before the trials.
    /// poll() may throw.
    void test_structure(const Poll& poll = {});
    /// Whether the structural test found the species-by-reaction block of the
    /// adjugate zero for all values: trials then change nothing.
    bool adjugate_vanishes() const { return vanishes_; }

    /// Enables the exact path (2. above) with the m x n stoichiometry matrix,
    /// which must outlive the trials.  Its work on stoi alone is done by the
    /// first trial that needs it.
    void use_stoichiometry(MatrixView<const double> stoi) { stoi_ = stoi; }

    /// The number of threads the exact path may use (exact.hpp; 1 by default).
    void use_threads(int threads) { threads_ = threads; }

    /// The work on stoi alone of an earlier object over an equal
    /// stoichiometry matrix and A-matrix order (results are the same, the
    /// work is not repeated), and handing it on after the trials.
    void adopt_exact(ExactSensitivity&& exact) { exact_.emplace(std::move(exact)); }
    std::optional<ExactSensitivity> release_exact() {
        std::optional<ExactSensitivity> out = std::move(exact_);
        exact_.reset();
        return out;
    }

    /// Where the values of the free entries of the next trial go
    /// (free_count() of them, in the row-major order of their positions).
    std::span<double> free_values() { return values_; }

    /// One trial with the values in free_values(): ORs its pattern into out
    /// (at least m x n).  Throws MemoryLimitExceeded when it needs the
    /// cofactor method and its workspace would exceed kMaxCofactorBytes;
    /// poll() may throw.
    void trial(MatrixView<std::uint8_t> out, const Poll& poll = {});

private:
    void ensure_cofactor_workspace();

    index_t L_, m_, n_;
    Vec<index_t> free_positions_;  // row-major offsets into A
    Vec<index_t> indptr_, indices_;  // the entries not exactly zero
    Vec<double> values_;
    bool vanishes_ = false;

    std::optional<MatrixView<const double>> stoi_;
    std::optional<ExactSensitivity> exact_;
    int threads_ = 1;

    // randA holds the fixed entries of A between trials, unless the cofactor
    // method replaced it by its adjugate: each trial then only writes the
    // free entries.  fixed_ keeps them from the first trial that needs the
    // cofactor method on (the exact path never copies A again).
    Matrix<double> randA_;
    bool randA_fixed_ = false;
    Matrix<double> fixed_;
    bool kept_fixed_ = false;
    std::unique_ptr<double[]> minors_;
};

}  // namespace quelmar
