"""The JSON form of an :class:`~quelmar.result.Analysis`.

Written (format ``"quelmar-analysis"``, schema 2) so that it stays small for
genome-scale results, where there are a hundred thousand structures and
more:

* ``species`` and ``reactions`` are written once; everything else refers
  to them by position.  An *element* is a species (its position i) or a
  reaction (``len(species)`` + its position).
* ``sensitivity``: ``{"rows", "columns", "bits"}``, the matrix row by row,
  eight entries to a byte, most significant bit first (NumPy's
  ``packbits``), in base64; null for a structurally singular network.
* ``structures``: ``{"members", "complements", "children", "irreducible"}``
  and ``"ids"`` when the ids are not ``B1``, ``B2``, ...: ``members[k]``
  lists the elements of structure k ascending, or, when k is in
  ``complements``, the elements it leaves out (those structures hold more
  than half of all elements); ``children[k]`` lists the positions of its
  direct sub-structures; ``irreducible`` the positions of the irreducible
  structures (for readers; it is worked out again when read back).
* ``annotations`` (when the model had any): as
  :meth:`~quelmar.annotations.Annotations.to_dict` gives them.
* ``genes`` (when asked for): one object per gene with ``gene``, ``name``,
  ``reactions`` and ``disabled`` (reaction positions) and either
  ``responding`` or, when more than half of the species respond,
  ``not_responding`` (species positions).
* ``signs`` (when the response signs were computed):
  ``{"rows", "columns", "codes", "methods", "draws"}``: ``codes`` holds the
  sign of each entry row by row in two bits (0 none, 1 rise, 2 fall, 3
  either) and ``methods`` how it was decided (0 none, 1 exact, 2
  certified, 3 randomised), four entries to a byte, most significant bits
  first, in base64; ``draws``: the random instances drawn.  Readers that
  do not know the key may ignore it.
* ``factors`` (when computed): one object per factor of det A, with
  ``structure`` (a structure's position, or null), ``species`` and
  ``reactions`` (positions), ``order``, ``sign`` (null: either way),
  ``method`` and ``draws``.
* ``quelmar``: the version of the package that wrote the file.

Files of the first form (structures as lists of names, the sensitivity as
nested lists of booleans, no ``format``) are read too.
"""

from __future__ import annotations

import base64
import binascii
import json
import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from .collector import collector_paused
from .words import sign_name

__all__ = ["FORMAT", "SCHEMA", "decode", "dumps", "encode"]

FORMAT = "quelmar-analysis"
SCHEMA = 2


def _det(v):
    v = float(v)
    return None if math.isnan(v) else v


def encode(result: Any, genes: bool = False) -> dict[str, Any]:
    """Plain data of ``result`` in the form described above."""
    import quelmar

    out: dict[str, Any] = {"format": FORMAT, "schema": SCHEMA,
                           "quelmar": quelmar.__version__,
                           "name": None if result.name is None else str(result.name),
                           "source": result.source}
    if result.regularity is not None:
        out["regularity"] = result.regularity
    if result.preparation is not None:
        out["preparation"] = result.preparation
    species, reactions = list(result.species), list(result.reactions)
    out.update({"trials": result.trials, "seed": result.seed,
                "species": species, "reactions": reactions})
    if result.annotations:
        out["annotations"] = result.annotations.to_dict()
    defined = result.defined
    out["sensitivity"] = _pack(result.sensitivity) if defined else None
    with collector_paused():  # lists of a few hundred thousand structures
        out["structures"] = _structures(result, species, reactions) if defined else None
    out["diagnosis"] = ([{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                          "sign_det": _det(r["sign_det"]), "sign": sign_name(r["sign_det"])}
                         for r in result.diagnosis]
                        if defined and result.diagnosis_skipped is None else None)
    out["diagnosis_skipped"] = result.diagnosis_skipped
    if defined and getattr(result, "signs", None) is not None:
        out["signs"] = _pack_signs(result)
    if defined and getattr(result, "factors", None) is not None:
        spos = {x: i for i, x in enumerate(species)}
        rpos = {x: j for j, x in enumerate(reactions)}
        out["factors"] = [dict(f.to_dict(), species=[spos[x] for x in f.species],
                               reactions=[rpos[x] for x in f.reactions])
                          for f in result.factors]
    if genes:
        out["genes"] = _genes(result, species, reactions)
    return out


