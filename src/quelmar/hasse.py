"""The Hasse diagram (transitive reduction of strict inclusion) of a family
of sets given as the rows of a boolean matrix, for families of a hundred
thousand sets and more.

The direct supersets of a set are the minimal ones among its strict
supersets, which are found among the sets that hold its rarest element (a
set of more than half of the elements is tested through the few it
misses), so sets that share no element are never compared.  Only the edges
are kept: the memory follows the number of direct inclusions, not the
number of all inclusions, which for a family of nested sets grows as the
square of the number of sets.  The work is done in the compiled module
``quelmar._structure`` on the machine's threads, in pieces between which
it reports its progress and can be interrupted.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt


def hasse_edges(member: np.ndarray,
                progress: Callable[[int, int], Any] | None = None,
                elements: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Edges (child, parent) of the Hasse diagram of the rows of ``member``;
    ``progress(done, total)`` is told how many rows are done now and then.

    With ``elements``, ``member`` holds the sets as bits instead (uint8, one
    row per set, element x at bit x % 8 of byte x // 8, as
    ``np.packbits(rows, axis=1, bitorder="little")`` gives them): an
    eighth of the memory."""
    from . import _structure

    if elements is not None:
        return _structure.hasse_edges_packed(np.ascontiguousarray(member, dtype=np.uint8),
                                             elements, progress)
    return _structure.hasse_edges(np.ascontiguousarray(member, dtype=bool), progress)


def children_lists(child: np.ndarray, parent: np.ndarray, k: int) -> list[list[int]]:
    """For each of ``k`` sets, the ascending children among the edges."""
    order = np.lexsort((child, parent))
    child, parent = child[order], parent[order]
    bounds = np.searchsorted(parent, np.arange(k + 1)).tolist()
    flat = child.tolist()
    return [flat[bounds[i]:bounds[i + 1]] for i in range(k)]


def hasse_children(member: np.ndarray,
                   progress: Callable[[int, int], Any] | None = None) -> list[list[int]]:
    """For each row of ``member``, the ascending rows directly inside it."""
    # as bits: the compiled module keeps a copy of what it reads
    bits = np.packbits(np.asarray(member, dtype=bool), axis=1, bitorder="little")
    child, parent = hasse_edges(bits, progress, elements=member.shape[1])
    return children_lists(child, parent, member.shape[0])


def membership(sets: Any) -> npt.NDArray[np.bool_]:
    """Boolean matrix (one row per set, one column per element) of ``sets``."""
    if isinstance(sets, np.ndarray):
        if sets.ndim != 2:
            raise ValueError(f"hasse_diagram() needs a sequence of sets or a 2-D boolean "
                             f"array, not an array of {sets.ndim} dimensions")
        return sets.astype(bool, copy=False)
    sets = [frozenset(s) for s in sets]
    column: dict[Any, int] = {}
    for s in sets:
        for x in s:
            column.setdefault(x, len(column))
    member = np.zeros((len(sets), len(column)), dtype=bool)
    for i, s in enumerate(sets):
        member[i, [column[x] for x in s]] = True
    return member


def hasse_diagram(sets, progress=None):
    """Direct sub-structures of each set under strict inclusion.

    ``sets`` is a sequence of Python sets (or frozensets), or a 2-D boolean
    array with one row per set and one column per element.  Returns a list
    holding, for each set i, the ascending indices j of the sets strictly
    inside set i with no set strictly between them: the edges of the Hasse
    diagram (the transitive reduction of strict inclusion).

    ``progress``: optional callable, told ``progress(done, total)`` now and
    then (sets done of all).
    """
    member = membership(sets)
    if member.shape[0] == 0:
        return []
    return hasse_children(member, progress)
