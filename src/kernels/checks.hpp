// Argument checks shared by the structural kernels.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "view.hpp"

namespace quelmar::checks {

inline std::string shape_str(index_t rows, index_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

inline void require_at_least(const char* what, index_t rows, index_t cols, index_t min_rows,
                             index_t min_cols) {
    if (rows < min_rows || cols < min_cols)
        throw std::invalid_argument(std::string(what) + " has shape " +
                                    shape_str(rows, cols) + " but at least " +
                                    shape_str(min_rows, min_cols) + " is needed");
}

inline void require_selection_size(VectorView<const std::uint8_t> XandR, index_t m, index_t n) {
    if (XandR.size != m + n)
        throw std::invalid_argument("the selection has " + std::to_string(XandR.size) +
                                    " entries but the network has " + std::to_string(m) +
                                    " species and " + std::to_string(n) + " reactions");
}

}  // namespace quelmar::checks
