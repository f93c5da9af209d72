"""Indicator diagnosis: ``indicator_diagnose(CRN(...))`` on the real networks.

The diagnosis reduces the network it is given, so every call gets a freshly
built ``CRN`` (built before the clock starts); NumPy's global generator is
seeded before every call.  iJO1366 is not run (each pass searches for
buffering structures, whose sensitivity matrix alone would need some 350 TB of
workspace); e_coli_core takes seconds to minutes, which the per-case timeout
(``--timeout``) bounds.  The NumPy model of the test suite
(``tests/reference.py``) is the baseline on the small networks.
"""

import os
import sys

from harness import ROOT, Case, network_sizes, smat_skip_reason
from networks import list_networks, load_network

NO_REFERENCE = {"e_coli_core", "iJO1366"}
QUICK = {"BIOMD0000000005_Tyson1991", "BIOMD0000000010_Kholodenko2000"}


def reference():
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.insert(0, tests)
    import reference as ref

    return ref


def setup_for(key, with_reference):
    def setup():
        from quelmar import cyquelmar

        return {"net": load_network(key), "cq": cyquelmar,
                "ref": reference() if with_reference else None}
    return setup


def fresh(state):
    """New network objects for one call (the diagnosis reduces them)."""
    out = {"cq": state["cq"], "crn": state["cq"].CRN(*state["net"]),
           "ref": state["ref"]}
    if state["ref"] is not None:
        out["ref_crn"] = state["ref"].CRN(*state["net"])
    return out


def diagnose(arg):
    arg["cq"].indicator_diagnose(arg["crn"])


def diagnose_reference(arg):
    arg["ref"].indicator_diagnose(arg["ref_crn"])


def skip_for(key):
    def skip():
        if key == "iJO1366":
            reason = smat_skip_reason(network_sizes(key)["L"])
            return "not run: genome-scale network" + (" (%s)" % reason if reason else "")
        return smat_skip_reason(network_sizes(key)["L"])
    return skip


def cases():
    out = []
    for key in list_networks():
        with_ref = key not in NO_REFERENCE
        sizes = network_sizes(key)
        out.append(Case(
            name="diagnose",
            params={"network": key, "L": sizes["L"], "m": sizes["m"], "n": sizes["n"]},
            setup=setup_for(key, with_ref),
            prepare=fresh,
            func=diagnose,
            baseline=diagnose_reference if with_ref else None,
            seed=0,
            quick=key in QUICK,
            skip=skip_for(key),
        ))
    return out


CASES = cases()
