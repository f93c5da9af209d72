"""Start-up of the command: ``quelmar analyze`` of a small model, each call
a fresh interpreter (``python -m quelmar analyze MODEL --seed 0``, output
discarded), against the imports it cannot avoid.

The model is ``tests/data/models/cobrapy_mini.json`` (a cobrapy JSON model
of 23 species and 18 reactions).  Params:

* ``diagnose=no`` with ``baseline=imports``: the command with
  ``--no-diagnose`` (loading, regularity, sensitivity, search, hierarchy,
  report) against ``python -c "import numpy, scipy.linalg, scipy.optimize,
  scipy.sparse"``; ``seconds`` minus ``baseline s`` is what quelmar's own
  start and the analysis add (the goal: at most 0.2 s);
* ``diagnose=no`` with ``baseline=rebuild``: the same command with
  ``QUELMAR_REBUILD=1``, which runs the editable install's rebuild check
  before the import, as every import did before (``ratio`` is the saving);
* ``diagnose=yes`` with ``baseline=imports``: the whole default analysis,
  whose indicator diagnosis (80 minimisations of scipy.optimize on this
  model) is most of the difference.

Every run writes and reads compiled modules (``PYTHONDONTWRITEBYTECODE`` is
dropped from its environment), as in an installed set-up; the first call
compiles them.  In one process, with NumPy and SciPy imported, quelmar's
modules take 0.02 - 0.06 s and the analysis without the diagnosis 0.03 -
0.06 s on this model (loaded 2-core machine).
"""

import os
import subprocess
import sys

from harness import ROOT, Case

MODEL = os.path.join(ROOT, "tests", "data", "models", "cobrapy_mini.json")
IMPORTS = "import numpy, scipy.linalg, scipy.optimize, scipy.sparse"


def command(diagnose, rebuild=False):
    argv = [sys.executable, "-m", "quelmar", "analyze", MODEL, "--seed", "0", "--quiet"]
    if not diagnose:
        argv.append("--no-diagnose")
    env = dict(os.environ)
    env.pop("QUELMAR_REBUILD", None)
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # as installed: modules compiled once
    if rebuild:
        env["QUELMAR_REBUILD"] = "1"

    def run(state):
        done = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError("quelmar analyze failed (status %d)" % done.returncode)
        state["runs"] = state.get("runs", 0) + 1
    return run


def imports(state):
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    subprocess.run([sys.executable, "-c", IMPORTS], check=True, env=env)


def setup():
    return {}


CASES = [
    Case(name="startup.analyze", params={"diagnose": "no", "baseline": "imports"},
         setup=setup, func=command(False), baseline=imports, seed=None, quick=True),
    Case(name="startup.analyze", params={"diagnose": "no", "baseline": "rebuild"},
         setup=setup, func=command(False), baseline=command(False, rebuild=True), seed=None),
    Case(name="startup.analyze", params={"diagnose": "yes", "baseline": "imports"},
         setup=setup, func=command(True), baseline=imports, seed=None),
]
