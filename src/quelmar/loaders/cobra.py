"""cobrapy's JSON model format."""

from __future__ import annotations

import json
import math
import os
import re
from typing import TYPE_CHECKING

from .ratesigns import default_signs
from .common import (
    MAX_JSON_DEPTH,
    LoadError,
    assemble,
    base_name,
    check_unique,
    guarded_reader,
    read_text,
    Reaction,
)

from .annotate import cobra_annotations

if TYPE_CHECKING:
    from ..cyquelmar import CRN

_TOKENS = re.compile(r'"(?:[^"\\]|\\.)*"|[\[{\]}]')


@guarded_reader(lambda path, **options: path)
def load_cobra_json(path: str | os.PathLike[str], *, allow_external: bool = False) -> CRN:
    """Load a model in cobrapy's JSON format (``.json`` or ``.json.gz``).

    A reaction is reversible when its ``lower_bound`` is negative; its rate
    then depends on its products as well as on its reactants.  The format
    refers to no other files (``allow_external`` is accepted for the sake of
    :func:`~quelmar.loaders.load` and changes nothing).
    """
    text = read_text(path)
    path = os.fsdecode(path)
    if not text.strip():
        raise LoadError(path, "the file is empty")
    check_depth(text, path)
    try:
        # numbers as floats: an integer of any length becomes a (maybe
        # infinite) float, which the coefficient check then judges
        model = json.loads(text, parse_int=float, object_pairs_hook=unique_keys(path))
    except json.JSONDecodeError as e:
        raise LoadError(path, f"not valid JSON: {e.msg} at line {e.lineno}, "
                        f"column {e.colno}") from None
    return crn_from_cobra(model, path, base_name(path))


def check_depth(text, where):
    """Refuse brackets nested deeper than :data:`MAX_JSON_DEPTH` (strings aside)."""
    if text.count("[") + text.count("{") <= MAX_JSON_DEPTH:
        return
    depth = 0
    for token in _TOKENS.finditer(text):
        c = token.group()
        if c in "[{":
            depth += 1
            if depth > MAX_JSON_DEPTH:
                raise LoadError(where, f"not a usable JSON document: brackets are nested "
                                f"more than {MAX_JSON_DEPTH} levels deep")
        elif c in "]}":
            depth -= 1


def unique_keys(where):
    def pairs(items):
        obj = {}
        for key, value in items:
            if key in obj:
                raise LoadError(where, f"not a cobrapy JSON model: the key {key!r} "
                                "appears twice in one object")
            obj[key] = value
        return obj
    return pairs


def crn_from_cobra(model, where, fallback_name):
    if not isinstance(model, dict) or "reactions" not in model:
        raise LoadError(where, "not a cobrapy JSON model (no \"reactions\" list)")
    mets = model.get("metabolites", [])
    rxs = model["reactions"]
    if not isinstance(mets, list) or not isinstance(rxs, list):
        raise LoadError(where, "\"metabolites\" and \"reactions\" must be lists")
    species = []
    for k, met in enumerate(mets):
        if not isinstance(met, dict) or not isinstance(met.get("id"), str):
            raise LoadError(where, f"metabolite {k} has no id")
        species.append(met["id"])
    check_unique(where, "metabolite", species)
    known = set(species)
    reactions = []
    for k, r in enumerate(rxs):
        if not isinstance(r, dict) or not isinstance(r.get("id"), str):
            raise LoadError(where, f"reaction {k} has no id")
        rx = Reaction(r["id"])
        coeffs = r.get("metabolites", {})
        if not isinstance(coeffs, dict):
            raise LoadError(where, f"reaction {rx.id}: \"metabolites\" must map ids to numbers")
        try:
            lower = float(r.get("lower_bound", 0.0))
        except (TypeError, ValueError):
            raise LoadError(where, f"reaction {rx.id}: lower_bound is not a number") from None
        reversible = lower < 0
        try:
            upper = float(r.get("upper_bound", 1000.0))
        except (TypeError, ValueError):
            raise LoadError(where, f"reaction {rx.id}: upper_bound is not a number") from None
        rx.reversible = reversible
        rx.bounds = (lower, upper)
        for sp, v in coeffs.items():
            if sp not in known:
                raise LoadError(where, f"reaction {rx.id} refers to unknown species {sp!r}")
            if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                raise LoadError(where, f"reaction {rx.id}: coefficient of {sp} "
                                f"is not a finite number ({v!r})")
            rx.net[sp] = rx.net.get(sp, 0.0) + float(v)
            if v < 0 or (reversible and v > 0):
                rx.reg.add(sp)
        rx.signs = default_signs(rx.reg, {s for s, v in coeffs.items() if v < 0},
                                 {s for s, v in coeffs.items() if v > 0}, reversible)
        reactions.append(rx)
    name = model.get("id") or model.get("name") or fallback_name
    return assemble(where, name, species, reactions,
                    annotations=cobra_annotations(model, where))
