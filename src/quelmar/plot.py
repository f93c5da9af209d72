"""The sensitivity matrix as a heat map (Matplotlib).

Rows are species, columns reactions; a filled cell means that the species
responds to a perturbation of the reaction.  Species and reactions are
ordered along the hierarchy of the isolated buffering structures, so that
each structure is a block, and every structure except the whole network is
outlined and labelled.  Names label the rows and columns while they stay
readable.  When the structures cover a small corner of a large matrix, a
second panel shows that corner enlarged; ``structure=`` shows one structure
alone.

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

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .result import Analysis

__all__ = ["FORMATS", "PATHWAY_SPECIES", "PlotError", "heatmap_figure", "heatmap_order",
           "heatmap_svg", "irreducible_blocks", "plot_pathways", "plot_sensitivity",
           "write_plot"]

#: file extensions understood by :func:`write_plot`
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
PLOT_HINT = ".png, .svg or .pdf"

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


def _is_whole(result: Analysis, s: Any) -> bool:
    return len(s.species) == len(result.species) and len(s.reactions) == len(result.reactions)


def plot_sensitivity(result: Analysis, *, structure: str | None = None,
                     zoom: bool | None = None, max_labels: int = 120,
                     outline: bool = True,
                     figsize: tuple[float, float] | None = None) -> Figure:
    """The sensitivity matrix of ``result`` as a Matplotlib figure.

    ``structure``: the id of a structure (such as ``"B3"``) to show alone.
    ``zoom``: add a second panel enlarging the part of the matrix that the
    buffering structures (other than the whole network) cover; by default
    it is added when that part is small beside a large matrix.
    ``max_labels``: up to this many species (and, separately, reactions)
    are named on the axes; beyond that the axes only give the counts.
    ``outline``: draw and label the structures' outlines.  ``figsize``:
    inches; by default it grows with the matrix.
    """
    if result.sensitivity is None:
        raise PlotError("the sensitivity matrix is undefined: the network is structurally "
                        "singular (prepare it first: --prune)")
    Figure, Rectangle = _matplotlib()
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
    # the part the structures cover, for the zoom panel
    in_r = {x for s in structures for x in s.species}
    in_c = {x for s in structures for x in s.reactions}
    zrows = [i for i in rows if result.species[i] in in_r]
    zcols = [j for j in cols if result.reactions[j] in in_c]
    if zoom is None:
        zoom = max(m, n) > 40 and 0 < len(zrows) * 3 <= m and 0 < len(zcols) * 3 <= n
    zoom = bool(zoom and zrows and zcols)

    labels = (m <= max_labels, n <= max_labels)
    cell = 0.16 if max(m, n) <= 60 else 0.11 if max(m, n) <= max_labels else 0.0
    if figsize is None:
        longest_r = max(len(result.species[i]) for i in rows) if labels[0] else 4
        longest_c = max(len(result.reactions[j]) for j in cols) if labels[1] else 4
        if cell:
            w = n * cell + longest_r * 0.07 + 1.2
            h = m * cell + longest_c * 0.07 + 1.2
        else:
            w, h = 10.0, 10.0 * min(max(m / n, 0.4), 2.0)
        if zoom:
            w += w / 3
        figsize = (min(max(w, 4.5), 28.0), min(max(h, 3.5), 24.0))
    fontsize = 7 if max(m, n) <= 60 else 5

    fig = Figure(figsize=figsize, layout="constrained")
    if zoom:
        big, small = fig.subplots(1, 2, width_ratios=[3, 1])
    else:
        big, small = fig.add_subplot(), None
    _draw(big, result, rows, cols, structures, labels, fontsize,
          outline, label_blocks=outline and not zoom, Rectangle=Rectangle)
    if small is not None:
        _draw(small, result, zrows, zcols, structures, (True, True), 8, outline,
              label_blocks=outline, Rectangle=Rectangle, aspect="equal")
        small.set_title("the buffering structures, enlarged", fontsize=8, loc="left",
                        pad=12)
        big.add_patch(Rectangle((-0.5, -0.5), len(zcols), len(zrows), fill=False,
                                edgecolor="#000000", linewidth=1.0, linestyle="--"))
    title = "Sensitivity" + ("" if result.name is None else f" of {result.name}")
    if structure is not None:
        title += f", structure {structure}"
    fig.suptitle(f"{title}\nfilled: the species (row) responds to a perturbation of "
                 "the reaction (column); outlined: buffering structures", fontsize=8)
    return fig


def _draw(ax: Any, result: Analysis, rows: list[int], cols: list[int],
          structures: list[Any], labels: tuple[bool, bool], fontsize: float,
          outline: bool, label_blocks: bool, Rectangle: Any, aspect: str = "auto") -> None:
    m, n = len(rows), len(cols)
    sub = np.asarray(result.sensitivity, dtype=bool)[np.ix_(rows, cols)]
    ax.imshow(sub, cmap=_cmap(), vmin=0, vmax=1, aspect=aspect, interpolation="nearest")
    if labels[0]:
        ax.set_yticks(range(m), [result.species[i] for i in rows], fontsize=fontsize)
    else:
        ax.set_yticks([])
        ax.set_ylabel(f"{m} species", fontsize=9)
    if labels[1]:
        ax.set_xticks(range(n), [result.reactions[j] for j in cols], fontsize=fontsize,
                      rotation=90)
        ax.xaxis.tick_top()
    else:
        ax.set_xticks([])
        ax.set_xlabel(f"{n} reactions", fontsize=9)
    ax.tick_params(length=0)
    if m * n <= 120 * 120:
        ax.set_xticks(np.arange(-0.5, n, 1), minor=True)
        ax.set_yticks(np.arange(-0.5, m, 1), minor=True)
        ax.grid(which="minor", color="#e4e4e4", linewidth=0.4)
        ax.tick_params(which="minor", length=0)
    if not outline:
        return
    pos_r = {result.species[i]: k for k, i in enumerate(rows)}
    pos_c = {result.reactions[j]: k for k, j in enumerate(cols)}
    placed: list[tuple[float, float]] = []
    for k, s in enumerate(structures):
        sr = _span([pos_r[x] for x in s.species if x in pos_r])
        sc = _span([pos_c[x] for x in s.reactions if x in pos_c])
        if sr is None or sc is None:
            continue
        colour = OUTLINES[k % len(OUTLINES)]
        ax.add_patch(Rectangle((sc[0] - 0.5, sr[0] - 0.5), sc[1] - sc[0], sr[1] - sr[0],
                               fill=False, edgecolor=colour, linewidth=1.4))
        if not label_blocks:
            continue
        # the label inside a corner of the block that no other label holds yet:
        # top left first, then bottom right, top right, bottom left
        near = max(0.6, 0.025 * max(m, n))
        corners = [(sc[0] - 0.5, sr[0] - 0.5, "left", "top", (2, -2)),
                   (sc[1] - 0.5, sr[1] - 0.5, "right", "bottom", (-2, 2)),
                   (sc[1] - 0.5, sr[0] - 0.5, "right", "top", (-2, -2)),
                   (sc[0] - 0.5, sr[1] - 0.5, "left", "bottom", (2, 2))]
        for x, y, ha, va, offset in corners:
            if not any(abs(x - a) < 2 * near and abs(y - b) < near for a, b in placed):
                placed.append((x, y))
                ax.annotate(s.id, (x, y), xytext=offset, textcoords="offset points",
                            fontsize=fontsize, color=colour, fontweight="bold", va=va,
                            ha=ha, bbox={"boxstyle": "square,pad=0.1", "fc": "white",
                                         "ec": "none", "alpha": 0.85})
                break


#: above this many species (in a model with subsystems) the heat map shows
#: the sensitivity by subsystem: see :func:`heatmap_figure`
PATHWAY_SPECIES = 300
VIEWS = ("matrix", "pathways", "blocks")


def heatmap_figure(result: Analysis, view: str | None = None, **options: Any) -> Figure:
    """The heat map of ``result`` as one of three views.

    ``view="matrix"``: the sensitivity matrix (:func:`plot_sensitivity`,
    which takes the ``options``); ``"pathways"``: subsystem x subsystem
    (:func:`plot_pathways`); ``"blocks"``: the sensitivity among the
    irreducible structures that hold at most half of the network, each one
    outlined (:func:`irreducible_blocks`).  By default a result of more than
    :data:`PATHWAY_SPECIES` species whose model gives subsystems is shown by
    pathway, any other as the matrix.
    """
    if view is None:
        notes = getattr(result, "annotations", None)
        large = (len(result.species) > PATHWAY_SPECIES and notes is not None
                 and bool(notes.subsystems) and options.get("structure") is None)
        view = "pathways" if large else "matrix"
    if view == "pathways":
        return plot_pathways(result, figsize=options.get("figsize"))
    if view == "blocks":
        return plot_sensitivity(irreducible_blocks(result), **options)
    if view != "matrix":
        raise ValueError(f"unknown heat map view {view!r}: "
                         f"{', '.join(map(repr, VIEWS))}")
    return plot_sensitivity(result, **options)


def plot_pathways(result: Analysis, *, figsize: tuple[float, float] | None = None,
                  numbers: bool | None = None) -> Figure:
    """The sensitivity by subsystem as a Matplotlib figure: rows are the
    subsystems of the species, columns those of the reactions, and each
    cell shades the share of its species-reaction pairs in which the species
    responds to a perturbation of the reaction (see
    :func:`quelmar.pathways.pathway_grid`).  ``numbers``: write the
    percentages in the cells (by default when there are at most 50 rows and
    50 columns).  ``figsize``: inches; by default it grows with the grid."""
    if result.sensitivity is None:
        raise PlotError("the sensitivity matrix is undefined: the network is structurally "
                        "singular (prepare it first: --prune)")
    Figure, _ = _matplotlib()
    from .pathways import pathway_grid
    rows, cols, share = pathway_grid(result)
    m, n = len(rows), len(cols)
    if numbers is None:
        numbers = m <= 50 and n <= 50
    if figsize is None:
        longest_r = max(map(len, rows))
        longest_c = max(map(len, cols))
        figsize = (min(max(n * 0.3 + longest_r * 0.065 + 2.0, 5.0), 28.0),
                   min(max(m * 0.3 + longest_c * 0.065 + 1.2, 4.0), 24.0))
    fig = Figure(figsize=figsize, layout="constrained")
    ax = fig.add_subplot()
    image = ax.imshow(share, cmap="Blues", vmin=0, vmax=1, aspect="auto",
                      interpolation="nearest")
    ax.set_yticks(range(m), rows, fontsize=7)
    ax.set_xticks(range(n), cols, fontsize=7, rotation=90)
    ax.xaxis.tick_top()
    ax.tick_params(length=0)
    ax.set_ylabel("subsystem of the species", fontsize=8)
    ax.set_xlabel("subsystem of the perturbed reactions", fontsize=8)
    if numbers:
        for i in range(m):
            for j in range(n):
                value = share[i, j]
                ax.text(j, i, f"{100 * value:.0f}", ha="center", va="center", fontsize=5,
                        color="#ffffff" if value > 0.6 else "#333333")
    bar = fig.colorbar(image, ax=ax, shrink=0.5, pad=0.01)
    bar.set_label("share of responding pairs", fontsize=8)
    bar.ax.tick_params(labelsize=7)
    title = "Sensitivity by subsystem" + ("" if result.name is None else f" of {result.name}")
    fig.suptitle(f"{title}: {len(result.species):,} species, {len(result.reactions):,} "
                 "reactions\neach cell: the share of species-reaction pairs in which the "
                 "species responds to a perturbation of the reaction", fontsize=8)
    return fig


def irreducible_blocks(result: Analysis) -> Any:
    """The part of ``result`` made of its irreducible structures that hold at
    most half of the species: an :class:`~quelmar.result.Analysis` of their
    species and reactions, with these structures (each with the irreducible
    ones directly inside it), for :func:`plot_sensitivity`."""
    from dataclasses import replace

    from .diagram import irreducible_hierarchy
    chosen, kids = irreducible_hierarchy(result)
    small = {k for k in chosen
             if 2 * len(result.structures[k].species) <= len(result.species)}
    if not small:
        raise ValueError("no irreducible structure holds at most half of the species")
    structures = []
    for k, row in zip(chosen, kids):
        if k in small:
            s = result.structures[k]
            structures.append(replace(s, children=[result.structures[c].id for c in row
                                                   if c in small]))
    species = {x for s in structures for x in s.species}
    reactions = {x for s in structures for x in s.reactions}
    keep_r = [i for i, x in enumerate(result.species) if x in species]
    keep_c = [j for j, x in enumerate(result.reactions) if x in reactions]
    sens = np.asarray(result.sensitivity, dtype=bool)[np.ix_(keep_r, keep_c)]
    name = None if result.name is None else f"{result.name}, its small irreducible structures"
    return replace(result, name=name, species=[result.species[i] for i in keep_r],
                   reactions=[result.reactions[j] for j in keep_c], sensitivity=sens,
                   structures=structures, diagnosis=[])


def _cmap() -> Any:
    from matplotlib.colors import ListedColormap
    return ListedColormap(["#ffffff", RESPONDS])


def heatmap_svg(result: Analysis, **options: Any) -> str:
    """The heat map as SVG text (names stay text), for embedding in HTML."""
    from matplotlib import rc_context
    fig = heatmap_figure(result, **options)
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
    (``view=``, or the options of :func:`plot_sensitivity`).
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
