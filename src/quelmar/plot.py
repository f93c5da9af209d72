"""The sensitivity matrix as a heat map (Matplotlib).

Rows are species, columns reactions; a filled cell means that the species
responds to a perturbation of the reaction.  Species and reactions are
ordered along the hierarchy of the isolated buffering structures, so that
the structures without overlapping siblings are contiguous blocks; those
(except the whole network) are outlined and named beside their rows, and
the others, which no rectangle can show, are listed beside the picture.
Names label the rows and columns while they stay readable (every k-th when
they would overlap).  When the structures cover a small corner of a large
matrix, a second panel shows that corner enlarged; ``structure=`` shows one
structure alone.  With ``signs=True`` (or :func:`plot_signs`) the cells are
coloured by the direction of each response instead (rise, fall, either,
none; see :func:`quelmar.signs.response_signs`).

:func:`plot_sensitivity` draws into given Matplotlib axes (or a new pyplot
figure) and returns the axes; :func:`sensitivity_figure` makes a figure of
its own without pyplot, which :func:`write_plot` and the HTML page use.

Matplotlib is an optional dependency (``pip install quelmar[plot]``),
imported only here.
"""

from __future__ import annotations

import io
import os
import re
from typing import TYPE_CHECKING, Any

import numpy as np

from .fileio import output_format, write_atomic
from .pathway_plot import irreducible_blocks, pathways_figure, plot_pathways
from .words import printable, shortened

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .result import Analysis

__all__ = ["FORMATS", "PATHWAY_SPECIES", "PlotError", "SIGN_COLOURS", "heatmap_figure",
           "heatmap_order", "heatmap_svg", "irreducible_blocks", "pathways_figure",
           "plot_pathways", "plot_sensitivity", "plot_signs", "sensitivity_figure",
           "write_plot"]

#: file extensions understood by :func:`write_plot`
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
PLOT_HINT = ".png, .svg or .pdf"
#: longest name drawn in full; longer ones are shortened (the data keeps them)
NAME_LENGTH = 60

#: filled cells: a blue that reads as "present", not as good or bad
RESPONDS = "#4477aa"
#: cells of the signs heat map: rise, fall, either, none (Paul Tol's bright
#: blue and red, a neutral grey and white: told apart with every common
#: colour-vision deficiency, and in greyscale by their lightness)
SIGN_COLOURS = {"rise": "#4477aa", "fall": "#ee6677", "either": "#bbbbbb",
                "none": "#ffffff"}
#: outlines and names of the structures: distinct for colour-blind readers
#: (black, then Paul Tol's vibrant orange, magenta, teal and red), each
#: visible on white and on the filled cells; the names, not the colours,
#: tell the structures apart
OUTLINES = ["#000000", "#ee7733", "#ee3377", "#009988", "#cc3311"]
#: inches per cell: up to 60 rows or columns, and up to MAX_LABELS
CELL, SMALL_CELL = 0.16, 0.11
#: names on the axes up to this many rows (columns); the counts beyond
MAX_LABELS = 120
#: points: the names of the structures beside the matrix
LABEL_SIZE = 7.0
#: structures that are not blocks, listed beside the picture at most
OTHERS_LISTED = 12


class PlotError(RuntimeError):
    """The heat map cannot be drawn.  (A missing Matplotlib raises
    :class:`~quelmar.errors.MissingDependencyError`, a singular network
    :class:`~quelmar.errors.SingularNetworkError`.)"""


def require_matplotlib():
    from .extras import require
    require("matplotlib", "the heat map")
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle
    return Figure, Rectangle


def _shown(name: Any) -> str:
    """A name as drawn: escapes for control characters and lone surrogates
    (which SVG and the fonts cannot hold), very long ones shortened."""
    return shortened(printable(name), NAME_LENGTH)


def _plain_text(draw: Any) -> Any:
    """``draw`` with Matplotlib's mathtext off: a model's names are text,
    and one such as "$\\alpha{$" would otherwise be parsed (and fail)."""
    import functools

    @functools.wraps(draw)
    def plain(*args: Any, **kwargs: Any) -> Any:
        require_matplotlib()  # a missing Matplotlib is reported as such
        from matplotlib import rc_context
        with rc_context({"text.parse_math": False}):
            return draw(*args, **kwargs)
    return plain


