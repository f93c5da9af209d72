"""How many threads BLAS and LAPACK use for the steps of an analysis.

The indicator diagnosis makes many small LAPACK calls (determinants of
A-matrices of order at most a few hundred, inside the minimiser's
finite-difference gradients).  Each call is too small to share out, so
OpenBLAS's threads only wait on each other: on a 2-core machine with other
work running, a diagnosis took ten times as long with its default threads as
with one (which is what a batch's Dask workers use).  The results are the
same: a factorisation of this size takes the same steps with one thread.
:func:`blas_threads` runs such a step on one thread, leaving large
factorisations (the search's whole-network decomposition, the preparation
of a genome-scale model) their threads.
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator

__all__ = ["SMALL_ORDER", "blas_threads", "own_threads"]

#: Largest matrix order whose factorisations run on one BLAS thread.
SMALL_ORDER = 500


@contextlib.contextmanager
def blas_threads(order: int) -> Iterator[None]:
    """Hold BLAS (OpenBLAS, MKL, BLIS, ...) to one thread while the block
    runs when its matrices have order at most :data:`SMALL_ORDER`; larger ones
    keep the threads they have."""
    if order > SMALL_ORDER:
        yield
        return
    with _controller().limit(limits=1, user_api="blas"):
        yield


def own_threads(most: int = 2) -> int:
    """How many threads a step may share its own work out to: at most
    ``most`` and the cores there are, and no more than ``OMP_NUM_THREADS``
    when that is set (a batch's Dask workers set it to 1)."""
    threads = max(1, min(most, os.cpu_count() or 1))
    try:
        asked = int(os.environ.get("OMP_NUM_THREADS", ""))
    except ValueError:
        return threads
    return max(1, min(threads, asked))


@functools.cache
def _controller():
    """The BLAS libraries of NumPy and SciPy, found once: looking through
    the loaded libraries costs milliseconds, and a batch worker asks for
    every variant."""
    import scipy.linalg  # noqa: F401  (loads SciPy's own BLAS)
    from threadpoolctl import ThreadpoolController

    return ThreadpoolController()
