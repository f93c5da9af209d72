"""The whole analysis (``quelmar.analyze``) of diagnosis-heavy networks, and
BLAS's threads.

``analyze.threads`` times ``quelmar.analyze(crn, seed=0)`` in this process,
with BLAS's threads as the process has them (as ``quelmar analyze`` runs),
against two baselines (param ``baseline``):

* ``batch``: the same network as the one row of ``quelmar.batch`` on a
  local Dask cluster of one worker process, started and warmed before the
  clock (Dask starts its workers with one BLAS thread), which forgets the
  determinant signs it remembered in the round before; ``ratio`` near 1
  means that the command and the batch take the same time per model;
* ``threads``: the analysis with BLAS's threads left as they are during the
  indicator diagnosis (what it did before the small factorisations were held
  to one thread); ``ratio`` is the speed-up.

The networks: e_coli_core, Chassagnole 2002 and the random network of
``bench_search.py`` with A-matrix order L = 200 (``network=random``), whose
diagnosis (30 records) factorises A-matrices of order up to 200 many times:
on the shared 2-core machine, 6.3 s on one thread against 41 s with
OpenBLAS's default threads, the same result.  The note says whether every
baseline's result equals the subject's (the whole analysis as a dict:
structures, sensitivity, diagnosis signs).  Run it without
``OPENBLAS_NUM_THREADS`` set: the case is about the default.
"""

import contextlib
import os

from harness import Case, network_sizes
from networks import load_network

NETWORKS = ("e_coli_core", "BIOMD0000000051_Chassagnole2002", "random")
RANDOM_ORDER = 200
QUICK = {"BIOMD0000000051_Chassagnole2002"}


def setup_for(key, baseline):
    def setup():
        import quelmar
        from quelmar.cyquelmar import CRN

        if key == "random":
            from bench_search import random_network

            crn = CRN(random_network(RANDOM_ORDER))
        else:
            crn = CRN(*load_network(key))
        state = {"quelmar": quelmar, "crn": crn, "results": {}}
        if baseline == "batch":
            from distributed import Client

            from quelmar.batching.run import _local_cluster

            state["client"] = Client(_local_cluster(1))
            state["client"].run(__import__, "quelmar.batching")
        return state
    return setup


def subject(state):
    result = state["quelmar"].analyze(state["crn"], seed=0)
    state["results"]["analyze"] = result.to_dict()
    state["results"]["lists"] = [[s.species, s.reactions] for s in result.structures]


def with_threads(state):
    import quelmar.analysis as analysis

    keep = analysis.blas_threads
    analysis.blas_threads = lambda order: contextlib.nullcontext()
    try:
        state["results"]["threads"] = state["quelmar"].analyze(state["crn"], seed=0).to_dict()
    finally:
        analysis.blas_threads = keep


def _forget_signs():
    from quelmar.batching import memo
    memo._signs.clear()


def in_batch(state):
    # the worker would answer every sign from the previous round's memory
    state["client"].run(_forget_signs)
    table = state["quelmar"].batch([state["crn"]], seed=0, client=state["client"],
                                   progress=False)
    state["results"]["batch"] = table


def report(state):
    import json

    results = state["results"]
    base = results.get("analyze")
    if base is None:
        return None
    notes = []
    if "threads" in results:
        notes.append("same result with threads" if results["threads"] == base
                     else "DIFFERENT result with threads")
    if "batch" in results:
        row = results["batch"].iloc[0]
        same = (row["error"] == "" and json.loads(row["structures"]) == results["lists"])
        notes.append("batch row: %s, %.2f s in the worker" % (
            "same structures" if same else "DIFFERENT structures or error",
            row["seconds"]))
    notes.append("%d structures, %d diagnosis records; OPENBLAS_NUM_THREADS=%s" % (
        len(results["lists"]), len(base["diagnosis"]),
        os.environ.get("OPENBLAS_NUM_THREADS", "unset")))
    return "; ".join(notes)


def skip_batch():
    try:
        import distributed  # noqa: F401
        import pandas  # noqa: F401
    except ImportError as e:
        return "needs the batch extra (%s is missing)" % e.name
    return None


def cases():
    out = []
    for key in NETWORKS:
        sizes = {"L": RANDOM_ORDER} if key == "random" else network_sizes(key)
        for baseline, func in (("threads", with_threads), ("batch", in_batch)):
            out.append(Case(
                name="analyze.threads",
                params={"network": key, "L": sizes["L"], "baseline": baseline},
                setup=setup_for(key, baseline), func=subject, baseline=func,
                report=report, seed=None, quick=key in QUICK,
                skip=skip_batch if baseline == "batch" else None, timeout=900))
    return out


CASES = cases()