def heatmap_order(result: Analysis) -> tuple[list[int], list[int]]:
    """Row (species) and column (reaction) order of the heat map.

    The hierarchy is walked from its largest structures down; each
    structure places its sub-structures first, then what it adds.  Every
    structure without overlapping siblings thus occupies a contiguous
    block.  Species and reactions in no structure come last, in their
    original order.
    """
    sp = {name: i for i, name in enumerate(result.species)}
    rx = {name: j for j, name in enumerate(result.reactions)}
    by_id = {s.id: s for s in result.structures}
    inside = {c for s in result.structures for c in s.children}
    rows: list[int] = []
    cols: list[int] = []
    seen_rows: set[int] = set()
    seen_cols: set[int] = set()
    visited: set[str] = set()

    def place(sid: str) -> None:
        if sid in visited:
            return
        visited.add(sid)
        s = by_id[sid]
        for c in s.children:
            place(c)
        for name in s.species:
            i = sp[name]
            if i not in seen_rows:
                seen_rows.add(i)
                rows.append(i)
        for name in s.reactions:
            j = rx[name]
            if j not in seen_cols:
                seen_cols.add(j)
                cols.append(j)

    # smallest first within each level keeps small blocks at the top left
    for s in result.structures:
        if s.id not in inside:
            place(s.id)
    rows += [i for i in range(len(result.species)) if i not in seen_rows]
    cols += [j for j in range(len(result.reactions)) if j not in seen_cols]
    return rows, cols


def _is_whole(result: Analysis, s: Any) -> bool:
    return len(s.species) == len(result.species) and len(s.reactions) == len(result.reactions)


def _block(s: Any, pos_r: dict[str, int], pos_c: dict[str, int]
           ) -> tuple[tuple[int, int], tuple[int, int]] | None:
    """The rows and columns (start, stop) that structure ``s`` fills in the
    order of ``pos_r`` and ``pos_c`` when it is a contiguous block there
    (every member shown, no other name inside), else None."""
    spans = []
    for names, pos in ((s.species, pos_r), (s.reactions, pos_c)):
        if not names or any(x not in pos for x in names):
            return None
        at = [pos[x] for x in names]
        lo, hi = min(at), max(at) + 1
        if hi - lo != len(set(at)):
            return None
        spans.append((lo, hi))
    return spans[0], spans[1]


def _lanes(spans: list[tuple[float, float]]) -> list[int]:
    """A lane for each interval such that the intervals of a lane do not
    overlap (the fewest lanes: intervals taken by their start)."""
    ends: list[float] = []
    lane = [0] * len(spans)
    for k in sorted(range(len(spans)), key=lambda k: spans[k]):
        lo, hi = spans[k]
        for i, end in enumerate(ends):
            if end <= lo:
                ends[i] = hi
                lane[k] = i
                break
        else:
            lane[k] = len(ends)
            ends.append(hi)
    return lane


def _figure_size(result: Analysis, rows: list[int], cols: list[int], labels: tuple[bool, bool],
                 zoom: bool, extra: float) -> tuple[float, float]:
    m, n = len(rows), len(cols)
    cell = CELL if max(m, n) <= 60 else SMALL_CELL if max(m, n) <= MAX_LABELS else 0.0
    longest_r = max(len(_shown(result.species[i])) for i in rows) if labels[0] else 4
    longest_c = max(len(_shown(result.reactions[j])) for j in cols) if labels[1] else 4
    if cell:
        w = n * cell + longest_r * 0.07 + 1.2
        h = m * cell + longest_c * 0.07 + 1.6
    else:
        w, h = 10.0, 10.0 * min(max(m / n, 0.4), 2.0)
    w += extra
    if zoom:
        w += w / 3
    return (min(max(w, 5.0), 30.0), min(max(h, 4.0), 24.0))


