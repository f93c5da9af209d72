"""SBML levels 2 and 3, with or without the fbc package (python-libsbml).

This module reads the document (safely, comp models flattened) and walks
its species and reactions; the math beside them (what rate laws read, the
stoichiometries and conversion factors given as math, rules and events) is
read by :mod:`quelmar.loaders.sbmlmath`.
"""

from __future__ import annotations

import os
import re
import pathlib
import urllib.parse
from typing import TYPE_CHECKING

from .common import (
    MAX_TAG,
    LoadError,
    assemble,
    base_name,
    check_unique,
    guarded_reader,
    Reaction,
    read_bytes,
    warn_model,
)
from .annotate import sbml_annotations
from .ratesigns import default_signs, law_signs
from .sbmlmath import (SbmlMath, check_events, check_rate_rule_feedback, check_rules,
                       conversion_factors, sbml_stoichiometry)
from .xmlscan import LONG_TAG, prepare_level2_stoichiometry, scan_xml, without_comments

if TYPE_CHECKING:
    from ..cyquelmar import CRN


def import_libsbml():
    from ..extras import require
    return require("libsbml", "reading SBML")


@guarded_reader(lambda path, **options: path)
def load_sbml(path: str | os.PathLike[str], *, strip_prefixes: bool | None = None,
              allow_external: bool = False) -> CRN:
    """Load an SBML file (level 2 or 3, fbc included; ``.gz`` is unpacked).

    ``strip_prefixes``: remove the ``M_`` and ``R_`` prefixes that COBRA
    exporters put on species and reaction ids.  The default (``None``) does
    so for an fbc model in which every species id starts with ``M_`` and
    every reaction id with ``R_``.  ``allow_external``: let a hierarchical
    (comp) model read the model files it refers to, when they lie below the
    directory of ``path``; by default such a model is refused.
    """
    data = read_bytes(path)
    path = os.fsdecode(path)
    return crn_from_sbml(data.decode("utf-8", "replace"), path,
                          base_name(path), strip_prefixes, base=path,
                          allow_external=allow_external)


@guarded_reader(lambda text, **options: options.get("where", "<string>"))
def loads_sbml(text: str | bytes, *, strip_prefixes: bool | None = None,
               where: str = "<string>") -> CRN:
    """Load an SBML document given as a string (or bytes).

    Text has no directory, so a comp model that refers to other files is
    refused; load it with :func:`load_sbml` instead.
    """
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return crn_from_sbml(text, where, None, strip_prefixes)


def _sbml_document(text, where, base=None, allow_external=False):
    """The libSBML document and model of ``text``, comp models flattened.

    ``base`` is the file ``text`` was read from (None for text given
    directly); with ``allow_external``, a comp model may read other files
    below its directory.
    """
    libsbml = import_libsbml()
    doc, model = _read_document(text, where)
    comp = doc.getPlugin("comp")
    if comp is not None and (comp.getNumModelDefinitions()
                             or comp.getNumExternalModelDefinitions()
                             or (model.getPlugin("comp") is not None
                                 and model.getPlugin("comp").getNumSubmodels())):
        root = os.path.dirname(os.path.realpath(base)) if base is not None else None
        _check_external_models(doc, where, base, root if allow_external else None, set())
        props = libsbml.ConversionProperties()
        props.addOption("flatten comp", True)
        if doc.convert(props) != libsbml.LIBSBML_OPERATION_SUCCESS:
            raise LoadError(where, "the hierarchical (comp) model could not be flattened")
        model = doc.getModel()
    return doc, model


def _read_document(text, where):
    """Read ``text`` with libSBML after checking that it is safe to parse."""
    libsbml = import_libsbml()
    if not text.strip():
        raise LoadError(where, "the file is empty")
    text = text.lstrip()
    root, attributes = scan_xml(text, where)
    if root != "sbml":
        raise LoadError(where, f"not an SBML document (its root element is <{root}>)")
    text = without_comments(text)
    tag = LONG_TAG.search(text)
    if tag:
        line = text.count("\n", 0, tag.start()) + 1
        raise LoadError(where, f"not a usable SBML document: line {line}: a tag longer "
                        f"than {MAX_TAG} characters")
    if "stoichiometryMath" in text or "denominator" in text:
        text = prepare_level2_stoichiometry(text, where, attributes.get("level", ""))
    doc = libsbml.readSBMLFromString(text)
    if doc.getLevel() == 1 or doc.getLevel() > 3:
        raise LoadError(where, f"SBML level {doc.getLevel()} is not supported "
                        "(levels 2 and 3 are)")
    errors = [doc.getError(i) for i in range(doc.getNumErrors())]
    errors = [e for e in errors if e.getSeverity() >= libsbml.LIBSBML_SEV_ERROR]
    errors = [e for e in errors if not _unrequired_package(libsbml, doc, e, attributes, where)]
    if errors:
        e = errors[0]
        line = f"line {e.getLine()}: " if e.getLine() else ""
        more = f" (and {len(errors) - 1} more errors)" if len(errors) > 1 else ""
        xml = e.getCategory() == libsbml.LIBSBML_CAT_XML
        raise LoadError(where, ("not a readable SBML document: " if xml else "")
                        + f"{line}{_sbml_error_text(e)}{more}")
    model = doc.getModel()
    if model is None:
        raise LoadError(where, "the SBML document has no <model>")
    return doc, model


