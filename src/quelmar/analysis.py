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
import json
import math
import operator
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from ._words import count, sign_name
from .annotations import annotations_of
from .cyquelmar import CRN, indicator_diagnose
from .report import html_document, html_report, text_report

if TYPE_CHECKING:
    import networkx as nx
    import numpy.typing as npt
    import pandas as pd
    from matplotlib.figure import Figure

__all__ = ["DIAGNOSE_MAX_ORDER", "Analysis", "BufferingStructure", "analyze", "copy_crn",
           "count", "diagnosis_skip_reason", "hasse_diagram", "sign_name"]


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
    if getattr(crn, "annotations", None) is not None:
        new.annotations = annotations_of(crn)
    return new


def _membership(sets: Any) -> npt.NDArray[np.bool_]:
    """Boolean matrix (one row per set, one column per element) of ``sets``."""
    if isinstance(sets, np.ndarray):
        if sets.ndim != 2:
            raise ValueError(f"hasse_diagram() needs a sequence of sets or a 2-D boolean "
                             f"array, not an array of {sets.ndim} dimensions")
        return sets.astype(bool, copy=False)
    sets = [frozenset(s) for s in sets]
    column: dict[Any, int] = {}
    for s in sets:
        for x in s:
            column.setdefault(x, len(column))
    member = np.zeros((len(sets), len(column)), dtype=bool)
    for i, s in enumerate(sets):
        member[i, [column[x] for x in s]] = True
    return member


def hasse_diagram(sets):
    """Direct sub-structures of each set under strict inclusion.

    ``sets`` is a sequence of Python sets (or frozensets), or a 2-D boolean
    array with one row per set and one column per element.  Returns a list
    holding, for each set i, the ascending indices j of the sets strictly
    inside set i with no set strictly between them: the edges of the Hasse
    diagram (the transitive reduction of strict inclusion).

    The inclusions come from sparse matrix products, the small sets and the
    complements of the large ones being sparse (see :mod:`quelmar._hasse`):
    about ten seconds for the 161066 structures of the prepared iJO1366.
    """
    from ._hasse import hasse_children
    member = _membership(sets)
    if member.shape[0] == 0:
        return []
    return hasse_children(member)


@dataclass
class BufferingStructure:
    """One isolated buffering structure, named by its species and reactions."""

    id: str
    species: list[str]
    reactions: list[str]
    children: list[str] = field(default_factory=list)  # ids of direct sub-structures

    def elements(self) -> set[tuple[str, str]]:
        return {("species", s) for s in self.species} | {("reaction", r) for r in self.reactions}

    def own(self, by_id: Mapping[str, BufferingStructure]) -> tuple[list[str], list[str]]:
        """Species and reactions not in any direct sub-structure."""
        inner = set()
        for c in self.children:
            inner |= by_id[c].elements()
        return ([s for s in self.species if ("species", s) not in inner],
                [r for r in self.reactions if ("reaction", r) not in inner])


