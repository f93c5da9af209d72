// The LAPACK LU factorisation used by the determinant kernel.  The entry point
// is the one piece of process-wide state of the kernels: the extension module
// installs SciPy's dgetrf at import, the C++ tests install the system LAPACK.
#pragma once

namespace quelmar {

/// dgetrf(M, N, A, LDA, IPIV, INFO), column-major, Fortran calling convention.
using dgetrf_fn = void(int* m, int* n, double* a, int* lda, int* ipiv, int* info);

void set_dgetrf(dgetrf_fn* fn) noexcept;
dgetrf_fn* get_dgetrf() noexcept;

}  // namespace quelmar
