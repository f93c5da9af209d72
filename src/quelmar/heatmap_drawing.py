"""The drawing of a heat map of the sensitivity into Matplotlib axes.

The cells (responds or not, or the direction of each response), the names
on the axes and their thinning, the outlines of the blocks with their names
on brackets beside the rows, the list of the structures that are not
blocks, the key, and :func:`compose_heatmap`, which draws a
:class:`~quelmar.heatmap_layout.HeatmapPicture` with all of them.
Matplotlib is imported inside the functions only.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .heatmap_layout import LABEL_SIZE, HeatmapPicture, bracket_lanes, shown_name

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
#: structures that are not blocks, listed beside the picture at most
OTHERS_LISTED = 12


def _draw_matrix(ax: Any, pic: HeatmapPicture, rows: list[int], cols: list[int],
                 labels: tuple[bool, bool], fontsize: float, aspect: str) -> None:
    result = pic.result
    m, n = len(rows), len(cols)
    if pic.signs:
        _draw_signs(ax, result, rows, cols, aspect)
    else:
        sub = np.asarray(result.sensitivity, dtype=bool)[np.ix_(rows, cols)]
        ax.imshow(sub, cmap=_cmap(), vmin=0, vmax=1, aspect=aspect, interpolation="nearest")
    if labels[0]:
        ax.set_yticks(range(m), [shown_name(result.species[i]) for i in rows], fontsize=fontsize)
    else:
        ax.set_yticks([])
        ax.set_ylabel(f"{m} species", fontsize=9)
    if labels[1]:
        ax.set_xticks(range(n), [shown_name(result.reactions[j]) for j in cols], fontsize=fontsize,
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


def _draw_blocks(ax: Any, pic: HeatmapPicture) -> None:
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
    lane = bracket_lanes(spans)
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


def _legend(ax: Any, pic: HeatmapPicture, zoomed: bool) -> None:
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


def _others(ax: Any, pic: HeatmapPicture) -> None:
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
        added = (", ".join(map(shown_name, own_s)) + ("; " if own_s and own_r else "")
                 + ", ".join(map(shown_name, own_r)))
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


def compose_heatmap(fig: Any, ax: Any, pic: HeatmapPicture, legend: bool) -> Any:
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


def _cmap() -> Any:
    from matplotlib.colors import ListedColormap
    return ListedColormap(["#ffffff", RESPONDS])
