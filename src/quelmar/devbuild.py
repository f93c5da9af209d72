"""Rebuilding the compiled core of an editable install (a checkout).

An editable install does not look at the C++ sources when quelmar is
imported: that check runs CMake and costs more than the rest of the
command's start.  After changing a C++ source, rebuild with

    scripts/rebuild.sh            (or: python -m quelmar.devbuild)

or set ``QUELMAR_REBUILD=1`` for a run: quelmar then rebuilds before it
loads the compiled core.  ``scripts/setup.sh`` (and so ``scripts/test.sh``
and CI) rebuilds every time.  In an installed (not editable) package there
is nothing to rebuild, and both are no-ops.
"""

from __future__ import annotations

import sys

__all__ = ["rebuild"]


def rebuild() -> bool:
    """Build and install the extension from the current C++ sources, through
    the editable install's own CMake build.  False when quelmar is not an
    editable install (nothing is done)."""
    done = False
    for finder in sys.meta_path:
        # the editable install's import hook, which knows its build folder
        if hasattr(finder, "known_wheel_files") and getattr(finder, "path", None) \
                and "quelmar.cyquelmar" in finder.known_wheel_files:
            finder.rebuild()
            done = True
    return done


def main() -> int:
    if "quelmar.cyquelmar" in sys.modules:  # pragma: no cover - guarded by __init__
        print("quelmar.devbuild: the compiled core is already loaded", file=sys.stderr)
        return 1
    if not rebuild():
        print("quelmar.devbuild: not an editable install, nothing to rebuild",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
