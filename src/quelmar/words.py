"""Small pieces of wording shared by the reports, the diagram and the
explanations of a singular network."""

from __future__ import annotations

import math
import textwrap

__all__ = ["SHOWN", "count", "joined", "listed", "plural", "sign_name", "wrap"]

#: Names listed before "and N more".
SHOWN = 6


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


def joined(words) -> str:
    """``"a"``, ``"a and b"``, ``"a, b and c"``."""
    words = [str(w) for w in words]
    if len(words) <= 1:
        return "".join(words)
    return ", ".join(words[:-1]) + " and " + words[-1]


def listed(names, limit: int = SHOWN) -> str:
    """The names joined, the ones after ``limit`` counted as "N more"."""
    names = list(names)
    if len(names) <= limit:
        return joined(names)
    return joined(names[:limit] + [f"{len(names) - limit} more"])


def plural(k: int, one: str, many: str) -> str:
    return one if k == 1 else many
