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
import os
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _structure
from .annotations import annotations_of
from .irreducible import irreducible_bits, positions_matrix
from .collector import collector_paused
from .cyquelmar import CRN, _search_rows, indicator_diagnose
from .errors import ModelWarning
from .hasse import children_lists, hasse_diagram, hasse_edges
from .pathways import species_subsystems
from .result import Analysis, BufferingStructure
from .signfast import fast_signs
from .threads import SMALL_ORDER, blas_threads, own_threads
from .words import count

if TYPE_CHECKING:
    from .loaders import NetworkSource

__all__ = ["DIAGNOSE_MAX_ORDER", "analyze", "copy_crn", "diagnosis_skip_reason"]


def copy_crn(crn):
    """An independent copy of ``crn`` in its current state (reduced or not)."""
    new = CRN(np.array(crn.stoi, dtype=float), np.array(crn.reginfo, dtype=float),
              list(crn.X_names), list(crn.R_names), crn.name)
    # what a reduced network keeps instead of recomputing, so that the copy
    # behaves the same
    _structure.carry_reduction(crn, new)
    # The loaders' reaction directions, which the preparation reads.
    for attr in ("reversible", "flux_bounds"):
        value = getattr(crn, attr, None)
        if value is not None:
            setattr(new, attr, np.array(value))
    if getattr(crn, "annotations", None) is not None:
        new.annotations = annotations_of(crn)
    return new


def _check_names(names: list, count: int, what: str) -> None:
    """The result names every species and reaction, each once: the reports
    and the JSON form find them by name."""
    if len(names) != count:
        raise ValueError(f"the network has {len(names)} {what} names, not one per "
                         f"{what} ({count})")
    bad = next((x for x in names if not isinstance(x, str)), None)
    if bad is not None:
        raise TypeError(f"{what} names must be strings, not {type(bad).__name__} ({bad!r})")
    seen: set[str] = set()
    for x in names:
        if x in seen:
            raise ValueError(f"the {what} name {x!r} is given twice")
        seen.add(x)


def structures_of(indptr: np.ndarray, indices: np.ndarray, species: list[str],
                  reactions: list[str], chunk: int = 8192) -> list[BufferingStructure]:
    """The structures ``B1``, ``B2``, ... whose elements (positions among the
    species then the reactions, ascending) are ``indices[indptr[k]:indptr[k +
    1]]``, as the search gives them (``quelmar.cyquelmar._search_rows``)."""
    m = len(species)
    names = np.array(list(species) + list(reactions), dtype=object)
    indptr = np.asarray(indptr, dtype=np.intp)
    indices = np.asarray(indices)
    # where the reactions of each structure begin
    in_species = np.concatenate([[0], np.cumsum(indices < m)])
    splits = (indptr[:-1] + in_species[indptr[1:]] - in_species[indptr[:-1]]).tolist()
    bounds = indptr.tolist()
    structures = []
    for start in range(0, len(indptr) - 1, chunk):
        stop = min(start + chunk, len(indptr) - 1)
        first = bounds[start]
        flat = names[indices[first:bounds[stop]]].tolist()
        for k in range(start, stop):
            structures.append(BufferingStructure(
                f"B{k + 1}", flat[bounds[k] - first:splits[k] - first],
                flat[splits[k] - first:bounds[k + 1] - first]))
    return structures


def _counting(step: Any, unit: str) -> Any:
    """``step.update`` when the step object has it (after telling it what
    the counts count, when it has a ``unit``), else None."""
    update = getattr(step, "update", None)
    if not callable(update):
        return None
    if hasattr(step, "unit"):
        step.unit = unit
    return update


def _tracked(step: Any, unit: str, function: Any, *args: Any) -> Any:
    """``function(*args)``, telling ``step.update(done, total)`` how far a long
    search or diagnosis has come (in ``unit``) when the step object has that
    method."""
    update = _counting(step, unit)
    if update is None:
        return function(*args)
    from .cyquelmar import _with_progress
    return _with_progress(update, function, args)


