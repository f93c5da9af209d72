"""The HTML views of an analysis: the notebook view (:func:`html_report`)
and the stand-alone page (:func:`html_document`).

They show the sensitivity heat map (when Matplotlib is installed) and the
hierarchy diagram (when Graphviz is) as inline SVG, beside the sections of
the text report (:mod:`quelmar.report`).
"""

from __future__ import annotations

import html
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .diagram import diagram_size, hierarchy_svg, irreducible_only
from .members import Members, is_whole
from .pathways import pathway_grid
from .report import (LARGE_SPECIES, global_summary, irreducible_first, member_sentences,
                     sensitivity_groups, structure_counts)
from .words import count, sign_name

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["html_document", "html_report"]

#: in the HTML report: structures listed, and named (the others are counted);
#: lists of names longer than this and than half of the network written as
#: what they leave out; structures drawn as a diagram (boxes, when only the
#: irreducible ones are drawn), and outlined in the heat map, at most
HTML_ROWS = 300
HTML_NAMED_STRUCTURES = 100
HTML_COMPLEMENT = 100
HTML_DIAGRAM = 60
HTML_DIAGRAM_BOXES = 300
HTML_OUTLINES = 1000


_CSS = """
.quelmar-analysis{font-family:system-ui,-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;
 font-size:14px;line-height:1.4;color:#222;max-width:1200px}
.quelmar-analysis h1{font-size:1.5em;margin:.2em 0}
.quelmar-analysis h2{font-size:1.2em;margin:1.2em 0 .4em;border-bottom:1px solid #ddd}
.quelmar-analysis table{border-collapse:collapse;margin:.4em 0}
.quelmar-analysis th,.quelmar-analysis td{border-top:1px solid #ddd;padding:3px 8px;
 text-align:left;vertical-align:top}
.quelmar-analysis details summary{cursor:pointer;color:#1b4f8a}
.quelmar-analysis .picture{overflow-x:auto}
.quelmar-analysis .picture svg{max-width:none;height:auto}
.quelmar-analysis .positive{color:#0d5c91}.quelmar-analysis .negative{color:#8a3a73}
.quelmar-analysis .zero,.quelmar-analysis .indeterminate,
.quelmar-analysis .variable{color:#555;font-style:italic}
.quelmar-analysis .warning{color:#a33a12}
.quelmar-analysis .muted{color:#666}
"""


def _fold(names: Sequence[str], word: str, inline: int = 6,
          universe: Sequence[str] = ()) -> str:
    """Names as text, folded under a summary when there are many; a long
    list holding most of ``universe`` is written as the names it leaves out."""
    e = html.escape
    if not names:
        return "&ndash;"
    if len(names) <= inline:
        return e(", ".join(names))
    if len(names) > HTML_COMPLEMENT and 2 * len(names) > len(universe):
        have = set(names)
        missing = [x for x in universe if x not in have]
        if len(missing) + len(have) == len(universe):
            return (f"<details><summary>{count(len(names), word)}: all but "
                    f"{len(missing)}</summary>all but {e(', '.join(missing)) or 'none'}"
                    "</details>")
    return (f"<details><summary>{count(len(names), word)}</summary>"
            f"{e(', '.join(names))}</details>")


def _picture(make: Any, what: str, cls: str) -> tuple[str, bool]:
    """The SVG that ``make()`` returns, in a ``div`` of class ``cls``, and
    True; or a sentence saying that ``what`` is left out and why (an
    optional library or Graphviz's program is missing, or drawing failed),
    and False."""
    from .diagram import DiagramError
    from .errors import MissingDependencyError
    try:
        svg = make()
    except (MissingDependencyError, DiagramError) as e:
        reason = str(e)
    except Exception as e:  # noqa: BLE001 - the page is written without the picture
        reason = f"drawing it failed ({type(e).__name__}: {e})"
    else:
        return f"<div class='picture {cls}'>{svg[svg.index('<svg'):]}</div>", True
    return (f"<p class='muted left-out'>The {html.escape(what)} is left out of this page: "
            f"{html.escape(reason)}.</p>", False)


