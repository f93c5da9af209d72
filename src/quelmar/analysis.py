"""One call for the whole structural analysis of a network.

:func:`analyze` checks that the network is structurally regular, then
computes, on a copy of the network, the sensitivity matrix, the isolated
buffering structures, their inclusion hierarchy and the indicator
diagnosis, and returns them as an :class:`Analysis`, which prints as text,
serialises to JSON and shows as HTML in a notebook.  On a structurally
singular network these are undefined: the analysis says which part is
singular instead, or prepares the network first when asked to.
"""

from __future__ import annotations

import contextlib
import operator
import warnings
from typing import Any

import numpy as np

from .cyquelmar import CRN, indicator_diagnose
from .errors import ModelWarning
from .hasse import hasse_diagram
from .result import Analysis, BufferingStructure
from .threads import blas_threads
from .words import count

__all__ = ["DIAGNOSE_MAX_ORDER", "analyze", "copy_crn", "diagnosis_skip_reason"]


def copy_crn(crn):
    """An independent copy of ``crn`` in its current state (reduced or not)."""
    new = CRN(np.array(crn.stoi, dtype=float), np.array(crn.reginfo, dtype=float),
              list(crn.X_names), list(crn.R_names), crn.name)
    # A reduced network keeps restricted copies of these two matrices rather
    # than recomputing them; carry them over so the copy behaves the same.
    new._CRN__cq_class = np.array(crn._CRN__cq_class, dtype=bool)
    new._CRN__oc_keeper = np.array(crn._CRN__oc_keeper, dtype=bool)
    # The loaders' reaction directions, which the preparation reads.
    for attr in ("reversible", "flux_bounds"):
        value = getattr(crn, attr, None)
        if value is not None:
            setattr(new, attr, np.array(value))
    return new


def _tracked(step: Any, function: Any, *args: Any) -> Any:
    """``function(*args)``, telling ``step.update(done, total)`` how far a long
    search or diagnosis has come when the step object has that method."""
    update = getattr(step, "update", None)
    if not callable(update):
        return function(*args)
    from .cyquelmar import _with_progress
    return _with_progress(update, function, args)


#: Largest A-matrix order on which :func:`analyze` runs the indicator
#: diagnosis by default (see :func:`diagnosis_skip_reason`).
DIAGNOSE_MAX_ORDER = 300


def diagnosis_skip_reason(crn: Any, diagnose: bool | None = None) -> str | None:
    """Why :func:`analyze` leaves out the indicator diagnosis of ``crn``, or
    None when it runs it.

    ``diagnose``: True always runs it, False never does, None runs it when
    the A-matrix of ``crn`` has order at most :data:`DIAGNOSE_MAX_ORDER`
    (300; the order is the number of reactions plus the number of conserved
    quantities, so this also bounds the reactions, and with them the number
    of passes).  The order decides the cost: the last record is the
    determinant sign of the whole remaining network, found by twenty
    minimisations whose finite-difference gradients each factorise the
    A-matrix once per free entry.  Measured on a shared machine, with a
    fixed sign (all twenty minimisations run; an indeterminate sign stops
    early): 0.3 s at order 131, 50 s at order 264 and 160 s at order 398,
    growing about as order**3; at the order of a genome-scale model
    (thousands) this is many hours, on top of a search of seconds in each
    of hundreds of passes.
    """
    if diagnose is None:
        order = int(crn.A.shape[0])
        if order <= DIAGNOSE_MAX_ORDER:
            return None
        n = int(crn.stoi.shape[1])
        return (f"Indicator diagnosis skipped: the A-matrix has order {order} "
                f"({count(n, 'reaction')} and {order - n} conserved "
                f"quantit{'y' if order - n == 1 else 'ies'}), "
                f"above the {DIAGNOSE_MAX_ORDER} up to which it runs by default; the "
                "determinant signs of parts this large take many hours (run it anyway "
                "with diagnose=True, or quelmar analyze --diagnose).")
    if diagnose:
        return None
    return "Indicator diagnosis not run: turned off (diagnose=False, or --no-diagnose)."