class _Picture:
    """What a heat map shows: the order, the structures that are blocks in
    it (outlined) and those that are not (listed), the zoomed part."""

    def __init__(self, result: Analysis, structure: str | None, zoom: bool | None,
                 max_labels: int, outline: bool, signs: bool = False):
        result.defined_sensitivity("the heat map")
        if signs:
            result.defined_signs()
        self.result = result
        self.signs = bool(signs)
        rows, cols = heatmap_order(result)
        structures = [s for s in result.structures if not _is_whole(result, s)]
        if structure is not None:
            chosen = result.structure(structure)
            keep_r = {result.species.index(x) for x in chosen.species}
            keep_c = {result.reactions.index(x) for x in chosen.reactions}
            rows = [i for i in rows if i in keep_r]
            cols = [j for j in cols if j in keep_c]
            members = set(chosen.species) | set(chosen.reactions)
            structures = [s for s in structures if s.id != structure
                          and set(s.species) | set(s.reactions) <= members]
        m, n = len(rows), len(cols)
        if m == 0 or n == 0:
            raise ValueError("nothing to draw: the selection has no species or no reactions")
        self.rows, self.cols, self.structure = rows, cols, structure
        self.structures = structures if outline else []
        in_r = {x for s in structures for x in s.species}
        in_c = {x for s in structures for x in s.reactions}
        self.zrows = [i for i in rows if result.species[i] in in_r]
        self.zcols = [j for j in cols if result.reactions[j] in in_c]
        if zoom is None:
            zoom = (max(m, n) > 40 and 0 < len(self.zrows) * 3 <= m
                    and 0 < len(self.zcols) * 3 <= n)
        self.zoom = bool(zoom and self.zrows and self.zcols)
        self.labels = (m <= max_labels, n <= max_labels)
        self.fontsize = 7 if max(m, n) <= 60 else 5
        # outlined where the structures are drawn with their names: in the
        # enlarged panel when there is one
        pos_r = {result.species[i]: k for k, i in enumerate(self.zrows if self.zoom else rows)}
        pos_c = {result.reactions[j]: k for k, j in enumerate(self.zcols if self.zoom else cols)}
        self.blocks = []
        self.others = []
        for s in self.structures:
            where = _block(s, pos_r, pos_c)
            if where is None:
                self.others.append(s)
            else:
                self.blocks.append((s, where))

    def title(self) -> str:
        name = self.result.name
        title = ("Response signs" if self.signs else "Sensitivity") + (
            "" if name is None else f" of {_shown(name)}")
        return title + ("" if self.structure is None else f", structure {self.structure}")

    def lane_step(self) -> float:
        """Points between two lanes of names beside the matrix."""
        return max((len(s.id) for s, _ in self.blocks), default=0) * 0.62 * LABEL_SIZE + 12

    def lanes_width(self) -> float:
        """Points that the names of the blocks take beside the matrix (at
        most: as many lanes as blocks overlap by their rows)."""
        if not self.blocks:
            return 0.0
        lanes = max(_lanes([(r0, r1) for _, ((r0, r1), _) in self.blocks])) + 1
        return 4 + lanes * self.lane_step()

    def margin(self) -> float:
        """Inches to the right of the matrix for the names and the list."""
        return self.lanes_width() / 72 + (2.9 if self.others else 0.0)


def _draw_matrix(ax: Any, pic: _Picture, rows: list[int], cols: list[int],
                 labels: tuple[bool, bool], fontsize: float, aspect: str) -> None:
    result = pic.result
    m, n = len(rows), len(cols)
    if pic.signs:
        _draw_signs(ax, result, rows, cols, aspect)
    else:
        sub = np.asarray(result.sensitivity, dtype=bool)[np.ix_(rows, cols)]
        ax.imshow(sub, cmap=_cmap(), vmin=0, vmax=1, aspect=aspect, interpolation="nearest")
    if labels[0]:
        ax.set_yticks(range(m), [_shown(result.species[i]) for i in rows], fontsize=fontsize)
    else:
        ax.set_yticks([])
        ax.set_ylabel(f"{m} species", fontsize=9)
    if labels[1]:
        ax.set_xticks(range(n), [_shown(result.reactions[j]) for j in cols], fontsize=fontsize,
                      rotation=90)
        ax.xaxis.tick_top()
    else:
        ax.set_xticks([])
        ax.set_xlabel(f"{n} reactions", fontsize=9)
    ax.tick_params(length=0)
    if m * n <= 120 * 120:
        ax.set_xticks(np.arange(-0.5, n, 1), minor=True)
        ax.set_yticks(np.arange(-0.5, m, 1), minor=True)
        ax.grid(which="minor", color="#d9d9d9", linewidth=0.4)
        ax.tick_params(which="minor", length=0)