_L3_PACKAGE = re.compile(r"The L3 package '([^']+)' cannot be used in this document")


def _unrequired_package(libsbml, doc, error, attributes, where):
    """Whether ``error`` is only libSBML's schema objection to a Level 3
    package that a Level 2 document declares as not required (as layout
    editors write them); such a package is ignored with a warning."""
    if doc.getLevel() != 2 or error.getErrorId() != libsbml.NotSchemaConformant:
        return False
    found = _L3_PACKAGE.search(error.getMessage())
    if not found:
        return False
    package = found.group(1)
    declared = [v for k, v in attributes.items()
                if k.endswith(" required") and f"/{package}/" in k]
    if declared != ["false"]:
        return False
    warn_model(where, f"the Level 2 document declares the SBML Level 3 package "
               f"'{package}' (not required to read the model), which Level 2 does not "
               "have; it is ignored")
    return True


def _check_external_models(doc, where, base, root, seen):
    """Refuse comp references to other files unless they are allowed.

    ``root`` is the directory below which referenced files may lie (None:
    none may be read).  Each referenced file must be a readable SBML
    document obeying the same rule for the files it refers to; its
    reference is then fixed to the checked absolute path, so the flattening
    reads exactly the file that was checked.
    """
    comp = doc.getPlugin("comp")
    if comp is None or not comp.getNumExternalModelDefinitions():
        return
    sources = [comp.getExternalModelDefinition(i).getSource()
               for i in range(comp.getNumExternalModelDefinitions())]
    if root is None:
        shown = ", ".join(repr(x) for x in sources[:3]) + (", ..." if len(sources) > 3 else "")
        if base is None:
            raise LoadError(where, f"the model refers to other files ({shown}), which "
                            "text given directly cannot do; load it from its file")
        raise LoadError(where, f"the model refers to other files ({shown}); they are read "
                        "only when allowed (allow_external=True, --allow-external)")
    here = os.path.dirname(os.path.realpath(base))
    for i, source in enumerate(sources):
        target = _external_path(source, here, root, where)
        if target not in seen:
            seen.add(target)
            sub_doc, _ = _read_document(read_bytes(target).decode("utf-8", "replace"), target)
            _check_external_models(sub_doc, target, target, root, seen)
        comp.getExternalModelDefinition(i).setSource(pathlib.Path(target).as_uri())


def _external_path(source, here, root, where):
    """The checked absolute path of a referenced file, below ``root``."""
    parsed = urllib.parse.urlsplit(source)
    if parsed.scheme not in ("", "file") or parsed.netloc not in ("", "localhost"):
        raise LoadError(where, f"the model refers to {source!r}, which is not a local file")
    path = urllib.parse.unquote(parsed.path)
    target = os.path.realpath(os.path.join(here, path))
    if os.path.commonpath([root, target]) != root:
        raise LoadError(where, f"the model refers to {source!r}, which lies outside "
                        f"the model's directory {root}")
    return target


def _sbml_error_text(error):
    """The specific part of a libSBML message, else its short summary."""
    lines = [ln.strip() for ln in error.getMessage().splitlines()]
    for k, ln in enumerate(lines):
        if ln.startswith("Reference:"):
            detail = " ".join(x for x in lines[k + 1:] if x)
            if detail:
                return detail
            break
    lines = [x for x in lines if x]
    if len(lines) > 1:  # a general statement, then what was found
        return " ".join(lines[1:])
    return error.getShortMessage().strip() or " ".join(lines)


