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

/// dgeqp3(M, N, A, LDA, JPVT, TAU, WORK, LWORK, INFO): QR factorisation with
/// column pivoting.
using dgeqp3_fn = void(int* m, int* n, double* a, int* lda, int* jpvt, double* tau,
                       double* work, int* lwork, int* info);

/// dorgqr(M, N, K, A, LDA, TAU, WORK, LWORK, INFO): the orthogonal factor of
/// a QR factorisation from its reflectors.
using dorgqr_fn = void(int* m, int* n, int* k, double* a, int* lda, double* tau, double* work,
                       int* lwork, int* info);

/// dtrtri(UPLO, DIAG, N, A, LDA, INFO): inverse of a triangular matrix.
using dtrtri_fn = void(char* uplo, char* diag, int* n, double* a, int* lda, int* info);

/// The routines of a pivoted QR factorisation, its orthogonal factor and the
/// inverse of its triangle (all three, or none is used).
struct QrRoutines {
    dgeqp3_fn* dgeqp3 = nullptr;
    dorgqr_fn* dorgqr = nullptr;
    dtrtri_fn* dtrtri = nullptr;
    bool complete() const { return dgeqp3 != nullptr && dorgqr != nullptr && dtrtri != nullptr; }
};

void set_dgetrf(dgetrf_fn* fn) noexcept;
dgetrf_fn* get_dgetrf() noexcept;

}  // namespace quelmar
