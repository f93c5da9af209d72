"""The annotations of a model file: subsystems, gene-protein-reaction rules,
gene names, species names and compartments (see
:class:`quelmar.annotations.Annotations`).  What a file does not say is left
out; an annotation that cannot be read is reported by a
:class:`ModelWarning` and left out, never stopping the load."""

from __future__ import annotations

import re
import warnings
from typing import Any

from ..annotations import Annotations, parse_rule, rule_genes
from ..errors import ModelWarning

_SUBSYSTEM_NOTE = re.compile(r"SUBSYSTEM\s*:\s*([^<]*)")
_GENE_NOTE = re.compile(r"GENE[ _]ASSOCIATION\s*:\s*([^<]*)")


def _text(value):
    return value.strip() if isinstance(value, str) and value.strip() else None


def _read_rule(text, rid, where, bad):
    try:
        return parse_rule(text)
    except ValueError as e:
        bad.append(f"{rid} ({e})")
        return None


def _report(where, bad):
    if bad:
        shown = ", ".join(bad[:3]) + (f" and {len(bad) - 3} more" if len(bad) > 3 else "")
        warnings.warn(f"{where}: the gene rules of {shown} cannot be read and are "
                      "left out", ModelWarning, stacklevel=4)


def cobra_annotations(model: dict, where: str) -> Annotations:
    """The annotations of a cobrapy JSON model (already checked to be a
    dict with lists of metabolites and reactions)."""
    out = Annotations()
    compartments = model.get("compartments")
    if isinstance(compartments, dict):
        out.compartment_names = {str(k): v for k, v in compartments.items()
                                 if isinstance(v, str)}
    for met in model.get("metabolites", []):
        sid = met["id"]
        if _text(met.get("name")):
            out.species_names[sid] = met["name"].strip()
        if _text(met.get("compartment")):
            out.compartments[sid] = met["compartment"].strip()
    genes = model.get("genes")
    if isinstance(genes, list):
        for g in genes:
            if isinstance(g, dict) and _text(g.get("id")):
                out.genes[g["id"].strip()] = _text(g.get("name")) or g["id"].strip()
    bad: list[str] = []
    for r in model["reactions"]:
        rid = r["id"]
        if _text(r.get("subsystem")):
            out.subsystems[rid] = r["subsystem"].strip()
        if _text(r.get("gene_reaction_rule")):
            rule = _read_rule(r["gene_reaction_rule"], rid, where, bad)
            if rule is not None:
                out.rules[rid] = rule
    _report(where, bad)
    return out


def sbml_annotations(libsbml: Any, model: Any, where: str, strip: bool) -> Annotations:
    """The annotations of a libSBML model, under the model's ids, with the
    ``M_``, ``R_`` and ``G_`` prefixes removed when ``strip`` is true.

    Subsystems come from the groups package (each reaction member of a group
    gets the group's name, else its id; the first group wins) and else from
    ``SUBSYSTEM:`` in the reaction's notes.  Rules come from the fbc
    (version 2) gene product associations and else from
    ``GENE_ASSOCIATION:`` notes; gene names from the fbc gene products.
    """
    def unprefix(ident, prefix):
        return ident[len(prefix):] if strip and ident.startswith(prefix) else ident

    out = Annotations()
    for c in model.getListOfCompartments():
        if c.getName():
            out.compartment_names[c.getId()] = c.getName()
    for s in model.getListOfSpecies():
        sid = unprefix(s.getId(), "M_")
        if s.getName():
            out.species_names[sid] = s.getName()
        if s.getCompartment():
            out.compartments[sid] = s.getCompartment()

    fbc = model.getPlugin("fbc")
    if fbc is not None and hasattr(fbc, "getListOfGeneProducts"):
        for gp in fbc.getListOfGeneProducts():
            gid = unprefix(gp.getId(), "G_")
            out.genes[gid] = gp.getName() or gid

    groups = model.getPlugin("groups")
    if groups is not None and hasattr(groups, "getListOfGroups"):
        reaction_ids = {r.getId() for r in model.getListOfReactions()}
        for g in groups.getListOfGroups():
            name = g.getName() or g.getId()
            if not name:
                continue
            for member in g.getListOfMembers():
                ref = member.getIdRef()
                if ref in reaction_ids:
                    out.subsystems.setdefault(unprefix(ref, "R_"), name)

    bad: list[str] = []
    for r in model.getListOfReactions():
        rid = unprefix(r.getId(), "R_")
        notes = r.getNotesString() if r.isSetNotes() else ""
        if rid not in out.subsystems and notes:
            m = _SUBSYSTEM_NOTE.search(notes)
            if m and m.group(1).strip():
                out.subsystems[rid] = _unescape(m.group(1).strip())
        rule = None
        plugin = r.getPlugin("fbc")
        if plugin is not None and hasattr(plugin, "getGeneProductAssociation"):
            gpa = plugin.getGeneProductAssociation()
            if gpa is not None and gpa.isSetAssociation():
                rule = _association(gpa.getAssociation(), fbc, unprefix)
        if rule is None and notes:
            m = _GENE_NOTE.search(notes)
            if m and m.group(1).strip():
                rule = _read_rule(_unescape(m.group(1)), rid, where, bad)
                for g in rule_genes(rule):
                    out.genes.setdefault(g, g)
        if rule is not None:
            out.rules[rid] = rule
    _report(where, bad)
    return out


def _unescape(text):
    return (text.replace("&lt;", "<").replace("&gt;", ">").replace("&apos;", "'")
            .replace("&quot;", '"').replace("&amp;", "&")).strip()


def _association(node, fbc, unprefix):
    """The rule of an fbc association (None when it names no gene)."""
    if node.isGeneProductRef():
        ref = node.getGeneProduct()
        return unprefix(ref, "G_") if ref else None
    if node.isFbcAnd() or node.isFbcOr():
        op = "and" if node.isFbcAnd() else "or"
        operands = [_association(node.getAssociation(i), fbc, unprefix)
                    for i in range(node.getNumAssociations())]
        operands = [x for x in operands if x is not None]
        if not operands:
            return None
        if len(operands) == 1:
            return operands[0]
        flat = []
        for x in operands:
            flat.extend(x[1] if isinstance(x, tuple) and x[0] == op else [x])
        return (op, flat)
    return None
