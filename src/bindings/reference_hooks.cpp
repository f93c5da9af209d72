// Hooks for the tests and the benchmarks, built into the module only with
// QUELMAR_TEST_HOOKS (editable installs and the sanitizer run): the
// seed-by-seed search of the reference library.
#include "crn.hpp"
#include "module.hpp"
#include "reference.hpp"

namespace quelmar::py {

PyObject* search_seedwise_impl(PyObject*, PyObject* const* a) {
    Ref cls = module_global("CRN");
    const int ok = PyObject_IsInstance(a[0], cls.get());
    if (ok < 0) throw PyError{};
    if (!ok) raise(PyExc_TypeError, "expected a CRN");
    std::vector<Selection> found = found_by(a[0], a[1], [](const SearchViews& v) {
        return reference::search_isoBSs_seedwise(v.stoi, v.DT, v.oc, v.lo, v.cq, signal_poll());
    });
    return selection_list(found);
}

}  // namespace quelmar::py
