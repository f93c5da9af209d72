"""The sensitivity matrix as a heat map (Matplotlib).

Rows are species, columns reactions; a filled cell means that the species
responds to a perturbation of the reaction.  Species and reactions are
ordered along the hierarchy of the isolated buffering structures, so that
each structure is a block, and every structure except the whole network is
outlined and labelled.  Names label the rows and columns while they stay
readable; past ``max_labels`` of them the axes are labelled by structure
instead, and ``structure=`` zooms into one structure.

Matplotlib is an optional dependency (``pip install quelmar[plot]``),
imported only here.
"""

from __future__ import annotations

import io
import os
import re
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .analysis import Analysis

__all__ = ["FORMATS", "PlotError", "heatmap_order", "heatmap_svg", "plot_sensitivity",
           "write_plot"]

#: file extensions understood by :func:`write_plot`
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}

RESPONDS = "#1b4f8a"
OUTLINES = ["#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
            "#17becf", "#7f7f00", "#1f77b4", "#ad494a"]


class PlotError(RuntimeError):
    """The heat map cannot be drawn (Matplotlib is missing)."""


def _matplotlib():
    try:
        from matplotlib.figure import Figure
        from matplotlib.patches import Rectangle
    except ImportError:
        raise PlotError("the heat map needs Matplotlib "
                        "(pip install 'quelmar[plot]')") from None
    return Figure, Rectangle


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


def _span(positions: list[int]) -> tuple[int, int] | None:
    return (min(positions), max(positions) + 1) if positions else None


