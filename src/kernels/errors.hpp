// Exceptions of the kernels beyond the standard ones.  The binding layer
// translates each in one place (pyutil's translation table).
#pragma once

#include <stdexcept>

namespace quelmar {

/// A computation would need more memory than the kernels allow themselves;
/// what() says how much and why.  Reaches Python as a MemoryError.
class MemoryLimitExceeded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace quelmar
