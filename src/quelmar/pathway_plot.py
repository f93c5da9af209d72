"""The heat map of a large result by pathway (subsystem x subsystem), and
the part of a result made of its small irreducible structures, for the block
view of :func:`quelmar.plot.heatmap_figure`.

Matplotlib is imported only when a figure is made.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .result import Analysis

__all__ = ["irreducible_blocks", "pathways_figure", "plot_pathways"]


def _pathway_size(rows: list[str], cols: list[str]) -> tuple[float, float]:
    return (min(max(len(cols) * 0.3 + max(map(len, rows)) * 0.065 + 2.0, 5.0), 28.0),
            min(max(len(rows) * 0.3 + max(map(len, cols)) * 0.065 + 1.2, 4.0), 24.0))


def _draw_pathways(fig: Any, ax: Any, result: Analysis, grid: Any,
                   numbers: bool | None) -> None:
    rows, cols, share = grid
    m, n = len(rows), len(cols)
    if numbers is None:
        numbers = m <= 50 and n <= 50
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


def _pathway_title(result: Analysis) -> str:
    title = "Sensitivity by subsystem" + ("" if result.name is None else f" of {result.name}")
    return (f"{title}: {len(result.species):,} species, {len(result.reactions):,} "
            "reactions\neach cell: the share of species-reaction pairs in which the "
            "species responds to a perturbation of the reaction")


def pathways_figure(result: Analysis, *, figsize: tuple[float, float] | None = None,
                    numbers: bool | None = None) -> Figure:
    """The sensitivity by subsystem as a ``Figure`` of its own, made without
    pyplot (for files and pages); options as for :func:`plot_pathways`."""
    from .plot import require_matplotlib
    Figure, _ = require_matplotlib()
    result.defined_sensitivity("the heat map")
    from .pathways import pathway_grid
    grid = pathway_grid(result)
    fig = Figure(figsize=figsize or _pathway_size(grid[0], grid[1]), layout="constrained")
    _draw_pathways(fig, fig.add_subplot(), result, grid, numbers)
    fig.suptitle(_pathway_title(result), fontsize=8)
    return fig


def plot_pathways(result: Analysis, ax: Axes | None = None, *,
                  figsize: tuple[float, float] | None = None,
                  numbers: bool | None = None) -> Axes:
    """Draw the sensitivity by subsystem and return the Matplotlib axes: rows
    are the subsystems of the species, columns those of the reactions, and
    each cell shades the share of its species-reaction pairs in which the
    species responds to a perturbation of the reaction (see
    :func:`quelmar.pathways.pathway_grid`).

    ``ax``: the axes to draw into; by default a new pyplot figure, sized to
    the grid or to ``figsize`` (inches).  ``numbers``: write the percentages
    in the cells (by default when there are at most 50 rows and 50 columns).

    Raises :class:`~quelmar.errors.SingularNetworkError` when the
    sensitivity is undefined.
    """
    from .plot import require_matplotlib
    require_matplotlib()
    result.defined_sensitivity("the heat map")
    from .pathways import pathway_grid
    grid = pathway_grid(result)
    if ax is None:
        import matplotlib.pyplot as plt
        fig = plt.figure(figsize=figsize or _pathway_size(grid[0], grid[1]),
                         layout="constrained")
        ax = fig.add_subplot()
        fig.suptitle(_pathway_title(result), fontsize=8)
    else:
        ax.set_title(_pathway_title(result), fontsize=8, loc="left")
    _draw_pathways(ax.figure, ax, result, grid, numbers)
    return ax


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
