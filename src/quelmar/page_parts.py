"""The pieces that both HTML views of an analysis are made of.

The style sheet, lists of names folded under a summary, pictures inline as
SVG (or a sentence saying why one is left out), the summary line, and the
sections of the preparation, the response signs and the factors of the
determinant; with the limits on how much of a large result is written.
Used by :mod:`quelmar.page` and :mod:`quelmar.page_large`.
"""

from __future__ import annotations

import html
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .report import structure_counts
from .words import count, sign_name

if TYPE_CHECKING:
    from .result import Analysis

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


PAGE_CSS = """
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


def folded(names: Sequence[str], word: str, inline: int = 6,
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


def inline_picture(make: Any, what: str, cls: str) -> tuple[str, bool]:
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


def preparation_html(result: Analysis, h: str) -> list[str]:
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


def summary_html(result: Analysis) -> str:
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


def signs_html(result: Analysis, h: str, picture: bool, anchor: str = "") -> list[str]:
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
        parts.append(inline_picture(lambda: heatmap_svg(result, outline=outline, signs=True),
                                    "heat map of the signs", "heatmap")[0])
    lines, total = sign_lines(result, HTML_SIGN_ROWS)
    if not total:
        parts.append("<p class='muted'>No response has the same sign for every choice of "
                     "rates.</p>")
        return parts
    species = list(result.species)
    rows = [f"<tr><td>{e(r)}</td><td>{folded(up, 'species', universe=species)}</td>"
            f"<td>{folded(down, 'species', universe=species)}</td></tr>"
            for r, up, down in lines]
    parts.append("<table><tr><th>raised reaction</th><th>species that rise</th>"
                 "<th>species that fall</th></tr>" + "".join(rows) + "</table>")
    if total > len(lines):
        parts.append(f"<p class='muted'>Shown: the {len(lines)} reactions with the most "
                     f"responses of fixed sign, of {total:,}; the JSON output (--json) "
                     "holds every sign.</p>")
    return parts


def factors_html(result: Analysis, h: str, anchor: str = "") -> list[str]:
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
                    f"<td>{folded(f.species + f.reactions, 'name', universe=names)}</td></tr>")
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