def _pack2(codes):
    """Two-bit codes (0..3), four to a byte, in base64."""
    flat = np.asarray(codes, dtype=np.uint8).ravel()
    bits = np.stack([(flat >> 1) & 1, flat & 1], axis=1).astype(bool)
    return base64.b64encode(np.packbits(bits, axis=None).tobytes()).decode("ascii")


def _unpack2(text, size):
    raw = np.frombuffer(base64.b64decode(text, validate=True), dtype=np.uint8)
    if len(raw) != (2 * size + 7) // 8:
        raise ValueError("the sign codes do not match their size")
    bits = np.unpackbits(raw, count=2 * size).reshape(size, 2)
    return (2 * bits[:, 0] + bits[:, 1]).astype(np.uint8)


def _pack_signs(result):
    from .signs import sign_codes

    signs = np.asarray(result.signs, dtype=float)
    methods = (np.zeros(signs.shape, dtype=np.uint8) if result.sign_methods is None
               else np.asarray(result.sign_methods, dtype=np.uint8))
    return {"rows": int(signs.shape[0]), "columns": int(signs.shape[1]),
            "codes": _pack2(sign_codes(signs)), "methods": _pack2(methods),
            "draws": result.sign_draws}


def _read_signs(data, m, n):
    from .signs import signs_from_codes

    if data is None:
        return None, None, None
    if (type(data["rows"]), type(data["columns"])) != (int, int) \
            or (data["rows"], data["columns"]) != (m, n):
        raise ValueError(f"the signs are {data['rows']!r} x {data['columns']!r}, "
                         f"not {m} x {n} as the species and reactions say")
    signs = signs_from_codes(_unpack2(data["codes"], m * n)).reshape(m, n)
    methods = _unpack2(data["methods"], m * n).reshape(m, n)
    draws = data.get("draws")
    return signs, methods, None if draws is None else int(draws)


def dumps(data: Mapping[str, Any], indent: int | str | None = 1) -> str:
    """JSON text of ``data``: one top-level key a line (``indent`` None: one
    line), each value written compactly."""
    if indent is None:
        return json.dumps(data, separators=(",", ":"), allow_nan=False)
    pad = " " * indent if isinstance(indent, int) else indent
    lines = [f"{pad}{json.dumps(k)}: {json.dumps(v, separators=(',', ':'), allow_nan=False)}"
             for k, v in data.items()]
    return "{\n" + ",\n".join(lines) + "\n}"


def _pack(sensitivity):
    sens = np.asarray(sensitivity, dtype=bool)
    return {"rows": int(sens.shape[0]), "columns": int(sens.shape[1]),
            "bits": base64.b64encode(np.packbits(sens, axis=None).tobytes()).decode("ascii")}


def _unpack(data, m, n):
    if not isinstance(data, Mapping):  # the first form: nested lists
        return np.array(data, dtype=bool).reshape(m, n)
    if (type(data["rows"]), type(data["columns"])) != (int, int) \
            or (data["rows"], data["columns"]) != (m, n):
        raise ValueError(f"the sensitivity is {data['rows']!r} x {data['columns']!r}, "
                         f"not {m} x {n} as the species and reactions say")
    raw = np.frombuffer(base64.b64decode(data["bits"], validate=True), dtype=np.uint8)
    if len(raw) != (m * n + 7) // 8:
        raise ValueError("the sensitivity bits do not match its size")
    return np.unpackbits(raw, count=m * n).astype(bool).reshape(m, n)


