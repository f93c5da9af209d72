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

What the picture shows is worked out in :mod:`quelmar.heatmap_layout` and
drawn by :mod:`quelmar.heatmap_drawing`; this module holds the public
functions.  Matplotlib is an optional dependency (``pip install
quelmar[plot]``), imported only inside functions.
"""

from __future__ import annotations

import io
import os
import re
from typing import TYPE_CHECKING, Any

from .fileio import output_format, write_atomic
from .heatmap_drawing import SIGN_COLOURS, compose_heatmap
from .heatmap_layout import MAX_LABELS, HeatmapPicture, figure_size, heatmap_order
from .pathway_plot import irreducible_blocks, pathways_figure, plot_pathways

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

@_plain_text
def sensitivity_figure(result: Analysis, *, structure: str | None = None,
                       zoom: bool | None = None, max_labels: int = MAX_LABELS,
                       outline: bool = True, legend: bool = True,
                       figsize: tuple[float, float] | None = None,
                       signs: bool = False) -> Figure:
    """The heat map as a Matplotlib ``Figure`` of its own, made without
    pyplot (for files and pages); options as for :func:`plot_sensitivity`."""
    Figure, _ = require_matplotlib()
    pic = HeatmapPicture(result, structure, zoom, max_labels, outline, signs)
    if figsize is None:
        figsize = figure_size(result, pic.rows, pic.cols, pic.labels, pic.zoom,
                              pic.margin())
    fig = Figure(figsize=figsize, layout="constrained")
    axes = fig.subplots(1, 2, width_ratios=[3, 1]) if pic.zoom else fig.add_subplot()
    compose_heatmap(fig, axes, pic, legend)
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
        pic = HeatmapPicture(result, structure, False, max_labels, outline, signs)
        compose_heatmap(ax.figure, ax, pic, legend)
        ax.set_title(pic.title(), fontsize=9, loc="left")
        return ax
    import matplotlib.pyplot as plt
    pic = HeatmapPicture(result, structure, zoom, max_labels, outline, signs)
    if figsize is None:
        figsize = figure_size(result, pic.rows, pic.cols, pic.labels, pic.zoom,
                              pic.margin())
    fig = plt.figure(figsize=figsize, layout="constrained")
    axes = fig.subplots(1, 2, width_ratios=[3, 1]) if pic.zoom else fig.add_subplot()
    big = compose_heatmap(fig, axes, pic, legend)
    fig.suptitle(pic.title(), fontsize=9)
    return big


def plot_signs(result: Analysis, ax: Axes | None = None, **options: Any) -> Axes:
    """The heat map coloured by the sign of each response:
    :func:`plot_sensitivity` with ``signs=True``."""
    return plot_sensitivity(result, ax, signs=True, **options)

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
