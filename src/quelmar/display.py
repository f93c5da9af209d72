"""How a network shows itself: one line with its name, its sizes and
whether its A-matrix is structurally regular, as ``repr()`` and in a
notebook.

The compiled class :class:`~quelmar.cyquelmar.CRN` is an ordinary Python
class; :func:`install` gives it ``__repr__`` and ``_repr_html_`` when the
package loads the compiled module (see ``quelmar/__init__.py``), so the
class's own methods stay as they are.
"""

from __future__ import annotations

import html
from typing import Any

__all__ = ["crn_html", "crn_line", "install"]


def _sizes(crn: Any) -> tuple[int, int] | None:
    shape = getattr(getattr(crn, "stoi", None), "shape", None)
    if shape is None or len(shape) != 2:
        return None
    return int(shape[0]), int(shape[1])


def _regularity(crn: Any) -> str | None:
    """"structurally regular" or "structurally singular (...)", or None when
    it cannot be told (a network changed into something inconsistent)."""
    try:
        from .preparation import regularity
        reg = regularity(crn)
    except Exception:  # noqa: BLE001 - a display never fails
        return None
    if reg.is_regular:
        return "structurally regular"
    return (f"structurally singular (structural rank {reg.structural_rank} "
            f"of {reg.order})")


def crn_line(crn: Any) -> str:
    """``<CRN 'name': 3 species, 4 reactions, structurally regular>``."""
    from .words import count
    parts = []
    sizes = _sizes(crn)
    if sizes is not None:
        parts.append(f"{count(sizes[0], 'species')}, {count(sizes[1], 'reaction')}")
    reg = _regularity(crn) if sizes is not None else None
    if reg is not None:
        parts.append(reg)
    name = getattr(crn, "name", None)
    head = "CRN" if name is None else f"CRN {str(name)!r}"
    return f"<{head}: {', '.join(parts)}>" if parts else f"<{head}>"


def crn_html(crn: Any) -> str:
    """The line of :func:`crn_line` as an HTML fragment."""
    line = crn_line(crn)[1:-1]
    head, _, rest = line.partition(": ")
    return (f"<div class='quelmar-network'><b>{html.escape(head)}</b>"
            + (f": {html.escape(rest)}" if rest else "") + "</div>")


def install(cls: type) -> None:
    """Give ``cls`` (the compiled ``CRN``) its ``repr`` and notebook view,
    unless it has them already."""
    if "__repr__" not in cls.__dict__:
        cls.__repr__ = crn_line  # type: ignore[assignment]
    if "_repr_html_" not in cls.__dict__:
        cls._repr_html_ = crn_html  # type: ignore[attr-defined]