@dataclass
class Analysis:
    """Result of :func:`analyze`.

    Attributes: ``name``; ``species`` and ``reactions`` (names, in matrix
    order); ``sensitivity`` (bool array, species x reactions: species i
    responds to a perturbation of reaction j); ``structures`` (list of
    :class:`BufferingStructure`, smallest first, each with its direct
    sub-structures in ``children``); ``diagnosis`` (the records of the
    indicator diagnosis: dicts with "chemicals", "reactions", "sign_det");
    ``trials`` and ``seed`` as given; ``source`` (free text, e.g. a file);
    ``regularity``: the structural regularity of the analysed network (see
    :meth:`quelmar.preparation.Regularity.to_dict`), or None;
    ``preparation``: what :func:`quelmar.prune` removed first (see
    :meth:`quelmar.preparation.Pruned.to_dict`), or None;
    ``diagnosis_skipped``: None when the indicator diagnosis ran, otherwise
    a sentence saying why it did not (``diagnosis`` is then empty).

    On a structurally singular network ``defined`` is false, ``sensitivity``
    is None and ``structures`` and ``diagnosis`` are empty: they do not
    exist, rather than being all false.
    """

    name: object
    species: list[str]
    reactions: list[str]
    sensitivity: npt.NDArray[np.bool_]
    structures: list[BufferingStructure]
    diagnosis: list[dict[str, object]]
    trials: int = 2
    seed: int | None = None
    source: str | None = None
    regularity: dict | None = None
    preparation: dict | None = None
    diagnosis_skipped: str | None = None

    @property
    def defined(self) -> bool:
        """False when the network is structurally singular: no sensitivity,
        no buffering structures, no diagnosis."""
        return self.regularity is None or bool(self.regularity.get("is_regular", True))

    # -- access ---------------------------------------------------------

    def structure(self, sid: str) -> BufferingStructure:
        """The structure with id ``sid`` (such as ``"B1"``)."""
        for s in self.structures:
            if s.id == sid:
                return s
        raise KeyError(sid)

    @property
    def hierarchy(self) -> dict[str, list[str]]:
        """Mapping from each structure's id to the ids of its direct sub-structures."""
        return {s.id: list(s.children) for s in self.structures}

    def responding(self, reaction: str) -> list[str]:
        """Species that respond to a perturbation of ``reaction`` (a name)."""
        j = self.reactions.index(reaction)
        return [s for i, s in enumerate(self.species) if self.sensitivity[i, j]]

    # -- serialisation --------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain data (lists, dicts, str, int, float, bool, None), JSON-safe."""
        def det(v):
            v = float(v)
            return None if math.isnan(v) else v
        out = {
            "name": None if self.name is None else str(self.name),
            "source": self.source,
        }
        if self.regularity is not None:
            out["regularity"] = self.regularity
        if self.preparation is not None:
            out["preparation"] = self.preparation
        defined = self.defined
        out.update({
            "trials": self.trials,
            "seed": self.seed,
            "species": list(self.species),
            "reactions": list(self.reactions),
            "sensitivity": [[bool(x) for x in row] for row in self.sensitivity]
            if defined else None,
            "structures": [{"id": s.id, "species": list(s.species),
                            "reactions": list(s.reactions),
                            "children": list(s.children)} for s in self.structures]
            if defined else None,
            "hierarchy": self.hierarchy if defined else None,
            "diagnosis": [{"chemicals": list(r["chemicals"]),
                           "reactions": list(r["reactions"]),
                           "sign_det": det(r["sign_det"]),
                           "sign": sign_name(r["sign_det"])} for r in self.diagnosis]
            if defined and self.diagnosis_skipped is None else None,
            "diagnosis_skipped": self.diagnosis_skipped,
        })
        return out

    def to_json(self, indent: int | str | None = 1) -> str:
        """JSON text of :meth:`to_dict` (NaN signs are written as null)."""
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Analysis:
        """Inverse of :meth:`to_dict`."""
        structures = [BufferingStructure(s["id"], list(s["species"]), list(s["reactions"]),
                                         list(s.get("children", [])))
                      for s in data["structures"] or []]
        diagnosis = [{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                      "sign_det": math.nan if r["sign_det"] is None else float(r["sign_det"])}
                     for r in data["diagnosis"] or []]
        sens = None
        if data["sensitivity"] is not None:
            sens = np.array(data["sensitivity"], dtype=bool).reshape(
                len(data["species"]), len(data["reactions"]))
        return cls(data["name"], list(data["species"]), list(data["reactions"]), sens,
                   structures, diagnosis, data.get("trials", 2), data.get("seed"),
                   data.get("source"), data.get("regularity"), data.get("preparation"),
                   data.get("diagnosis_skipped"))

    @classmethod
    def from_json(cls, text: str | bytes) -> Analysis:
        return cls.from_dict(json.loads(text))

    # -- diagram --------------------------------------------------------

    def to_dot(self, **options: Any) -> str:
        """The hierarchy as Graphviz DOT text (see :mod:`quelmar.diagram`)."""
        from .diagram import hierarchy_dot
        return hierarchy_dot(self, **options)

    def diagram(self, **options):
        """The hierarchy as a ``graphviz.Source`` (renders in a notebook)."""
        from .diagram import hierarchy_graph
        return hierarchy_graph(self, **options)

    # -- reports and pictures (see :mod:`quelmar.report`, :mod:`quelmar.plot`)

    def report(self, full: bool = False) -> str:
        """The text report; ``full=True`` lists every name (see :func:`~quelmar.report.text_report`)."""
        return text_report(self, full=full)

    def __str__(self) -> str:
        return text_report(self)

    def __repr__(self) -> str:
        if not self.defined:
            return (f"<Analysis of {self.name!r}: {len(self.species)} species, "
                    f"{len(self.reactions)} reactions, structurally singular>")
        diagnosis = ("diagnosis skipped" if self.diagnosis_skipped is not None
                     else f"{len(self.diagnosis)} diagnosis records")
        return (f"<Analysis of {self.name!r}: {len(self.species)} species, "
                f"{len(self.reactions)} reactions, {len(self.structures)} buffering "
                f"structures, {diagnosis}>")

    def _repr_html_(self) -> str:
        return html_report(self)

    def to_html(self) -> str:
        """A self-contained HTML page of the analysis (pictures inline)."""
        return html_document(self)

    def plot_sensitivity(self, **options: Any) -> Figure:
        """The sensitivity matrix as a Matplotlib figure (see :func:`quelmar.plot.plot_sensitivity`)."""
        from .plot import plot_sensitivity
        return plot_sensitivity(self, **options)

    # -- other libraries --------------------------------------------------

    def sensitivity_frame(self) -> pd.DataFrame:
        """The sensitivity matrix as a pandas DataFrame of bools (species x reactions)."""
        import pandas as pd
        return pd.DataFrame(np.array(self.sensitivity, dtype=bool),
                            index=pd.Index(list(self.species), name="species"),
                            columns=pd.Index(list(self.reactions), name="reaction"))

    def structures_frame(self) -> pd.DataFrame:
        """One row per structure (indexed by id): sizes, members and direct sub-structures."""
        import pandas as pd
        rows = [{"id": s.id, "n_species": len(s.species), "n_reactions": len(s.reactions),
                 "species": list(s.species), "reactions": list(s.reactions),
                 "children": list(s.children)} for s in self.structures]
        columns = ["id", "n_species", "n_reactions", "species", "reactions", "children"]
        return pd.DataFrame(rows, columns=columns).set_index("id")

    def hierarchy_graph(self) -> nx.DiGraph:
        """The hierarchy as a networkx DiGraph: an edge from each structure to
        each direct sub-structure; nodes carry ``species`` and ``reactions``."""
        import networkx as nx
        g = nx.DiGraph(name=None if self.name is None else str(self.name))
        for s in self.structures:
            g.add_node(s.id, species=list(s.species), reactions=list(s.reactions))
        g.add_edges_from((s.id, c) for s in self.structures for c in s.children)
        return g


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
    from .loaders import ModelWarning
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

    with progress(f"sensitivity matrix ({m} species x {n} reactions)"):
        sens = np.array(work._smat_(trials), dtype=bool)
    with progress("isolated buffering structures") as step:
        found = _tracked(step, work.search_for_isoBSs, trials)
    with progress(f"hierarchy of {count(len(found), 'structure')}"):
        member = np.zeros((len(found), m + n), dtype=bool)
        for k, sel in enumerate(found):
            member[k] = np.asarray(sel, dtype=bool)
        del found
        structures = []
        for k, row in enumerate(member, 1):
            structures.append(BufferingStructure(
                f"B{k}", [species[i] for i in np.flatnonzero(row[:m])],
                [reactions[j] for j in np.flatnonzero(row[m:])]))
        for s, kids in zip(structures, hasse_diagram(member)):
            s.children = [structures[j].id for j in kids]
        del member
    skipped = diagnosis_skip_reason(work, diagnose)
    diagnosis = []
    if skipped is None:
        with progress("indicator diagnosis") as step:
            records = _tracked(step, indicator_diagnose, work)
        diagnosis = [{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                      "sign_det": float(r["sign_det"])} for r in records]
    return Analysis(crn.name, species, reactions, sens, structures, diagnosis,
                    trials, seed, regularity=reg.to_dict(), preparation=preparation,
                    diagnosis_skipped=skipped)
