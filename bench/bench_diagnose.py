"""Indicator diagnosis: ``indicator_diagnose(CRN(...))`` on the real networks.

The diagnosis reduces the network it is given, so every call gets a freshly
built ``CRN`` (built before the clock starts); NumPy's global generator is
seeded before every call.  The note is the number of records that the
diagnosis returned.  e_coli_core takes a few seconds, almost all of them in
the determinant signs.  iJO1366 runs only with ``--big``: each pass of its
diagnosis searches for buffering structures, and one search of iJO1366 alone
takes about 26 s (see bench_search.py), times the number of passes.  The NumPy model of the test suite
(``tests/reference.py``) is the baseline on the small networks; its search is
far too slow on e_coli_core and iJO1366.
"""


from harness import Case, network_sizes, opt_in, reference
from networks import list_networks, load_network

NO_REFERENCE = {"e_coli_core", "iJO1366"}
QUICK = {"BIOMD0000000005_Tyson1991", "BIOMD0000000010_Kholodenko2000"}
OPT_IN = {"iJO1366": "each pass searches iJO1366 for buffering structures, and one "
                     "search alone takes about 26 s"}




def setup_for(key, with_reference):
    def setup():
        from quelmar import cyquelmar

        return {"net": load_network(key), "cq": cyquelmar,
                "ref": reference() if with_reference else None, "records": None}
    return setup


def fresh(state):
    """New network objects for one call (the diagnosis reduces them)."""
    out = {"cq": state["cq"], "crn": state["cq"].CRN(*state["net"]),
           "ref": state["ref"], "state": state}
    if state["ref"] is not None:
        out["ref_crn"] = state["ref"].CRN(*state["net"])
    return out


def diagnose(arg):
    arg["state"]["records"] = arg["cq"].indicator_diagnose(arg["crn"])


def diagnose_reference(arg):
    arg["ref"].indicator_diagnose(arg["ref_crn"])


def report(state):
    records = state["records"]
    if records is None:
        return None
    return "%d record%s" % (len(records), "" if len(records) == 1 else "s")


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
            report=report,
            seed=0,
            quick=key in QUICK,
            skip=opt_in(OPT_IN[key]) if key in OPT_IN else None,
            slow=key in OPT_IN,
        ))
    return out


CASES = cases()
