"""Reports of an analysis: the text printed by the ``quelmar`` command, the
notebook view and the stand-alone HTML page.

Each function takes an :class:`~quelmar.analysis.Analysis` (or anything
with its attributes) and returns a string.  The text report summarises the
sensitivity matrix and shortens long lists of names unless ``full`` is
true; the HTML forms show the sensitivity heat map (when Matplotlib is
installed) and the hierarchy diagram (when Graphviz is) as inline SVG.
"""

from __future__ import annotations

import html
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._words import count, sign_name, wrap
from .diagram import hierarchy_svg

if TYPE_CHECKING:
    from .analysis import Analysis

__all__ = ["diagnosis_sentences", "html_document", "html_report", "sensitivity_groups",
           "text_report"]

WIDTH = 78
#: in the compact text report: groups of reactions, structures and diagnosis
#: records listed at most
MAX_GROUPS = 15
MAX_STRUCTURES = 30
MAX_DIAGNOSIS = 12
#: in the text reports: direct sub-structures named per structure (compact),
#: and members listed per structure that has sub-structures (full)
MAX_CHILDREN = 6
FULL_MEMBERS = 200
#: in the HTML report: structures listed, and named (the others are counted);
#: lists of names longer than this and than half of the network written as
#: what they leave out; structures drawn as a diagram, and outlined in the
#: heat map, at most
HTML_ROWS = 300
HTML_NAMED_STRUCTURES = 100
HTML_COMPLEMENT = 100
HTML_DIAGRAM = 60
HTML_OUTLINES = 1000


def _names(names: Sequence[str], limit: int | None) -> str:
    """``names`` joined by commas, cut after ``limit`` of them."""
    if limit is None or len(names) <= limit:
        return ", ".join(names)
    return ", ".join(names[:limit]) + f" and {len(names) - limit} more"


def _is_whole(result: Analysis, species: Sequence[str], reactions: Sequence[str]) -> bool:
    return len(species) == len(result.species) and len(reactions) == len(result.reactions)


class _Members:
    """The structures of an analysis as rows of two sparse 0/1 matrices, over
    the species and over the reactions, for the questions the reports ask
    of every structure (what it adds to its sub-structures, which one holds
    a group of names) without comparing Python sets pairwise."""

    def __init__(self, result: Analysis):
        self.structures = list(result.structures)
        self.row = {s.id: i for i, s in enumerate(self.structures)}
        self.species = self._index(result.species, (s.species for s in self.structures))
        self.reactions = self._index(result.reactions, (s.reactions for s in self.structures))
        self.in_species = self._matrix(self.species, [s.species for s in self.structures])
        self.in_reactions = self._matrix(self.reactions, [s.reactions for s in self.structures])
        self._own: dict[str, tuple[list[str], list[str]]] = {}

    @staticmethod
    def _index(network: Sequence[str], lists: Any) -> dict[str, int]:
        """Column of each name: the network's, then any other a structure holds."""
        column: dict[str, int] = {}
        for x in network:
            column.setdefault(x, len(column))
        for names in lists:
            if not column.keys() >= set(names):
                for x in names:
                    column.setdefault(x, len(column))
        return column

    @staticmethod
    def _matrix(column: dict[str, int], lists: list[Sequence[str]]) -> Any:
        from scipy import sparse
        cols = [sorted({column[x] for x in names}) for names in lists]
        indptr = np.zeros(len(cols) + 1, dtype=np.int64)
        indptr[1:] = np.cumsum([len(c) for c in cols])
        indices = np.fromiter((c for row in cols for c in row), dtype=np.int64,
                              count=int(indptr[-1]))
        return sparse.csr_matrix((np.ones(len(indices), dtype=np.int32), indices, indptr),
                                 shape=(len(cols), len(column)))

    def own(self, s: Any) -> tuple[list[str], list[str]]:
        """Species and reactions of ``s`` in none of its direct sub-structures."""
        if s.id not in self._own:
            kids = [self.row[c] for c in s.children if c in self.row]
            inner_s = np.asarray(self.in_species[kids].sum(axis=0)).ravel() > 0
            inner_r = np.asarray(self.in_reactions[kids].sum(axis=0)).ravel() > 0
            self._own[s.id] = ([x for x in s.species if not inner_s[self.species[x]]],
                               [x for x in s.reactions if not inner_r[self.reactions[x]]])
        return self._own[s.id]

    def _holding(self, species: Sequence[str], reactions: Sequence[str]) -> Any:
        """Rows of the structures holding all the names given (none when a
        name belongs to no structure)."""
        try:
            cs = sorted({self.species[x] for x in species})
            cr = sorted({self.reactions[x] for x in reactions})
        except KeyError:
            return np.zeros(0, dtype=np.intp)
        found = (np.asarray(self.in_species[:, cs].sum(axis=1)).ravel() == len(cs)) & (
            np.asarray(self.in_reactions[:, cr].sum(axis=1)).ravel() == len(cr))
        return np.flatnonzero(found)

    def smallest(self, species: Sequence[str], reactions: Sequence[str]) -> str | None:
        """Id of the first (smallest) structure holding all the names given."""
        rows = self._holding(species, reactions)
        return self.structures[rows[0]].id if len(rows) else None

    def exactly(self, species: Sequence[str], reactions: Sequence[str]) -> str | None:
        """Id of the first structure made of exactly the names given."""
        size = len(set(species)) + len(set(reactions))
        nnz = np.diff(self.in_species.indptr) + np.diff(self.in_reactions.indptr)
        rows = self._holding(species, reactions)
        rows = rows[nnz[rows] == size]
        return self.structures[rows[0]].id if len(rows) else None