def plot_sensitivity(result: Analysis, *, structure: str | None = None,
                     max_labels: int = 120, outline: bool = True,
                     figsize: tuple[float, float] | None = None) -> Figure:
    """The sensitivity matrix of ``result`` as a Matplotlib figure.

    ``structure``: the id of a structure (such as ``"B3"``) to zoom into
    its species and reactions.  ``max_labels``: up to this many species
    (and, separately, reactions) are named on the axes; beyond that the
    axis shows which structure each stretch belongs to.  ``outline``: draw
    the structures' outlines.  ``figsize``: inches; by default it grows
    with the matrix.
    """
    Figure, Rectangle = _matplotlib()
    rows, cols = heatmap_order(result)
    structures = list(result.structures)
    if structure is not None:
        zoom = result.structure(structure)
        keep_r = {result.species.index(n) for n in zoom.species}
        keep_c = {result.reactions.index(n) for n in zoom.reactions}
        rows = [i for i in rows if i in keep_r]
        cols = [j for j in cols if j in keep_c]
        members = set(zoom.species) | set(zoom.reactions)
        structures = [s for s in structures
                      if set(s.species) | set(s.reactions) <= members]
    m, n = len(rows), len(cols)
    if m == 0 or n == 0:
        raise ValueError("nothing to draw: the selection has no species or no reactions")
    name_r = [result.species[i] for i in rows]
    name_c = [result.reactions[j] for j in cols]
    label_r, label_c = m <= max_labels, n <= max_labels
    longest_r = max(map(len, name_r)) if label_r else 4
    longest_c = max(map(len, name_c)) if label_c else 4
    cell = 0.16 if max(m, n) <= 60 else 0.11 if max(m, n) <= max_labels else 0.0
    if figsize is None:
        if cell:
            figsize = (min(max(n * cell + longest_r * 0.07 + 1.2, 4.5), 24.0),
                       min(max(m * cell + longest_c * 0.07 + 1.2, 3.5), 24.0))
        else:
            figsize = (10.0, 10.0 * min(max(m / n, 0.4), 2.0))
    fontsize = 7 if max(m, n) <= 60 else 5

    fig = Figure(figsize=figsize, layout="constrained")
    ax = fig.add_subplot()
    sub = np.asarray(result.sensitivity, dtype=bool)[np.ix_(rows, cols)]
    ax.imshow(sub, cmap=_cmap(), vmin=0, vmax=1, aspect="auto", interpolation="nearest")
    if label_r:
        ax.set_yticks(range(m), name_r, fontsize=fontsize)
    if label_c:
        ax.set_xticks(range(n), name_c, fontsize=fontsize, rotation=90)
        ax.xaxis.tick_top()
    if not label_r:
        ax.set_yticks([])
        ax.set_ylabel(f"{m} species", fontsize=9)
    if not label_c:
        ax.set_xticks([])
        ax.set_xlabel(f"{n} reactions", fontsize=9)
    ax.tick_params(length=0)
    if m * n <= 120 * 120:
        ax.set_xticks(np.arange(-0.5, n, 1), minor=True)
        ax.set_yticks(np.arange(-0.5, m, 1), minor=True)
        ax.grid(which="minor", color="#e4e4e4", linewidth=0.4)
        ax.tick_params(which="minor", length=0)

    if outline:
        pos_r = {i: k for k, i in enumerate(rows)}
        pos_c = {j: k for k, j in enumerate(cols)}
        placed: list[tuple[float, float]] = []
        k = 0
        for s in structures:
            if len(s.species) == len(result.species) and len(s.reactions) == len(result.reactions):
                continue  # the whole network is the frame itself
            if structure is not None and s.id == structure:
                continue
            sr = _span([pos_r[i] for i in (result.species.index(x) for x in s.species)
                        if i in pos_r])
            sc = _span([pos_c[j] for j in (result.reactions.index(x) for x in s.reactions)
                        if j in pos_c])
            if sr is None or sc is None:
                continue
            colour = OUTLINES[k % len(OUTLINES)]
            k += 1
            ax.add_patch(Rectangle((sc[0] - 0.5, sr[0] - 0.5), sc[1] - sc[0], sr[1] - sr[0],
                                   fill=False, edgecolor=colour, linewidth=1.4))
            # label at the block's lower right corner, unless another label is there
            x, y = sc[1] - 0.5, sr[1] - 0.5
            near = max(1.5, 0.025 * max(m, n))
            if any(abs(x - a) < 2 * near and abs(y - b) < near for a, b in placed):
                continue
            placed.append((x, y))
            ax.annotate(s.id, (x, y), xytext=(2, -1), textcoords="offset points",
                        fontsize=fontsize + 1, color=colour, fontweight="bold",
                        va="top", ha="left", annotation_clip=False)
    title = "Sensitivity" + ("" if result.name is None else f" of {result.name}")
    if structure is not None:
        title += f", structure {structure}"
    fig.suptitle(f"{title}\nfilled: the species (row) responds to a perturbation of "
                 "the reaction (column); outlined: buffering structures", fontsize=8)
    return fig


def _cmap() -> Any:
    from matplotlib.colors import ListedColormap
    return ListedColormap(["#ffffff", RESPONDS])


def heatmap_svg(result: Analysis, **options: Any) -> str:
    """The heat map as SVG text (names stay text), for embedding in HTML."""
    from matplotlib import rc_context
    fig = plot_sensitivity(result, **options)
    buf = io.StringIO()
    with rc_context({"svg.fonttype": "none", "svg.hashsalt": "quelmar"}):
        fig.savefig(buf, format="svg", metadata={"Date": None})
    text = buf.getvalue()
    text = re.sub(r"\s*<metadata>.*?</metadata>", "", text, flags=re.S)
    return text[text.index("<svg"):]


def write_plot(result: Analysis, path: str | os.PathLike[str], format: str | None = None,
               **options: Any) -> str:
    """Write the heat map to ``path`` (PNG, SVG or PDF, by default from the extension)."""
    path = os.fspath(path)
    if format is None:
        ext = os.path.splitext(path)[1].lower()
        if ext not in FORMATS:
            raise ValueError(f"{path}: unknown picture type {ext or '(no extension)'!r}; "
                             "use .png, .svg or .pdf")
        format = FORMATS[ext]
    if format not in set(FORMATS.values()):
        raise ValueError(f"unknown picture format {format!r}")
    fig = plot_sensitivity(result, **options)
    metadata = {"Date": None} if format == "svg" else None
    fig.savefig(path, format=format, dpi=150, metadata=metadata)
    return path
