"""Numeric tolerances of the Python side of the analysis, in one place.

The compiled core keeps its own, as specified for each kernel.
"""

#: Entries of a stoichiometry, regulation or A-matrix smaller than this in
#: magnitude count as zero when reading patterns and directions.
TOL = 1e-8

#: Relative smallest singular value below which an instance of the A-matrix
#: with random rates is taken as exactly singular.
SINGULAR = 1e-11

#: Relative size above which an entry of a null vector counts as involved.
INVOLVED = 1e-6
