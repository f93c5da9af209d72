"""The time and memory budget of one row of a batch: an analysis that runs
longer, or holds more memory, is stopped at its next progress report and its
row says why."""

from __future__ import annotations

import contextlib
import os
import time

import numpy as np

__all__ = ["MAX_MEMORY", "MAX_SECONDS", "Budget", "checked_limit", "resident_bytes"]

#: Default budget of one row: seconds, and bytes of the worker's resident
#: memory (see :func:`batch`).
MAX_SECONDS = 1800.0
MAX_MEMORY = 4e9


def resident_bytes() -> int | None:
    """The resident memory of this process now (Linux), else None."""
    try:
        with open("/proc/self/statm") as fh:
            return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


class Budget:
    """The ``progress`` of one analysis in a batch: the long steps report how
    far they are several times a second, and each report stops the analysis
    (with the exception, which becomes the row's error) once it has run
    longer than ``max_seconds`` or the process holds more than
    ``max_memory`` bytes.  None: no limit."""

    def __init__(self, max_seconds: float | None, max_memory: float | None):
        self.max_seconds, self.max_memory = max_seconds, max_memory
        self.deadline = None if not max_seconds else time.monotonic() + max_seconds

    def check(self, done: int = 0, total: int = 0) -> None:
        if self.deadline is not None and time.monotonic() > self.deadline:
            raise TimeoutError(f"stopped after {self.max_seconds:g} s, the time budget of a "
                               "row (max_seconds, --max-seconds)")
        if self.max_memory:
            held = resident_bytes()
            if held is not None and held > self.max_memory:
                raise MemoryError(f"stopped at {held / 1e9:.2f} GB, over the memory budget "
                                  f"of a row ({self.max_memory / 1e9:g} GB; max_memory, "
                                  "--max-memory)")

    @contextlib.contextmanager
    def __call__(self, _step: str):
        self.check()
        yield self
        self.check()

    def update(self, done: int, total: int) -> None:
        self.check(done, total)


def checked_limit(value: float | None, name: str) -> float | None:
    """A budget as given to :func:`batch`: a finite number >= 0, 0 or None for
    no limit."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number or None, not {value!r}")
    value = float(value)
    if not 0 <= value < float("inf"):
        raise ValueError(f"{name} must be 0 or more (and finite), not {value!r}")
    return value or None
