"""Pausing Python's cycle collector while a step builds many objects.

The hierarchy of a genome-scale analysis makes a few hundred thousand
structures with their lists, and its JSON text as many lists again.  None
of them are garbage, yet every few thousand allocations the collector walks
the young ones and, now and then, all of them: over a second of the prepared
iJO1366 analysis.  :func:`collector_paused` turns it off for such a step
and back on after (unless it was off already); garbage made meanwhile is
collected at the next collection.
"""

from __future__ import annotations

import contextlib
import gc
from collections.abc import Iterator

__all__ = ["collector_paused"]


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Run the block with the cycle collector off (reference counting still
    frees what it can)."""
    was_on = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_on:
            gc.enable()