def _draw_blocks(ax: Any, pic: _Picture) -> None:
    """Outline each structure that is a block and name it on a bracket to the
    right of the matrix, beside its rows; brackets that would overlap (with
    their names) go to separate lanes."""
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle
    from matplotlib.transforms import ScaledTranslation, blended_transform_factory

    if not pic.blocks:
        return
    fig = _root(ax.figure)
    rows_shown = len(pic.zrows if pic.zoom else pic.rows)
    # the height of a name, in rows, from the axes' height on the page
    height = _points(ax, "y") / rows_shown
    need = LABEL_SIZE * 1.3 / max(height, 1e-9)
    spans = []
    for _, ((r0, r1), _) in pic.blocks:
        mid, half = (r0 + r1) / 2, max((r1 - r0) / 2, need / 2)
        spans.append((mid - half, mid + half))
    lane = _lanes(spans)
    step = pic.lane_step()
    side = blended_transform_factory(ax.transAxes, ax.transData)
    for k, (s, ((r0, r1), (c0, c1))) in enumerate(pic.blocks):
        colour = OUTLINES[k % len(OUTLINES)]
        ax.add_patch(Rectangle((c0 - 0.5, r0 - 0.5), c1 - c0, r1 - r0, fill=False,
                               edgecolor=colour, linewidth=1.5))
        shift = side + ScaledTranslation((4 + lane[k] * step) / 72, 0, fig.dpi_scale_trans)
        ax.add_line(Line2D([1, 1], [r0 - 0.4, r1 - 0.6], transform=shift, color=colour,
                           linewidth=2.0, clip_on=False, solid_capstyle="butt"))
        ax.text(1, (r0 + r1 - 1) / 2, f" {s.id}",
                transform=shift, fontsize=LABEL_SIZE, color=colour, fontweight="bold",
                ha="left", va="center", clip_on=False)


