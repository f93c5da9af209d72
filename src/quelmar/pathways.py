"""Structures and responses summarised by the subsystems (pathways) of the
model, and the gene table of an analysis.

A reaction's subsystem is what the model says (see
:class:`quelmar.annotations.Annotations`).  A species has none in the model
files; it is given the subsystem of most of the analysed reactions that
change it (ties: the first such reaction), which :func:`species_subsystems`
works out from the stoichiometry when the analysis runs.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from .words import count

__all__ = ["gene_rows", "pathway_grid", "species_subsystems", "subsystem_counts",
           "subsystem_summaries", "subsystem_summary"]


def species_subsystems(stoi: Any, species: Sequence[str], reactions: Sequence[str],
                       subsystems: Mapping[str, str]) -> dict[str, str]:
    """Species id -> the subsystem of most of the reactions that change it."""
    stoi = np.asarray(stoi)
    labels = [subsystems.get(r) for r in reactions]
    if not any(labels):
        return {}
    out = {}
    for i, s in enumerate(species):
        votes = Counter(str(labels[j]) for j in np.flatnonzero(stoi[i]) if labels[j])
        if votes:
            out[s] = votes.most_common(1)[0][0]  # insertion order breaks ties
    return out


def subsystem_counts(names: Iterable[str], subsystems: Mapping[str, str]) -> Counter:
    """How many of ``names`` each subsystem has (None: those without one)."""
    return Counter(subsystems.get(x) for x in names)


def subsystem_summary(names: Sequence[str], subsystems: Mapping[str, str],
                      noun: str) -> str:
    """``"14 reactions, 12 of them in Valine, Leucine and Isoleucine
    Metabolism"``: the count and the subsystem most of ``names`` are in,
    with how many other subsystems the rest are in.  Without subsystems,
    just the count."""
    votes = subsystem_counts(names, subsystems)
    votes.pop(None, None)
    if not votes:
        return count(len(names), noun)
    (top, k), others = votes.most_common(1)[0], len(votes) - 1
    return _summary(len(names), top, k, others, noun)


def subsystem_summaries(member: Any, names: Sequence[str], subsystems: Mapping[str, str],
                        noun: str, rows: Sequence[Sequence[str]]) -> list[str]:
    """:func:`subsystem_summary` of each of ``rows`` (lists of ``names``),
    given also as the rows of ``member`` (a sparse 0/1 matrix over
    ``names``): the counts come from one sparse product."""
    from scipy import sparse
    labels = [subsystems.get(x) for x in names]
    kinds = list(dict.fromkeys(x for x in labels if x is not None))
    if not kinds:
        return [count(len(r), noun) for r in rows]
    column = {x: i for i, x in enumerate(kinds)}
    where = [j for j, x in enumerate(labels) if x is not None]
    onehot = sparse.csr_matrix((np.ones(len(where)), (where, [column[labels[j]] for j in where])),
                               shape=(len(names), len(kinds)))
    votes = (sparse.csr_matrix(member) @ onehot).toarray()
    out = []
    for row, names_ in zip(votes, rows):
        top = row.max()
        if top == 0:
            out.append(count(len(names_), noun))
        elif (row == top).sum() > 1:  # a tie: the first of them in the row's order
            out.append(subsystem_summary(names_, subsystems, noun))
        else:
            out.append(_summary(len(names_), kinds[int(row.argmax())], int(top),
                                int((row > 0).sum()) - 1, noun))
    return out


def _summary(n: int, top: str, k: int, others: int, noun: str) -> str:
    total = count(n, noun)
    if k == n:
        return f"{total}, all in {top}"
    head = f"{total}, {'it' if n == 1 else f'{k} of them'} in {top}"
    if others:
        head += f" (the rest in {count(others, 'other subsystem')})"
    return head


def gene_rows(annotations: Any, species: Sequence[str], reactions: Sequence[str],
              sensitivity: Any) -> list[dict[str, Any]]:
    """The rows of :meth:`quelmar.result.Analysis.gene_responses` (see there)."""
    reactions = list(reactions)
    column = {r: j for j, r in enumerate(reactions)}
    catalysed = annotations.gene_reactions(reactions)
    sens = None if sensitivity is None else np.asarray(sensitivity, dtype=bool)
    rows = []
    for gene in annotations.gene_ids():
        mine = catalysed.get(gene, [])
        disabled = annotations.disabled({gene}, mine)
        if sens is None:
            responding = None
        elif mine:
            hit = sens[:, [column[r] for r in mine]].any(axis=1)
            responding = [species[i] for i in np.flatnonzero(hit).tolist()]
        else:
            responding = []
        rows.append({"gene": gene, "name": annotations.genes.get(gene, gene),
                     "reactions": mine, "disabled": disabled, "responding": responding})
    return rows


def pathway_grid(result: Any) -> tuple[list[str], list[str], Any]:
    """The sensitivity by subsystem: species subsystems (rows), reaction
    subsystems (columns) and, for each pair, the share of its species-reaction
    pairs in which the species responds.  Species and reactions without a
    subsystem form the group ``"(none)"``."""
    notes = result.annotations
    sens = np.asarray(result.sensitivity, dtype=bool)
    rows = [notes.species_subsystems.get(x, "(none)") for x in result.species]
    cols = [notes.subsystems.get(x, "(none)") for x in result.reactions]
    row_names, row_of = np.unique(rows, return_inverse=True)
    col_names, col_of = np.unique(cols, return_inverse=True)
    row_of, col_of = row_of.reshape(-1), col_of.reshape(-1)
    # the responding pairs of each block, as products with the 0/1 matrices
    # of the groups
    in_row = np.zeros((len(row_names), len(rows)))
    in_row[row_of, np.arange(len(rows))] = 1
    in_col = np.zeros((len(cols), len(col_names)))
    in_col[np.arange(len(cols)), col_of] = 1
    hits = in_row @ sens.astype(float) @ in_col
    size = np.outer(np.bincount(row_of), np.bincount(col_of))
    return list(row_names), list(col_names), hits / size
