"""Structural regularity of a network and its preparation for analysis.

The A-matrix of a network (rows: reactions, then conserved quantities;
columns: species, then cycles) must be non-singular for the steady state to
be isolated and for the sensitivity matrix to mean anything.  Whether it can
be non-singular at all depends only on where its non-zero entries are: the
*structural rank* (the size of a maximum matching of rows to columns along
non-zero entries) must equal its order.

:func:`regularity` computes the structural rank and names the part of the
network that makes the A-matrix singular: the rows and columns that some
maximum matching leaves uncovered, together with what they reach by
alternating paths (the coarse Dulmage-Mendelsohn decomposition).  Rows and
columns there are of two kinds:

* *under-determined*: species (and cycle fluxes) whose steady-state levels
  no rate equation or conserved total fixes, and the rates that read them;
* *over-determined*: rate equations and conserved totals that no species
  level or cycle flux is left to satisfy, and the species they read.

:func:`prune` returns a new, structurally regular network and a record of
everything it removed and why.
"""

from .pruning import Pruned, Removal, prune
from .reasons import Part
from .regularity import Regularity, directions, regularity

__all__ = ["Part", "Regularity", "Removal", "Pruned", "regularity", "prune", "directions"]
