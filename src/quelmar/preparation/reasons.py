"""Reasons, in words, for the rows and columns that make an A-matrix
structurally singular."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .. import _structure
from ..tolerances import TOL
from ..words import SHOWN, joined, listed, plural

UNDER = "under-determined"
OVER = "over-determined"
_BLOCK = {_structure.OVER: OVER, _structure.UNDER: UNDER}


@dataclass(frozen=True)
class Part:
    """One row or column of the A-matrix in the singular part.

    ``kind`` is "species", "reaction", "cycle" or "conserved quantity";
    ``name`` the species or reaction name, or a description of the cycle
    or conserved quantity; ``members`` the reactions of a cycle or the
    species of a conserved quantity; ``block`` "under-determined" or
    "over-determined"; ``reason`` in words.
    """

    kind: str
    name: str
    block: str
    reason: str
    members: tuple = ()


class Words:
    """Reasons, in words, for the rows and columns of the singular part."""

    def __init__(self, stoi, reginfo, A, species, reactions, row_block, col_block):
        self.stoi, self.A = stoi, A
        self.m, self.n = stoi.shape
        self.species_names, self.reaction_names = species, reactions
        self.row_block, self.col_block = row_block, col_block
        self.nz = ~(np.abs(A) < TOL)
        self.reads = ~(np.abs(reginfo) < TOL)

    def _block(self, code):
        return _BLOCK[int(code)]

    def _cq_species(self, q):
        return [self.species_names[i] for i in np.flatnonzero(self.nz[self.n + q, :self.m])]

    def _cycle_reactions(self, k):
        return [self.reaction_names[j] for j in np.flatnonzero(self.nz[:self.n, self.m + k])]

    def cq_name(self, q):
        return "the conserved total of " + " + ".join(self._cq_species(q)[:SHOWN]) + (
            " + ..." if len(self._cq_species(q)) > SHOWN else "")

    def cycle_name(self, k):
        return "the cycle through " + listed(self._cycle_reactions(k))

    def species(self, i):
        name = self.species_names[i]
        block = self._block(self.col_block[i])
        readers = [self.reaction_names[j] for j in np.flatnonzero(self.nz[:self.n, i])]
        totals = [q for q in np.flatnonzero(self.nz[self.n:, i])]
        made = (self.stoi[i] >= TOL).any()
        used = (self.stoi[i] <= -TOL).any()
        if not readers and not totals:
            if made and not used:
                reason = "produced but never consumed and read by no rate"
            elif used and not made:
                reason = "consumed but never produced and read by no rate"
            elif not made and not used:
                reason = "in no reaction, read by no rate and in no conserved quantity"
            else:
                reason = "read by no rate and in no conserved quantity"
            return Part("species", name, block, reason)
        where = []
        if readers:
            where.append(f"the {plural(len(readers), 'rate', 'rates')} of {listed(readers)}")
        if totals:
            where.append(joined(self.cq_name(q) for q in totals[:2])
                         + (" and others" if len(totals) > 2 else ""))
        if block == UNDER:
            rows = np.flatnonzero(self.nz[:, i] & (self.row_block == _structure.UNDER))
            others = set()
            for r in rows:
                others |= set(np.flatnonzero(self.nz[r] & (self.col_block == _structure.UNDER)))
            others.discard(i)
            k = len(readers) + len(totals)
            reason = (f"its steady-state level is not fixed: only {joined(where)} "
                      f"{plural(k, 'depends', 'depend')} on it, and "
                      f"{plural(k, 'that one also reads', 'these also read')} {len(others)} "
                      f"other {plural(len(others), 'level or cycle flux', 'levels or cycle fluxes')} "
                      "that nothing else fixes")
        else:
            reason = (f"read by {joined(where)}, which ask more of the steady state "
                      "than the levels and cycle fluxes they read can satisfy")
        return Part("species", name, block, reason)

    def reaction(self, j):
        name = self.reaction_names[j]
        block = self._block(self.row_block[j])
        read = [self.species_names[i] for i in np.flatnonzero(self.nz[j, :self.m])]
        cycles = np.flatnonzero(self.nz[j, self.m:])
        if not read and not len(cycles):
            reason = "its rate reads no species and it lies on no cycle, so it can carry no steady flux"
        elif block == OVER:
            if not len(cycles):
                flux = "it lies on no cycle, so its steady flux is zero"
            else:
                flux = f"it lies on {len(cycles)} {plural(len(cycles), 'cycle', 'cycles')}"
            what = f"its rate reads {listed(read)}" if read else "its rate reads no species"
            reason = (f"{what} and {flux}; with the other over-determined rates and "
                      "totals it outnumbers the levels and cycle fluxes left to satisfy them")
        else:
            under = [self.species_names[i] for i in np.flatnonzero(
                self.nz[j, :self.m] & (self.col_block[:self.m] == _structure.UNDER))]
            if under:
                reason = (f"its rate reads {listed(under)}, whose levels nothing else "
                          "fixes: one rate cannot fix them all")
            else:
                reason = "it lies on cycles whose fluxes nothing else fixes"
        return Part("reaction", name, block, reason)

    def cycle(self, k):
        members = tuple(self._cycle_reactions(k))
        block = self._block(self.col_block[self.m + k])
        if block == UNDER:
            reason = "its flux is not fixed by the rates of its reactions"
        else:
            reason = "its flux is needed by rate equations that already outnumber what they read"
        return Part("cycle", self.cycle_name(k), block, reason, members)

    def conserved(self, q):
        members = tuple(self._cq_species(q))
        block = self._block(self.row_block[self.n + q])
        if block == OVER:
            reason = ("the levels of its species are already fixed by rates, "
                      "leaving nothing for this total to determine")
        else:
            reason = "it reads levels that nothing else fixes"
        return Part("conserved quantity", self.cq_name(q), block, reason, members)


def dependence_parts(found, species_names, reaction_names):
    """The parts of an A-matrix that a maximum matching covers but whose
    fixed entries are dependent (``found``: a singular
    :class:`~quelmar.preparation.generic.GenericRank`), in words."""
    species = [species_names[i] for i in found.species]
    cycle = [reaction_names[j] for j in found.cycle_reactions]
    reactions = [reaction_names[j] for j in found.reactions]
    totals = [species_names[i] for i in found.conserved_species]
    parts = []
    free = listed(species) + (f" and the cycle flux through {listed(cycle)}" if cycle else "")
    for name in species:
        parts.append(Part("species", name, UNDER, (
            "its steady-state level is not fixed although every level is matched to a "
            "rate equation or conserved total: the fixed coefficients of the cycles and "
            f"conserved totals leave one combination of the levels of {free} free "
            "for every choice of rates")))
    if cycle:
        parts.append(Part("cycle", "the cycle through " + listed(cycle), UNDER, (
            "its flux enters the combination of levels and cycle fluxes that no rate "
            f"equation or conserved total fixes (with {listed(species) or 'no species'})"),
            tuple(cycle)))
    depend = listed(reactions) if reactions else "no rate"
    if totals:
        depend += " and the conserved total of " + " + ".join(totals[:SHOWN]) + (
            " + ..." if len(totals) > SHOWN else "")
    for name in reactions:
        parts.append(Part("reaction", name, OVER, (
            f"its rate equation depends exactly on the others among {depend}: with the "
            "fixed coefficients of the cycles and conserved totals, the steady state asks "
            "one condition too many for every choice of rates")))
    if totals:
        parts.append(Part("conserved quantity", "the conserved total of " + " + ".join(
            totals[:SHOWN]) + (" + ..." if len(totals) > SHOWN else ""), OVER, (
            f"its coefficients make it depend exactly on {listed(reactions) or 'the other totals'}"
            ": the levels it reads are already fixed by those rates and totals"),
            tuple(totals)))
    return parts