def _positions(result, species, reactions):
    """The sorted positions of each structure's elements, from the result's
    membership matrices when they hold every name once (else None)."""
    try:
        in_species, in_reactions = result.membership()
    except KeyError:
        return None
    m = len(species)
    if in_species.shape != (len(result.structures), m):
        return None
    size_s, size_r = np.diff(in_species.indptr).tolist(), np.diff(in_reactions.indptr).tolist()
    if any(len(s.species) != a or len(s.reactions) != b
           for s, a, b in zip(result.structures, size_s, size_r)):
        return None  # a name twice in a structure
    flat_s = in_species.indices.tolist()
    flat_r = (in_reactions.indices.astype(np.int64) + m).tolist()
    ps, pr = in_species.indptr.tolist(), in_reactions.indptr.tolist()
    return [flat_s[ps[k]:ps[k + 1]] + flat_r[pr[k]:pr[k + 1]]
            for k in range(len(result.structures))]


def _structures(result, species, reactions):
    m = len(species)
    width = m + len(reactions)
    index = {("s", s): i for i, s in enumerate(species)}
    index.update({("r", r): m + j for j, r in enumerate(reactions)})
    position = {s.id: k for k, s in enumerate(result.structures)}
    members, complements = [], []
    rows = _positions(result, species, reactions) if hasattr(result, "membership") else None
    for k, s in enumerate(result.structures):
        if rows is not None:
            row = rows[k]
        else:
            row = sorted([index["s", x] for x in s.species]
                         + [index["r", x] for x in s.reactions])
        if 2 * len(row) > width:
            inside = np.zeros(width, dtype=bool)
            inside[row] = True
            row = np.flatnonzero(~inside).tolist()
            complements.append(k)
        members.append(row)
    out: dict[str, Any] = {}
    ids = [s.id for s in result.structures]
    if ids != [f"B{k}" for k in range(1, len(ids) + 1)]:
        out["ids"] = ids
    out.update({"members": members, "complements": complements,
                "children": [[position[c] for c in s.children] for s in result.structures],
                "irreducible": list(result.irreducible)})
    return out


def _positions_in(value: Any, bound: int, what: str) -> list[int]:
    """``value`` as a list of positions from 0 to ``bound`` - 1."""
    if not isinstance(value, list) or not all(
            type(x) is int and 0 <= x < bound for x in value):
        raise ValueError(f"{what} must be a list of positions from 0 to {bound - 1}")
    return value


def _names(value: Any, what: str) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(x, str) for x in value):
        raise ValueError(f"the {what} must be a list of names")
    return list(value)


def _acyclic(children: list[list[int]]) -> None:
    """Refuse a hierarchy in which a structure is its own sub-structure."""
    state = [0] * len(children)  # 0: not seen, 1: on the path, 2: done
    for root in range(len(children)):
        if state[root]:
            continue
        state[root] = 1
        stack = [(root, iter(children[root]))]
        while stack:
            node, rest = stack[-1]
            child = next(rest, None)
            if child is None:
                state[node] = 2
                stack.pop()
            elif state[child] == 1:
                raise ValueError("the structures' children form a cycle")
            elif state[child] == 0:
                state[child] = 1
                stack.append((child, iter(children[child])))


def _read_structures(data, species, reactions):
    from .result import BufferingStructure

    m = len(species)
    width = m + len(reactions)
    members = data["members"]
    if not isinstance(members, list):
        raise ValueError("the structures' members must be a list")
    k = len(members)
    ids = data.get("ids") or [f"B{i}" for i in range(1, k + 1)]
    if not isinstance(ids, list) or not isinstance(data["children"], list) \
            or len(ids) != k or len(data["children"]) != k:
        raise ValueError("the structures' ids, members and children differ in number")
    members = [_positions_in(row, width, f"the members of structure {i + 1}")
               for i, row in enumerate(members)]
    children = [_positions_in(c, k, f"the children of structure {i + 1}")
                for i, c in enumerate(data["children"])]
    _acyclic(children)
    flip = set(_positions_in(data.get("complements", []), k, "the complements"))
    out = []
    for i, (sid, row) in enumerate(zip(ids, members)):
        if i in flip:
            inside = np.ones(width, dtype=bool)
            inside[row] = False
            row = np.flatnonzero(inside).tolist()
        out.append(BufferingStructure(sid, [species[x] for x in row if x < m],
                                      [reactions[x - m] for x in row if x >= m],
                                      [ids[c] for c in children[i]]))
    return out