def sensitivity_groups(result: Analysis) -> list[tuple[list[str], list[str]]]:
    """Reactions grouped by the species that respond to them.

    A list of ``(species, reactions)`` pairs, one per distinct column of
    the sensitivity matrix: the perturbation of each reaction of a group
    reaches exactly those species.  Widest reach first, then in the order
    of the reactions.
    """
    sens = np.asarray(result.sensitivity, dtype=bool)
    groups: dict[bytes, list[int]] = {}
    for j in range(sens.shape[1]):
        groups.setdefault(sens[:, j].tobytes(), []).append(j)
    out = []
    for cols in groups.values():
        rows = np.flatnonzero(sens[:, cols[0]])
        out.append(([result.species[i] for i in rows], [result.reactions[j] for j in cols]))
    out.sort(key=lambda g: -len(g[0]))
    return out


def _parts(result: Analysis, limit: int | None, members: _Members) -> list[str]:
    """What each diagnosis record covers, in words."""
    out = []
    earlier: set[str] = set()
    for k, rec in enumerate(result.diagnosis):
        xs, rs = list(rec["chemicals"]), list(rec["reactions"])
        named = " and ".join(f"{count(len(names), word)} ({_names(names, limit)})"
                             for names, word in ((xs, "species"), (rs, "reaction")) if names)
        rest = [x for x in result.species if x not in earlier]
        if k == 0 and _is_whole(result, xs, rs):
            out.append(f"The whole network, {named}:")
        elif k > 0 and set(xs) == set(rest):
            out.append(f"What remains once the parts above are contracted, {named}:")
        else:
            sid = members.exactly(xs, rs)
            out.append(f"Structure {sid}, {named}:" if sid else f"The part made of {named}:")
        earlier.update(xs)
    return out


def diagnosis_sentences(result: Analysis, limit: int | None = 6) -> list[str]:
    """The indicator diagnosis in plain words, one sentence per contracted part.

    ``limit``: names listed per species or reaction list before it is cut
    short (``None``: all of them).
    """
    return _sentences(result, limit, _Members(result))


def _sentences(result: Analysis, limit: int | None, members: _Members) -> list[str]:
    out = []
    for part, rec in zip(_parts(result, limit, members), result.diagnosis):
        sign = sign_name(rec["sign_det"])
        if sign in ("positive", "negative"):
            verdict = (f"its determinant sign is fixed ({sign}) whatever the rate "
                       "constants, so no steady-state bifurcation can arise from this part.")
        elif sign == "zero":
            verdict = ("its determinant is zero whatever the rate constants: the part is "
                       "structurally singular, its reactions alone do not fix its "
                       "steady state.")
        else:
            verdict = ("its determinant sign can change with the rate constants, so a "
                       "steady-state bifurcation (a switch between steady states, for "
                       "instance) may arise from this part.")
        out.append(f"{part} {verdict}")
    return out


