"""Networks from reaction strings such as ``"A + 2 B -> C"``."""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING

from .common import LoadError, Reaction, assemble, one_line
from .ratesigns import default_signs, law_signs
from .sbml import import_libsbml

if TYPE_CHECKING:
    from ..cyquelmar import CRN


_ARROWS = (("<->", True), ("<=>", True), ("->", False), ("=>", False))
_NAME = r"[A-Za-z_][A-Za-z0-9_]*"
_TERM = re.compile(rf"^\s*(?:(\d+(?:\.\d*)?|\.\d+)(?:\s*\*\s*|\s+|(?=[A-Za-z_$])))?(\$?{_NAME})\s*$")
_LABEL = re.compile(rf"^\s*({_NAME})\s*:(?!=)")
#: the name of a network built from reactions when none is given
DEFAULT_NAME = "network"

_EMPTY = {"", "0", "\u2205", "\u00d8"}


def from_reactions(reactions: str | Iterable[str] | Mapping[str, str],
                   regulators: Mapping[str | int, Iterable[str]] | None = None,
                   name: str | None = None) -> CRN:
    """Build a network from reaction strings.

    ``reactions`` is a list of strings, or a mapping from reaction names to
    strings.  A string reads ``[NAME:] LEFT ARROW RIGHT [; RATE]``:

    * each side is empty (or ``0``) or terms joined by ``+``; a term is a
      species name, optionally preceded by a coefficient (``2 B``, ``2B``,
      ``0.5*B``); a name starting with ``$`` is a boundary species (held
      fixed, not a state variable), as in Antimony;
    * ``->`` or ``=>``: irreversible, ``<->`` or ``<=>``: reversible;
    * ``RATE``, optional, is a rate law in infix notation (``k1*S1``); when
      given, the rate depends exactly on the species it names.  Without it,
      the rate depends on the reactants and, for a reversible reaction, on
      the products as well.

    Reactions without a name are called ``R0``, ``R1``, ... by position.
    ``regulators`` maps reaction names (or positions) to species that the
    rate depends on in addition (activators, inhibitors, enzymes); a species
    named only there becomes a row of zeros in the stoichiometry matrix.

    The network is called ``name``, by default :data:`DEFAULT_NAME`
    (``"network"``).  Species are ordered by first appearance.  Raises ``ValueError`` with the
    offending reaction in the message.
    """
    if isinstance(reactions, str):
        reactions = [reactions]
    if isinstance(reactions, Mapping):
        items = [(str(k), v) for k, v in reactions.items()]
    else:
        items = [(None, v) for v in reactions]
    order, boundary, parsed, rates = [], set(), [], []

    def note(sp):
        if sp.startswith("$"):
            sp = sp[1:]
            boundary.add(sp)
        if sp not in order:
            order.append(sp)
        return sp

    for pos, (label, text) in enumerate(items):
        if not isinstance(text, str):
            raise ValueError(f"reaction {pos}: expected a string, got {type(text).__name__}")
        where = f"reaction {pos} ({text.strip()!r})"
        body = text
        m = _LABEL.match(body)
        if m:
            if label is not None and label != m.group(1):
                raise ValueError(f"{where}: named both {label!r} and {m.group(1)!r}")
            label = m.group(1)
            body = body[m.end():]
        body, _, rate = body.partition(";")
        for arrow, reversible in _ARROWS:
            if arrow in body:
                left, right = body.split(arrow, 1)
                break
        else:
            raise ValueError(f"{where}: no arrow (->, =>, <-> or <=>)")
        if any(a in right for a, _ in _ARROWS):
            raise ValueError(f"{where}: more than one arrow")
        rx = Reaction(label if label is not None else f"R{pos}")
        rx.reversible = reversible
        sides = ({}, {})
        for side, sign in ((left, -1.0), (right, 1.0)):
            if side.strip() in _EMPTY:
                continue
            for term in side.split("+"):
                tm = _TERM.match(term)
                if not tm:
                    raise ValueError(f"{where}: cannot read the term {term.strip()!r}")
                coeff = float(tm.group(1)) if tm.group(1) else 1.0
                sp = note(tm.group(2))
                rx.net[sp] = rx.net.get(sp, 0.0) + sign * coeff
                sides[sign > 0][sp] = True
                if sign < 0 or reversible:
                    rx.reg.add(sp)
        rate = rate.strip()
        rates.append((_rate_law(rate, where) if rate else None, sides))
        parsed.append(rx)

    for rx, (law, _) in zip(parsed, rates):
        if law is not None:
            rx.reg = {nm for nm in law[1] if nm in order}

    if regulators:
        by_name = {rx.id: rx for rx in parsed}
        for key, species in regulators.items():
            if isinstance(key, int) and not isinstance(key, bool):
                if not 0 <= key < len(parsed):
                    raise ValueError(f"regulators: no reaction at position {key}")
                rx = parsed[key]
            elif key in by_name:
                rx = by_name[key]
            else:
                raise ValueError(f"regulators: no reaction named {key!r}")
            if isinstance(species, str):
                species = [species]
            for sp in species:
                if not isinstance(sp, str) or not re.fullmatch(r"\$?" + _NAME, sp):
                    raise ValueError(f"regulators of {rx.id}: {sp!r} is not a species name")
                rx.reg.add(note(sp))
    for rx, (law, (reactants, products)) in zip(parsed, rates):
        if law is None:
            rx.signs = default_signs(rx.reg, reactants, products, rx.reversible)
            continue
        ast, names = law
        read = rx.reg & names  # what the law reads decides; other regulators count as +inf
        rx.signs = law_signs(import_libsbml(), ast, read, reactants=reactants,
                             products=products, reversible=rx.reversible)
    names = [rx.id for rx in parsed]
    dup = {x for x in names if names.count(x) > 1}
    if dup:
        raise ValueError(f"reaction name used twice: {', '.join(sorted(dup))}")
    state = [s for s in order if s not in boundary]
    for rx in parsed:
        rx.net = {s: v for s, v in rx.net.items() if s not in boundary}
        rx.reg = {s for s in rx.reg if s not in boundary}
    try:
        return assemble(None, DEFAULT_NAME if name is None else name, state, parsed,
                        drop_unused=False)
    except LoadError as e:
        raise ValueError(e.problem) from None


def _rate_law(rate, where):
    """The parsed rate law and the names it reads."""
    libsbml = import_libsbml()
    ast = libsbml.parseL3Formula(rate)
    if ast is None:
        raise ValueError(f"{where}: cannot read the rate law {rate!r}: "
                         + one_line(libsbml.getLastParseL3Error()))
    out = set()
    todo = [ast]
    while todo:
        node = todo.pop()
        if node.getType() == libsbml.AST_NAME:
            out.add(node.getName())
        for i in range(node.getNumChildren()):
            todo.append(node.getChild(i))
    return ast, out