@contextlib.contextmanager
def _sensitivity_known(work, sens):
    """``work._smat_`` answering with ``sens``, the sensitivity matrix just
    computed from the same A-matrix, while the search runs.

    The search asks for the sensitivity once, through the network's
    ``_smat_``; computing it again (seconds at genome scale) would only
    repeat the pattern found.  The answer still draws from NumPy's generator
    what the computation draws, ``trial`` times as many values as the
    A-matrix has free entries, so every later step sees the generator as
    before."""
    free = int(np.count_nonzero(~(np.abs(np.asarray(work.A)) < np.inf)))

    def known(trial=2):
        for _ in range(operator.index(trial)):
            np.random.normal(size=free, scale=10.0)
        return sens

    work._smat_ = known
    try:
        yield
    finally:
        del work._smat_


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
    fixed sign: 0.3 s at order 131, 50 s at order 264 and 160 s at order 398,
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


def analyze(crn: NetworkSource, trials: int = 2, seed: int | None = None,
            progress: Any = None, prune: bool = False,
            diagnose: bool | None = None, signs: bool = False,
            factors: bool = False) -> Analysis:
    """Structural analysis of ``crn``, which is left unchanged.

    ``crn`` is a :class:`CRN`, a model file or a model object (a cobrapy
    ``Model``, a libsbml ``SBMLDocument`` or ``Model``, a roadrunner
    instance), as :func:`quelmar.loaders.as_network` takes it; a file's name
    becomes the result's ``source``.

    ``trials``: random trials for the sensitivity matrix (and the search).
    ``seed``: seeds NumPy's global random generator first, which makes the
    result reproducible (the analysis draws from that generator only); its
    state from before the call is restored afterwards.
    ``progress``: None (the default) shows progress bars of the long steps
    (counting candidates examined, structures placed, reactions contracted)
    when someone watches, in a notebook or on a terminal, and tqdm is
    installed (the ``progress`` extra); True always shows them, False never
    (see :mod:`quelmar.progress`).  It may also be a callable taking a step
    description and returning a context manager that is held while the step
    runs; the object it enters may have ``update(done, total)`` and
    ``unit`` (the command line uses this to show long steps).
    ``prune``: analyse ``quelmar.prune(crn).network`` (a structurally regular
    sub-network) and record what was removed in ``preparation``.
    ``diagnose``: run the indicator diagnosis always (True), never (False),
    or (None, the default) only when the A-matrix of the analysed network
    has order at most :data:`DIAGNOSE_MAX_ORDER` (300), where it takes at
    most a minute or two; beyond, it soon takes hours (see
    :func:`diagnosis_skip_reason`).  When it does not run,
    ``diagnosis`` is empty and ``diagnosis_skipped`` says why.
    ``signs``: also decide which way each responding species moves when a
    reaction's rate is raised (:func:`quelmar.signs.sign_decisions`, which
    draws from a generator of its own), into ``signs``, ``sign_methods``
    and ``sign_draws``.
    ``factors``: also factor det A over the hierarchy
    (:func:`quelmar.factors.bifurcation_factors`, a bifurcation diagnosis
    that scales) into ``factors``.

    The structural regularity of the network is checked first.  When it is
    singular (and ``prune`` is false) a :class:`~quelmar.ModelWarning` is
    issued and the result names the singular part, with the sensitivity,
    the structures and the diagnosis left undefined.
    """
    from .loaders import as_network
    source = os.fsdecode(os.fspath(crn)) if isinstance(crn, (str, bytes, os.PathLike)) else None
    crn = as_network(crn)
    trials = int(trials)
    if trials < 1:
        raise ValueError("trials must be at least 1")
    if diagnose is not None and not isinstance(diagnose, (bool, np.bool_)):
        raise TypeError(f"diagnose must be True, False or None, not {diagnose!r}")
    from .progress import choose
    progress = choose(progress)
    if progress is None:
        def progress(_step):
            return contextlib.nullcontext()
    if seed is None:
        return _analyze(crn, trials, seed, source, progress, prune, diagnose, signs, factors)
    seed = operator.index(seed)
    state = np.random.get_state()
    np.random.seed(seed)
    try:
        return _analyze(crn, trials, seed, source, progress, prune, diagnose, signs, factors)
    finally:  # the caller's generator goes on as if nothing had drawn from it
        np.random.set_state(state)


