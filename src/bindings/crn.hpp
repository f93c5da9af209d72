// What the units of the class CRN share (crn.cpp, analyses.cpp,
// reduction.cpp).
//
// CRN is an ordinary Python class (created from a namespace of the module's
// own functions), so its state is a set of plain instance attributes:
//   name, stoi, reginfo, X_names, R_names, A, _CRN__cq_class, _CRN__oc_keeper
// Methods read those attributes at every call and cache nothing.
#pragma once

#include <functional>
#include <vector>

#include "dense.hpp"
#include "pyops.hpp"
#include "pysignals.hpp"
#include "search.hpp"

namespace quelmar::py {

inline constexpr const char* kCqClass = "_CRN__cq_class";
inline constexpr const char* kOcKeeper = "_CRN__oc_keeper";

/// The largest number of species or reactions: LAPACK's int extents.
inline constexpr Py_ssize_t kMaxExtent = 2147483647;

/// ValueError for a network with more species or reactions than
/// kMaxExtent, raised before anything of that size is allocated.
void check_extents(Py_ssize_t m, Py_ssize_t n);

/// M[rows, :][:, cols] with NumPy indexing.
Ref submatrix(PyObject* M, PyObject* rows, PyObject* cols);

/// DT = np.array(A[n:, :m]), the conserved-quantity block of an A-matrix.
Ref conserved_block(PyObject* np, PyObject* A, Py_ssize_t n, Py_ssize_t m);

/// How many threads the large kernels (the exact pattern, the A-matrix's
/// reductions) use: at most two, one where OMP_NUM_THREADS asks for one.
int kernel_threads();

/// The A-matrix of (stoi, reginfo) as a new memory view over a new array.
Ref construct_A_view(PyObject* stoi, PyObject* reginfo);

/// XandR of m + n booleans from two index containers (membership tests in
/// ascending order of the index).
Ref selection_from_indices(PyObject* X, PyObject* R, Py_ssize_t m, Py_ssize_t n);

/// A selection has one entry per species and one per reaction: ValueError
/// otherwise.
void check_selection_length(PyObject* XandR, Py_ssize_t m, Py_ssize_t n);

/// What a search for isolated buffering structures reads: the stoichiometry,
/// the conserved-quantity block and the three relations of the closures.
struct SearchViews {
    MatrixView<const double> stoi, DT;
    MatrixView<const std::uint8_t> oc, lo, cq;
};
using SearchFn = std::function<std::vector<Selection>(const SearchViews&)>;

/// The selections `find` returns for the network self with the sensitivity
/// of self._smat_(trial); find runs without the interpreter lock.
std::vector<Selection> found_by(PyObject* self, PyObject* trial, const SearchFn& find);

/// The selections as a list of boolean arrays (found is emptied on the way).
PyObject* selection_list(std::vector<Selection>& found);

}  // namespace quelmar::py
