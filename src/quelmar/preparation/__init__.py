"""Structural regularity of a network and its preparation for analysis.

:func:`regularity` (:mod:`.regularity`) tells whether the A-matrix of a
network can be non-singular and, when it cannot, names the part of the
network that makes it singular, with the reasons in words
(:mod:`.reasons`) and the exact check of its fixed entries
(:mod:`.generic`).  :func:`prune` (:mod:`.pruning`) returns a new,
regular network and a record of everything it removed and why.
"""

from .pruning import Pruned, Removal, prune
from .reasons import Part
from .regularity import Regularity, directions, regularity

__all__ = ["Part", "Regularity", "Removal", "Pruned", "regularity", "prune", "directions"]
