"""Genome scale end to end: ``quelmar.analyze(crn, prune=True, seed=0)`` of
iJO1366 (``data/networks/iJO1366.network.json.gz``, loaded before the
clock) and then its JSON text and HTML page, as ``quelmar analyze MODEL
--prune --json FILE --html FILE`` does after loading.

The note gives the seconds of each step (preparation, sensitivity, search,
hierarchy, JSON, HTML) of the first call and the number of structures.
``baseline=products`` is the same with the hierarchy as it was computed
before (all inclusions by sparse products, ``hasse_products.py``); ``peak
MB`` is the subject's.  Without the reactions' directions (which an SBML
file gives) the preparation keeps 1597 species and 2368 reactions.
"""

import time

from harness import Case
from networks import load_network


class Steps:
    """The ``progress`` of analyze: records how long each step took."""

    def __init__(self):
        self.times = []

    def __call__(self, step):
        import contextlib

        @contextlib.contextmanager
        def timed():
            start = time.perf_counter()
            yield None
            self.times.append((step.split(" (")[0], time.perf_counter() - start))
        return timed()


def setup():
    from quelmar.cyquelmar import CRN

    return {"crn": CRN(*load_network("iJO1366")), "notes": {}}


def run(state, which, hierarchy=None):
    import quelmar
    import quelmar.analysis as analysis

    keep = analysis.hasse_edges
    if hierarchy is not None:
        analysis.hasse_edges = hierarchy
    steps = Steps()
    try:
        result = quelmar.analyze(state["crn"], prune=True, seed=0, progress=steps)
    finally:
        analysis.hasse_edges = keep
    start = time.perf_counter()
    text = result.to_json()
    steps.times.append(("JSON", time.perf_counter() - start))
    start = time.perf_counter()
    page = result.to_html()
    steps.times.append(("HTML", time.perf_counter() - start))
    state["notes"].setdefault(which, (len(result.structures), len(text), len(page),
                                      steps.times))


def subject(state):
    run(state, "subject")


def products(state):
    import numpy as np
    from hasse_products import hasse_edges

    def edges(bits, progress=None, elements=None):
        return hasse_edges(np.unpackbits(bits, axis=1, count=elements,
                                         bitorder="little").view(bool))

    run(state, "products", edges)


def report(state):
    out = []
    for which, (count, json_size, html_size, times) in state["notes"].items():
        out.append("%s: %d structures, JSON %.0f MB, HTML %.1f MB; %s" % (
            which, count, json_size / 1e6, html_size / 1e6,
            ", ".join("%s %.1f s" % (name, t) for name, t in times)))
    return "; ".join(out) or None


CASES = [
    Case(name="genome.analyze", params={"network": "iJO1366", "prune": True,
                                        "baseline": "products"},
         setup=setup, func=subject, baseline=products, report=report, seed=None, slow=True,
         timeout=1800),
]
