"""Diagram of the buffering-structure hierarchy (Graphviz).

The isolated buffering structures of an :class:`~quelmar.analysis.Analysis`
are drawn as their Hasse diagram under inclusion: the largest structure at
the top, an arrow from each structure to each of its direct sub-structures.
Each box names the structure, its size, and the species and reactions it
adds to its sub-structures (for a structure without sub-structures, all of
its members).

:func:`hierarchy_dot` writes DOT text; :func:`write_diagram` writes DOT, or
renders SVG, PNG or PDF with Graphviz's ``dot`` program through the
``graphviz`` package.
"""

from __future__ import annotations

import os
import textwrap
from html import escape

from .fileio import output_format, write_atomic
from .words import count, printable, shortened

__all__ = ["DIAGRAM_ALL", "DiagramError", "FORMATS", "diagram_size", "hierarchy_dot",
           "hierarchy_graph", "hierarchy_svg", "irreducible_hierarchy", "irreducible_only",
           "render", "write_diagram"]

#: file extensions understood by :func:`write_diagram`, with their format
FORMATS = {".dot": "dot", ".gv": "dot", ".svg": "svg", ".png": "png", ".pdf": "pdf"}
DIAGRAM_HINT = ".svg, .png, .pdf or .dot"

#: longest name drawn in full; longer ones are shortened (the data keeps them)
NAME_LENGTH = 60

SPECIES_COLOUR = "#1b4f8a"
REACTION_COLOUR = "#8a3b12"


class DiagramError(RuntimeError):
    """The diagram cannot be rendered (no Graphviz, or Graphviz failed)."""


def _shown(name):
    """A name as drawn: control characters (which Graphviz refuses) and lone
    surrogates as escapes, very long ones shortened."""
    return shortened(printable(name), NAME_LENGTH)


def _lines(label, names, width):
    """Lines of ``label`` followed by the names, the label on the first line."""
    lines = textwrap.wrap(label + " " + ", ".join(_shown(x) for x in names), width=width,
                          break_on_hyphens=False, break_long_words=False)
    lines[0] = lines[0][len(label):]
    return lines


def _cell(label, names, colour, width, limit=None):
    if limit is not None and len(names) > limit:
        names = list(names[:limit]) + [f"and {len(names) - limit} more"]
    body = '<BR ALIGN="LEFT"/>'.join(escape(line) for line in _lines(label, names, width))
    return (f'<TR><TD ALIGN="LEFT" BALIGN="LEFT"><FONT POINT-SIZE="10" COLOR="{colour}">'
            f"<B>{label}</B> {body}</FONT></TD></TR>")


def _node_label(s, own_species, own_reactions, has_children, whole, width, limit=None):
    size = f"{count(len(s.species), 'species')}, {count(len(s.reactions), 'reaction')}"
    rows = [f'<TR><TD ALIGN="LEFT"><B>{escape(s.id)}</B>'
            f'<FONT POINT-SIZE="10">  {size}{"  (whole network)" if whole else ""}'
            "</FONT></TD></TR>"]
    plus = "+ " if has_children else ""
    if own_species:
        rows.append(_cell(f"{plus}species:", own_species, SPECIES_COLOUR, width, limit))
    if own_reactions:
        rows.append(_cell(f"{plus}reactions:", own_reactions, REACTION_COLOUR, width, limit))
    if not own_species and not own_reactions:
        rows.append('<TR><TD ALIGN="LEFT"><FONT POINT-SIZE="10"><I>adds nothing to its '
                    "sub-structures</I></FONT></TD></TR>")
    return ('<<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="0" CELLPADDING="2">'
            + "".join(rows) + "</TABLE>>")


