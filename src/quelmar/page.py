"""The HTML views of an analysis: the notebook view (:func:`html_report`)
and the stand-alone page (:func:`html_document`).

They show the sensitivity heat map (when Matplotlib is installed) and the
hierarchy diagram (when Graphviz is) as inline SVG, beside the sections of
the text report (:mod:`quelmar.report`).  The pieces both views are made
of are in :mod:`quelmar.page_parts`; the page of a large result is laid
out by :mod:`quelmar.page_large`.
"""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

from .diagram import diagram_size, hierarchy_svg, irreducible_only
from .members import Members, is_whole
from .page_large import large_document
from .page_parts import (HTML_DIAGRAM, HTML_DIAGRAM_BOXES, HTML_NAMED_STRUCTURES, HTML_OUTLINES,
                         HTML_ROWS, PAGE_CSS, factors_html, folded, inline_picture,
                         preparation_html, signs_html, summary_html)
from .pathways import pathway_grid  # noqa: F401 - also read from here
from .report import (LARGE_SPECIES, irreducible_first, member_sentences, sensitivity_groups,
                     structure_counts)
from .words import count, sign_name

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["html_document", "html_report"]


def _body(result: Analysis, level: int) -> list[str]:
    """The sections shared by the notebook view and the page."""
    from .plot import heatmap_svg

    e = html.escape
    h = f"h{level}"
    members = Members(result)
    parts = preparation_html(result, h)
    if not getattr(result, "defined", True):
        parts.append(f"<{h}>Sensitivity and buffering structures</{h}>")
        parts.append("<p>Undefined: the A-matrix is singular for every choice of rates.</p>")
        return parts

    parts.append(f"<{h}>Sensitivity</{h}>")
    outline = len(result.structures) <= HTML_OUTLINES
    parts.append(inline_picture(lambda: heatmap_svg(result, outline=outline), "heat map",
                                "heatmap")[0])
    parts.append("<table><tr><th>reactions</th><th>their perturbation reaches</th></tr>")
    for species, reactions in sensitivity_groups(result):
        reach = ("every species" if len(species) == len(result.species)
                 else folded(species, "species"))
        parts.append(f"<tr><td>{folded(reactions, 'reaction')}</td><td>{reach}</td></tr>")
    parts.append("</table>")

    parts.append(f"<{h}>Isolated buffering structures</{h}>")
    irreducible = result.irreducible
    unions = len(irreducible) < len(result.structures)
    if unions:
        parts.append(f"<p>{structure_counts(result)}. Irreducible structures first.</p>")
    parts.append("<table><tr><th>structure</th><th>species</th><th>reactions</th>"
                 "<th>direct sub-structures</th><th>adds</th></tr>")
    species, reactions = list(result.species), list(result.reactions)
    last = len(result.structures) - 1
    order = irreducible_first(result)
    if len(order) > HTML_ROWS:  # the first ones and the largest
        order = [k for k in order if k != last][:HTML_ROWS - 1] + [last]
    chosen = set(irreducible)
    for row, k in enumerate(order):
        s = result.structures[k]
        if k == last and len(order) < len(result.structures):
            parts.append(f"<tr><td colspan='5' class='muted'>&hellip; "
                         f"{len(result.structures) - len(order)} more structures (the JSON "
                         "output, --json, lists them all)</td></tr>")
        whole = " <span class='muted'>(whole network)</span>" if is_whole(
            result, s.species, s.reactions) else ""
        if unions and k not in chosen:
            whole += " <span class='muted'>(union)</span>"
        kids = folded(s.children, "sub-structure")
        if row == HTML_NAMED_STRUCTURES:
            parts.append(f"<tr><td colspan='5' class='muted'>The names of the other "
                         f"{len(result.structures) - row} structures are in the JSON "
                         "output (--json); here their sizes and sub-structures.</td></tr>")
        if row >= HTML_NAMED_STRUCTURES:
            parts.append(f"<tr><td><b>{e(s.id)}</b>{whole}</td>"
                         f"<td>{count(len(s.species), 'species')}</td>"
                         f"<td>{count(len(s.reactions), 'reaction')}</td>"
                         f"<td>{kids}</td><td></td></tr>")
            continue
        own_s, own_r = members.own(s)
        adds = folded(own_s + own_r, "name", universe=species + reactions)
        parts.append(
            f"<tr><td><b>{e(s.id)}</b>{whole}</td>"
            f"<td>{folded(s.species, 'species', universe=species)}</td>"
            f"<td>{folded(s.reactions, 'reaction', universe=reactions)}</td>"
            f"<td>{kids}</td><td>{adds}</td></tr>")
    parts.append("</table>")

    parts.append(f"<{h}>Hierarchy</{h}>")
    drawn = False
    if len(result.structures) <= HTML_DIAGRAM:
        tree, drawn = inline_picture(lambda: hierarchy_svg(result), "hierarchy diagram",
                                     "hierarchy")
        parts.append(tree)
    elif irreducible_only(result) and diagram_size(result)[0] <= HTML_DIAGRAM_BOXES:
        parts.append(f"<p class='muted'>The {len(result.irreducible):,} irreducible "
                     "structures, each with what it adds to those inside it; the others "
                     "are unions of these.</p>")
        tree, drawn = inline_picture(lambda: hierarchy_svg(result), "hierarchy diagram",
                                     "hierarchy")
        parts.append(tree)
    if not drawn and len(result.structures) > HTML_DIAGRAM:
        parts.append(f"<p class='muted'>{len(result.structures)} structures are too many "
                     "for a readable diagram; each one's direct sub-structures:</p>")
    if not drawn:
        listed = result.structures[::-1][:HTML_ROWS]
        more = len(result.structures) - len(listed)
        parts.append("<ul>" + "".join(
            f"<li>{e(s.id)} &gt; "
            f"{folded(s.children, 'sub-structure') if s.children else 'none'}</li>"
            for s in listed)
            + (f"<li class='muted'>&hellip; {more} more</li>" if more else "") + "</ul>")

    skipped = getattr(result, "diagnosis_skipped", None)
    if skipped is not None:
        parts.append(f"<{h}>Diagnosis</{h}><p class='muted'>{e(skipped)}</p>")
        return parts
    parts.append(f"<{h}>Diagnosis</{h}><ol class='diagnosis'>")
    for rec, sentence in zip(result.diagnosis, member_sentences(result, 6, members)):
        sign = sign_name(rec["sign_det"])
        fixed = "fixed" if sign in ("positive", "negative") else "not fixed"
        parts.append(f"<li><span class='{e(sign)}' title='{fixed}'>determinant sign "
                     f"<b>{e(sign)}</b></span>: "
                     f"{e(sentence)}</li>")
    parts.append("</ol>")
    return parts