def _body(result: Analysis, level: int) -> list[str]:
    """The sections shared by the notebook view and the page."""
    from .plot import heatmap_svg

    e = html.escape
    h = f"h{level}"
    members = Members(result)
    parts = _preparation_html(result, h)
    if not getattr(result, "defined", True):
        parts.append(f"<{h}>Sensitivity and buffering structures</{h}>")
        parts.append("<p>Undefined: the A-matrix is singular for every choice of rates.</p>")
        return parts

    parts.append(f"<{h}>Sensitivity</{h}>")
    outline = len(result.structures) <= HTML_OUTLINES
    parts.append(_picture(lambda: heatmap_svg(result, outline=outline), "heat map",
                          "heatmap")[0])
    parts.append("<table><tr><th>reactions</th><th>their perturbation reaches</th></tr>")
    for species, reactions in sensitivity_groups(result):
        reach = ("every species" if len(species) == len(result.species)
                 else _fold(species, "species"))
        parts.append(f"<tr><td>{_fold(reactions, 'reaction')}</td><td>{reach}</td></tr>")
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
        kids = _fold(s.children, "sub-structure")
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
        adds = _fold(own_s + own_r, "name", universe=species + reactions)
        parts.append(
            f"<tr><td><b>{e(s.id)}</b>{whole}</td>"
            f"<td>{_fold(s.species, 'species', universe=species)}</td>"
            f"<td>{_fold(s.reactions, 'reaction', universe=reactions)}</td>"
            f"<td>{kids}</td><td>{adds}</td></tr>")
    parts.append("</table>")

    parts.append(f"<{h}>Hierarchy</{h}>")
    drawn = False
    if len(result.structures) <= HTML_DIAGRAM:
        tree, drawn = _picture(lambda: hierarchy_svg(result), "hierarchy diagram", "hierarchy")
        parts.append(tree)
    elif irreducible_only(result) and diagram_size(result)[0] <= HTML_DIAGRAM_BOXES:
        parts.append(f"<p class='muted'>The {len(result.irreducible):,} irreducible "
                     "structures, each with what it adds to those inside it; the others "
                     "are unions of these.</p>")
        tree, drawn = _picture(lambda: hierarchy_svg(result), "hierarchy diagram", "hierarchy")
        parts.append(tree)
    if not drawn and len(result.structures) > HTML_DIAGRAM:
        parts.append(f"<p class='muted'>{len(result.structures)} structures are too many "
                     "for a readable diagram; each one's direct sub-structures:</p>")
    if not drawn:
        listed = result.structures[::-1][:HTML_ROWS]
        more = len(result.structures) - len(listed)
        parts.append("<ul>" + "".join(
            f"<li>{e(s.id)} &gt; "
            f"{_fold(s.children, 'sub-structure') if s.children else 'none'}</li>"
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


def _preparation_html(result: Analysis, h: str) -> list[str]:
    e = html.escape
    parts: list[str] = []
    prep = getattr(result, "preparation", None)
    if prep is not None:
        parts.append(f"<{h}>Preparation</{h}><p>{e(prep['summary'])}</p>")
        if prep["removed"]:
            parts.append(f"<details><summary>{count(len(prep['removed']), 'removal')}"
                         "</summary><table><tr><th>removed</th><th>step</th>"
                         "<th>why</th></tr>")
            for r in prep["removed"]:
                parts.append(f"<tr><td>{e(r['kind'])} <b>{e(str(r['name']))}</b></td>"
                             f"<td>{e(r['step'])}</td><td>{e(r['reason'])}</td></tr>")
            parts.append("</table></details>")
    reg = getattr(result, "regularity", None)
    if reg is not None and not reg["is_regular"]:
        parts.append(f"<{h}>Structural regularity: singular</{h}>"
                     f"<p class='warning'>{e(reg['summary'])}</p>")
        parts.append(f"<details><summary>the singular part: "
                     f"{len(reg['parts'])} rows and columns of the A-matrix</summary>"
                     "<table><tr><th>part</th><th></th><th>why</th></tr>")
        for p in reg["parts"]:
            parts.append(f"<tr><td>{e(p['kind'])} <b>{e(str(p['name']))}</b></td>"
                         f"<td>{e(p['block'])}</td><td>{e(p['reason'])}</td></tr>")
        parts.append("</table></details>")
    return parts


def _summary(result: Analysis) -> str:
    e = html.escape
    seed = "no seed" if result.seed is None else f"seed {result.seed}"
    fixed = sum(sign_name(r["sign_det"]) in ("positive", "negative") for r in result.diagnosis)
    src = f"from {e(result.source)}; " if result.source else ""
    if not getattr(result, "defined", True):
        return (f"<p class='summary'>{count(len(result.species), 'species')}, "
                f"{count(len(result.reactions), 'reaction')}; structurally singular: "
                "no sensitivity, no buffering structures. "
                f"<span class='muted'>{src}</span></p>")
    diagnosis = (f"{fixed} of {len(result.diagnosis)} contracted parts with a fixed "
                 "determinant sign"
                 if getattr(result, "diagnosis_skipped", None) is None
                 else "indicator diagnosis not run (see below)")
    return (f"<p class='summary'>{count(len(result.species), 'species')}, "
            f"{count(len(result.reactions), 'reaction')}; "
            f"{_structure_counts(result)}; "
            f"{diagnosis}. <span class='muted'>{src}{result.trials} random trials, "
            f"{seed}.</span></p>")


#: reactions listed with their responses of fixed sign, at most
HTML_SIGN_ROWS = 300


def _signs_html(result: Analysis, h: str, picture: bool, anchor: str = "") -> list[str]:
    """The response signs: how many of each, the heat map coloured by sign
    (``picture``), and the responses of fixed sign, reaction by reaction."""
    from .plot import heatmap_svg
    from .report_signs import sign_lines, sign_summary

    if getattr(result, "signs", None) is None or not getattr(result, "defined", True):
        return []
    e = html.escape
    ident = f" id='{anchor}'" if anchor else ""
    parts = [f"<{h}{ident}>Response signs</{h}>",
             f"<p>Which way each species moves when a reaction's rate is raised: "
             f"{e(sign_summary(result))}.</p>"]
    if picture:
        outline = len(result.structures) <= HTML_OUTLINES
        parts.append(_picture(lambda: heatmap_svg(result, outline=outline, signs=True),
                              "heat map of the signs", "heatmap")[0])
    lines, total = sign_lines(result, HTML_SIGN_ROWS)
    if not total:
        parts.append("<p class='muted'>No response has the same sign for every choice of "
                     "rates.</p>")
        return parts
    species = list(result.species)
    rows = [f"<tr><td>{e(r)}</td><td>{_fold(up, 'species', universe=species)}</td>"
            f"<td>{_fold(down, 'species', universe=species)}</td></tr>"
            for r, up, down in lines]
    parts.append("<table><tr><th>raised reaction</th><th>species that rise</th>"
                 "<th>species that fall</th></tr>" + "".join(rows) + "</table>")
    if total > len(lines):
        parts.append(f"<p class='muted'>Shown: the {len(lines)} reactions with the most "
                     f"responses of fixed sign, of {total:,}; the JSON output (--json) "
                     "holds every sign.</p>")
    return parts


def _factors_html(result: Analysis, h: str, anchor: str = "") -> list[str]:
    """The factors of det A over the hierarchy, one row each."""
    from .report_signs import factor_label, factor_summary

    if getattr(result, "factors", None) is None or not getattr(result, "defined", True):
        return []
    e = html.escape
    ident = f" id='{anchor}'" if anchor else ""
    parts = [f"<{h}{ident}>Factors of the determinant</{h}>",
             "<p>Each irreducible structure once its sub-structures are contracted, and "
             "what the structures leave of the network: "
             f"{e(factor_summary(result))}. A factor whose sign is not fixed is where a "
             "steady-state bifurcation can arise.</p>"]
    names = list(result.species) + list(result.reactions)
    ordered = sorted(result.factors, key=lambda f: f.sign in (1.0, -1.0))[:HTML_ROWS]
    rows = []
    for f in ordered:
        sign = sign_name(f.sign)
        rows.append(f"<tr><td>{e(factor_label(result, f))}</td>"
                    f"<td><span class='{e(sign)}'>{e(sign)}</span></td><td>{e(f.method)}</td>"
                    f"<td>{f.order}</td>"
                    f"<td>{_fold(f.species + f.reactions, 'name', universe=names)}</td></tr>")
    parts.append("<table><tr><th>factor</th><th>sign</th><th>decided</th><th>order</th>"
                 "<th>what it adds</th></tr>" + "".join(rows) + "</table>")
    if len(result.factors) > len(ordered):
        parts.append(f"<p class='muted'>Shown: {len(ordered)} of {len(result.factors):,} "
                     "factors, those whose sign is not fixed first; the JSON output "
                     "(--json) holds them all.</p>")
    return parts


def _structure_counts(result: Analysis) -> str:
    if len(result.irreducible) == len(result.structures):
        return count(len(result.structures), "isolated buffering structure")
    return html.escape(structure_counts(result))


def html_report(result: Analysis) -> str:
    """The analysis as an HTML fragment for a notebook (``_repr_html_``)."""
    e = html.escape
    parts = [f"<div class='quelmar-analysis'><style>{_CSS}</style>",
             f"<h3>Network {e(str(result.name))}</h3>", _summary(result)]
    parts += _body(result, 4)
    parts += _signs_html(result, "h4", True)
    parts += _factors_html(result, "h4")
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
             f"<style>body{{margin:24px}}{_CSS}</style></head>",
             f"<body><main class='quelmar-analysis'><h1>{e(title)}</h1>", _summary(result)]
    parts += _body(result, 2)
    parts += _signs_html(result, "h2", True)
    parts += _factors_html(result, "h2")
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
               else _fold(row.responding, "species", universe=species))
        parts.append(f"<tr><td>{e(row.gene)}</td><td>{e(row.name)}</td>"
                     f"<td>{_fold(row.reactions, 'reaction')}</td>"
                     f"<td>{_fold(row.disabled, 'reaction')}</td><td>{hit}</td></tr>")
    parts.append("</table>")
    return parts


