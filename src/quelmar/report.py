"""Reports of an analysis: the text printed by the ``quelmar`` command and
the HTML shown in a notebook.

Both take an :class:`~quelmar.analysis.Analysis` (or anything with its
attributes) and return a string; :class:`~quelmar.analysis.Analysis` uses
them for ``str(result)`` and ``result._repr_html_()``.
"""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

from ._words import count, sign_name, wrap
from .diagram import hierarchy_svg

if TYPE_CHECKING:
    from .analysis import Analysis

__all__ = ["html_report", "text_report"]


def text_report(result: Analysis) -> str:
    """The analysis as plain text, 78 columns wide."""
    w = 78
    out = []
    title = f"Network {result.name}" if result.name is not None else "Network"
    out.append(f"{title}: {count(len(result.species), 'species')}, "
               f"{count(len(result.reactions), 'reaction')}")
    if result.source:
        out.append(f"from {result.source}")
    seed = "no seed" if result.seed is None else f"seed {result.seed}"
    out.append(f"({result.trials} random trials, {seed})")

    out.append("")
    out.append("Sensitivity: species that respond to a perturbation of each reaction")
    width = min(max((len(r) for r in result.reactions), default=0), 24)
    for j, r in enumerate(result.reactions):
        resp = [s for i, s in enumerate(result.species) if result.sensitivity[i, j]]
        out.extend(wrap(", ".join(resp) or "(none)", f"  {r:<{width}}  ", w))

    by_id = {s.id: s for s in result.structures}
    out.append("")
    out.append(f"Isolated buffering structures: {len(result.structures)}"
               " (smallest first)")
    for s in result.structures:
        whole = (len(s.species) == len(result.species)
                 and len(s.reactions) == len(result.reactions))
        head = (f"  {s.id}: {count(len(s.species), 'species')}, "
                f"{count(len(s.reactions), 'reaction')}"
                + ("  (the whole network)" if whole else ""))
        out.append(head)
        out.extend(wrap(", ".join(s.species) or "-", "      species:   ", w))
        out.extend(wrap(", ".join(s.reactions) or "-", "      reactions: ", w))

    out.append("")
    out.append("Hierarchy: direct sub-structures of each structure")
    for s in reversed(result.structures):
        kids = ", ".join(s.children) if s.children else "none"
        own_s, own_r = s.own(by_id)
        out.append(f"  {s.id} > {kids}")
        if s.children:
            added = ", ".join(own_s + own_r) or "nothing"
            out.extend(wrap(added, "      adds: ", w))

    out.append("")
    out.append("Indicator diagnosis: structures contracted in turn")
    for k, rec in enumerate(result.diagnosis, 1):
        out.append(f"  {k}. {count(len(rec['chemicals']), 'species')}, "
                   f"{count(len(rec['reactions']), 'reaction')}, "
                   f"determinant sign {sign_name(rec['sign_det'])}")
        out.extend(wrap(", ".join(rec["chemicals"]) or "-", "      species:   ", w))
        out.extend(wrap(", ".join(rec["reactions"]) or "-", "      reactions: ", w))
    return "\n".join(out)


def html_report(result: Analysis) -> str:
    """The analysis as an HTML fragment for a notebook."""
    e = html.escape
    by_id = {s.id: s for s in result.structures}
    parts = ["<div class='quelmar-analysis'>"]
    parts.append(f"<h4>Network {e(str(result.name))}: "
                 f"{count(len(result.species), 'species')}, "
                 f"{count(len(result.reactions), 'reaction')}</h4>")
    parts.append("<details><summary>Sensitivity matrix (species &times; reactions; "
                 "&#9679; = responds)</summary>")
    parts.append("<table style='border-collapse:collapse;font-size:85%'>"
                 "<tr><th></th>")
    for r in result.reactions:
        parts.append("<th style='writing-mode:vertical-rl;padding:2px'>"
                     f"{e(r)}</th>")
    parts.append("</tr>")
    for i, s in enumerate(result.species):
        parts.append(f"<tr><th style='text-align:right;padding:0 4px'>{e(s)}</th>")
        for j in range(len(result.reactions)):
            parts.append("<td style='text-align:center;border:1px solid #ddd'>"
                         + ("&#9679;" if result.sensitivity[i, j] else "") + "</td>")
        parts.append("</tr>")
    parts.append("</table></details>")

    parts.append("<table style='border-collapse:collapse'><tr><th>structure</th>"
                 "<th>species</th><th>reactions</th><th>direct sub-structures</th>"
                 "<th>adds</th></tr>")
    for s in result.structures:
        own_s, own_r = s.own(by_id)
        parts.append(
            "<tr style='border-top:1px solid #ccc'>"
            f"<td><b>{e(s.id)}</b></td><td>{e(', '.join(s.species))}</td>"
            f"<td>{e(', '.join(s.reactions))}</td>"
            f"<td>{e(', '.join(s.children)) or '&ndash;'}</td>"
            f"<td>{e(', '.join(own_s + own_r)) or '&ndash;'}</td></tr>")
    parts.append("</table>")

    parts.append("<p><b>Indicator diagnosis</b></p><ol>")
    for rec in result.diagnosis:
        parts.append(f"<li>determinant sign <b>{sign_name(rec['sign_det'])}</b>: "
                     f"species {e(', '.join(rec['chemicals']))}; "
                     f"reactions {e(', '.join(rec['reactions']))}</li>")
    parts.append("</ol>")
    try:
        parts.append(hierarchy_svg(result))
    except Exception:  # no Graphviz: the tables above say it all
        pass
    parts.append("</div>")
    return "".join(parts)