def _genes(result, species, reactions):
    from .pathways import gene_rows

    m = len(species)
    rpos = {r: j for j, r in enumerate(reactions)}
    spos = {s: i for i, s in enumerate(species)}
    rows = []
    for g in gene_rows(result.annotations, species, reactions, result.sensitivity):
        row = {"gene": g["gene"], "name": g["name"],
               "reactions": [rpos[r] for r in g["reactions"]],
               "disabled": [rpos[r] for r in g["disabled"]]}
        hit = g["responding"]
        if hit is not None and 2 * len(hit) > m:
            mine = set(hit)
            row["not_responding"] = [i for i, s in enumerate(species) if s not in mine]
        else:
            row["responding"] = None if hit is None else [spos[s] for s in hit]
        rows.append(row)
    return rows


def decode(data: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments of :class:`~quelmar.result.Analysis` that
    ``data`` (either form) describes.  Anything else raises ValueError,
    saying what does not fit."""
    if not isinstance(data, Mapping):
        raise ValueError(f"not an analysis result (a JSON {type(data).__name__}, "
                         "not an object)")
    try:
        return _decode(data)
    except KeyError as e:
        raise ValueError(f"not an analysis result: {e.args[0]!r} is missing") from None
    except (IndexError, TypeError, AttributeError, binascii.Error) as e:
        raise ValueError(f"not an analysis result: {e}") from None


def _decode(data: Mapping[str, Any]) -> dict[str, Any]:
    from .annotations import Annotations
    from .result import BufferingStructure

    fmt = data.get("format")
    if fmt is not None and fmt != FORMAT:
        raise ValueError(f"not an analysis result (format {fmt!r})")
    if fmt is not None and int(data.get("schema", 0)) > SCHEMA:
        raise ValueError(f"the result was written in schema {data['schema']}, newer than "
                         f"the {SCHEMA} this version of quelmar reads; update quelmar")
    species, reactions = _names(data["species"], "species"), _names(data["reactions"], "reactions")
    sens = None
    if data["sensitivity"] is not None:
        sens = _unpack(data["sensitivity"], len(species), len(reactions))
    raw = data["structures"]
    if isinstance(raw, Mapping):
        structures = _read_structures(raw, species, reactions)
    else:
        structures = [BufferingStructure(s["id"], list(s["species"]), list(s["reactions"]),
                                         list(s.get("children", []))) for s in raw or []]
    diagnosis = [{"chemicals": list(r["chemicals"]), "reactions": list(r["reactions"]),
                  "sign_det": math.nan if r["sign_det"] is None else float(r["sign_det"])}
                 for r in data["diagnosis"] or []]
    signs, methods, draws = _read_signs(data.get("signs"), len(species), len(reactions))
    factors = None
    if data.get("factors") is not None:
        from .factors import Factor
        factors = [Factor.from_dict(dict(
            f, species=[species[i] for i in _positions_in(f["species"], len(species),
                                                          "a factor's species")],
            reactions=[reactions[j] for j in _positions_in(f["reactions"], len(reactions),
                                                           "a factor's reactions")]))
            for f in data["factors"]]
    return {"name": data["name"], "species": species, "reactions": reactions,
            "signs": signs, "sign_methods": methods, "sign_draws": draws,
            "factors": factors,
            "sensitivity": sens, "structures": structures, "diagnosis": diagnosis,
            "trials": data.get("trials", 2), "seed": data.get("seed"),
            "source": data.get("source"), "regularity": data.get("regularity"),
            "preparation": data.get("preparation"),
            "diagnosis_skipped": data.get("diagnosis_skipped"),
            "annotations": Annotations.from_dict(data.get("annotations"))}
