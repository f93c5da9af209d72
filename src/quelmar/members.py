"""The structures of an analysis as sparse membership matrices, for the
questions the reports and the HTML views ask of every structure."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["Members", "is_whole"]


def is_whole(result: Analysis, species: Sequence[str], reactions: Sequence[str]) -> bool:
    return len(species) == len(result.species) and len(reactions) == len(result.reactions)


class Members:
    """The structures of an analysis as rows of two sparse 0/1 matrices, over
    the species and over the reactions, for the questions the reports ask
    of every structure (what it adds to its sub-structures, which one holds
    a group of names) without comparing Python sets pairwise."""

    def __init__(self, result: Analysis):
        self.structures = list(result.structures)
        self.row = {s.id: i for i, s in enumerate(self.structures)}
        self._own: dict[str, tuple[list[str], list[str]]] = {}
        if hasattr(result, "membership"):
            try:  # an Analysis keeps its matrices
                self.in_species, self.in_reactions = result.membership()
            except KeyError:  # a structure names something outside the network
                pass
            else:
                self.species = {x: i for i, x in enumerate(result.species)}
                self.reactions = {x: j for j, x in enumerate(result.reactions)}
                return
        self.species = self._index(result.species, (s.species for s in self.structures))
        self.reactions = self._index(result.reactions, (s.reactions for s in self.structures))
        self.in_species = self._matrix(self.species, [s.species for s in self.structures])
        self.in_reactions = self._matrix(self.reactions, [s.reactions for s in self.structures])

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

    def smallest_of(self, groups: Sequence[tuple[Sequence[str], Sequence[str]]]
                    ) -> list[str | None]:
        """:meth:`smallest` of each ``(species, reactions)`` group, all of them
        from one sparse product (which structures hold how many names of
        which group)."""
        from .irreducible import name_matrix
        try:
            want_s = name_matrix([g[0] for g in groups], self.species,
                                 self.in_species.shape[1])
            want_r = name_matrix([g[1] for g in groups], self.reactions,
                                 self.in_reactions.shape[1])
        except KeyError:  # a name in no structure
            return [self.smallest(*g) for g in groups]
        need = want_s.getnnz(axis=1) + want_r.getnnz(axis=1)
        held = (self.in_species @ want_s.T + self.in_reactions @ want_r.T).tocsc()
        out: list[str | None] = []
        for g in range(len(groups)):
            if need[g] == 0:
                out.append(self.structures[0].id if self.structures else None)
                continue
            span = slice(held.indptr[g], held.indptr[g + 1])
            rows = held.indices[span][held.data[span] == need[g]]
            out.append(self.structures[rows.min()].id if len(rows) else None)
        return out

    def exactly(self, species: Sequence[str], reactions: Sequence[str]) -> str | None:
        """Id of the first structure made of exactly the names given."""
        size = len(set(species)) + len(set(reactions))
        nnz = np.diff(self.in_species.indptr) + np.diff(self.in_reactions.indptr)
        rows = self._holding(species, reactions)
        rows = rows[nnz[rows] == size]
        return self.structures[rows[0]].id if len(rows) else None
