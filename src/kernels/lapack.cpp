#include "lapack.hpp"

#include <atomic>

namespace quelmar {

namespace {
std::atomic<dgetrf_fn*> installed_dgetrf{nullptr};
}

void set_dgetrf(dgetrf_fn* fn) noexcept { installed_dgetrf.store(fn); }
dgetrf_fn* get_dgetrf() noexcept { return installed_dgetrf.load(); }

}  // namespace quelmar
