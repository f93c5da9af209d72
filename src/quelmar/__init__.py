"""quelmar: structural analysis of chemical reaction networks.

The compiled core is :mod:`quelmar.cyquelmar`.
"""

__all__ = ["cyquelmar"]

from . import cyquelmar  # noqa: E402
