"""Shared fixtures of the quelmar test suite.

* ``cq``: the compiled module ``quelmar.cyquelmar`` (tests that need it are
  skipped while it cannot be imported).
* ``impl``: parametrised over the NumPy model in ``reference.py`` and the
  compiled module, for behaviour that both must show.
* ``examples``: the small hand-made networks used throughout.
* ``random_network``: a deterministic generator of random integer networks;
  tests that name the argument ``net_seed`` (``sign_seed``, ``diag_seed``) are
  parametrised over the network seeds (see ``pytest_generate_tests``).
* ``same``: exact comparison of results (arrays, floats incl. NaN, lists,
  tuples, dicts) including types; ``state_of``: every attribute of a CRN.

The data and helpers themselves live in ``netgen.py`` and ``support.py`` so
that test modules can import them directly; this directory is put on ``sys.path`` here, which
also makes ``reference`` (the NumPy model) importable.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import reference as ref  # noqa: E402,F401
from netgen import (  # noqa: E402
    EXAMPLES,
    crn_state,
    make_network,
    random_selection,
)
from support import assert_same  # noqa: E402

# Numbers of random cases.  The cheap operations (construction, sensitivity,
# searches, reduction) run on N_NETWORKS networks; signdet's optimiser is slow
# in pure Python, so it gets fewer.
N_NETWORKS = 300
N_SIGN = 40
N_DIAGNOSE = 8
N_SUBNET_SIGN = 8


def load_cyquelmar():
    """Import the compiled module, skipping the calling test if it is missing."""
    pytest.importorskip("quelmar.cyquelmar")
    from quelmar import cyquelmar as cq

    return cq


@pytest.fixture(scope="session")
def cq():
    return load_cyquelmar()


@pytest.fixture(params=["reference", "extension"])
def impl(request):
    if request.param == "reference":
        return ref
    return load_cyquelmar()


if os.environ.get("PYTEST_XDIST_WORKER"):
    # The test processes share the machine's cores: BLAS threads of their
    # own would only wait on each other (results do not depend on them).
    from threadpoolctl import threadpool_limits

    threadpool_limits(limits=1, user_api="blas")


SEED_ARGUMENTS = {"net_seed": N_NETWORKS, "sign_seed": N_SIGN, "diag_seed": N_DIAGNOSE,
                  "subnet_seed": N_SUBNET_SIGN}


def pytest_generate_tests(metafunc):
    for name, count in SEED_ARGUMENTS.items():
        if name in metafunc.fixturenames:
            metafunc.parametrize(name, range(count))


def pytest_collection_modifyitems(session, config, items):
    # The batch tests run a Dask scheduler in this process and load pandas and
    # pyarrow; the memory checks of test_refcounts read the resident set of the
    # process, so they run first, in a process that has not seen all that.
    # Among the others the slow (genome-scale) cases go first, so that with
    # several test processes (pytest -n) they do not finish last, alone.
    items.sort(key=lambda item: (item.nodeid.startswith("tests/test_batch.py"),
                                 item.get_closest_marker("slow") is None))


@pytest.fixture
def examples():
    """Fresh copies of the example stoichiometry matrices (by name)."""
    return {k: v.copy() for k, v in EXAMPLES.items()}


@pytest.fixture
def random_network():
    """Factory: random_network(seed) -> (stoi, reginfo, description)."""
    return make_network


@pytest.fixture
def random_mask():
    """Factory: random_mask(seed, m, n, p) -> m + n booleans."""
    return random_selection


@pytest.fixture
def same():
    """Exact comparison: same(a, b, label)."""
    return assert_same


@pytest.fixture
def state_of():
    """state_of(crn) -> dict of copies of every attribute."""
    return crn_state