def html_report(result: Analysis) -> str:
    """The analysis as an HTML fragment for a notebook (``_repr_html_``)."""
    e = html.escape
    parts = [f"<div class='quelmar-analysis'><style>{PAGE_CSS}</style>",
             f"<h3>Network {e(str(result.name))}</h3>", summary_html(result)]
    parts += _body(result, 4)
    parts += signs_html(result, "h4", True)
    parts += factors_html(result, "h4")
    parts.append("</div>")
    return "".join(parts)


def html_document(result: Analysis, genes: bool = False) -> str:
    """The analysis as a self-contained HTML page (pictures and style inline);
    ``genes=True`` adds the gene table.  The page of a large result (more
    than :data:`~quelmar.report.LARGE_SPECIES` species) is laid out for it:
    see :func:`large_document`."""
    if getattr(result, "defined", True) and len(result.species) > LARGE_SPECIES:
        return large_document(result, genes)
    e = html.escape
    title = f"Network {result.name}" if result.name is not None else "Network"
    parts = ["<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>",
             f"<title>{e(title)}: structural analysis</title>",
             f"<style>body{{margin:24px}}{PAGE_CSS}</style></head>",
             f"<body><main class='quelmar-analysis'><h1>{e(title)}</h1>", summary_html(result)]
    parts += _body(result, 2)
    parts += signs_html(result, "h2", True)
    parts += factors_html(result, "h2")
    if genes:
        parts += _genes_html(result, "h2")
    parts.append("</main></body></html>\n")
    return "\n".join(parts)


def _genes_html(result: Analysis, h: str) -> list[str]:
    e = html.escape
    table = result.gene_responses()
    parts = [f"<{h} id='genes'>Genes</{h}>"]
    if not len(table):
        return parts + ["<p class='muted'>The model has no gene rules.</p>"]
    parts.append(f"<p>{len(table):,} genes: the reactions each one's rules involve, those "
                 "its knockout disables, and the species that respond when its enzyme "
                 "level changes.</p>")
    parts.append("<table class='genes'><tr><th>gene</th><th>name</th><th>reactions</th>"
                 "<th>knockout disables</th><th>responding species</th></tr>")
    species = list(result.species)
    for row in table.itertuples(index=False):
        hit = ("&ndash;" if row.responding is None
               else folded(row.responding, "species", universe=species))
        parts.append(f"<tr><td>{e(row.gene)}</td><td>{e(row.name)}</td>"
                     f"<td>{folded(row.reactions, 'reaction')}</td>"
                     f"<td>{folded(row.disabled, 'reaction')}</td><td>{hit}</td></tr>")
    parts.append("</table>")
    return parts
