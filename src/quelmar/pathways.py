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

__all__ = ["gene_rows", "species_subsystems", "subsystem_counts", "subsystem_summary"]


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
    total = count(len(names), noun)
    votes = subsystem_counts(names, subsystems)
    votes.pop(None, None)
    if not votes:
        return total
    (top, k), others = votes.most_common(1)[0], len(votes) - 1
    if k == len(names):
        return f"{total}, all in {top}"
    head = f"{total}, {'it' if len(names) == 1 else f'{k} of them'} in {top}"
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
