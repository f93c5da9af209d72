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

from .diagram import hierarchy_svg
from .report import (Members, is_whole, member_sentences,
                     sensitivity_groups)
from .words import count, sign_name

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["html_document", "html_report"]

#: in the HTML report: structures listed, and named (the others are counted);
#: lists of names longer than this and than half of the network written as
#: what they leave out; structures drawn as a diagram, and outlined in the
#: heat map, at most
HTML_ROWS = 300
HTML_NAMED_STRUCTURES = 100
HTML_COMPLEMENT = 100
HTML_DIAGRAM = 60
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
    parts.append("<table><tr><th>structure</th><th>species</th><th>reactions</th>"
                 "<th>direct sub-structures</th><th>adds</th></tr>")
    species, reactions = list(result.species), list(result.reactions)
    shown = list(enumerate(result.structures))
    if len(shown) > HTML_ROWS:  # the smallest ones and the largest
        shown = shown[:HTML_ROWS - 1] + shown[-1:]
    for k, s in shown:
        if k == len(result.structures) - 1 and len(shown) < len(result.structures):
            parts.append(f"<tr><td colspan='5' class='muted'>&hellip; "
                         f"{len(result.structures) - len(shown)} more structures (the JSON "
                         "output, --json, lists them all)</td></tr>")
        whole = " <span class='muted'>(whole network)</span>" if is_whole(
            result, s.species, s.reactions) else ""
        kids = _fold(s.children, "sub-structure")
        if k == HTML_NAMED_STRUCTURES:
            parts.append(f"<tr><td colspan='5' class='muted'>The names of the other "
                         f"{len(result.structures) - k} structures are in the JSON "
                         "output (--json); here their sizes and sub-structures.</td></tr>")
        if k >= HTML_NAMED_STRUCTURES:
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
    else:
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
            f"{count(len(result.structures), 'isolated buffering structure')}; "
            f"{diagnosis}. <span class='muted'>{src}{result.trials} random trials, "
            f"{seed}.</span></p>")


def html_report(result: Analysis) -> str:
    """The analysis as an HTML fragment for a notebook (``_repr_html_``)."""
    e = html.escape
    parts = [f"<div class='quelmar-analysis'><style>{_CSS}</style>",
             f"<h3>Network {e(str(result.name))}</h3>", _summary(result)]
    parts += _body(result, 4)
    parts.append("</div>")
    return "".join(parts)


def html_document(result: Analysis) -> str:
    """The analysis as a self-contained HTML page (pictures and style inline)."""
    e = html.escape
    title = f"Network {result.name}" if result.name is not None else "Network"
    parts = ["<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>",
             f"<title>{e(title)}: structural analysis</title>",
             f"<style>body{{margin:24px}}{_CSS}</style></head>",
             f"<body><main class='quelmar-analysis'><h1>{e(title)}</h1>", _summary(result)]
    parts += _body(result, 2)
    parts.append("</main></body></html>\n")
    return "\n".join(parts)
