"""SBML levels 2 and 3, with or without the fbc package (python-libsbml)."""

from __future__ import annotations

import math
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
    reader = _SbmlMath(libsbml, model, where)

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

    _check_rules(model, reader, state_set, where)
    stoich_targets = _check_events(model, state_set, where)

    factors = _conversion_factors(model, state, where)

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
            rx.net[sp] = rx.net.get(sp, 0.0) - _sbml_stoichiometry(
                libsbml, model, ref, rid, level, stoich_targets, where)
            rx.reg.add(sp)
            reactants.add(sp)
        for ref in r.getListOfProducts():
            sp = _species_of(ref, rid, known, where)
            rx.net[sp] = rx.net.get(sp, 0.0) + _sbml_stoichiometry(
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

    _check_rate_rule_feedback(model, reader, state_set, where)

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


def _sbml_stoichiometry(libsbml, model, ref, rid, level, stoich_targets, where):
    sp = ref.getSpecies()
    what = f"the stoichiometry of {sp} in reaction {rid}"
    ref_id = ref.getId() if ref.isSetId() else ""
    if ref_id and ref_id in stoich_targets:
        raise LoadError(where, f"{what} is not constant ({stoich_targets[ref_id]} "
                        f"changes {ref_id}); such networks are not supported")
    if level == 2 and ref.isSetStoichiometryMath():
        sm = ref.getStoichiometryMath()
        value = _constant_value(libsbml, sm.getMath() if sm.isSetMath() else None)
        if value is None:
            raise LoadError(where, f"{what} is given by a stoichiometryMath that is "
                            "not a constant number; such networks are not supported")
    elif level >= 3 and ref_id and model.getInitialAssignment(ref_id) is not None:
        ia = model.getInitialAssignment(ref_id)
        value = _constant_value(libsbml, ia.getMath() if ia.isSetMath() else None)
        if value is None:
            raise LoadError(where, f"{what} is set by an initial assignment that is "
                            "not a constant number; such networks are not supported")
    elif ref.isSetStoichiometry():
        value = ref.getStoichiometry()
    else:
        value = 1.0
    if level == 2:
        value /= ref.getDenominator()
    if not math.isfinite(value):
        raise LoadError(where, f"{what} is not a finite number ({value})")
    return float(value)


def _constant_value(libsbml, ast):
    """Value of MathML made of numbers and arithmetic only, else None."""
    if ast is None:
        return None
    t = ast.getType()
    if ast.isNumber():
        return float(ast.getValue())
    args = [_constant_value(libsbml, ast.getChild(i)) for i in range(ast.getNumChildren())]
    if any(a is None for a in args):
        return None
    try:
        if t == libsbml.AST_PLUS:
            return float(sum(args))
        if t == libsbml.AST_MINUS:
            return -args[0] if len(args) == 1 else args[0] - args[1]
        if t == libsbml.AST_TIMES:
            return float(math.prod(args))
        if t == libsbml.AST_DIVIDE and len(args) == 2:
            return args[0] / args[1]
        if t in (libsbml.AST_POWER, libsbml.AST_FUNCTION_POWER) and len(args) == 2:
            return float(args[0] ** args[1])
    except (ZeroDivisionError, OverflowError, TypeError, ValueError):
        return None
    return None


def _check_rules(model, reader, state, where):
    """Algebraic rules that constrain state species are refused."""
    for rule in model.getListOfRules():
        if not rule.isAlgebraic() or not rule.isSetMath():
            continue
        names = reader.names(rule.getMath())
        fixed = sorted(names & state)
        if fixed:
            raise LoadError(where, "an algebraic rule constrains the species "
                            + ", ".join(fixed)
                            + "; the reaction network cannot represent it")


def _check_events(model, state, where):
    """Warn for events that set species; collect stoichiometries they set."""
    targets = {}
    for rule in model.getListOfRules():
        if (rule.isAssignment() or rule.isRate()) and rule.getVariable():
            targets[rule.getVariable()] = "a rule"
    for ev in model.getListOfEvents():
        label = ev.getId() or ev.getName() or "without id"
        hit = []
        for ea in ev.getListOfEventAssignments():
            var = ea.getVariable()
            if var in state:
                hit.append(var)
            targets.setdefault(var, f"event {label}")
        if hit:
            warn_model(where, f"event {label} sets the species {', '.join(sorted(hit))}; "
                  "the network describes the reactions between events only")
    return targets


def _conversion_factors(model, state, where):
    """Level 3 conversion factors, as constant numbers per species."""
    factors = {}
    if model.getLevel() < 3:
        return factors
    default = model.getConversionFactor() if model.isSetConversionFactor() else ""
    for sid in state:
        s = model.getSpecies(sid)
        pid = s.getConversionFactor() if s.isSetConversionFactor() else default
        if not pid:
            continue
        p = model.getParameter(pid)
        if (p is None or not p.getConstant() or not p.isSetValue()
                or model.getInitialAssignment(pid) is not None):
            raise LoadError(where, f"the conversion factor {pid} of species {sid} is "
                            "not a constant number; such networks are not supported")
        factors[sid] = float(p.getValue())
    return factors


def _check_rate_rule_feedback(model, reader, state, where):
    """Warn when a rate-rule variable read by a rate law depends on species."""
    for rule in model.getListOfRules():
        if not rule.isRate() or not rule.isSetMath():
            continue
        var = rule.getVariable()
        if var not in reader.read_by_laws:
            continue
        names = reader.names(rule.getMath())
        hit = sorted(names & state)
        if hit:
            warn_model(where, f"{var} follows a rate rule that reads {', '.join(hit)} and "
                  f"is read by the rate of {reader.read_by_laws[var]}; that feedback "
                  "is not part of the reaction network")


class _SbmlMath:
    """Names a piece of SBML math reads, through assignment rules and functions."""

    def __init__(self, libsbml, model, where):
        self.sb = libsbml
        self.where = where
        self.functions = {}
        for fd in model.getListOfFunctionDefinitions():
            if fd.isSetMath():
                body = fd.getBody()
                params = [fd.getArgument(i).getName() for i in range(fd.getNumArguments())]
                self.functions[fd.getId()] = (params, body)
        self.rules = {}
        for rule in model.getListOfRules():
            if rule.isAssignment() and rule.isSetMath():
                self.rules[rule.getVariable()] = rule.getMath()
        self._fn_cache = {}
        self._rule_cache = {}
        self.read_by_laws = {}  # name read by a rate law -> first such reaction

    # which parameters of a function its body reads, and global names it reads
    def _function_reads(self, fname, stack=()):
        if fname in self._fn_cache:
            return self._fn_cache[fname]
        if fname in stack:
            raise LoadError(self.where, f"function {fname} calls itself")
        params, body = self.functions[fname]
        names = self._walk(body, set(), stack + (fname,)) if body else set()
        result = ([i for i, p in enumerate(params) if p in names],
                  {nm for nm in names if nm not in params})
        self._fn_cache[fname] = result
        return result

    def _walk(self, ast, local, stack):
        """Names that ast reads, leaving out the shadowing names ``local``."""
        sb = self.sb
        out = set()
        todo = [ast]
        while todo:
            node = todo.pop()
            if node is None:
                continue
            t = node.getType()
            if t == sb.AST_NAME:
                if node.getName() not in local:
                    out.add(node.getName())
                continue
            if t == sb.AST_FUNCTION and node.getName() in self.functions:
                used, free = self._function_reads(node.getName(), stack)
                out |= free
                todo.extend(node.getChild(i) for i in used if i < node.getNumChildren())
                continue
            todo.extend(node.getChild(i) for i in range(node.getNumChildren()))
        return out

    def _expand(self, names, seen):
        out = set()
        for nm in names:
            if nm in self.rules and nm not in seen:
                seen.add(nm)
                if nm not in self._rule_cache:
                    self._rule_cache[nm] = self._walk(self.rules[nm], set(), ())
                out.add(nm)
                out |= self._expand(self._rule_cache[nm], seen)
            else:
                out.add(nm)
        return out

    def names(self, ast, local=frozenset(), reaction=None):
        """Names read by ast, through assignment rules and function calls."""
        names = self._expand(self._walk(ast, set(local), ()), set())
        if reaction is not None:
            for nm in names:
                self.read_by_laws.setdefault(nm, reaction)
        return names