def _legend(ax: Any, pic: _Picture, zoomed: bool) -> None:
    """The key, under the matrix."""
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles: list[Any] = (_sign_keys(pic.result) if pic.signs else [
        Patch(facecolor=RESPONDS, edgecolor=RESPONDS,
              label="the species (row) responds to the reaction (column)"),
        Patch(facecolor="#ffffff", edgecolor="#b0b0b0", label="it does not")])
    if pic.blocks:
        handles.append(Line2D([], [], color=OUTLINES[0], linewidth=1.5,
                              label="buffering structure, named beside its rows"))
    if zoomed:
        handles.append(Line2D([], [], color="#000000", linewidth=1.0, linestyle="--",
                              label="the part enlarged at the right"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(0.0, -0.01),
              fontsize=7, frameon=False, ncols=1 if len(handles) > 2 else 2,
              handlelength=1.6, borderaxespad=0.0)


def _others(ax: Any, pic: _Picture) -> None:
    """The structures that are not blocks in this order, listed to the
    right of the matrix (past the names of the blocks)."""
    import textwrap

    from matplotlib.legend import Legend
    from matplotlib.lines import Line2D
    from matplotlib.transforms import ScaledTranslation

    shown = pic.others[:OTHERS_LISTED]
    by_id = {s.id: s for s in pic.result.structures}
    entries = []
    for s in shown:
        # what it is made of: its direct sub-structures and what it adds
        own_s, own_r = s.own(by_id) if s.children else (s.species, s.reactions)
        added = (", ".join(map(_shown, own_s)) + ("; " if own_s and own_r else "")
                 + ", ".join(map(_shown, own_r)))
        text = " + ".join(s.children + ([added] if added else []))
        lines = textwrap.wrap(f"{s.id} = {text}", width=44, subsequent_indent="   ",
                              break_on_hyphens=False)
        if len(lines) > 3:
            lines = lines[:3]
            lines[-1] += " ..."
        entries.append("\n".join(lines))
    if len(pic.others) > len(shown):
        entries.append(f"and {len(pic.others) - len(shown)} more (structures_frame())")
    blank = [Line2D([], [], linestyle="none") for _ in entries]
    offset = (12 + pic.lanes_width()) / 72
    where = ax.transAxes + ScaledTranslation(offset, 0, _root(ax.figure).dpi_scale_trans)
    listing = Legend(ax, blank, entries, loc="upper left", bbox_to_anchor=(1, 1),
                     bbox_transform=where, fontsize=6.5, frameon=False, handlelength=0,
                     handletextpad=0, borderaxespad=0,
                     title="Not blocks in this order,\nso not outlined\n"
                     "(sub-structures + what\neach adds):",
                     title_fontsize=7, alignment="left")
    ax.add_artist(listing)
    listing.set_clip_on(False)  # outside the axes, and counted by the layout


def _thin(ax: Any, axis: str, fontsize: float) -> None:
    """Keep every k-th tick label of ``axis`` so that the labels do not
    overlap at the size the axes has on the page."""
    ticks = ax.get_yticks() if axis == "y" else ax.get_xticks()
    labels = [t.get_text() for t in (ax.get_yticklabels() if axis == "y"
                                     else ax.get_xticklabels())]
    if len(ticks) < 2 or not any(labels):
        return
    lo, hi = (ax.get_ylim() if axis == "y" else ax.get_xlim())
    per_tick = _points(ax, axis) / max(abs(hi - lo), 1e-9)  # points between two cells
    step = int(np.ceil(fontsize * 1.2 / per_tick)) if per_tick > 0 else 1
    if step <= 1:
        return
    keep = list(range(0, len(ticks), step))
    if axis == "y":
        ax.set_yticks([ticks[i] for i in keep], [labels[i] for i in keep], fontsize=fontsize)
    else:
        ax.set_xticks([ticks[i] for i in keep], [labels[i] for i in keep], fontsize=fontsize,
                      rotation=90)
    if axis == "y":
        ax.set_ylabel(f"one name in {step} shown", fontsize=7)
    else:  # above the names, clear of the legend below
        ax.xaxis.set_label_position("top")
        ax.set_xlabel(f"one name in {step} shown", fontsize=7)


def _root(fig: Any) -> Any:
    """The figure that ``fig`` (a figure or a sub-figure) belongs to."""
    while getattr(fig, "figure", fig) is not fig and not hasattr(fig, "draw_without_rendering"):
        fig = fig.figure
    return fig


def _points(ax: Any, axis: str) -> float:
    """The height (``axis="y"``) or width of ``ax`` on the page, in points."""
    box = ax.get_window_extent()
    return (box.height if axis == "y" else box.width) * 72 / _root(ax.figure).dpi


def _compose(fig: Any, ax: Any, pic: _Picture, legend: bool) -> Any:
    """Draw ``pic`` into ``ax`` (and, zoomed, a second panel of ``fig``);
    returns the main axes."""
    if pic.zoom:
        big, small = ax
    else:
        big, small = ax, None
    _draw_matrix(big, pic, pic.rows, pic.cols, pic.labels, pic.fontsize, "auto")
    target = big
    if small is not None:
        _draw_matrix(small, pic, pic.zrows, pic.zcols, (True, True), 8, "equal")
        small.set_title("the buffering structures, enlarged", fontsize=8, loc="left",
                        pad=12)
        from matplotlib.patches import Rectangle
        big.add_patch(Rectangle((-0.5, -0.5), len(pic.zcols), len(pic.zrows), fill=False,
                                edgecolor="#000000", linewidth=1.0, linestyle="--"))
        target = small
    root = _root(fig)
    root.draw_without_rendering()  # the axes' size on the page, for the names
    _draw_blocks(target, pic)
    if pic.others:
        _others(target, pic)
    if legend:
        _legend(big, pic, small is not None)
    root.draw_without_rendering()  # and again with everything around them
    for a in (big, small):
        if a is not None:
            _thin(a, "y", pic.fontsize if a is big else 8)
            _thin(a, "x", pic.fontsize if a is big else 8)
    return big


@_plain_text
def sensitivity_figure(result: Analysis, *, structure: str | None = None,
                       zoom: bool | None = None, max_labels: int = MAX_LABELS,
                       outline: bool = True, legend: bool = True,
                       figsize: tuple[float, float] | None = None,
                       signs: bool = False) -> Figure:
    """The heat map as a Matplotlib ``Figure`` of its own, made without
    pyplot (for files and pages); options as for :func:`plot_sensitivity`."""
    Figure, _ = require_matplotlib()
    pic = _Picture(result, structure, zoom, max_labels, outline, signs)
    if figsize is None:
        figsize = _figure_size(result, pic.rows, pic.cols, pic.labels, pic.zoom,
                               pic.margin())
    fig = Figure(figsize=figsize, layout="constrained")
    axes = fig.subplots(1, 2, width_ratios=[3, 1]) if pic.zoom else fig.add_subplot()
    _compose(fig, axes, pic, legend)
    fig.suptitle(pic.title(), fontsize=9)
    return fig


@_plain_text
def plot_sensitivity(result: Analysis, ax: Axes | None = None, *,
                     structure: str | None = None, zoom: bool | None = None,
                     max_labels: int = MAX_LABELS, outline: bool = True,
                     legend: bool = True,
                     figsize: tuple[float, float] | None = None,
                     signs: bool = False) -> Axes:
    """Draw the sensitivity matrix of ``result`` as a heat map and return
    the Matplotlib axes, as pandas and seaborn do.

    ``ax``: the axes to draw into; by default a new pyplot figure (which a
    notebook shows), sized to the matrix or to ``figsize`` (inches).
    ``structure``: the id of a structure (such as ``"B3"``) to show alone.
    ``zoom``: a second panel enlarging the part of the matrix that the
    buffering structures (other than the whole network) cover; by default
    there is one when that part is small beside a large matrix and the
    figure is a new one (with ``ax`` given it needs ``zoom=False``).
    ``max_labels``: up to this many species (and, separately, reactions)
    are named on the axes (every k-th when they would overlap); beyond,
    the axes only give the counts.  ``outline``: outline the structures
    that are contiguous blocks in the order shown, and name them beside
    their rows; the others are listed beside the picture.  ``legend``: the
    key under the matrix.  ``signs``: colour each cell by the direction
    of the response (rise, fall, either, none; :data:`SIGN_COLOURS`), from
    ``result.signs`` (``analyze(..., signs=True)``; ``ValueError`` without).

    Raises :class:`~quelmar.errors.SingularNetworkError` when the
    sensitivity is undefined.
    """
    require_matplotlib()
    if ax is not None:
        if zoom:
            raise ValueError("the enlarged panel needs a figure of its own: leave out ax, "
                             "or pass zoom=False")
        pic = _Picture(result, structure, False, max_labels, outline, signs)
        _compose(ax.figure, ax, pic, legend)
        ax.set_title(pic.title(), fontsize=9, loc="left")
        return ax
    import matplotlib.pyplot as plt
    pic = _Picture(result, structure, zoom, max_labels, outline, signs)
    if figsize is None:
        figsize = _figure_size(result, pic.rows, pic.cols, pic.labels, pic.zoom,
                               pic.margin())
    fig = plt.figure(figsize=figsize, layout="constrained")
    axes = fig.subplots(1, 2, width_ratios=[3, 1]) if pic.zoom else fig.add_subplot()
    big = _compose(fig, axes, pic, legend)
    fig.suptitle(pic.title(), fontsize=9)
    return big


def plot_signs(result: Analysis, ax: Axes | None = None, **options: Any) -> Axes:
    """The heat map coloured by the sign of each response:
    :func:`plot_sensitivity` with ``signs=True``."""
    return plot_sensitivity(result, ax, signs=True, **options)


def _draw_signs(ax: Any, result: Any, rows: list[int], cols: list[int], aspect: str) -> None:
    from matplotlib.colors import ListedColormap

    from .signs import sign_codes
    codes = sign_codes(result.signs)[np.ix_(rows, cols)]
    colours = ListedColormap([SIGN_COLOURS[k] for k in ("none", "rise", "fall", "either")])
    ax.imshow(codes, cmap=colours, vmin=-0.5, vmax=3.5, aspect=aspect,
              interpolation="nearest")


def _sign_keys(result: Any) -> list[Any]:
    from matplotlib.patches import Patch

    from .signs import sign_codes
    k = np.bincount(sign_codes(result.signs).ravel(), minlength=4)
    words = {"rise": f"rises when the reaction (column) is raised ({k[1]:,})",
             "fall": f"falls ({k[2]:,})",
             "either": f"either, depending on the rate constants ({k[3]:,})",
             "none": f"does not respond ({k[0]:,})"}
    return [Patch(facecolor=SIGN_COLOURS[w], edgecolor=("#b0b0b0" if w == "none"
                                                       else SIGN_COLOURS[w]),
                  label=("the species (row) " + words[w]) if w == "rise" else words[w])
            for w in ("rise", "fall", "either", "none")]


#: above this many species (in a model with subsystems) the heat map shows
#: the sensitivity by subsystem: see :func:`heatmap_figure`
PATHWAY_SPECIES = 300
VIEWS = ("matrix", "pathways", "blocks")


def heatmap_figure(result: Analysis, view: str | None = None, **options: Any) -> Figure:
    """The heat map of ``result`` as a ``Figure`` of its own, in one of three
    views.

    ``view="matrix"``: the sensitivity matrix (:func:`sensitivity_figure`,
    which takes the ``options``); ``"pathways"``: subsystem x subsystem
    (:func:`pathways_figure`; ``figsize`` is the one option it takes);
    ``"blocks"``: the sensitivity among the irreducible structures that hold
    at most half of the species, each one outlined
    (:func:`irreducible_blocks`).  By default a result of more than
    :data:`PATHWAY_SPECIES` species whose model gives subsystems is shown by
    pathway, any other (and the signs, ``signs=True``) as the matrix.
    """
    if view is None:
        notes = getattr(result, "annotations", None)
        large = (len(result.species) > PATHWAY_SPECIES and notes is not None
                 and bool(notes.subsystems) and options.get("structure") is None
                 and not options.get("signs"))
        view = "pathways" if large else "matrix"
    if view == "pathways":
        return pathways_figure(result, figsize=options.get("figsize"))
    if view == "blocks":
        return sensitivity_figure(irreducible_blocks(result), **options)
    if view != "matrix":
        raise ValueError(f"unknown heat map view {view!r}: "
                         f"{', '.join(map(repr, VIEWS))}")
    return sensitivity_figure(result, **options)


def _cmap() -> Any:
    from matplotlib.colors import ListedColormap
    return ListedColormap(["#ffffff", RESPONDS])


def heatmap_svg(result: Analysis, **options: Any) -> str:
    """The heat map as SVG text (names stay text), for embedding in HTML."""
    fig = heatmap_figure(result, **options)
    from matplotlib import rc_context
    buf = io.StringIO()
    with rc_context({"svg.fonttype": "none", "svg.hashsalt": "quelmar"}):
        fig.savefig(buf, format="svg", metadata={"Date": None})
    text = buf.getvalue()
    text = re.sub(r"\s*<metadata>.*?</metadata>", "", text, flags=re.S)
    return text[text.index("<svg"):]


def write_plot(result: Analysis, path: str | os.PathLike[str], format: str | None = None,
               dpi: int = 150, *, inputs: Any = (), **options: Any) -> str:
    """Write the heat map to ``path`` (PNG, SVG or PDF, by default from the extension).

    ``dpi``: resolution of PNG output; other options go to :func:`heatmap_figure`
    (``view=``, or the options of :func:`sensitivity_figure`).
    The file is replaced only once it is complete, and never when it is one
    of ``inputs`` or not a regular file.
    """
    path = os.fspath(path)
    format = output_format(path, FORMATS, "picture", PLOT_HINT, format)
    fig = heatmap_figure(result, **options)
    metadata = {"Date": None} if format == "svg" else None
    buffer = io.BytesIO()
    fig.savefig(buffer, format=format, dpi=dpi, metadata=metadata)
    write_atomic(path, buffer.getvalue(), inputs)
    return path
