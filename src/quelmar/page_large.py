"""The HTML page of a large result (see :func:`large_document`).

A table of contents; the summary, the pathway view (the sensitivity by
subsystem) and the most local perturbations first; then the structures,
the hierarchy and the genes in tables that filter as one types, whose later
rows are added as the page is scrolled to them.  The page's own style and
its one script are here.
"""

from __future__ import annotations

import html
from collections.abc import Sequence
from typing import TYPE_CHECKING

from .diagram import diagram_size, hierarchy_svg, irreducible_only
from .members import Members
from .page_parts import (HTML_DIAGRAM_BOXES, PAGE_CSS, factors_html, folded, inline_picture,
                         preparation_html, signs_html, summary_html)
from .pathways import pathway_grid
from .report import global_summary, irreducible_first, sensitivity_groups
from .words import count

if TYPE_CHECKING:
    from .result import Analysis

#: rows of a long table written at first; the others are added as the page
#: is scrolled to them (or a filter asks for them)
LARGE_FIRST_ROWS = 200
#: unions of irreducible structures listed (the largest), and structures
#: whose sub-structures are listed (the largest), on the page of a large result
LARGE_UNIONS = 200
#: groups of reactions listed as the most local perturbations
LARGE_LOCAL = 200
LARGE_HIERARCHY = 1000

_LARGE_CSS = """
.quelmar-analysis nav ul{columns:3;margin:.3em 0}
.quelmar-analysis input.filter{margin:.3em 0;padding:3px 6px;width:28em}
.quelmar-analysis td.share{text-align:right;font-variant-numeric:tabular-nums}
.quelmar-analysis table.grid td{padding:1px 3px;font-size:11px;text-align:center}
.quelmar-analysis table.grid th{font-size:11px;font-weight:normal;white-space:nowrap}
"""

# Filters the rows of the table after each input.filter as one types, and
# moves the rows kept in a <template> (a long table's later rows) into the
# table when the filter is used or the end of the table comes into view.
# Names are only ever compared as text; nothing of the model is executed.
_SCRIPT = """
(function(){
function more(t){var k=t.nextElementSibling;if(k&&k.tagName==='TEMPLATE'){
 t.tBodies[0].appendChild(k.content);k.remove();}}
document.querySelectorAll('input.filter').forEach(function(box){
 var t=document.getElementById(box.dataset.table);
 box.addEventListener('input',function(){more(t);var q=box.value.toLowerCase();
  Array.prototype.forEach.call(t.tBodies[0].rows,function(r){
   r.hidden=q!==''&&r.textContent.toLowerCase().indexOf(q)<0;});});});
if('IntersectionObserver' in window){var o=new IntersectionObserver(function(es){
 es.forEach(function(x){if(x.isIntersecting){more(x.target);o.unobserve(x.target);}});});
 document.querySelectorAll('table.lazy').forEach(function(t){o.observe(t);});}
})();
"""


def _filtered_table(table_id: str, head: Sequence[str], rows: list[str], what: str) -> list[str]:
    """A table with a filter box; rows beyond :data:`LARGE_FIRST_ROWS` wait
    in a template until they are needed."""
    e = html.escape
    parts = [f"<input class='filter' type='search' data-table='{table_id}' "
             f"placeholder='filter the {e(what)} (type a name)' aria-label='filter'>",
             f"<table id='{table_id}' class='lazy'><thead><tr>"
             + "".join(f"<th>{e(h)}</th>" for h in head) + "</tr></thead><tbody>",
             *rows[:LARGE_FIRST_ROWS], "</tbody></table>"]
    if len(rows) > LARGE_FIRST_ROWS:
        parts.append("<template>" + "".join(rows[LARGE_FIRST_ROWS:]) + "</template>")
    return parts


def _shade(share: float) -> str:
    light = int(round(255 - 200 * share))
    return f"background:rgb({light},{light},255)" + (";color:#fff" if share > 0.6 else "")


