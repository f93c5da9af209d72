// Dense linear algebra: reduced row echelon form, nullity with a null-space
// basis, LU determinant and adjugate by cofactors.
//
// Plain C++ over strided views; no Python.  Zero test throughout: |x| < TOL
// (strictly), so |x| == TOL and NaN count as non-zero.
#pragma once

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

inline constexpr double TOL = 1e-8;

/// Gauss-Jordan elimination with partial pivoting on the leading nrows x ncols
/// block of M, in place.  Pivot: the largest magnitude in the column from the
/// current row down (the topmost on ties); a column whose pivot candidate is
/// below TOL is skipped.  The pivot row is divided by its pivot element (its
/// zeros left as they are when the pivot is finite) and eliminated from every
/// other row: across the pivot row's non-zero columns when they are fewer than
/// a quarter of ncols and the pivot row and the row's factor are finite, else
/// across all ncols columns; a row with a zero factor is skipped when the
/// pivot row is finite.  O(r*c*min(r,c)).  Large blocks are reduced in panels
/// of columns, with threads > 1 threads updating rows side by side; the
/// result is the same to the bit whatever the schedule.  poll is only called
/// from the calling thread.
void rref(MatrixView<double> M, index_t nrows, index_t ncols, const Poll& poll = {},
          int threads = 1);

/// rref() except that a row whose pivot lies in the first settled columns is
/// left as it was when its pivot was divided (no later pivot eliminates its
/// entries).  No other row ever reads such a row after that, so the other rows
/// end with the bits of rref(), for less work: where only the rows without a
/// pivot there are read (the null-space rows of [M^T | I]), the rows with one
/// need not be reduced.  settled = 0 is rref().
void rref_settled(MatrixView<double> M, index_t nrows, index_t ncols, index_t settled,
                  const Poll& poll = {}, int threads = 1);

/// rref_settled() in panels of width columns whatever the size of the block
/// (the same bits).  Throws std::invalid_argument if width < 1.
void rref_panels(MatrixView<double> M, index_t nrows, index_t ncols, index_t width,
                 const Poll& poll = {}, int threads = 1, index_t settled = 0);

/// dst(j, i) = src(i, j) for every entry of src (dst is src.cols x
/// src.rows), tile by tile, so that neither side is read or written a whole
/// row apart at every step.
void copy_transposed(MatrixView<const double> src, MatrixView<double> dst);

/// Nullity k = n - rank(M) of the m x n matrix M (only its leading m x n block
/// is read).  work (at least n rows, m+n columns) is cleared over its whole
/// extent, filled with [M^T | I] and reduced (rref() with threads threads);
/// afterwards rows n-k .. n-1, columns m .. m+n-1 hold a basis of the null
/// space of M in reduced row echelon form.  Throws std::invalid_argument if
/// work is too small.
index_t nullity(MatrixView<const double> M, MatrixView<double> work, index_t m, index_t n,
                const Poll& poll = {}, int threads = 1);

/// nullity() by rref_settled() with settled = m: the same k and the same bits
/// in rows n-k .. n-1 (the null-space basis), with the rows above left partly
/// reduced.
index_t null_space(MatrixView<const double> M, MatrixView<double> work, index_t m, index_t n,
                   const Poll& poll = {}, int threads = 1);

/// Determinant of the n x n matrix M from the LU factorisation of dgetrf.
/// Returns 0.0 for n <= 0 and NaN when dgetrf reports a non-zero INFO (in
/// particular for an exactly singular matrix).  Contiguous storage (C or
/// Fortran order) is factorised in place; any other layout is copied first.
/// Throws std::logic_error if no dgetrf is installed, std::overflow_error if n
/// does not fit LAPACK's int.
double det(MatrixView<double> M, index_t n);

/// Adjugate of the n x n matrix A by cofactors, in place: every cofactor is the
/// det() of its minor, so an exactly singular minor gives NaN.  The 1 x 1
/// adjugate is [[1.0]]; n == 0 leaves A as it is.  minors must hold
/// n*n*(n-1)*(n-1) doubles (n*n row-major (n-1) x (n-1) slots); it is
/// overwritten with the factorised minors.  O(n^5).
void adjugate(MatrixView<double> A, index_t n, double* minors, const Poll& poll = {});

}  // namespace quelmar
