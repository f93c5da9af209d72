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
from .words import count

__all__ = ["DiagramError", "FORMATS", "hierarchy_dot", "hierarchy_graph",
           "hierarchy_svg", "render", "write_diagram"]

#: file extensions understood by :func:`write_diagram`, with their format
FORMATS = {".dot": "dot", ".gv": "dot", ".svg": "svg", ".png": "png", ".pdf": "pdf"}
DIAGRAM_HINT = ".svg, .png, .pdf or .dot"

SPECIES_COLOUR = "#1b4f8a"
REACTION_COLOUR = "#8a3b12"


class DiagramError(RuntimeError):
    """The diagram cannot be rendered (no Graphviz, or Graphviz failed)."""


def _lines(label, names, width):
    """Lines of ``label`` followed by the names, the label on the first line."""
    lines = textwrap.wrap(label + " " + ", ".join(names), width=width,
                          break_on_hyphens=False, break_long_words=False)
    lines[0] = lines[0][len(label):]
    return lines


def _cell(label, names, colour, width):
    body = '<BR ALIGN="LEFT"/>'.join(escape(line) for line in _lines(label, names, width))
    return (f'<TR><TD ALIGN="LEFT" BALIGN="LEFT"><FONT POINT-SIZE="10" COLOR="{colour}">'
            f"<B>{label}</B> {body}</FONT></TD></TR>")


def _node_label(s, own_species, own_reactions, has_children, whole, width):
    size = f"{count(len(s.species), 'species')}, {count(len(s.reactions), 'reaction')}"
    rows = [f'<TR><TD ALIGN="LEFT"><B>{escape(s.id)}</B>'
            f'<FONT POINT-SIZE="10">  {size}{"  (whole network)" if whole else ""}'
            "</FONT></TD></TR>"]
    plus = "+ " if has_children else ""
    if own_species:
        rows.append(_cell(f"{plus}species:", own_species, SPECIES_COLOUR, width))
    if own_reactions:
        rows.append(_cell(f"{plus}reactions:", own_reactions, REACTION_COLOUR, width))
    if not own_species and not own_reactions:
        rows.append('<TR><TD ALIGN="LEFT"><FONT POINT-SIZE="10"><I>adds nothing to its '
                    "sub-structures</I></FONT></TD></TR>")
    return ('<<TABLE BORDER="0" CELLBORDER="0" CELLSPACING="0" CELLPADDING="2">'
            + "".join(rows) + "</TABLE>>")


def _quote(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def hierarchy_dot(result, width=48, title=True, dpi=None):
    """DOT text of the hierarchy of ``result`` (an Analysis).

    ``width``: characters per line in the lists of names.  ``title``: put
    the network name and a key under the diagram.  ``dpi``: resolution of
    bitmap output (Graphviz's default is 96).
    """
    by_id = {s.id: s for s in result.structures}
    m, n = len(result.species), len(result.reactions)
    out = ["digraph buffering_structures {",
           "  graph [rankdir=TB, nodesep=0.3, ranksep=0.45, fontname=\"Helvetica\", "
           "fontsize=11, labeljust=l" + (f", dpi={int(dpi)}" if dpi else "") + "];",
           "  node [shape=box, style=\"rounded,filled\", fillcolor=\"#f6f6f2\", "
           "color=\"#888888\", fontname=\"Helvetica\", fontsize=11, margin=\"0.12,0.06\"];",
           "  edge [color=\"#666666\", arrowsize=0.7];"]
    if title:
        name = "" if result.name is None else f"{result.name}: "
        k = len(result.structures)
        key = (_quote(f"{name}{k} isolated buffering structure{'' if k == 1 else 's'} "
                      f"({count(m, 'species')}, {count(n, 'reaction')}).")
               + r' + "\l" + '
               + _quote("Arrows point to direct sub-structures; "
                        "+ lists what a structure adds to them.") + r' + "\l"')
        out.append(f"  label={key}; labelloc=b;")
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


def hierarchy_graph(result, **options):
    """The diagram as a ``graphviz.Source`` (shown as SVG in a notebook)."""
    from .extras import require
    graphviz = require("graphviz", "the hierarchy diagram")
    return graphviz.Source(hierarchy_dot(result, **options))


def render(dot_text, fmt):
    """Render DOT text to bytes in format ``fmt`` with Graphviz's dot."""
    from .extras import require
    graphviz = require("graphviz", "the hierarchy diagram")
    try:
        return graphviz.Source(dot_text).pipe(format=fmt, engine="dot", quiet=True)
    except graphviz.ExecutableNotFound:
        raise DiagramError("Graphviz's dot program was not found; install Graphviz "
                           "or write a .dot file instead") from None
    except graphviz.CalledProcessError as e:
        detail = (e.stderr or b"").decode("utf-8", "replace").strip().splitlines()
        raise DiagramError("Graphviz failed"
                           + (f": {detail[0]}" if detail else "")) from None


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
    data = dot_text.encode("utf-8") if format == "dot" else render(dot_text, format)
    write_atomic(path, data, inputs)
    return path