def large_document(result: Analysis, genes: bool = False) -> str:
    """The page of a large result: a table of contents; first the summary,
    the pathway view (the sensitivity by subsystem) and the most local
    perturbations; then the structures (irreducible ones first), the
    hierarchy and the genes in tables that filter as one types."""
    e = html.escape
    title = f"Network {result.name}" if result.name is not None else "Network"
    notes = result.annotations
    sections = [("summary", "Summary"), ("local", "Most local perturbations")]
    if notes.subsystems:
        sections.append(("pathways", "Pathways"))
    sections += [("structures", "Buffering structures"), ("hierarchy", "Hierarchy")]
    if getattr(result, "signs", None) is not None:
        sections.append(("signs", "Response signs"))
    if getattr(result, "factors", None) is not None:
        sections.append(("factors", "Factors of the determinant"))
    if genes:
        sections.append(("genes", "Genes"))
    parts = ["<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>",
             f"<title>{e(title)}: structural analysis</title>",
             f"<style>body{{margin:24px}}{PAGE_CSS}{_LARGE_CSS}</style></head>",
             f"<body><main class='quelmar-analysis'><h1>{e(title)}</h1>",
             "<nav><ul>" + "".join(f"<li><a href='#{k}'>{t}</a></li>" for k, t in sections)
             + "</ul></nav>"]
    k = len(result.irreducible)
    parts.append("<h2 id='summary'>Summary</h2>" + summary_html(result))
    parts.append(f"<p>Sensitivity: {e(global_summary(result))}.</p>")
    parts += preparation_html(result, "h2")

    parts.append("<h2 id='local'>Most local perturbations</h2>")
    members = Members(result)
    rows = []
    local = sorted((g for g in sensitivity_groups(result)
                    if 2 * len(g[0]) <= len(result.species)), key=lambda g: len(g[0]))
    # those that reach one species or none (exchanges, sinks) after the others
    alone = [g for g in local if len(g[0]) <= 1]
    local = [g for g in local if len(g[0]) > 1][:LARGE_LOCAL]
    wider = len(local)
    local += alone
    for (species, reactions), sid in zip(local, members.smallest_of(local)):
        where = sorted({notes.subsystems[r] for r in reactions if r in notes.subsystems})
        rows.append(f"<tr><td>{e('; '.join(where))}</td>"
                    f"<td>{folded(reactions, 'reaction')}</td>"
                    f"<td>{folded(species, 'species') if species else 'none'}</td>"
                    f"<td>{e(sid or '')}</td></tr>")
    lone = [r for _, reactions in alone for r in reactions]
    parts.append(f"<p>The {wider} perturbations that reach the fewest species but more "
                 "than one (reactions with the same response together), with the "
                 "subsystems of the perturbed reactions"
                 + (f"; then the {count(len(lone), 'reaction')} that reach one species "
                    f"or none, such as {e(', '.join(lone[:3]))}" if lone else "")
                 + ".</p>")
    parts += _filtered_table("local-table", ["subsystem", "perturbed reactions",
                                             "responding species", "stays within"],
                             rows, "perturbations")

    if notes.subsystems:
        rows, cols, share = pathway_grid(result)
        parts.append("<h2 id='pathways'>Pathways</h2><p>The share of responding pairs "
                     "for each subsystem of the species (rows) and of the perturbed "
                     "reactions (columns); hover for the numbers.</p>")
        grid = ["<div style='overflow-x:auto'><table class='grid'><tr><th></th>"
                + "".join(f"<th title='{e(c)}'>{i + 1}</th>" for i, c in enumerate(cols))
                + "</tr>"]
        for i, r in enumerate(rows):
            grid.append(f"<tr><th style='text-align:right'>{e(r)}</th>" + "".join(
                f"<td style='{_shade(share[i, j])}' title='{e(r)} &lt;- {e(c)}: "
                f"{share[i, j]:.0%}'>{int(round(100 * share[i, j]))}</td>"
                for j, c in enumerate(cols)) + "</tr>")
        grid.append("</table></div><p class='muted'>Columns: " + "; ".join(
            f"{i + 1} {e(c)}" for i, c in enumerate(cols)) + "</p>")
        parts += grid

    parts.append("<h2 id='structures'>Buffering structures</h2>"
                 "<p>Irreducible structures first, smallest first.</p>")
    order = irreducible_first(result)
    chosen = set(order[:k])
    unions = order[k:]
    order = order[:k] + unions[-LARGE_UNIONS:]
    from .pathways import subsystem_summaries
    rows = []
    summaries = subsystem_summaries(members.in_reactions[order], list(members.reactions),
                                    notes.subsystems, "reaction",
                                    [result.structures[i].reactions for i in order])
    for i, pathways in zip(order, summaries):
        s = result.structures[i]
        kind = "irreducible" if i in chosen else "union"
        small = len(s.species) + len(s.reactions) <= 40
        sp = folded(s.species, "species") if small else count(len(s.species), "species")
        rx = folded(s.reactions, "reaction") if small else count(len(s.reactions), "reaction")
        rows.append(f"<tr><td><b>{e(s.id)}</b></td><td>{kind}</td><td>{sp}</td>"
                    f"<td>{rx}</td><td>{e(pathways)}</td></tr>")
    parts += _filtered_table("structures-table", ["structure", "kind", "species",
                                                  "reactions", "pathways"],
                             rows, "structures")
    if len(unions) > LARGE_UNIONS:
        parts.append(f"<p class='muted'>Shown: the {k:,} irreducible structures and the "
                     f"{LARGE_UNIONS} largest unions; the JSON output (--json) holds all "
                     f"{len(result.structures):,}.</p>")

    parts.append("<h2 id='hierarchy'>Hierarchy</h2>")
    if irreducible_only(result) and diagram_size(result)[0] <= HTML_DIAGRAM_BOXES:
        tree, _ = inline_picture(lambda: hierarchy_svg(result), "hierarchy diagram", "hierarchy")
        parts.append(f"<details><summary>The diagram of the {k:,} irreducible structures, "
                     f"each with what it adds to those inside it</summary>{tree}</details>")
    parts.append("<p class='muted'>Each structure's direct sub-structures, largest "
                 "structures first.</p>")
    listed = [s for s in reversed(result.structures) if s.children][:LARGE_HIERARCHY]
    rows = [f"<tr><td>{e(s.id)}</td><td>{folded(s.children, 'sub-structure') or 'none'}"
            "</td></tr>" for s in listed]
    parts += _filtered_table("hierarchy-table", ["structure", "direct sub-structures"],
                             rows, "hierarchy")
    parts += signs_html(result, "h2", False, "signs")
    parts += factors_html(result, "h2", "factors")
    if genes:
        table = result.gene_responses()
        parts.append("<h2 id='genes'>Genes</h2>")
        species = list(result.species)
        rows = [f"<tr><td>{e(g.gene)}</td><td>{e(g.name)}</td>"
                f"<td>{folded(g.reactions, 'reaction')}</td><td>{folded(g.disabled, 'reaction')}"
                f"</td><td>{folded(g.responding, 'species', universe=species)}</td></tr>"
                for g in table.itertuples(index=False)]
        parts += _filtered_table("genes-table", ["gene", "name", "reactions",
                                                 "knockout disables", "responding species"],
                                 rows, "genes")
    skipped = getattr(result, "diagnosis_skipped", None)
    if skipped is not None:
        parts.append(f"<p class='muted'>{e(skipped)}</p>")
    parts.append(f"<script>{_SCRIPT}</script>")
    parts.append("</main></body></html>\n")
    return "\n".join(parts)