def crn_from_sbml(text, where, fallback_name, strip_prefixes, base=None,
                   allow_external=False):
    libsbml = import_libsbml()
    doc, model = _sbml_document(text, where, base, allow_external)
    level = doc.getLevel()
    reader = SbmlMath(libsbml, model, where)

    species_ids = [s.getId() for s in model.getListOfSpecies()]
    check_unique(where, "species", species_ids)
    known = set(species_ids)
    ruled = {rule.getVariable() for rule in model.getListOfRules()
             if rule.isAssignment() or rule.isRate()}
    state = []
    for s in model.getListOfSpecies():
        sid = s.getId()
        if s.getBoundaryCondition() or s.getConstant() or sid in ruled:
            continue
        state.append(sid)
    state_set = set(state)

    check_rules(model, reader, state_set, where)
    stoich_targets = check_events(model, state_set, where)

    factors = conversion_factors(model, state, where)

    reactions = []
    for r in model.getListOfReactions():
        rid = r.getId()
        rx = Reaction(rid)
        reversible = r.getReversible()
        rx.reversible = bool(reversible)
        rx.bounds = _flux_bounds(model, r)
        reactants, products = set(), set()
        for ref in r.getListOfReactants():
            sp = _species_of(ref, rid, known, where)
            rx.net[sp] = rx.net.get(sp, 0.0) - sbml_stoichiometry(
                libsbml, model, ref, rid, level, stoich_targets, where)
            rx.reg.add(sp)
            reactants.add(sp)
        for ref in r.getListOfProducts():
            sp = _species_of(ref, rid, known, where)
            rx.net[sp] = rx.net.get(sp, 0.0) + sbml_stoichiometry(
                libsbml, model, ref, rid, level, stoich_targets, where)
            if reversible:
                rx.reg.add(sp)
            products.add(sp)
        for ref in r.getListOfModifiers():
            rx.reg.add(_species_of(ref, rid, known, where))
        law = r.getKineticLaw() if r.isSetKineticLaw() else None
        if law is not None and law.isSetMath():
            local = {p.getId() for p in law.getListOfParameters()}
            if level >= 3:
                local |= {p.getId() for p in law.getListOfLocalParameters()}
            names = reader.names(law.getMath(), local, rid)
            rx.reg = {nm for nm in names if nm in known}
            rx.signs = law_signs(libsbml, law.getMath(), rx.reg & state_set,
                                 functions=reader.functions, rules=reader.rules,
                                 local=local, reactants=reactants, products=products,
                                 reversible=bool(reversible))
        else:
            rx.signs = default_signs(rx.reg, reactants, products, bool(reversible))
        for sp in list(rx.net):
            if sp in factors:
                rx.net[sp] *= factors[sp]
        reactions.append(rx)

    check_rate_rule_feedback(model, reader, state_set, where)

    reactions_state = []
    for rx in reactions:
        rx.net = {s: v for s, v in rx.net.items() if s in state_set}
        rx.reg = {s for s in rx.reg if s in state_set}
        reactions_state.append(rx)

    name = model.getId() or model.getName() or fallback_name
    if strip_prefixes is None:
        strip_prefixes = (doc.getPlugin("fbc") is not None
                          and bool(state) and bool(reactions)
                          and all(s.startswith("M_") for s in species_ids)
                          and all(r.id.startswith("R_") for r in reactions))
    order = [s for s in species_ids if s in state_set]
    if strip_prefixes:
        def strip(ident, prefix):
            return ident[len(prefix):] if ident.startswith(prefix) else ident
        order_map = {s: strip(s, "M_") for s in order}
        if len(set(order_map.values())) != len(order_map):
            raise LoadError(where, "stripping the M_ prefix makes species ids collide")
        for rx in reactions_state:
            rx.id = strip(rx.id, "R_")
            rx.net = {order_map[s]: v for s, v in rx.net.items()}
            rx.reg = {order_map[s] for s in rx.reg}
            rx.signs = {order_map[s]: v for s, v in rx.signs.items() if s in order_map}
        order = [order_map[s] for s in order]
    return assemble(where, name, order, reactions_state,
                    annotations=sbml_annotations(libsbml, model, where, strip_prefixes))


def _flux_bounds(model, reaction):
    """(lower, upper) from the fbc package's bound parameters, or None."""
    fbc = reaction.getPlugin("fbc")
    if fbc is None or not hasattr(fbc, "getLowerFluxBound"):
        return None
    ids = (fbc.getLowerFluxBound(), fbc.getUpperFluxBound())
    params = [model.getParameter(p) if p else None for p in ids]
    if any(p is None or not p.isSetValue() for p in params):
        return None
    return tuple(float(p.getValue()) for p in params)


def _species_of(ref, rid, known, where):
    sp = ref.getSpecies()
    if not sp:
        raise LoadError(where, f"reaction {rid} has a species reference without a species")
    if sp not in known:
        raise LoadError(where, f"reaction {rid} refers to unknown species {sp!r}")
    return sp
