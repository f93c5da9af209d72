// The trials of the sensitivity pattern; see sensitivity.hpp for the order in
// which a trial is decided.
#include "sensitivity.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "dense.hpp"
#include "matching.hpp"

namespace quelmar {

SensitivityTrials::SensitivityTrials(MatrixView<const double> A, index_t m, index_t n)
    : L_(A.rows), m_(m), n_(n) {
    if (A.cols != A.rows) throw std::invalid_argument("the A-matrix must be square");
    if (m < 0 || n < 0 || m > L_ || n > L_)
        throw std::invalid_argument("the A-matrix is smaller than the stoichiometry matrix");
    // One pass over the rows: the values, the free positions, and the
    // pattern of the entries that are not exactly zero (free ones included).
    randA_ = Matrix<double>(L_, L_);
    indptr_.assign(1, 0);
    const index_t L = L_;
    for (index_t i = 0; i < L; ++i) {
        double* row = randA_.data() + i * L;
        if (A.stride1 == static_cast<index_t>(sizeof(double))) {
            if (L > 0) std::memcpy(row, &A(i, 0), static_cast<std::size_t>(L) * sizeof(double));
        } else {
            for (index_t j = 0; j < L; ++j) row[j] = A(i, j);
        }
        for (index_t j = 0; j < L; ++j) {
            const double v = row[j];
            if (v == 0.0) continue;
            indices_.push_back(j);
            if (!(std::fabs(v) < HUGE_VAL)) free_positions_.push_back(i * L + j);
        }
        indptr_.push_back(static_cast<index_t>(indices_.size()));
    }
    values_.resize(free_positions_.size());
    randA_fixed_ = true;
}

void SensitivityTrials::test_structure(const Poll& poll) {
    if (L_ < 2) return;
    const Pattern pattern = pattern_from_csr(L_, L_, std::move(indptr_), std::move(indices_));
    const Decomposition d = coarse_decomposition(pattern, poll);
    const index_t rank = d.matching.size;
    if (rank <= L_ - 2) {
        vanishes_ = true;
        return;
    }
    if (rank == L_) return;
    bool reaction_row = false, species_column = false;
    for (index_t j = 0; j < n_ && !reaction_row; ++j)
        reaction_row = d.row_block[j] == Block::Over;
    for (index_t i = 0; i < m_ && !species_column; ++i)
        species_column = d.col_block[i] == Block::Under;
    vanishes_ = !(reaction_row && species_column);
}

void SensitivityTrials::ensure_cofactor_workspace() {
    if (minors_) return;
    const double side = static_cast<double>(L_);
    const double bytes = side * side * (side - 1) * (side - 1) * sizeof(double);
    if (bytes > kMaxCofactorBytes) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "the sensitivity matrix could not be decided exactly, and the cofactor "
                      "method would need %.1f GiB for an A-matrix of order %zu (at most %.0f "
                      "GiB are used)",
                      bytes / (1 << 30), L_,
                      kMaxCofactorBytes / (1 << 30));
        throw MemoryLimitExceeded(message);
    }
    // Left uninitialised: adjugate() writes every minor before reading it.
    minors_ = std::make_unique_for_overwrite<double[]>(
        static_cast<std::size_t>(L_ * L_) * static_cast<std::size_t>((L_ - 1) * (L_ - 1)));
}

void SensitivityTrials::trial(MatrixView<std::uint8_t> out, const Poll& poll) {
    if (out.rows < m_ || out.cols < n_)
        throw std::invalid_argument("the sensitivity pattern is smaller than species x reactions");
    if (!randA_fixed_) {
        randA_ = fixed_;
        randA_fixed_ = true;
    }
    const std::size_t k = free_positions_.size();
    for (std::size_t p = 0; p < k; ++p)
        randA_.data()[free_positions_[p]] = values_[p];
    if (vanishes_) return;

    // Exact non-zero pattern of the species-by-reaction block of adj(randA),
    // with the cycle and conservation blocks taken exactly from stoi (the
    // work on stoi alone is done by the first trial that needs it).
    if (stoi_) {
        const auto item = static_cast<index_t>(sizeof(double));
        const MatrixView<const double> top{randA_.data(), n_, m_, L_ * item, item};
        if (!exact_) exact_.emplace(*stoi_, L_ - m_, L_ - n_, poll);
        if (exact_->pattern(top, out, poll, threads_)) return;
    }
    ensure_cofactor_workspace();
    if (!kept_fixed_) {  // the fixed entries, before the adjugate replaces them
        fixed_ = randA_;
        kept_fixed_ = true;
    }
    randA_fixed_ = false;
    adjugate(randA_.view(), L_, minors_.get(), poll);
    for (index_t i = 0; i < m_; ++i)
        for (index_t j = 0; j < n_; ++j)
            if (std::fabs(randA_(i, j)) > TOL) out(i, j) = 1;
}

}  // namespace quelmar
