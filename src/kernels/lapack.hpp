// LAPACK entry points.  The LU factorisation used by the determinant kernel is
// the one piece of process-wide state of the kernels: the extension module
// installs SciPy's dgetrf at import, the C++ tests install the system LAPACK.
// Other routines are handed to the kernels that use them, as arguments.
#pragma once

namespace quelmar {

/// dgetrf(M, N, A, LDA, IPIV, INFO), column-major, Fortran calling convention.
using dgetrf_fn = void(int* m, int* n, double* a, int* lda, int* ipiv, int* info);

/// dgesdd(JOBZ, M, N, A, LDA, S, U, LDU, VT, LDVT, WORK, LWORK, IWORK, INFO):
/// singular value decomposition, column-major, Fortran calling convention.
using dgesdd_fn = void(char* jobz, int* m, int* n, double* a, int* lda, double* s, double* u,
                       int* ldu, double* vt, int* ldvt, double* work, int* lwork, int* iwork,
                       int* info);

void set_dgetrf(dgetrf_fn* fn) noexcept;
dgetrf_fn* get_dgetrf() noexcept;

}  // namespace quelmar
