// The A-matrix of a network from the null spaces of its stoichiometry matrix
// and of its transpose (null_space() of dense.hpp, which reduces only the
// rows that become the bases).
#include "amatrix.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>

#include "checks.hpp"
#include "dense.hpp"

namespace quelmar {

Matrix<double> construct_A(MatrixView<const double> stoi, MatrixView<const double> reginfo,
                           const Poll& poll, int threads) {
    const index_t m = stoi.rows;
    const index_t n = stoi.cols;
    if (reginfo.rows < m || reginfo.cols < n)
        throw std::invalid_argument("reginfo has shape " +
                                    checks::shape_str(reginfo.rows, reginfo.cols) +
                                    " but the stoichiometry matrix is " + checks::shape_str(m, n));

    // At most two threads for the large reductions (rref() only uses them
    // there), whatever the machine's count: they share out no further.
    static const int machine = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
    threads = threads <= 0 ? machine : std::min(threads, 2);
    // One work matrix for both reductions (on a genome-scale network each
    // fresh one costs the system tens of milliseconds of zeroed pages): the
    // reduction of stoi^T first, its small conserved-quantity basis kept
    // aside, then that of stoi.
    const auto item = static_cast<index_t>(sizeof(double));
    Matrix<double> W(std::max(m, n), m + n);
    auto leading_rows = [&W, m, n, item](index_t rows) {
        return MatrixView<double>{W.data(), rows, m + n, (m + n) * item, item};
    };
    const index_t L = null_space(stoi.transposed(), leading_rows(m), n, m, poll, threads);
    Matrix<double> D(L, m);
    for (index_t l = 0; l < L; ++l)
        for (index_t i = 0; i < m; ++i) D(l, i) = W(m - L + l, n + i);
    const index_t K = null_space(stoi, leading_rows(n), m, n, poll, threads);
    if (n + L != m + K) {
        // Not finite entries make the two reductions disagree: name them.
        for (index_t i = 0; i < m; ++i)
            for (index_t j = 0; j < n; ++j)
                if (!std::isfinite(stoi(i, j)))
                    throw std::domain_error(
                        "the stoichiometry matrix holds " +
                        std::string(std::isnan(stoi(i, j)) ? "NaN" : "an infinite value") +
                        " at species " + std::to_string(i) + ", reaction " +
                        std::to_string(j) + ": every coefficient must be a finite number");
        throw std::domain_error(
            "the stoichiometry matrix is numerically rank-deficient at tolerance 1e-8: "
            "its reduction found rank " + std::to_string(n - K) +
            " and the reduction of its transpose found rank " + std::to_string(m - L));
    }

    Matrix<double> A(m + K, m + K, 0.0);
    // the cycles (rows n-K.. of the reduction, its identity columns) as columns
    copy_transposed(W.view().block(n - K, m, K, n), A.view().block(0, m, n, K));
    for (index_t l = 0; l < L; ++l)
        for (index_t i = 0; i < m; ++i) A(n + l, i) = D(l, i);
    copy_transposed(reginfo.block(0, 0, m, n), A.view().block(0, 0, n, m));
    return A;
}

}  // namespace quelmar
