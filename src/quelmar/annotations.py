"""What a model says about its parts beyond the reactions: subsystems,
gene-protein-reaction rules, gene names, species names and compartments.

The loaders keep it in an :class:`Annotations` object beside the network
(``crn.annotations``, set the way ``reversible`` and ``flux_bounds`` are);
the network itself is unchanged and its names stay the model's ids.
Everything in it is keyed by those ids, so it stays right for any
sub-network: :func:`annotations_of` gives the part that concerns the
network as it is now, after :func:`quelmar.prune` or an in-place
:meth:`~quelmar.cyquelmar.CRN.structural_reduction`.  A model that says
none of this gives empty annotations, never an error.

A gene-protein-reaction rule is kept as a tree: a gene id (str), or
``("and", [operands])`` or ``("or", [operands])``.  A reaction is catalysed
when its rule holds with the present genes (``and``: all operands hold;
``or``: any does); a reaction without a rule needs no gene.
"""

from __future__ import annotations

import re
from collections.abc import Container, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

__all__ = ["Annotations", "Rule", "annotations_of", "parse_rule", "rule_genes",
           "rule_holds", "rule_text"]

#: a gene id, or ("and" | "or", [operands])
Rule = Union[str, tuple]

_TOKEN = re.compile(r"\(|\)|[^\s()]+")


def parse_rule(text: str) -> Rule | None:
    """The tree of a rule written as text (``"b1 and (b2 or b3)"``).

    ``and`` binds more tightly than ``or`` (both may be written in capitals);
    an empty text is no rule (None).  Raises ``ValueError`` for text that is
    not such a rule.
    """
    tokens = _TOKEN.findall(text)
    if not tokens:
        return None
    pos = 0

    def peek():
        return tokens[pos].lower() if pos < len(tokens) else None

    def expression(depth):
        nonlocal pos
        if depth > 200:
            raise ValueError("brackets nested too deeply")
        operands = [conjunction(depth)]
        while peek() == "or":
            pos += 1
            operands.append(conjunction(depth))
        return _joined("or", operands)

    def conjunction(depth):
        nonlocal pos
        operands = [atom(depth)]
        while peek() == "and":
            pos += 1
            operands.append(atom(depth))
        return _joined("and", operands)

    def atom(depth):
        nonlocal pos
        token = peek()
        if token is None:
            raise ValueError("it ends where a gene was expected")
        if token == "(":
            pos += 1
            inner = expression(depth + 1)
            if peek() != ")":
                raise ValueError("a bracket is not closed")
            pos += 1
            return inner
        if token in ("and", "or", ")", "not"):
            raise ValueError(f"{tokens[pos]!r} where a gene was expected")
        pos += 1
        return tokens[pos - 1]

    rule = expression(0)
    if pos != len(tokens):
        raise ValueError(f"{tokens[pos]!r} where 'and', 'or' or the end was expected")
    return rule


def _joined(op, operands):
    if len(operands) == 1:
        return operands[0]
    flat = []
    for x in operands:  # a and (b and c) is a and b and c
        flat.extend(x[1] if isinstance(x, tuple) and x[0] == op else [x])
    return (op, flat)


def rule_genes(rule: Rule | None) -> list[str]:
    """The genes a rule names, in order of first appearance."""
    out: dict[str, None] = {}
    stack = [rule]
    order = []
    while stack:
        x = stack.pop()
        if x is None:
            continue
        if isinstance(x, str):
            order.append(x)
        else:
            stack.extend(reversed(x[1]))
    for g in order:
        out.setdefault(g)
    return list(out)


def rule_holds(rule: Rule | None, absent: Container) -> bool:
    """Whether the reaction of ``rule`` is catalysed with the genes in
    ``absent`` knocked out (no rule: always)."""
    if rule is None:
        return True
    if isinstance(rule, str):
        return rule not in absent
    op, operands = rule
    if op == "and":
        return all(rule_holds(x, absent) for x in operands)
    return any(rule_holds(x, absent) for x in operands)


def rule_text(rule: Rule | None, top: bool = True) -> str:
    """A rule as text, bracketed where needed (inverse of :func:`parse_rule`)."""
    if rule is None:
        return ""
    if isinstance(rule, str):
        return rule
    op, operands = rule
    text = f" {op} ".join(rule_text(x, False) for x in operands)
    return text if top or op == "and" else f"({text})"


