"""The text report of an analysis, printed by the ``quelmar`` command, and
the sentences and groupings it shares with the HTML views
(:mod:`quelmar.page`).

Each function takes an :class:`~quelmar.result.Analysis` (or anything
with its attributes) and returns text.  The text report summarises the
sensitivity matrix and shortens long lists of names unless ``full`` is
true.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from .members import Members, is_whole
from .report_signs import factors_text, signs_text
from .pathways import subsystem_summary
from .words import count, cut_names, sign_name, wrap

if TYPE_CHECKING:
    from .result import Analysis

__all__ = ["diagnosis_sentences",
           "irreducible_first", "member_sentences", "sensitivity_groups",
           "structure_counts", "text_report"]

WIDTH = 78
#: in the compact text report: groups of reactions, structures and diagnosis
#: records listed at most
MAX_GROUPS = 15
MAX_STRUCTURES = 30
MAX_DIAGNOSIS = 12
#: in the text reports: direct sub-structures named per structure (compact),
#: and members listed per structure that has sub-structures (full)
MAX_CHILDREN = 6
FULL_MEMBERS = 200
#: above this many species the compact report opens with a summary and the
#: most local perturbations instead of the widest
LARGE_SPECIES = 300


def sensitivity_groups(result: Analysis) -> list[tuple[list[str], list[str]]]:
    """Reactions grouped by the species that respond to them.

    A list of ``(species, reactions)`` pairs, one per distinct column of
    the sensitivity matrix: the perturbation of each reaction of a group
    reaches exactly those species.  Widest reach first, then in the order
    of the reactions.
    """
    sens = np.asarray(result.sensitivity, dtype=bool)
    groups: dict[bytes, list[int]] = {}
    for j in range(sens.shape[1]):
        groups.setdefault(sens[:, j].tobytes(), []).append(j)
    out = []
    for cols in groups.values():
        rows = np.flatnonzero(sens[:, cols[0]])
        out.append(([result.species[i] for i in rows], [result.reactions[j] for j in cols]))
    out.sort(key=lambda g: -len(g[0]))
    return out


def _parts(result: Analysis, limit: int | None, members: Members) -> list[str]:
    """What each diagnosis record covers, in words."""
    out = []
    earlier: set[str] = set()
    for k, rec in enumerate(result.diagnosis):
        xs, rs = list(rec["chemicals"]), list(rec["reactions"])
        named = " and ".join(f"{count(len(names), word)} ({cut_names(names, limit)})"
                             for names, word in ((xs, "species"), (rs, "reaction")) if names)
        rest = [x for x in result.species if x not in earlier]
        if k == 0 and is_whole(result, xs, rs):
            out.append(f"The whole network, {named}:")
        elif k > 0 and set(xs) == set(rest):
            out.append(f"What remains once the parts above are contracted, {named}:")
        else:
            sid = members.exactly(xs, rs)
            out.append(f"Structure {sid}, {named}:" if sid else f"The part made of {named}:")
        earlier.update(xs)
    return out


def diagnosis_sentences(result: Analysis, limit: int | None = 6) -> list[str]:
    """The indicator diagnosis in plain words, one sentence per contracted part.

    ``limit``: names listed per species or reaction list before it is cut
    short (``None``: all of them).
    """
    return member_sentences(result, limit, Members(result))


def member_sentences(result: Analysis, limit: int | None, members: Members) -> list[str]:
    out = []
    for part, rec in zip(_parts(result, limit, members), result.diagnosis):
        sign = sign_name(rec["sign_det"])
        if sign in ("positive", "negative"):
            verdict = (f"its determinant sign is fixed ({sign}) whatever the rate "
                       "constants, so no steady-state bifurcation can arise from this part.")
        elif sign == "zero":
            verdict = ("its determinant is zero whatever the rate constants: the part is "
                       "structurally singular, its reactions alone do not fix its "
                       "steady state.")
        else:
            verdict = ("its determinant sign can change with the rate constants, so a "
                       "steady-state bifurcation (a switch between steady states, for "
                       "instance) may arise from this part.")
        out.append(f"{part} {verdict}")
    return out


# -- text ---------------------------------------------------------------------

def text_report(result: Analysis, full: bool = False, genes: bool = False) -> str:
    """The analysis as plain text, 78 columns wide.

    By default the sensitivity matrix is summarised (how many species
    respond to each group of reactions, and the perturbations that stay
    local) and long lists of names are shortened, so that the report of a
    large network stays short; ``full=True`` lists everything, including
    the responding species of every reaction.  A large result (more groups
    of reactions than are listed) opens with a summary: the structures and
    how many are irreducible, how many reactions reach nearly every species,
    and the most local perturbations, by subsystem when the model has
    subsystems.  A large result is one of more than :data:`LARGE_SPECIES`
    species.  ``genes=True`` adds the gene table (one line per gene).
    """
    w = WIDTH
    limit = None if full else 8
    out = []
    title = f"Network {result.name}" if result.name is not None else "Network"
    out.append(f"{title}: {count(len(result.species), 'species')}, "
               f"{count(len(result.reactions), 'reaction')}")
    if result.source:
        out.append(f"from {result.source}")
    seed = "no seed" if result.seed is None else f"seed {result.seed}"
    out.append(f"({result.trials} random trials, {seed})")
    large = (getattr(result, "defined", True) and not full
             and len(result.species) > LARGE_SPECIES)
    if large:
        out.extend(_summary_text(result, w))
        out.append("")
        out.extend(_local_responses(result, Members(result), w))
    out.extend(_preparation_text(result, limit, w))
    if not getattr(result, "defined", True):
        out.append("")
        out.append("Sensitivity: undefined (the A-matrix is singular for every choice of "
                   "rates)")
        out.append("Isolated buffering structures and indicator diagnosis: undefined")
        if not full:
            out.append("")
            out.append("(long lists shortened; every name: --full, or result.report(full=True))")
        return "\n".join(out)

    members = Members(result)
    if large:
        pass
    elif full:
        out.append("")
        out.append("Sensitivity: species that respond to a perturbation of each reaction")
        width = min(max((len(r) for r in result.reactions), default=0), 24)
        sens = np.asarray(result.sensitivity, dtype=bool)
        for j, r in enumerate(result.reactions):
            resp = [result.species[i] for i in np.flatnonzero(sens[:, j])]
            out.extend(wrap(", ".join(resp) or "(none)", f"  {r:<{width}}  ", w))
    else:
        out.append("")
        out.extend(_sensitivity_summary(result, members, w))

    out.append("")
    if full:
        out.extend(_structures_full(result, members, w))
    else:
        out.extend(_structures_compact(result, members, w))

    out.append("")
    skipped = getattr(result, "diagnosis_skipped", None)
    if skipped is not None:
        out.extend(wrap(skipped, "", w))
    else:
        out.extend(_diagnosis_text(result, members, full, w))
    if getattr(result, "signs", None) is not None:
        out.append("")
        out.extend(signs_text(result, full, w))
    if getattr(result, "factors", None) is not None:
        out.append("")
        out.extend(factors_text(result, full, w))
    if genes:
        out.append("")
        out.extend(_genes_text(result, w))
    if not full:
        out.append("")
        out.append("(long lists shortened; every name: --full, or result.report(full=True))")
    return "\n".join(out)


def _diagnosis_text(result: Analysis, members: Members, full: bool, w: int) -> list[str]:
    out = ["Indicator diagnosis: structures contracted in turn"]
    if full:
        for k, rec in enumerate(result.diagnosis, 1):
            out.append(f"  {k}. {count(len(rec['chemicals']), 'species')}, "
                       f"{count(len(rec['reactions']), 'reaction')}, "
                       f"determinant sign {sign_name(rec['sign_det'])}")
            out.extend(wrap(", ".join(rec["chemicals"]) or "-", "      species:   ", w))
            out.extend(wrap(", ".join(rec["reactions"]) or "-", "      reactions: ", w))
        out.append("")
        out.append("The diagnosis in words:")
    sentences = member_sentences(result, None if full else 4, members)
    keep = range(len(sentences))
    if not full and len(sentences) > MAX_DIAGNOSIS:
        keep = [*range(MAX_DIAGNOSIS - 1), len(sentences) - 1]
    for k in keep:
        if k == len(sentences) - 1 and len(keep) < len(sentences):
            left = result.diagnosis[MAX_DIAGNOSIS - 1:-1]
            fixed = sum(sign_name(r["sign_det"]) in ("positive", "negative") for r in left)
            out.append(f"  ... {len(left)} more parts, {fixed} with a fixed determinant "
                       "sign (--full lists them)")
        out.extend(wrap(sentences[k], f"  {k + 1}. ", w))
    return out


def _preparation_text(result: Analysis, limit: int | None, w: int) -> list[str]:
    """The preparation and regularity sections (nothing for a plain regular network)."""
    out: list[str] = []
    prep = getattr(result, "preparation", None)
    if prep is not None:
        out.append("")
        out.append("Preparation")
        out.extend(wrap(prep["summary"], "  ", w))
        removed = prep["removed"]
        shown = removed if limit is None else removed[:limit]
        for r in shown:
            out.extend(wrap(f"{r['name']}: {r['reason']}", f"  {r['kind']} ", w))
        if len(shown) < len(removed):
            steps: dict[str, int] = {}
            for r in removed[len(shown):]:
                steps[r["step"]] = steps.get(r["step"], 0) + 1
            out.append(f"  ... and {len(removed) - len(shown)} more ("
                       + ", ".join(f"{k}: {v}" for k, v in steps.items()) + ")")
    reg = getattr(result, "regularity", None)
    if reg is not None and not reg["is_regular"]:
        out.append("")
        out.append("Structural regularity: SINGULAR")
        out.extend(wrap(reg["summary"], "  ", w))
        parts = reg["parts"]
        shown = parts if limit is None else parts[:2 * limit]
        for p in shown:
            out.extend(wrap(f"{p['name']} ({p['block']}): {p['reason']}",
                            f"  {p['kind']} ", w))
        if len(shown) < len(parts):
            out.append(f"  ... and {len(parts) - len(shown)} more rows and columns of "
                       "the A-matrix")
    return out


def _structures_full(result: Analysis, members: Members, w: int) -> list[str]:
    out = [f"Isolated buffering structures: {len(result.structures)} (smallest first)"]
    for s in result.structures:
        out.append(f"  {s.id}: {count(len(s.species), 'species')}, "
                   f"{count(len(s.reactions), 'reaction')}"
                   + ("  (the whole network)" if is_whole(result, s.species, s.reactions)
                      else ""))
        if s.children and len(s.species) + len(s.reactions) > FULL_MEMBERS:
            out.append("      its direct sub-structures and what it adds: see the "
                       "hierarchy below")
            continue
        out.extend(wrap(", ".join(s.species) or "-", "      species:   ", w))
        out.extend(wrap(", ".join(s.reactions) or "-", "      reactions: ", w))
    out.append("")
    out.append("Hierarchy: direct sub-structures of each structure")
    for s in reversed(result.structures):
        own_s, own_r = members.own(s)
        out.append(f"  {s.id} > {', '.join(s.children) if s.children else 'none'}")
        if s.children:
            out.extend(wrap(", ".join(own_s + own_r) or "nothing", "      adds: ", w))
    return out


def _irreducible_count(result: Analysis) -> str | None:
    """``"9 irreducible; the others are unions of these"``, or None when
    every structure is irreducible."""
    k = len(result.irreducible)
    if k == len(result.structures):
        return None
    return f"{k:,} irreducible; the others are unions of these"


def structure_counts(result: Analysis) -> str:
    """``"161,066 buffering structures, 1,234 irreducible; the others are
    unions of these"`` (just the first count when every structure is
    irreducible)."""
    irreducible = _irreducible_count(result)
    head = f"{len(result.structures):,} buffering structure" + (
        "" if len(result.structures) == 1 else "s")
    return head + (f", {irreducible}" if irreducible else "")


def irreducible_first(result: Analysis) -> list[int]:
    """Positions of the structures, the irreducible ones first, each part
    in the order of ``structures`` (smallest first)."""
    chosen = result.irreducible
    mask = np.ones(len(result.structures), dtype=bool)
    mask[chosen] = False
    return list(chosen) + np.flatnonzero(mask).tolist()


def _structures_compact(result: Analysis, members: Members, w: int) -> list[str]:
    total = len(result.structures)
    irreducible = _irreducible_count(result)
    head = f"{total:,}" + (f" ({irreducible})" if irreducible else "")
    out = wrap(f"Hierarchy of the isolated buffering structures: {head}, "
               "smallest first,", "", w)
    out.append("each made of its direct sub-structures + what it adds")
    shown = result.structures
    if len(shown) > MAX_STRUCTURES:  # the smallest ones and the largest
        if irreducible:  # the irreducible ones first
            out[-1:] = ["irreducible ones first; each made of its direct sub-structures "
                        "+ what it adds"]
            shown = [result.structures[k] for k in result.irreducible]
        shown = shown[:MAX_STRUCTURES - 1] + result.structures[-1:]
    subsystems = result.annotations.subsystems if _has(result, "subsystems") else {}
    for s in shown:
        if s is shown[-1] and len(shown) < len(result.structures):
            out.append(f"  ... {len(result.structures) - len(shown):,} more (--full lists "
                       "them all)")
        head = (f"  {s.id}: {count(len(s.species), 'species')}, "
                f"{count(len(s.reactions), 'reaction')}"
                + (" (the whole network)" if is_whole(result, s.species, s.reactions)
                   else ""))
        own_s, own_r = members.own(s)
        parts = list(s.children)
        if len(parts) > MAX_CHILDREN:
            parts = parts[:MAX_CHILDREN - 1] + [
                f"{len(parts) - MAX_CHILDREN + 1} more sub-structures"]
        if own_s or own_r:
            parts.append(cut_names(own_s + own_r, 8))
        text = " + ".join(parts) if s.children else cut_names(s.species + s.reactions, 8)
        if len(head) + 3 + len(text) <= w:
            out.append(f"{head} = {text}")
        else:
            out.append(f"{head} =")
            out.extend(wrap(text, "      ", w))
        if subsystems and any(r in subsystems for r in s.reactions):
            out.extend(wrap(subsystem_summary(s.reactions, subsystems, "reaction"),
                            "      ", w))
    return out


def _sensitivity_summary(result: Analysis, members: Members, w: int) -> list[str]:
    m = len(result.species)
    out = ["Sensitivity: how many species respond to a perturbation of each reaction"]
    groups = sensitivity_groups(result)
    for (species, reactions), sid in zip(groups[:MAX_GROUPS],
                                         members.smallest_of(groups[:MAX_GROUPS])):
        reach = ("every species" if len(species) == m and m > 1
                 else "no species" if not species else count(len(species), "species"))
        text = cut_names(reactions, 4)
        if species and len(species) < m:
            where = f"stays within {sid}" if sid else "stays local"
            text += (f" ({where}: {', '.join(species)})" if len(species) <= 4
                     else f" ({where})")
        out.extend(wrap(text, f"  {reach:>13} <- {count(len(reactions), 'reaction')}: ", w))
    if len(groups) > MAX_GROUPS:
        rest = groups[MAX_GROUPS:]
        out.append(f"  ... {count(sum(len(r) for _, r in rest), 'reaction')} more, in "
                   f"{len(rest)} groups (--full lists them)")
    return out


def _has(result: Any, what: str) -> bool:
    notes = getattr(result, "annotations", None)
    return bool(notes is not None and getattr(notes, what))


#: the share of the species above which a perturbation counts as global
GLOBAL_SHARE = 0.9


def global_summary(result: Analysis) -> str:
    """``"2,216 of 2,368 reactions reach more than 90 % of the species"``."""
    sens = np.asarray(result.sensitivity, dtype=bool)
    m, n = sens.shape
    reach = sens.sum(axis=0)
    k = int((reach > GLOBAL_SHARE * m).sum())
    return (f"{k:,} of {count(n, 'reaction').replace(str(n), f'{n:,}', 1)} reach more "
            f"than {GLOBAL_SHARE:.0%} of the species".replace("%", " %"))


def _summary_text(result: Analysis, w: int) -> list[str]:
    out = [""]
    out.extend(wrap(structure_counts(result), "", w))
    out.extend(wrap(f"Sensitivity: {global_summary(result)}.", "", w))
    return out


def local_groups(result: Analysis, limit: int | None) -> list[tuple[str | None, list]]:
    """The most local groups of :func:`sensitivity_groups` (fewest
    responding species first), gathered under the subsystem most of their
    reactions belong to (None without subsystems), subsystems in the order
    of their most local group.  With ``limit``, at most that many groups
    that reach more than one species but not the share
    :data:`GLOBAL_SHARE` of them: the most local group of each subsystem
    first, then the next most local ones."""
    groups = sorted(sensitivity_groups(result), key=lambda g: len(g[0]))
    subsystems = result.annotations.subsystems if _has(result, "subsystems") else {}

    def home(reactions):
        votes = [subsystems[r] for r in reactions if r in subsystems]
        return max(votes, key=votes.count) if votes else None

    if limit is not None:
        reach = GLOBAL_SHARE * len(result.species)
        wider = [g for g in groups if 1 < len(g[0]) <= reach]
        firsts: dict[str | None, int] = {}
        for k, (_, reactions) in enumerate(wider):
            firsts.setdefault(home(reactions), k)
        chosen = sorted(firsts.values())[:limit]
        chosen += [k for k in range(len(wider)) if k not in set(chosen)][:limit - len(chosen)]
        groups = [wider[k] for k in sorted(chosen)]
    by: dict[str | None, list] = {}
    for species, reactions in groups:
        by.setdefault(home(reactions), []).append((species, reactions))
    return list(by.items())


def _local_responses(result: Analysis, members: Members, w: int) -> list[str]:
    out = ["Sensitivity: the most local perturbations"
           + (", by subsystem" if _has(result, "subsystems") else "")]
    where = (result.annotations.species_subsystems
             if _has(result, "species_subsystems") else {})
    m = len(result.species)
    groups = sensitivity_groups(result)
    alone = [r for species, reactions in groups if len(species) <= 1 for r in reactions]
    if alone:
        out.extend(wrap(f"{count(len(alone), 'reaction')} reach one species or none "
                        f"(such as {cut_names(alone, 3)})", "  ", w))
    shown = 0
    by_subsystem = local_groups(result, MAX_GROUPS)
    within = iter(members.smallest_of([g for _, local in by_subsystem for g in local]))
    for subsystem, local in by_subsystem:
        if subsystem is not None:
            out.extend(wrap(subsystem, "  ", w))
        for species, reactions in local:
            sid = next(within)
            shown += len(reactions)
            text = cut_names(reactions, 4)
            if species and len(species) < m:
                inside = f"stays within {sid}" if sid else "stays local"
                if len(species) <= 4:
                    text += f" ({inside}: {', '.join(species)})"
                elif where:
                    text += f" ({inside}; {subsystem_summary(species, where, 'species')})"
                else:
                    text += f" ({inside})"
            out.extend(wrap(text, f"  {count(len(species), 'species'):>13} <- "
                                  f"{count(len(reactions), 'reaction')}: ", w))
    rest = len(result.reactions) - len(alone) - shown
    if rest:
        out.append(f"  ... {count(rest, 'reaction')} more (--full lists them)")
    return out


def _genes_text(result: Analysis, w: int) -> list[str]:
    table = result.gene_responses()
    if not len(table):
        return ["Genes: the model has no gene rules"]
    out = wrap(f"Genes: {len(table):,} (what a knockout disables; the species that "
               "respond when the gene's enzyme level changes)", "", w)
    for row in table.itertuples(index=False):
        label = row.gene if row.name in ("", row.gene) else f"{row.gene} {row.name}"
        if not row.reactions:
            text = "catalyses none of the analysed reactions"
        else:
            off = cut_names(row.disabled, 4) if row.disabled else "nothing"
            text = f"disables {off}"
            if row.responding is not None:
                text += f"; {count(len(row.responding), 'species')} respond"
        out.extend(wrap(text, f"  {label}: ", w))
    return out
