#!/usr/bin/env python3
"""Determinate response signs against kinetic simulation, model by model.

For each SBML model given (by default the BioModels models in
tests/data/models), each reaction's kinetic law is multiplied by a parameter
``scale_R`` = 1; libroadrunner finds the steady state (after a simulation
towards it, conserved moieties reduced), and, when that steady state is
stable, the steady-state sensitivity to each reaction with a determinate
sign is the central difference at ``scale_R`` = 1 +- 1e-4.  A determinate
sign is *seen* when the change exceeds 1e-6 of the species' level; each
seen sign is compared with ``quelmar.signs.sign_decisions``.  One line per
model (a table); the exit status is 1 when a seen sign disagrees.

    .venv/bin/python bench/signs_kinetics.py [MODEL.xml ...]

Needs libsbml and libroadrunner (the ``models`` and ``interop`` extras).
The fast case (Brown 2004) is in tests/test_exact.py.
"""

import glob
import os
import sys
import time
import warnings

import numpy as np

H = 1e-4
SEEN = 1e-6


def compare(path):
    import libsbml
    import roadrunner

    import quelmar
    from quelmar.signs import EXACT, sign_decisions

    start = time.perf_counter()
    crn = quelmar.load(path)
    decided = sign_decisions(crn)
    signs = decided.signs
    fixed = (signs == 1.0) | (signs == -1.0)
    row = {"model": os.path.basename(path), "species": len(crn.X_names),
           "reactions": len(crn.R_names), "determinate": int(fixed.sum()),
           "exact": int((fixed & (decided.method == EXACT)).sum()),
           "either": int(np.isnan(signs).sum())}
    doc = libsbml.readSBML(path)
    model = doc.getModel()
    columns = np.flatnonzero(fixed.any(axis=0))
    for j in columns:
        rid = crn.R_names[j]
        law = model.getReaction(rid).getKineticLaw()
        p = model.createParameter()
        p.setId("scale_" + rid)
        p.setValue(1.0)
        p.setConstant(True)
        law.setMath(libsbml.parseL3Formula(
            f"scale_{rid} * ({libsbml.formulaToL3String(law.getMath())})"))
    roadrunner.Logger.setLevel(roadrunner.Logger.LOG_FATAL)
    rr = roadrunner.RoadRunner(libsbml.writeSBMLToString(doc))
    rr.conservedMoietyAnalysis = True

    def steady():
        rr.steadyState()
        levels = rr.getFloatingSpeciesConcentrationsNamedArray()
        order = [s.strip("[]") for s in levels.colnames]
        return np.array(levels).ravel()[[order.index(s) for s in crn.X_names]]

    try:
        rr.simulate(0, 5000, 500)
        base = steady()
        growth = float(np.max(np.linalg.eigvals(rr.getReducedJacobian()).real))
    except Exception as e:  # noqa: BLE001 - reported in the table
        row["steady state"] = f"not found ({type(e).__name__})"
        return row, 0
    if growth >= 0:
        row["steady state"] = f"unstable (largest real part of an eigenvalue {growth:.3g})"
        return row, 0
    seen = agree = 0
    wrong = []
    for j in columns:
        rid = crn.R_names[j]
        rr["scale_" + rid] = 1 + H
        up = steady()
        rr["scale_" + rid] = 1 - H
        down = steady()
        rr["scale_" + rid] = 1.0
        change = (up - down) / (2 * H)
        clear = fixed[:, j] & (np.abs(change) > SEEN * np.maximum(np.abs(base), 1e-12))
        seen += int(clear.sum())
        agree += int((np.sign(change[clear]) == signs[clear, j]).sum())
        wrong += [(rid, crn.X_names[i]) for i in np.flatnonzero(
            clear & (np.sign(change) != signs[:, j]))]
    row.update({"steady state": "stable", "seen": seen, "agree": agree,
                "disagree": len(wrong), "seconds": round(time.perf_counter() - start, 1)})
    for rid, species in wrong:
        print(f"  disagrees: {species} when {rid} is raised", file=sys.stderr)
    return row, len(wrong)


def main(argv):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    paths = argv or sorted(glob.glob(os.path.join(here, "tests", "data", "models",
                                                  "BIOMD*.xml")))
    warnings.simplefilter("ignore")
    bad = 0
    for path in paths:
        row, wrong = compare(path)
        bad += wrong
        print("  ".join(f"{k}={v}" for k, v in row.items()), flush=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
