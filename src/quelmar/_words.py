"""Small pieces of wording shared by the reports and the diagram."""

from __future__ import annotations

import math
import textwrap

__all__ = ["count", "sign_name", "wrap"]


def count(k: int, word: str) -> str:
    """``"1 reaction"``, ``"2 reactions"``, ``"3 species"``."""
    return f"{k} {word}" if k == 1 or word == "species" else f"{k} {word}s"


def sign_name(value: object) -> str:
    """Text for a determinant sign returned by the diagnosis."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "indeterminate"
    return {1.0: "positive", -1.0: "negative", 0.0: "zero"}.get(float(value), str(value))


def wrap(text: str, prefix: str, width: int) -> list[str]:
    """``text`` wrapped to ``width`` columns after ``prefix``, never breaking a name."""
    return textwrap.wrap(text, width=width, initial_indent=prefix,
                         subsequent_indent=" " * len(prefix),
                         break_on_hyphens=False, break_long_words=False) or [prefix]
