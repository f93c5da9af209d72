"""Small pieces of wording shared by the reports, the diagram and the
explanations of a singular network."""

from __future__ import annotations

import math
import re
import textwrap
from collections.abc import Sequence

__all__ = ["SHOWN", "count", "cut_names", "joined", "listed", "plural", "printable", "shortened",
           "sign_name", "unicode_text", "wrap"]

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


_LONE_SURROGATE = re.compile("[\ud800-\udfff]")
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def unicode_text(text: object) -> str:
    """``text`` as a string that every encoder accepts: surrogate pairs
    joined, a lone surrogate (which a name read from JSON or a file name can
    hold) written as its escape ``\\udXXX``."""
    text = str(text)
    if not _LONE_SURROGATE.search(text):
        return text
    text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    return _LONE_SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def printable(text: object) -> str:
    """:func:`unicode_text` with control characters (NUL, line breaks, ...)
    written as escapes ``\\xNN`` or ``\\uNNNN``: for a name shown on one
    line or handed to a program that refuses them."""
    return _CONTROL.sub(lambda m: (f"\\x{ord(m.group()):02x}" if ord(m.group()) < 256
                                   else f"\\u{ord(m.group()):04x}"), unicode_text(text))


def shortened(text: str, limit: int = 80) -> str:
    """``text`` cut to at most ``limit`` characters, an ellipsis marking the
    cut (for drawings; the data keeps the full name)."""
    return text if len(text) <= limit else text[:limit - 1] + "\u2026"


def cut_names(names: Sequence[str], limit: int | None) -> str:
    """``names`` joined by commas, cut after ``limit`` of them."""
    if limit is None or len(names) <= limit:
        return ", ".join(names)
    return ", ".join(names[:limit]) + f" and {len(names) - limit} more"