def _analyze(crn, trials, seed, source, progress, prune, diagnose, signs=False,
             factors=False):
    from .preparation import prune as prune_network, regularity

    # what loading the model left freed (a parsed document), for what follows
    _structure.release_free_memory()
    # a copy in the network's current state: the caller may have replaced
    # its matrices since it was built, and the A-matrix is made anew
    work = copy_crn(crn)
    m, n = work.stoi.shape
    if m == 0 or n == 0:
        raise ValueError("the network has no species or no reactions")
    _check_names(work.X_names, m, "species")
    _check_names(work.R_names, n, "reaction")
    preparation = None
    if prune:
        with progress("preparation"):
            pruned = prune_network(work)
            _structure.release_free_memory()
        preparation = pruned.to_dict()
        if pruned.removed:
            work = pruned.network
            m, n = work.stoi.shape
        reg = pruned.regularity
    else:
        with progress("structural regularity"):
            reg = regularity(work)
    species, reactions = list(work.X_names), list(work.R_names)
    notes = annotations_of(work)
    notes.species_subsystems = species_subsystems(work.stoi, species, reactions,
                                                  notes.subsystems)
    if not reg.is_regular:
        name = "the network" if crn.name is None else f"network {crn.name}"
        if reg.dependent:
            what = (f"is singular: the A-matrix (order {reg.order}) has full structural "
                    "rank, but the fixed coefficients of its cycles and conserved totals "
                    "are dependent, so it is singular for every choice of rates")
        else:
            what = (f"is structurally singular (A-matrix of order {reg.order}, "
                    f"structural rank {reg.structural_rank})")
        warnings.warn(f"{name} {what}: its sensitivity and buffering structures are "
                      "undefined; prepare it first (quelmar.prune, or quelmar analyze "
                      "--prune)", ModelWarning, stacklevel=3)
        return Analysis(crn.name, species, reactions, None, [], [], trials, seed, source,
                        regularity=reg.to_dict(), preparation=preparation,
                        annotations=notes)

    order = int(work.A.shape[0])
    with progress(f"sensitivity matrix ({m} species x {n} reactions)"):
        sens = np.array(work._smat_(trials), dtype=bool)
        _structure.release_free_memory()
    decided = None
    if signs:
        from .signs import sign_decisions
        with progress("response signs"), blas_threads(order):
            decided = sign_decisions(work, sensitivity=sens)
    with progress("isolated buffering structures") as step, blas_threads(order), \
            _sensitivity_known(work, sens):
        # as search_for_isoBSs finds them, as bits and positions
        bits, indptr, indices = _tracked(step, "candidates", _search_rows, work, trials)
    with progress(f"hierarchy of {count(len(bits), 'structure')}") as step, \
            collector_paused():
        placed = _counting(step, "structures")
        # the edges first: the hierarchy's working memory is freed before
        # the structures' names take theirs
        child, parent = hasse_edges(bits, placed, elements=m + n)
        structures = structures_of(indptr, indices, species, reactions)
        children = children_lists(child, parent, len(structures))
        for s, kids in zip(structures, children):
            s.children = [structures[j].id for j in kids]
        irreducible = irreducible_bits(bits, child, parent)
        del child, parent
    found_factors = None
    if factors:
        from .factors import bifurcation_factors
        with progress("factors of the determinant"):
            member = np.unpackbits(bits, axis=1, count=m + n, bitorder="little").view(bool)
            found_factors = bifurcation_factors(work, structures=member, children=children)
            del member
    del bits
    skipped = diagnosis_skip_reason(work, diagnose)
    diagnosis = []
    if skipped is None:
        # LAPACK on one thread for small orders: the gradients' determinants
        # then go to threads of their own
        threads = own_threads() if order <= SMALL_ORDER else 1
        with progress("indicator diagnosis") as step, blas_threads(order), \
                fast_signs(threads):
            records = _tracked(step, "reactions contracted", indicator_diagnose, work)
        diagnosis = [{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                      "sign_det": float(r["sign_det"])} for r in records]
    result = Analysis(crn.name, species, reactions, sens, structures, diagnosis,
                      trials, seed, source, regularity=reg.to_dict(), preparation=preparation,
                      diagnosis_skipped=skipped, annotations=notes)
    result.factors = found_factors
    if decided is not None:
        result.signs, result.sign_methods = decided.signs, decided.method
        result.sign_draws = decided.draws
    result.remember_irreducible(irreducible)
    if len(set(species)) == m and len(set(reactions)) == n:  # each name one column
        in_species = indices < m
        counts = np.concatenate([[0], np.cumsum(in_species)])[indptr]
        lengths = np.diff(counts)
        result.remember_membership(
            positions_matrix(lengths, indices[in_species], m),
            positions_matrix(np.diff(indptr) - lengths, indices[~in_species] - m, n))
    return result
