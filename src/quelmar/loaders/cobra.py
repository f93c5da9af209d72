"""cobrapy's JSON model format."""

from __future__ import annotations

import json
import math
import os

from ._common import LoadError, _Reaction, _assemble, _base_name, _read_text


def load_cobra_json(path):
    """Load a model in cobrapy's JSON format (``.json`` or ``.json.gz``).

    A reaction is reversible when its ``lower_bound`` is negative; its rate
    then depends on its products as well as on its reactants.
    """
    path = os.fspath(path)
    text = _read_text(path)
    if not text.strip():
        raise LoadError(path, "the file is empty")
    try:
        model = json.loads(text)
    except json.JSONDecodeError as e:
        raise LoadError(path, f"not valid JSON: {e.msg} at line {e.lineno}, "
                        f"column {e.colno}") from None
    return _crn_from_cobra(model, path, _base_name(path))


def _crn_from_cobra(model, where, fallback_name):
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
    known = set(species)
    reactions = []
    for k, r in enumerate(rxs):
        if not isinstance(r, dict) or not isinstance(r.get("id"), str):
            raise LoadError(where, f"reaction {k} has no id")
        rx = _Reaction(r["id"])
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
        reactions.append(rx)
    name = model.get("id") or model.get("name") or fallback_name
    return _assemble(where, name, species, reactions)
