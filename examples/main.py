"""Determinant signs of matrices with free entries.

An entry of +inf is a free variable with non-negative values, -inf one with
non-positive values and NaN one of either sign.  signdet decides, by
randomised optimisation, whether the determinant has a fixed sign.
"""

import numpy as np

from quelmar.cyquelmar import signdet

inf = np.inf
examples = {
    "[[inf, 0], [0, 1]]        (det = z^2)": [[inf, 0.0], [0.0, 1.0]],
    "[[inf, 1], [1, inf]]      (det = z1^2 z2^2 - 1)": [[inf, 1.0], [1.0, inf]],
    "[[-inf, 1], [0, 2]]       (det = -2 z^2)": [[-inf, 1.0], [0.0, 2.0]],
    "[[inf, inf], [0, 0]]      (zero row)": [[inf, inf], [0.0, 0.0]],
}
np.random.seed(0)
for label, rows in examples.items():
    print(f"{label:50s} signdet = {signdet(np.array(rows))}")