def analyze(crn: Any, trials: int = 2, seed: int | None = None,
            progress: Any = None, prune: bool = False,
            diagnose: bool | None = None) -> Analysis:
    """Structural analysis of ``crn``, which is left unchanged.

    ``crn`` is a :class:`CRN` or a model object that :func:`quelmar.load`
    reads (a cobrapy ``Model``, a libsbml ``SBMLDocument`` or ``Model``, a
    roadrunner instance).

    ``trials``: random trials for the sensitivity matrix (and the search).
    ``seed``: seeds NumPy's global random generator first, which makes the
    result reproducible (the analysis draws from that generator only).
    ``progress``: optional callable taking a step description and returning
    a context manager that is held while the step runs (the command line
    uses it to show long steps).
    ``prune``: analyse ``quelmar.prune(crn).network`` (a structurally regular
    sub-network) and record what was removed in ``preparation``.
    ``diagnose``: run the indicator diagnosis always (True), never (False),
    or (None, the default) only when the A-matrix of the analysed network
    has order at most :data:`DIAGNOSE_MAX_ORDER` (300), where it takes at
    most a minute or two; beyond, it soon takes hours (see
    :func:`diagnosis_skip_reason`).  When it does not run,
    ``diagnosis`` is empty and ``diagnosis_skipped`` says why.

    The structural regularity of the network is checked first.  When it is
    singular (and ``prune`` is false) a :class:`~quelmar.ModelWarning` is
    issued and the result names the singular part, with the sensitivity,
    the structures and the diagnosis left undefined.
    """
    if not isinstance(crn, CRN):
        from .loaders.objects import KINDS, from_object, is_model_object
        if not is_model_object(crn):
            raise TypeError(f"analyze() needs a CRN or a model object ({KINDS}), "
                            f"not {type(crn).__name__}")
        crn = from_object(crn)
    trials = int(trials)
    if trials < 1:
        raise ValueError("trials must be at least 1")
    if diagnose is not None and not isinstance(diagnose, (bool, np.bool_)):
        raise TypeError(f"diagnose must be True, False or None, not {diagnose!r}")
    if progress is None:
        def progress(_step):
            return contextlib.nullcontext()
    if seed is not None:
        seed = operator.index(seed)
        np.random.seed(seed)
    work = copy_crn(crn)
    m, n = work.stoi.shape
    if m == 0 or n == 0:
        raise ValueError("the network has no species or no reactions")
    from .preparation import prune as prune_network, regularity

    preparation = None
    if prune:
        with progress("preparation"):
            pruned = prune_network(work)
        preparation = pruned.to_dict()
        if pruned.removed:
            work = pruned.network
            m, n = work.stoi.shape
        reg = pruned.regularity
    else:
        with progress("structural regularity"):
            reg = regularity(work)
    species, reactions = list(work.X_names), list(work.R_names)
    if not reg.is_regular:
        name = "the network" if crn.name is None else f"network {crn.name}"
        warnings.warn(f"{name} is structurally singular (A-matrix of order {reg.order}, "
                      f"structural rank {reg.structural_rank}): its sensitivity and "
                      "buffering structures are undefined; prepare it first "
                      "(quelmar.prune, or quelmar analyze --prune)", ModelWarning,
                      stacklevel=2)
        return Analysis(crn.name, species, reactions, None, [], [], trials, seed,
                        regularity=reg.to_dict(), preparation=preparation)

    order = int(work.A.shape[0])
    with progress(f"sensitivity matrix ({m} species x {n} reactions)"):
        sens = np.array(work._smat_(trials), dtype=bool)
    with progress("isolated buffering structures") as step, blas_threads(order):
        found = _tracked(step, work.search_for_isoBSs, trials)
    with progress(f"hierarchy of {count(len(found), 'structure')}") as step:
        member = np.zeros((len(found), m + n), dtype=bool)
        for k, sel in enumerate(found):
            member[k] = np.asarray(sel, dtype=bool)
        del found
        structures = []
        for k, row in enumerate(member, 1):
            structures.append(BufferingStructure(
                f"B{k}", [species[i] for i in np.flatnonzero(row[:m])],
                [reactions[j] for j in np.flatnonzero(row[m:])]))
        update = getattr(step, "update", None)
        kids_of = hasse_diagram(member, update if callable(update) else None)
        for s, kids in zip(structures, kids_of):
            s.children = [structures[j].id for j in kids]
        del member
    skipped = diagnosis_skip_reason(work, diagnose)
    diagnosis = []
    if skipped is None:
        with progress("indicator diagnosis") as step, blas_threads(order):
            records = _tracked(step, indicator_diagnose, work)
        diagnosis = [{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                      "sign_det": float(r["sign_det"])} for r in records]
    return Analysis(crn.name, species, reactions, sens, structures, diagnosis,
                    trials, seed, regularity=reg.to_dict(), preparation=preparation,
                    diagnosis_skipped=skipped)
