"""The response signs and the factors of det A in the reports: the
sentences and lines the text report and the HTML views share."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .words import count, cut_names, sign_name, wrap

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["LINES", "factor_label", "factor_summary", "factors_text", "sign_lines",
           "sign_summary", "signs_text"]

#: lines of signs and factors listed at most, unless every one is asked for
LINES = 15


def sign_summary(result: Analysis) -> str:
    """``"12 rise, 9 fall, 40 either way; 30 decided exactly, 25 certified
    either, 6 randomised (84 draws)"``."""
    from .signs import CERTIFIED, EXACT, RANDOMISED
    signs = np.asarray(result.signs, dtype=float)
    text = (f"{int((signs == 1).sum()):,} rise, {int((signs == -1).sum()):,} fall, "
            f"{int(np.isnan(signs).sum()):,} either way")
    how = result.sign_methods
    if how is not None:
        how = np.asarray(how)
        text += (f"; {int((how == EXACT).sum()):,} decided exactly, "
                 f"{int((how == CERTIFIED).sum()):,} certified either way (two rate "
                 f"choices with opposite signs), {int((how == RANDOMISED).sum()):,} "
                 "randomised")
        if result.sign_draws is not None:
            text += f" ({count(int(result.sign_draws), 'random draw')})"
    return text


def sign_lines(result: Analysis, limit: int | None = LINES
               ) -> tuple[list[tuple[str, list[str], list[str]]], int]:
    """For each reaction with a response of fixed sign: (reaction, the
    species that rise, those that fall), at most ``limit`` of them (those
    with the most fixed signs first, then in network order); and how many
    such reactions there are in all."""
    signs = np.asarray(result.signs, dtype=float)
    fixed = (signs == 1) | (signs == -1)
    cols = [j for j in np.flatnonzero(fixed.any(axis=0))]
    total = len(cols)
    if limit is not None and total > limit:
        best = sorted(cols, key=lambda j: -int(fixed[:, j].sum()))[:limit]
        cols = sorted(best)
    out = []
    for j in cols:
        up = [result.species[i] for i in np.flatnonzero(signs[:, j] == 1)]
        down = [result.species[i] for i in np.flatnonzero(signs[:, j] == -1)]
        out.append((result.reactions[j], up, down))
    return out, total


def signs_text(result: Analysis, full: bool, w: int) -> list[str]:
    out = wrap("Response signs (raising a reaction's rate): " + sign_summary(result), "", w)
    lines, total = sign_lines(result, None if full else LINES)
    for reaction, up, down in lines:
        parts = []
        if up:
            parts.append("up " + cut_names(up, None if full else 4))
        if down:
            parts.append("down " + cut_names(down, None if full else 4))
        out.extend(wrap("; ".join(parts), f"  {reaction}: ", w))
    if total > len(lines):
        out.append(f"  ... {count(total - len(lines), 'more reaction')} with responses of "
                   "fixed sign (--full lists them)")
    elif not total:
        out.append("  no response has the same sign for every choice of rates")
    return out


def factor_summary(result: Analysis) -> str:
    """``"det A is the product of 6 factors: 5 of fixed sign, 1 either way;
    5 decided exactly, 1 certified"``."""
    fs = result.factors or []
    either = sum(1 for f in fs if np.isnan(f.sign))
    zero = sum(1 for f in fs if f.sign == 0)
    fixed = len(fs) - either - zero
    text = (f"det A is the product of {count(len(fs), 'factor')}: {fixed:,} of fixed sign, "
            f"{either:,} either way")
    if zero:
        text += f", {zero:,} identically zero"
    how: dict[str, int] = {}
    for f in fs:
        how[f.method] = how.get(f.method, 0) + 1
    words = {"exact": "decided exactly", "certified": "certified either way",
             "randomised": "randomised", "none": "undecided (ill-posed contraction)"}
    text += "; " + ", ".join(f"{k:,} {words.get(m, m)}" for m, k in how.items())
    return text


def factor_label(result: Analysis, f: Any) -> str:
    """``"B3"``, or ``"the rest"`` for what the structures leave of the network."""
    return "the rest" if f.structure is None else result.structures[f.structure].id


def factors_text(result: Analysis, full: bool, w: int) -> list[str]:
    out = wrap("Factors of the determinant over the hierarchy (each irreducible structure "
               "once its sub-structures are contracted): " + factor_summary(result), "", w)
    shown = [f for f in result.factors or [] if full or not f.sign in (1.0, -1.0)]
    limit = None if full else LINES
    for f in shown[:limit]:
        sign = sign_name(f.sign)
        what = cut_names(f.species + f.reactions, None if full else 6) or "(contractions only)"
        out.extend(wrap(f"{sign} ({f.method}, order {f.order}): {what}",
                        f"  {factor_label(result, f)}: ", w))
    if limit is not None and len(shown) > limit:
        out.append(f"  ... {count(len(shown) - limit, 'more factor')} whose sign is not fixed "
                   "(--full lists them)")
    if not full and not shown and result.factors:
        out.append("  every factor has a fixed sign: no steady-state bifurcation can arise")
    return out
