"""What a heat map of the sensitivity shows, before anything is drawn.

The order of the rows (species) and columns (reactions) along the hierarchy
of the isolated buffering structures (:func:`heatmap_order`), the
structures that are contiguous blocks in that order and those that are not,
the enlarged corner, the lanes of the names beside the matrix and the size
of the figure (:class:`HeatmapPicture`).  No Matplotlib here: the drawing is
in :mod:`quelmar.heatmap_drawing`, the public functions in
:mod:`quelmar.plot`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .words import printable, shortened

if TYPE_CHECKING:
    from .result import Analysis

#: longest name drawn in full; longer ones are shortened (the data keeps them)
NAME_LENGTH = 60

#: inches per cell: up to 60 rows or columns, and up to MAX_LABELS
CELL, SMALL_CELL = 0.16, 0.11
#: names on the axes up to this many rows (columns); the counts beyond
MAX_LABELS = 120
#: points: the names of the structures beside the matrix
LABEL_SIZE = 7.0


def shown_name(name: Any) -> str:
    """A name as drawn: escapes for control characters and lone surrogates
    (which SVG and the fonts cannot hold), very long ones shortened."""
    return shortened(printable(name), NAME_LENGTH)


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


def bracket_lanes(spans: list[tuple[float, float]]) -> list[int]:
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


def figure_size(result: Analysis, rows: list[int], cols: list[int], labels: tuple[bool, bool],
                zoom: bool, extra: float) -> tuple[float, float]:
    m, n = len(rows), len(cols)
    cell = CELL if max(m, n) <= 60 else SMALL_CELL if max(m, n) <= MAX_LABELS else 0.0
    longest_r = max(len(shown_name(result.species[i])) for i in rows) if labels[0] else 4
    longest_c = max(len(shown_name(result.reactions[j])) for j in cols) if labels[1] else 4
    if cell:
        w = n * cell + longest_r * 0.07 + 1.2
        h = m * cell + longest_c * 0.07 + 1.6
    else:
        w, h = 10.0, 10.0 * min(max(m / n, 0.4), 2.0)
    w += extra
    if zoom:
        w += w / 3
    return (min(max(w, 5.0), 30.0), min(max(h, 4.0), 24.0))


class HeatmapPicture:
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
            "" if name is None else f" of {shown_name(name)}")
        return title + ("" if self.structure is None else f", structure {self.structure}")

    def lane_step(self) -> float:
        """Points between two lanes of names beside the matrix."""
        return max((len(s.id) for s, _ in self.blocks), default=0) * 0.62 * LABEL_SIZE + 12

    def lanes_width(self) -> float:
        """Points that the names of the blocks take beside the matrix (at
        most: as many lanes as blocks overlap by their rows)."""
        if not self.blocks:
            return 0.0
        lanes = max(bracket_lanes([(r0, r1) for _, ((r0, r1), _) in self.blocks])) + 1
        return 4 + lanes * self.lane_step()

    def margin(self) -> float:
        """Inches to the right of the matrix for the names and the list."""
        return self.lanes_width() / 72 + (2.9 if self.others else 0.0)