# -- the page of a large result ----------------------------------------------

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
             f"<style>body{{margin:24px}}{_CSS}{_LARGE_CSS}</style></head>",
             f"<body><main class='quelmar-analysis'><h1>{e(title)}</h1>",
             "<nav><ul>" + "".join(f"<li><a href='#{k}'>{t}</a></li>" for k, t in sections)
             + "</ul></nav>"]
    k = len(result.irreducible)
    parts.append("<h2 id='summary'>Summary</h2>" + _summary(result))
    parts.append(f"<p>Sensitivity: {e(global_summary(result))}.</p>")
    parts += _preparation_html(result, "h2")

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
                    f"<td>{_fold(reactions, 'reaction')}</td>"
                    f"<td>{_fold(species, 'species') if species else 'none'}</td>"
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
        sp = _fold(s.species, "species") if small else count(len(s.species), "species")
        rx = _fold(s.reactions, "reaction") if small else count(len(s.reactions), "reaction")
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
        tree, _ = _picture(lambda: hierarchy_svg(result), "hierarchy diagram", "hierarchy")
        parts.append(f"<details><summary>The diagram of the {k:,} irreducible structures, "
                     f"each with what it adds to those inside it</summary>{tree}</details>")
    parts.append("<p class='muted'>Each structure's direct sub-structures, largest "
                 "structures first.</p>")
    listed = [s for s in reversed(result.structures) if s.children][:LARGE_HIERARCHY]
    rows = [f"<tr><td>{e(s.id)}</td><td>{_fold(s.children, 'sub-structure') or 'none'}"
            "</td></tr>" for s in listed]
    parts += _filtered_table("hierarchy-table", ["structure", "direct sub-structures"],
                             rows, "hierarchy")
    parts += _signs_html(result, "h2", False, "signs")
    parts += _factors_html(result, "h2", "factors")
    if genes:
        table = result.gene_responses()
        parts.append("<h2 id='genes'>Genes</h2>")
        species = list(result.species)
        rows = [f"<tr><td>{e(g.gene)}</td><td>{e(g.name)}</td>"
                f"<td>{_fold(g.reactions, 'reaction')}</td><td>{_fold(g.disabled, 'reaction')}"
                f"</td><td>{_fold(g.responding, 'species', universe=species)}</td></tr>"
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