# -- text ---------------------------------------------------------------------

def text_report(result: Analysis, full: bool = False) -> str:
    """The analysis as plain text, 78 columns wide.

    By default the sensitivity matrix is summarised (how many species
    respond to each group of reactions, and the perturbations that stay
    local) and long lists of names are shortened, so that the report of a
    large network stays short; ``full=True`` lists everything, including
    the responding species of every reaction.
    """
    w = WIDTH
    limit = None if full else 8
    out = []
    title = f"Network {result.name}" if result.name is not None else "Network"
    out.append(f"{title}: {count(len(result.species), 'species')}, "
               f"{count(len(result.reactions), 'reaction')}")
    if result.source:
        out.append(f"from {result.source}")
    seed = "no seed" if result.seed is None else f"seed {result.seed}"
    out.append(f"({result.trials} random trials, {seed})")

    out.extend(_preparation_text(result, limit, w))
    if not getattr(result, "defined", True):
        out.append("")
        out.append("Sensitivity: undefined (the A-matrix is singular for every choice of "
                   "rates)")
        out.append("Isolated buffering structures and indicator diagnosis: undefined")
        if not full:
            out.append("")
            out.append("(long lists shortened; every name: --full, or result.report(full=True))")
        return "\n".join(out)

    members = _Members(result)
    out.append("")
    if full:
        out.append("Sensitivity: species that respond to a perturbation of each reaction")
        width = min(max((len(r) for r in result.reactions), default=0), 24)
        sens = np.asarray(result.sensitivity, dtype=bool)
        for j, r in enumerate(result.reactions):
            resp = [result.species[i] for i in np.flatnonzero(sens[:, j])]
            out.extend(wrap(", ".join(resp) or "(none)", f"  {r:<{width}}  ", w))
    else:
        out.extend(_sensitivity_summary(result, members, w))

    out.append("")
    if full:
        out.extend(_structures_full(result, members, w))
    else:
        out.extend(_structures_compact(result, members, w))

    out.append("")
    skipped = getattr(result, "diagnosis_skipped", None)
    if skipped is not None:
        out.extend(wrap(skipped, "", w))
    else:
        out.extend(_diagnosis_text(result, members, full, w))
    if not full:
        out.append("")
        out.append("(long lists shortened; every name: --full, or result.report(full=True))")
    return "\n".join(out)


def _diagnosis_text(result: Analysis, members: _Members, full: bool, w: int) -> list[str]:
    out = ["Indicator diagnosis: structures contracted in turn"]
    if full:
        for k, rec in enumerate(result.diagnosis, 1):
            out.append(f"  {k}. {count(len(rec['chemicals']), 'species')}, "
                       f"{count(len(rec['reactions']), 'reaction')}, "
                       f"determinant sign {sign_name(rec['sign_det'])}")
            out.extend(wrap(", ".join(rec["chemicals"]) or "-", "      species:   ", w))
            out.extend(wrap(", ".join(rec["reactions"]) or "-", "      reactions: ", w))
        out.append("")
        out.append("The diagnosis in words:")
    sentences = _sentences(result, None if full else 4, members)
    keep = range(len(sentences))
    if not full and len(sentences) > MAX_DIAGNOSIS:
        keep = [*range(MAX_DIAGNOSIS - 1), len(sentences) - 1]
    for k in keep:
        if k == len(sentences) - 1 and len(keep) < len(sentences):
            left = result.diagnosis[MAX_DIAGNOSIS - 1:-1]
            fixed = sum(sign_name(r["sign_det"]) in ("positive", "negative") for r in left)
            out.append(f"  ... {len(left)} more parts, {fixed} with a fixed determinant "
                       "sign (--full lists them)")
        out.extend(wrap(sentences[k], f"  {k + 1}. ", w))
    return out