def _quote(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def hierarchy_dot(result, width=48, title=True, dpi=None, irreducible=None):
    """DOT text of the hierarchy of ``result`` (an Analysis).

    ``width``: characters per line in the lists of names.  ``title``: put
    the network name and a key under the diagram.  ``dpi``: resolution of
    bitmap output (Graphviz's default is 96).  ``irreducible``: draw only
    the irreducible structures, each with what it adds to the irreducible
    structures directly inside it (the others are unions of these); by
    default a result of more than :data:`DIAGRAM_ALL` structures is drawn
    so.  Many irreducible structures with nothing inside them under the
    same structures share one box, a line each.
    """
    only = irreducible_only(result, irreducible)
    by_id = {s.id: s for s in result.structures}
    m, n = len(result.species), len(result.reactions)
    out = ["digraph buffering_structures {",
           "  graph [rankdir=TB, nodesep=0.3, ranksep=0.45, fontname=\"Helvetica\", "
           "fontsize=11, labeljust=l" + (f", dpi={int(dpi)}" if dpi else "") + "];",
           "  node [shape=box, style=\"rounded,filled\", fillcolor=\"#f6f6f2\", "
           "color=\"#888888\", fontname=\"Helvetica\", fontsize=11, margin=\"0.12,0.06\"];",
           "  edge [color=\"#666666\", arrowsize=0.7];"]
    if title:
        name = "" if result.name is None else f"{_shown(result.name)}: "
        k = len(result.structures)
        key = (_quote(f"{name}{k:,} isolated buffering structure{'' if k == 1 else 's'} "
                      f"({count(m, 'species')}, {count(n, 'reaction')}).")
               + r' + "\l" + '
               + _quote("Arrows point to direct sub-structures; "
                        "+ lists what a structure adds to them.") + r' + "\l"')
        if only:
            key = (_quote(f"{name}{len(result.irreducible):,} irreducible buffering "
                          f"structures of {k:,} ({count(m, 'species')}, "
                          f"{count(n, 'reaction')}); the others are unions of these.")
                   + r' + "\l" + '
                   + _quote("Arrows point to the irreducible structures directly inside; "
                            "+ lists what a structure adds to them.") + r' + "\l"')
        out.append(f"  label={key}; labelloc=b;")
    if only:
        out.extend(_irreducible_dot(result, width)[0])
        out.append("}")
        return "\n".join(out) + "\n"
    for s in result.structures:
        own_s, own_r = s.own(by_id)
        whole = len(s.species) == m and len(s.reactions) == n
        label = _node_label(s, own_s, own_r, bool(s.children), whole, width)
        extra = ", penwidth=1.6" if whole else ""
        out.append(f"  {_quote(s.id)} [label={label}{extra}];")
    for s in result.structures:
        for c in s.children:
            out.append(f"  {_quote(s.id)} -> {_quote(c)};")
    out.append("}")
    return "\n".join(out) + "\n"


#: above this many structures the diagram draws only the irreducible ones
#: (when some structures are unions of others)
DIAGRAM_ALL = 100
#: structures without sub-structures under the same structures are drawn as
#: one box when there are more of them than this; the box names at most
#: GROUP_ROWS of them
GROUP_LEAVES = 6
GROUP_ROWS = 40
#: names listed per box of the irreducible diagram, the rest counted
BOX_NAMES = 24
#: rows over which the boxes under a structure with many are spread
STAGGER = 8


def _members_text(s):
    return ", ".join(list(s.species) + list(s.reactions))


def _group_label(structures, width):
    """One box for many structures without sub-structures: a line each."""
    rows = [f'<TR><TD ALIGN="LEFT"><B>{count(len(structures), "structure")}</B>'
            '<FONT POINT-SIZE="10">  without irreducible sub-structures</FONT></TD></TR>']
    for s in structures[:GROUP_ROWS]:
        lines = textwrap.wrap(f"{s.id}: {_members_text(s)}", width=width,
                              break_on_hyphens=False, break_long_words=False)
        body = '<BR ALIGN="LEFT"/>'.join(escape(line) for line in lines)
        rows.append(f'<TR><TD ALIGN="LEFT" BALIGN="LEFT"><FONT POINT-SIZE="10">{body}'
                    "</FONT></TD></TR>")
    if len(structures) > GROUP_ROWS:
        rows.append(f'<TR><TD ALIGN="LEFT"><FONT POINT-SIZE="10"><I>and '
                    f"{len(structures) - GROUP_ROWS} more</I></FONT></TD></TR>")
    return ('<<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="0" CELLPADDING="2">'
            + "".join(rows) + "</TABLE>>")


def irreducible_hierarchy(result):
    """The irreducible structures of ``result`` (positions in ``structures``)
    and, for each, the positions of the irreducible structures directly
    inside it (among the irreducible ones), as lists in the same order."""
    import numpy as np

    from .hasse import hasse_diagram
    chosen = list(result.irreducible)
    column = {("s", x): i for i, x in enumerate(result.species)}
    column.update({("r", x): len(result.species) + j for j, x in enumerate(result.reactions)})
    member = np.zeros((len(chosen), len(column)), dtype=bool)
    for row, k in enumerate(chosen):
        s = result.structures[k]
        member[row, [column["s", x] for x in s.species]
               + [column["r", x] for x in s.reactions]] = True
    kids = hasse_diagram(member) if chosen else []
    return chosen, [[chosen[j] for j in row] for row in kids]


def _irreducible_dot(result, width):
    """DOT lines of the boxes and arrows of the irreducible structures (see
    :func:`hierarchy_dot`), with the number of boxes and of arrows."""
    m, n = len(result.species), len(result.reactions)
    chosen, kids = irreducible_hierarchy(result)
    structures = result.structures
    parents = {k: [] for k in chosen}
    for k, row in zip(chosen, kids):
        for c in row:
            parents[c].append(k)
    groups = {}
    for k, row in zip(chosen, kids):
        if not row:
            groups.setdefault(tuple(parents[k]), []).append(k)
    out, grouped = [], {}
    for leaves in groups.values():
        if len(leaves) > GROUP_LEAVES:
            name = f"{structures[leaves[0]].id} and {len(leaves) - 1} more"
            out.append(f"  {_quote(name)} [label="
                       f"{_group_label([structures[k] for k in leaves], width)}];")
            grouped.update((k, name) for k in leaves)
    for k, row in zip(chosen, kids):
        if k in grouped:
            continue
        s = structures[k]
        inner = set()
        for c in row:
            inner |= structures[c].elements()
        own_s = [x for x in s.species if ("species", x) not in inner]
        own_r = [x for x in s.reactions if ("reaction", x) not in inner]
        whole = len(s.species) == m and len(s.reactions) == n
        label = _node_label(s, own_s, own_r, bool(row), whole, width, BOX_NAMES)
        extra = ", penwidth=1.6" if whole else ""
        out.append(f"  {_quote(s.id)} [label={label}{extra}];")
    boxes = len(out)
    edges = {}
    for k, row in zip(chosen, kids):
        below = list(dict.fromkeys(grouped.get(c, structures[c].id) for c in row))
        for i, c in enumerate(below):
            # many boxes under one: staggered over a few rows, not one long row
            edges[structures[k].id, c] = 1 + i % STAGGER if len(below) > 2 * STAGGER else 1
    out.extend(f"  {_quote(a)} -> {_quote(b)}" + (f" [minlen={r}];" if r > 1 else ";")
               for (a, b), r in edges.items())
    return out, boxes, len(edges)


def irreducible_only(result, irreducible=None):
    """Whether the diagram of ``result`` draws only its irreducible
    structures: as asked (``irreducible`` true or false), or by default when
    it has more than :data:`DIAGRAM_ALL` structures and some are unions of
    others."""
    if irreducible is None:
        return (len(result.structures) > DIAGRAM_ALL
                and len(result.irreducible) < len(result.structures))
    return bool(irreducible)


def diagram_size(result, irreducible=None):
    """The boxes and arrows the diagram of ``result`` has (what it costs
    Graphviz to lay out)."""
    if not irreducible_only(result, irreducible):
        return len(result.structures), sum(len(s.children) for s in result.structures)
    _, boxes, edges = _irreducible_dot(result, 48)
    return boxes, edges


def hierarchy_graph(result, **options):
    """The diagram as a ``graphviz.Source`` (shown as SVG in a notebook)."""
    from .extras import require
    graphviz = require("graphviz", "the hierarchy diagram")
    return graphviz.Source(hierarchy_dot(result, **options))


def render(dot_text, fmt):
    """Render DOT text to bytes in format ``fmt`` with Graphviz's dot."""
    from .extras import require
    graphviz = require("graphviz", "the hierarchy diagram")
    # The whole input at once: when dot stops early, its own error is
    # reported, not the broken pipe of the input it no longer reads.
    data = printable_dot(dot_text).encode("utf-8")
    try:
        return graphviz.pipe("dot", fmt, data, quiet=True)
    except graphviz.ExecutableNotFound:
        raise DiagramError("Graphviz's dot program was not found; install Graphviz "
                           "or write a .dot file instead") from None
    except graphviz.CalledProcessError as e:
        detail = (e.stderr or b"").decode("utf-8", "replace").strip().splitlines()
        raise DiagramError("Graphviz failed"
                           + (f": {detail[0]}" if detail else f" (exit status {e.returncode})")
                           ) from None
    except OSError as e:
        raise DiagramError(f"Graphviz could not be run: {e.strerror or e}") from None


def printable_dot(dot_text):
    """DOT text that Graphviz accepts whatever names it holds: lone
    surrogates and control characters but the line break written as
    escapes."""
    return "\n".join(printable(line) for line in str(dot_text).split("\n"))


def hierarchy_svg(result, **options):
    """The diagram as SVG text."""
    return render(hierarchy_dot(result, **options), "svg").decode("utf-8")


def write_diagram(result, path, format=None, *, inputs=(), **options):
    """Write the diagram of ``result`` to ``path``.

    ``format`` is ``"dot"``, ``"svg"``, ``"png"`` or ``"pdf"``; by default it
    comes from the extension (``.dot``/``.gv``, ``.svg``, ``.png``,
    ``.pdf``).  Raises ``ValueError`` for an unknown format and
    :class:`DiagramError` when Graphviz cannot render.  The file is replaced
    only once it is complete (nothing is left of a failed write); ``path``
    must be a regular file or a new one, and none of ``inputs``.
    """
    path = os.fspath(path)
    format = output_format(path, FORMATS, "diagram", DIAGRAM_HINT, format)
    if format == "png":
        options.setdefault("dpi", 120)
    dot_text = hierarchy_dot(result, **options)
    data = printable_dot(dot_text).encode("utf-8") if format == "dot" \
        else render(dot_text, format)
    write_atomic(path, data, inputs)
    return path
