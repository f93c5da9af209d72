"""The result of an analysis: :class:`Analysis` and its
:class:`BufferingStructure` list.

An :class:`Analysis` prints as text, serialises to JSON and back, shows as
HTML in a notebook and converts to pandas and networkx; the views
(:mod:`quelmar.report`, :mod:`quelmar.page`, :mod:`quelmar.plot`,
:mod:`quelmar.diagram`) are imported when first used.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from .annotations import Annotations
from .errors import SingularNetworkError
from .extras import require

if TYPE_CHECKING:
    import networkx as nx
    import numpy.typing as npt
    import pandas as pd
    from matplotlib.axes import Axes

__all__ = ["Analysis", "BufferingStructure", "unknown_name"]


def unknown_name(kind: str, name: object, known: list[str]) -> KeyError:
    """The ``KeyError`` for a name that is not among ``known``, naming the
    closest ones."""
    import difflib
    folded: dict[str, str] = {}
    for k in known:  # case does not count in the likeness
        folded.setdefault(k.casefold(), k)
    close = [folded[k] for k in difflib.get_close_matches(str(name).casefold(), list(folded),
                                                          n=3, cutoff=0.6)]
    hint = f"; the closest: {', '.join(map(repr, close))}" if close else ""
    return KeyError(f"no {kind} named {name!r}{hint}")


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
    a sentence saying why it did not (``diagnosis`` is then empty);
    ``annotations``: what the model says about the analysed species and
    reactions (subsystems, gene rules, names; see
    :class:`quelmar.annotations.Annotations`), empty when it says nothing;
    ``signs`` (with ``analyze(..., signs=True)``, else None): float array,
    species x reactions, which way each species moves when the reaction's
    rate is raised: 1.0 rise, -1.0 fall, NaN either (depending on the
    rates), 0.0 no response (see :func:`quelmar.signs.response_signs`);
    ``sign_methods``: how each was decided (uint8 codes of
    :data:`quelmar.signs.METHODS`: none, exact, certified, randomised) and
    ``sign_draws``: the random instances drawn; ``factors`` (with
    ``analyze(..., factors=True)``, else None): the factors of det A over
    the hierarchy, a list of :class:`quelmar.factors.Factor`.

    On a structurally singular network ``defined`` is false, ``sensitivity``
    is None and ``structures`` and ``diagnosis`` are empty: they do not
    exist, rather than being all false.
    """

    name: object
    species: list[str]
    reactions: list[str]
    sensitivity: npt.NDArray[np.bool_] | None
    structures: list[BufferingStructure]
    diagnosis: list[dict[str, object]]
    trials: int = 2
    seed: int | None = None
    source: str | None = None
    regularity: dict | None = None
    preparation: dict | None = None
    diagnosis_skipped: str | None = None
    annotations: Annotations = field(default_factory=Annotations)
    signs: npt.NDArray[np.float64] | None = None
    sign_methods: npt.NDArray[np.uint8] | None = None
    sign_draws: int | None = None
    factors: list[Any] | None = None

    @property
    def defined(self) -> bool:
        """False when the network is structurally singular: no sensitivity,
        no buffering structures, no diagnosis."""
        return self.regularity is None or bool(self.regularity.get("is_regular", True))

    # -- access ---------------------------------------------------------

    def structure(self, sid: str) -> BufferingStructure:
        """The structure with id ``sid`` (such as ``"B1"``); ``KeyError``
        naming the closest ids when there is none."""
        for s in self.structures:
            if s.id == sid:
                return s
        raise unknown_name("structure", sid, [s.id for s in self.structures])

    def defined_sensitivity(self, what: str = "the sensitivity") -> npt.NDArray[np.bool_]:
        """``sensitivity``, or :class:`~quelmar.errors.SingularNetworkError`
        saying that ``what`` does not exist and what to do, when the network
        is structurally singular."""
        if self.sensitivity is None or not self.defined:
            name = "the network" if self.name is None else f"network {self.name}"
            raise SingularNetworkError(
                f"{what} is undefined: {name} is structurally singular, so it has no "
                "sensitivity and no buffering structures; analyse a structurally regular "
                "sub-network instead: quelmar.analyze(crn, prune=True), or "
                "quelmar.prune(crn).network (see the result's regularity for the "
                "singular part)")
        return self.sensitivity

    @property
    def hierarchy(self) -> dict[str, list[str]]:
        """Mapping from each structure's id to the ids of its direct sub-structures."""
        return {s.id: list(s.children) for s in self.structures}

    def responding(self, reaction: str) -> list[str]:
        """Species that respond to a perturbation of ``reaction`` (a name)."""
        sens = self.defined_sensitivity("the response to a perturbation")
        if reaction not in self.reactions:
            raise unknown_name("reaction", reaction, self.reactions)
        j = self.reactions.index(reaction)
        return [s for i, s in enumerate(self.species) if sens[i, j]]

    @property
    def irreducible(self) -> list[int]:
        """Positions in ``structures`` of the irreducible structures: those
        that are not the union of the structures strictly inside them (see
        :mod:`quelmar.irreducible`); every structure is a union of these.
        Worked out from ``children`` on first use and kept."""
        key = (id(self.structures), len(self.structures))
        cached = self.__dict__.get("_irreducible")
        if cached is None or cached[0] != key:
            self.remember_irreducible(
                _irreducible(self))
            cached = self.__dict__["_irreducible"]
        return list(cached[1])

    def remember_irreducible(self, positions: list[int]) -> None:
        """Keep ``positions`` as :attr:`irreducible` (the analysis works them
        out from its membership matrix, which is at hand there)."""
        self.__dict__["_irreducible"] = ((id(self.structures), len(self.structures)),
                                         list(positions))

    def membership(self) -> tuple[Any, Any]:
        """The structures as two sparse 0/1 matrices (SciPy CSR, one row per
        structure): over ``species`` and over ``reactions``, in their order.
        Made on first use and kept (while ``structures`` is the same list of
        the same length)."""
        key = (id(self.structures), len(self.structures))
        cached = self.__dict__.get("_membership")
        if cached is None or cached[0] != key:
            from .irreducible import name_matrix
            cached = (key, tuple(
                name_matrix([getattr(s, attr) for s in self.structures],
                            {x: i for i, x in enumerate(names)}, len(names))
                for attr, names in (("species", self.species),
                                    ("reactions", self.reactions))))
            self.__dict__["_membership"] = cached
        return cached[1]

    def remember_membership(self, species: Any, reactions: Any) -> None:
        """Keep ``species`` and ``reactions`` as :meth:`membership` (the
        analysis has the structures as positions at hand)."""
        self.__dict__["_membership"] = ((id(self.structures), len(self.structures)),
                                        (species, reactions))

    def gene_responses(self) -> pd.DataFrame:
        """One row per gene of the model (pandas DataFrame).

        Columns: ``gene`` (its id), ``name``, ``reactions`` (the analysed
        reactions whose gene rules name it), ``disabled`` (those its
        knockout disables: each rule evaluated with the gene absent, ``and``
        needing every operand and ``or`` any), ``responding`` (the species
        that respond when the gene's enzyme level changes, every reaction
        it catalyses perturbed at once; None for a structurally singular
        network).  Lists are Python lists.

        ``responding`` is the union of the species responding to each of the
        gene's reactions alone.  Perturbing them together changes the
        concentrations by the sum of the single responses, each scaled by
        how much its reaction is perturbed; a species outside the union
        cannot respond, and one inside responds for all perturbation sizes
        except those on which its terms cancel exactly, a set of measure
        zero, just as the sensitivity pattern itself holds for all but
        special rate values.  A model without gene rules gives no rows.
        """
        import pandas as pd
        from .pathways import gene_rows
        rows = gene_rows(self.annotations, self.species, self.reactions,
                         self.sensitivity if self.defined else None)
        return pd.DataFrame(rows, columns=["gene", "name", "reactions", "disabled",
                                           "responding"])

    # -- serialisation --------------------------------------------------

    def to_dict(self, genes: bool = False) -> dict[str, Any]:
        """Plain data (lists, dicts, str, int, float, bool, None), JSON-safe,
        in the form :mod:`quelmar.jsonformat` describes; ``genes`` adds the
        gene table."""
        from .jsonformat import encode
        return encode(self, genes=genes)

    def to_json(self, indent: int | str | None = 1, genes: bool = False) -> str:
        """JSON text of :meth:`to_dict` (NaN signs are written as null); one
        top-level key a line, or one line with ``indent=None``."""
        from .jsonformat import dumps
        return dumps(self.to_dict(genes=genes), indent=indent)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Analysis:
        """Inverse of :meth:`to_dict`; reads the first JSON form too."""
        from .jsonformat import decode
        return cls(**decode(data))

    @classmethod
    def from_json(cls, text: str | bytes) -> Analysis:
        try:
            data = json.loads(text)
        except RecursionError:
            raise ValueError("not an analysis result: nested too deeply") from None
        return cls.from_dict(data)

    # -- diagram --------------------------------------------------------

    def to_dot(self, **options: Any) -> str:
        """The hierarchy as Graphviz DOT text (see :mod:`quelmar.diagram`)."""
        from .diagram import hierarchy_dot
        self.defined_sensitivity("the hierarchy diagram")
        return hierarchy_dot(self, **options)

    def diagram(self, **options):
        """The hierarchy as a ``graphviz.Source`` (renders in a notebook)."""
        from .diagram import hierarchy_graph
        self.defined_sensitivity("the hierarchy diagram")
        return hierarchy_graph(self, **options)

    # -- reports and pictures (see :mod:`quelmar.report`, :mod:`quelmar.plot`)

    def report(self, full: bool = False, genes: bool = False) -> str:
        """The text report; ``full=True`` lists every name, ``genes=True`` adds
        the gene table (see :func:`~quelmar.report.text_report`)."""
        from .report import text_report
        return text_report(self, full=full, genes=genes)

    def __str__(self) -> str:
        from .report import text_report
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
        from .page import html_report
        return html_report(self)

    def to_html(self, genes: bool = False) -> str:
        """A self-contained HTML page of the analysis (pictures inline);
        ``genes=True`` adds the gene table."""
        from .page import html_document
        return html_document(self, genes=genes)

    def plot_sensitivity(self, ax: Axes | None = None, **options: Any) -> Axes:
        """The sensitivity matrix as a heat map, drawn into ``ax`` (by default a
        new figure); returns the axes (see :func:`quelmar.plot.plot_sensitivity`)."""
        from .plot import plot_sensitivity
        return plot_sensitivity(self, ax, **options)

    # -- other libraries --------------------------------------------------

    def sensitivity_frame(self) -> pd.DataFrame:
        """The sensitivity matrix as a pandas DataFrame of bools (species x reactions)."""
        sens = self.defined_sensitivity("the sensitivity frame")
        pd = require("pandas", "data frames")
        return pd.DataFrame(np.array(sens, dtype=bool),
                            index=pd.Index(list(self.species), name="species"),
                            columns=pd.Index(list(self.reactions), name="reaction"))

    def signs_frame(self, labels: bool = False) -> pd.DataFrame:
        """The response signs as a pandas DataFrame (species x reactions):
        1.0, -1.0, NaN (either), 0.0 (none), or with ``labels`` the words
        "rise", "fall", "either", "none".  ``ValueError`` when the signs were
        not computed (``analyze(..., signs=True)``)."""
        import pandas as pd
        signs = self.defined_signs()
        data: Any = signs
        if labels:
            from .signs import sign_labels
            data = sign_labels(signs)
        return pd.DataFrame(data, index=pd.Index(list(self.species), name="species"),
                            columns=pd.Index(list(self.reactions), name="reaction"))

    def factors_frame(self) -> pd.DataFrame:
        """The factors of det A (``analyze(..., factors=True)``), one row
        each: structure (id, or None for what the structures leave of the
        network), species, reactions, order, sign, method, draws."""
        import pandas as pd
        if self.factors is None:
            raise ValueError("the factors were not computed: analyse with factors=True "
                             "(quelmar analyze --factors)")
        rows = []
        for f in self.factors:
            row = f.to_dict()
            row["structure"] = (None if f.structure is None
                                else self.structures[f.structure].id)
            row["sign"] = f.sign
            rows.append(row)
        return pd.DataFrame(rows, columns=["structure", "species", "reactions", "order",
                                           "sign", "method", "draws"])

    def defined_signs(self) -> npt.NDArray[np.float64]:
        """``signs``, or an error saying why there are none."""
        self.defined_sensitivity("the response signs")
        if self.signs is None:
            raise ValueError("the response signs were not computed: analyse with "
                             "signs=True (quelmar analyze --signs)")
        return self.signs

    def structures_frame(self, long: bool = False) -> pd.DataFrame:
        """One row per structure (indexed by id): sizes, members and direct
        sub-structures.

        ``long=True``: the tidy form instead, one row per structure and
        member, with columns ``structure``, ``kind`` ("species" or
        "reaction"), ``name`` and ``own`` (true when no direct
        sub-structure holds it: the structure adds it), for filtering,
        grouping and joining."""
        self.defined_sensitivity("the structures frame")
        pd = require("pandas", "data frames")
        if long:
            by_id = {s.id: s for s in self.structures}
            records = []
            for s in self.structures:
                own_s, own_r = s.own(by_id)
                own = set(own_s) | {("r", x) for x in own_r}
                records += [(s.id, "species", x, x in own) for x in s.species]
                records += [(s.id, "reaction", x, ("r", x) in own) for x in s.reactions]
            return pd.DataFrame(records, columns=["structure", "kind", "name", "own"])
        rows = [{"id": s.id, "n_species": len(s.species), "n_reactions": len(s.reactions),
                 "species": list(s.species), "reactions": list(s.reactions),
                 "children": list(s.children)} for s in self.structures]
        columns = ["id", "n_species", "n_reactions", "species", "reactions", "children"]
        return pd.DataFrame(rows, columns=columns).set_index("id")

    def hierarchy_graph(self) -> nx.DiGraph:
        """The hierarchy as a networkx DiGraph: an edge from each structure to
        each direct sub-structure; nodes carry ``species`` and ``reactions``."""
        self.defined_sensitivity("the hierarchy graph")
        nx = require("networkx", "the hierarchy as a graph")
        g = nx.DiGraph(name=None if self.name is None else str(self.name))
        for s in self.structures:
            g.add_node(s.id, species=list(s.species), reactions=list(s.reactions))
        g.add_edges_from((s.id, c) for s in self.structures for c in s.children)
        return g


def _irreducible(result):
    from scipy import sparse

    from .irreducible import irreducible_rows
    position = {s.id: k for k, s in enumerate(result.structures)}
    member = sparse.hstack(result.membership(), format="csr")
    return irreducible_rows(member, [[position[c] for c in s.children]
                                     for s in result.structures])
