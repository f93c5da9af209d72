"""Searches from several threads at once, and Ctrl-C during a long search."""

import _thread
import threading
import time

import numpy as np
import pytest

cq = pytest.importorskip("quelmar.cyquelmar")


def open_network(m, n, seed):
    """Random network with sources and sinks, so that no quantity is
    conserved and many seeds close to different selections."""
    rng = np.random.default_rng(seed)
    stoi = np.zeros((m, n))
    for j in range(n):
        a, b = rng.choice(m, 2, replace=False)
        stoi[a, j] = -1.0
        if j % 3:
            stoi[b, j] = 1.0
    return stoi


def with_fixed_sensitivity(crn, lo):
    # The search looks _smat_ up on the object, so the random draws can be
    # made before the threads start.
    crn._smat_ = lambda trial=2: lo
    return crn


def test_threaded_searches_match_serial_ones():
    np.random.seed(3)
    crns = []
    for seed in range(4):
        crn = cq.CRN(open_network(60, 80, seed))
        crns.append(with_fixed_sensitivity(crn, crn._smat_()))
    serial = [crn.search_for_isoBSs() for crn in crns]
    indices = [crn.compute_index(range(10), range(20)) for crn in crns]

    results = [None] * len(crns)
    errors = []

    def work(k):
        try:
            for _ in range(3):
                found = crns[k].search_for_isoBSs()
                assert crns[k].compute_index(range(10), range(20)) == indices[k]
            results[k] = found
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(crns))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for got, want in zip(results, serial):
        assert len(got) == len(want)
        assert all(np.array_equal(g, w) for g, w in zip(got, want))


@pytest.mark.parametrize("size, delay, seedwise", [
    ((1500, 2000, 5), 0.1, False),  # the search: about a second when left to finish
    ((600, 800, 5), 0.3, True),  # the seedwise search: about ten seconds
])
def test_keyboard_interrupt_stops_a_long_search(size, delay, seedwise):
    m, n, seed = size
    crn = with_fixed_sensitivity(cq.CRN(open_network(m, n, seed)), np.zeros((m, n), dtype=bool))
    before = {k: (v if isinstance(v, list) else np.array(v)) for k, v in vars(crn).items()
              if k != "_smat_"}
    timer = threading.Timer(delay, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        if seedwise:
            cq._search_for_isoBSs_seedwise(crn)
        else:
            crn.search_for_isoBSs()
        pytest.fail("the search finished before the interrupt")
    elapsed = time.monotonic() - start
    timer.join()
    assert elapsed < 3.0, f"the interrupt took {elapsed:.1f} s to stop the search"
    for k, v in before.items():
        now = getattr(crn, k)
        assert np.array_equal(np.array(now), v) if not isinstance(v, list) else now == v


def test_small_steps_hold_blas_to_one_thread():
    from threadpoolctl import threadpool_info, threadpool_limits

    from quelmar.threads import SMALL_ORDER, blas_threads

    def blas():
        return [d["num_threads"] for d in threadpool_info() if d["user_api"] == "blas"]

    with threadpool_limits(limits=2, user_api="blas"):
        outside = blas()
        for _ in range(2):  # the libraries found at the first step serve the next
            with blas_threads(SMALL_ORDER):
                assert blas() and set(blas()) == {1}
            assert blas() == outside
        with blas_threads(SMALL_ORDER + 1):
            assert blas() == outside
