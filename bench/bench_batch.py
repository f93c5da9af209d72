"""Batch analysis: the knockout scan of a network (every single-reaction
deletion, several to a Dask task) on a local cluster of 2 worker processes, with
the same scan on 1 worker as the baseline, so "ratio" is the speed-up of the
second worker.

Both clusters are started and warmed up (each worker has imported quelmar)
before the clock starts, so the times are those of the scan alone; each scan
runs once.  The note counts the rows and the failed ones and, for each
scan, the time its tasks took in all against its wall time: how many tasks
ran at once on average (near 2 with 2 workers, yet no speed-up, means the
CPUs were busy with other work).  e_coli_core has 95 reactions (96 rows);
mini_textbook (18 reactions) is the quick case.
"""

import os
import time

from harness import Case
from networks import network_path

WORKERS = 2


def setup_for(key):
    def setup():
        from distributed import Client

        import quelmar
        from quelmar.batching.run import _local_cluster

        clients = {}
        for n in (1, WORKERS):
            clients[n] = Client(_local_cluster(n))
            clients[n].run(__import__, "quelmar.batching")
        return {"batch": quelmar.batch, "path": network_path(key), "clients": clients,
                "scans": {}}
    return setup


def scan_on(workers):
    def scan(state):
        start = time.perf_counter()
        table = state["batch"](state["path"], knockouts=True, seed=0,
                               client=state["clients"][workers], progress=False)
        state["scans"][workers] = (table, time.perf_counter() - start)
    return scan


def report(state):
    if not state["scans"]:
        return None
    table = next(iter(state["scans"].values()))[0]
    failed = int((table["error"] != "").sum())
    at_once = "; ".join("%d worker%s: tasks %.0f s in %.0f s (%.2f at once)"
                        % (n, "" if n == 1 else "s", t["seconds"].sum(), wall,
                           t["seconds"].sum() / wall)
                        for n, (t, wall) in sorted(state["scans"].items()))
    return "%d rows, %d failed; %s; %d CPUs, load average %.1f" % (
        len(table), failed, at_once, os.cpu_count() or 0, os.getloadavg()[0])


def skip():
    try:
        import distributed  # noqa: F401
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError as e:
        return "needs the batch extra (%s is missing)" % e.name
    return None


CASES = [
    Case(name="batch.knockouts", params={"network": key, "workers": WORKERS, "baseline": 1},
         setup=setup_for(key), func=scan_on(WORKERS), baseline=scan_on(1), report=report,
         seed=None, slow=True, quick=quick, skip=skip, timeout=1200)
    for key, quick in (("mini_textbook", True), ("e_coli_core", False))
]