def _preparation_text(result: Analysis, limit: int | None, w: int) -> list[str]:
    """The preparation and regularity sections (nothing for a plain regular network)."""
    out: list[str] = []
    prep = getattr(result, "preparation", None)
    if prep is not None:
        out.append("")
        out.append("Preparation")
        out.extend(wrap(prep["summary"], "  ", w))
        removed = prep["removed"]
        shown = removed if limit is None else removed[:limit]
        for r in shown:
            out.extend(wrap(f"{r['name']}: {r['reason']}", f"  {r['kind']} ", w))
        if len(shown) < len(removed):
            steps: dict[str, int] = {}
            for r in removed[len(shown):]:
                steps[r["step"]] = steps.get(r["step"], 0) + 1
            out.append(f"  ... and {len(removed) - len(shown)} more ("
                       + ", ".join(f"{k}: {v}" for k, v in steps.items()) + ")")
    reg = getattr(result, "regularity", None)
    if reg is not None and not reg["is_regular"]:
        out.append("")
        out.append("Structural regularity: SINGULAR")
        out.extend(wrap(reg["summary"], "  ", w))
        parts = reg["parts"]
        shown = parts if limit is None else parts[:2 * limit]
        for p in shown:
            out.extend(wrap(f"{p['name']} ({p['block']}): {p['reason']}",
                            f"  {p['kind']} ", w))
        if len(shown) < len(parts):
            out.append(f"  ... and {len(parts) - len(shown)} more rows and columns of "
                       "the A-matrix")
    return out


def _structures_full(result: Analysis, members: _Members, w: int) -> list[str]:
    out = [f"Isolated buffering structures: {len(result.structures)} (smallest first)"]
    for s in result.structures:
        out.append(f"  {s.id}: {count(len(s.species), 'species')}, "
                   f"{count(len(s.reactions), 'reaction')}"
                   + ("  (the whole network)" if _is_whole(result, s.species, s.reactions)
                      else ""))
        if s.children and len(s.species) + len(s.reactions) > FULL_MEMBERS:
            out.append("      its direct sub-structures and what it adds: see the "
                       "hierarchy below")
            continue
        out.extend(wrap(", ".join(s.species) or "-", "      species:   ", w))
        out.extend(wrap(", ".join(s.reactions) or "-", "      reactions: ", w))
    out.append("")
    out.append("Hierarchy: direct sub-structures of each structure")
    for s in reversed(result.structures):
        own_s, own_r = members.own(s)
        out.append(f"  {s.id} > {', '.join(s.children) if s.children else 'none'}")
        if s.children:
            out.extend(wrap(", ".join(own_s + own_r) or "nothing", "      adds: ", w))
    return out


def _structures_compact(result: Analysis, members: _Members, w: int) -> list[str]:
    out = [f"Hierarchy of the isolated buffering structures: {len(result.structures)}, "
           "smallest first,", "each made of its direct sub-structures + what it adds"]
    shown = result.structures
    if len(shown) > MAX_STRUCTURES:  # the smallest ones and the largest
        shown = shown[:MAX_STRUCTURES - 1] + shown[-1:]
    for s in shown:
        if s is shown[-1] and len(shown) < len(result.structures):
            out.append(f"  ... {len(result.structures) - len(shown)} more (--full lists "
                       "them all)")
        head = (f"  {s.id}: {count(len(s.species), 'species')}, "
                f"{count(len(s.reactions), 'reaction')}"
                + (" (the whole network)" if _is_whole(result, s.species, s.reactions)
                   else ""))
        own_s, own_r = members.own(s)
        parts = list(s.children)
        if len(parts) > MAX_CHILDREN:
            parts = parts[:MAX_CHILDREN - 1] + [
                f"{len(parts) - MAX_CHILDREN + 1} more sub-structures"]
        if own_s or own_r:
            parts.append(_names(own_s + own_r, 8))
        text = " + ".join(parts) if s.children else _names(s.species + s.reactions, 8)
        if len(head) + 3 + len(text) <= w:
            out.append(f"{head} = {text}")
        else:
            out.append(f"{head} =")
            out.extend(wrap(text, "      ", w))
    return out