@dataclass
class Annotations:
    """Names and groupings of a model's parts, keyed by the network's ids.

    ``subsystems``: reaction id -> subsystem (pathway) name;
    ``rules``: reaction id -> gene-protein-reaction rule (see the module);
    ``genes``: gene id -> gene name (every gene product of the model, in
    model order, whether or not a kept reaction needs it);
    ``species_names``: species id -> display name;
    ``compartments``: species id -> compartment id;
    ``compartment_names``: compartment id -> name;
    ``species_subsystems``: species id -> a subsystem for it, which the
    analysis derives (see :func:`quelmar.pathways.species_subsystems`).
    Each mapping holds only what the model says (missing entries are
    simply absent).
    """

    subsystems: dict[str, str] = field(default_factory=dict)
    rules: dict[str, Rule] = field(default_factory=dict)
    genes: dict[str, str] = field(default_factory=dict)
    species_names: dict[str, str] = field(default_factory=dict)
    compartments: dict[str, str] = field(default_factory=dict)
    compartment_names: dict[str, str] = field(default_factory=dict)
    species_subsystems: dict[str, str] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return any((self.subsystems, self.rules, self.genes, self.species_names,
                    self.compartments, self.compartment_names, self.species_subsystems))

    def subset(self, species: Iterable[str], reactions: Iterable[str]) -> Annotations:
        """What concerns the given species and reactions only (genes and
        compartment names are kept whole)."""
        species, reactions = set(species), set(reactions)
        return Annotations(
            {r: v for r, v in self.subsystems.items() if r in reactions},
            {r: v for r, v in self.rules.items() if r in reactions},
            dict(self.genes),
            {s: v for s, v in self.species_names.items() if s in species},
            {s: v for s, v in self.compartments.items() if s in species},
            dict(self.compartment_names),
            {s: v for s, v in self.species_subsystems.items() if s in species})

    def renamed(self, species: Mapping[str, str], reactions: Mapping[str, str],
                genes: Mapping[str, str] | None = None) -> Annotations:
        """The same annotations under new ids (ids not in a map stay)."""
        genes = genes or {}

        def gene_map(rule):
            if rule is None or isinstance(rule, str):
                return genes.get(rule, rule)
            return (rule[0], [gene_map(x) for x in rule[1]])

        return Annotations(
            {reactions.get(r, r): v for r, v in self.subsystems.items()},
            {reactions.get(r, r): gene_map(v) for r, v in self.rules.items()},
            {genes.get(g, g): v for g, v in self.genes.items()},
            {species.get(s, s): v for s, v in self.species_names.items()},
            {species.get(s, s): v for s, v in self.compartments.items()},
            dict(self.compartment_names),
            {species.get(s, s): v for s, v in self.species_subsystems.items()})

    # -- genes ------------------------------------------------------------

    def gene_ids(self) -> list[str]:
        """Every gene: those the model lists, then any that only rules name."""
        out = dict.fromkeys(self.genes)
        for rule in self.rules.values():
            out.update(dict.fromkeys(rule_genes(rule)))
        return list(out)

    def gene_reactions(self, reactions: Sequence[str]) -> dict[str, list[str]]:
        """Gene id -> the reactions of ``reactions`` whose rules name it."""
        out: dict[str, list[str]] = {g: [] for g in self.gene_ids()}
        for r in reactions:
            for g in rule_genes(self.rules.get(r)):
                out[g].append(r)
        return out

    def disabled(self, genes: Container, reactions: Sequence[str]) -> list[str]:
        """The reactions of ``reactions`` that the knockout of ``genes``
        disables: those whose rule no longer holds."""
        return [r for r in reactions if not rule_holds(self.rules.get(r), genes)]

    # -- plain data -------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain data; rules are written as text."""
        return {"subsystems": dict(self.subsystems),
                "rules": {r: rule_text(v) for r, v in self.rules.items()},
                "genes": dict(self.genes),
                "species_names": dict(self.species_names),
                "compartments": dict(self.compartments),
                "compartment_names": dict(self.compartment_names),
                "species_subsystems": dict(self.species_subsystems)}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any] | None) -> Annotations:
        """Inverse of :meth:`to_dict` (None or {} give empty annotations)."""
        data = data or {}
        rules = {}
        for r, text in dict(data.get("rules", {})).items():
            rule = parse_rule(text)
            if rule is not None:
                rules[r] = rule
        return cls(dict(data.get("subsystems", {})), rules, dict(data.get("genes", {})),
                   dict(data.get("species_names", {})), dict(data.get("compartments", {})),
                   dict(data.get("compartment_names", {})),
                   dict(data.get("species_subsystems", {})))


def annotations_of(crn: Any, found: Any = None) -> Annotations:
    """The annotations of ``crn`` for its current species and reactions
    (empty when its model had none or it was not loaded from a model).
    ``found``: annotations to use instead of ``crn.annotations`` (those of
    the network ``crn`` was cut from)."""
    if found is None:
        found = getattr(crn, "annotations", None)
    if not isinstance(found, Annotations):
        return Annotations()
    return found.subset(crn.X_names, crn.R_names)
