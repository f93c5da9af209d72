"""Many analyses at once, on a Dask cluster.

:func:`batch` runs one analysis per model, or per single deletion of a
model, and streams a table of rows (:data:`COLUMNS`) to CSV or Parquet;
:func:`read_table` reads such a table back.  :mod:`.plan` plans the
tasks, :mod:`.run` runs them, :mod:`.tables` writes and reads the tables.
"""

from .run import MODEL_SUFFIXES, batch, model_files
from .tables import COLUMNS, EXTRA_HINT, read_table, require_extra

__all__ = ["COLUMNS", "EXTRA_HINT", "MODEL_SUFFIXES", "batch", "model_files", "read_table",
           "require_extra"]