def _sensitivity_summary(result: Analysis, members: _Members, w: int) -> list[str]:
    m = len(result.species)
    out = ["Sensitivity: how many species respond to a perturbation of each reaction"]
    groups = sensitivity_groups(result)
    for species, reactions in groups[:MAX_GROUPS]:
        reach = ("every species" if len(species) == m and m > 1
                 else "no species" if not species else count(len(species), "species"))
        text = _names(reactions, 4)
        if species and len(species) < m:
            sid = members.smallest(species, reactions)
            where = f"stays within {sid}" if sid else "stays local"
            text += (f" ({where}: {', '.join(species)})" if len(species) <= 4
                     else f" ({where})")
        out.extend(wrap(text, f"  {reach:>13} <- {count(len(reactions), 'reaction')}: ", w))
    if len(groups) > MAX_GROUPS:
        rest = groups[MAX_GROUPS:]
        out.append(f"  ... {count(sum(len(r) for _, r in rest), 'reaction')} more, in "
                   f"{len(rest)} groups (--full lists them)")
    return out


# -- HTML ---------------------------------------------------------------------

_CSS = """
.quelmar-analysis{font-family:system-ui,-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;
 font-size:14px;line-height:1.4;color:#222;max-width:1200px}
.quelmar-analysis h1{font-size:1.5em;margin:.2em 0}
.quelmar-analysis h2{font-size:1.2em;margin:1.2em 0 .4em;border-bottom:1px solid #ddd}
.quelmar-analysis table{border-collapse:collapse;margin:.4em 0}
.quelmar-analysis th,.quelmar-analysis td{border-top:1px solid #ddd;padding:3px 8px;
 text-align:left;vertical-align:top}
.quelmar-analysis details summary{cursor:pointer;color:#1b4f8a}
.quelmar-analysis .picture svg{max-width:100%;height:auto}
.quelmar-analysis .fixed{color:#2a6e2a}.quelmar-analysis .variable{color:#a33a12}
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


def _svg_or_none(make: Any) -> str | None:
    try:
        return make()
    except Exception:  # noqa: BLE001 - optional pictures: no Matplotlib or no Graphviz
        return None


def _body(result: Analysis, level: int) -> list[str]:
    """The sections shared by the notebook view and the page."""
    from .plot import heatmap_svg

    e = html.escape
    h = f"h{level}"
    members = _Members(result)
    parts = _preparation_html(result, h)
    if not getattr(result, "defined", True):
        parts.append(f"<{h}>Sensitivity and buffering structures</{h}>")
        parts.append("<p>Undefined: the A-matrix is singular for every choice of rates.</p>")
        return parts

    parts.append(f"<{h}>Sensitivity</{h}>")
    outline = len(result.structures) <= HTML_OUTLINES
    heat = _svg_or_none(lambda: heatmap_svg(result, outline=outline))
    if heat is not None:
        parts.append(f"<div class='picture heatmap'>{heat}</div>")
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
        whole = " <span class='muted'>(whole network)</span>" if _is_whole(
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
        adds = (_fold(own_s + own_r, "name", universe=species + reactions)
                if s.children else "&ndash;")
        parts.append(
            f"<tr><td><b>{e(s.id)}</b>{whole}</td>"
            f"<td>{_fold(s.species, 'species', universe=species)}</td>"
            f"<td>{_fold(s.reactions, 'reaction', universe=reactions)}</td>"
            f"<td>{kids}</td><td>{adds}</td></tr>")
    parts.append("</table>")

    parts.append(f"<{h}>Hierarchy</{h}>")
    tree = None
    if len(result.structures) <= HTML_DIAGRAM:
        tree = _svg_or_none(lambda: hierarchy_svg(result))
    else:
        parts.append(f"<p class='muted'>{len(result.structures)} structures are too many "
                     "for a readable diagram; each one's direct sub-structures:</p>")
    if tree is not None:
        parts.append(f"<div class='picture hierarchy'>{tree[tree.index('<svg'):]}</div>")
    else:
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
    for rec, sentence in zip(result.diagnosis, _sentences(result, 6, members)):
        sign = sign_name(rec["sign_det"])
        cls = "fixed" if sign in ("positive", "negative") else "variable"
        parts.append(f"<li><span class='{cls}'>determinant sign <b>{sign}</b></span>: "
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
                     f"<p class='variable'>{e(reg['summary'])}</p>")
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
